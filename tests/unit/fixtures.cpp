#include "fixtures.h"

#include "layer.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

static void put16(Bytes &b, WORD v)
{
    b.push_back((BYTE)v);
    b.push_back((BYTE)(v >> 8));
}

static void put32(Bytes &b, DWORD v)
{
    for (int i = 0; i < 4; i++)
        b.push_back((BYTE)(v >> (8 * i)));
}

Bytes make_sid(BYTE authority, std::vector<DWORD> sub_authorities)
{
    Bytes b = { 1, (BYTE)sub_authorities.size(), 0, 0, 0, 0, 0, authority };
    for (DWORD s : sub_authorities)
        put32(b, s);
    return b;
}

Bytes everyone_sid()
{
    return make_sid(1, { 0 });
}

Bytes admins_sid()
{
    return make_sid(5, { 32, 544 });
}

Bytes system_sid()
{
    return make_sid(5, { 18 });
}

Bytes make_ace(BYTE type, BYTE flags, DWORD mask, const Bytes &sid)
{
    Bytes b = { type, flags };
    put16(b, (WORD)(8 + sid.size()));
    put32(b, mask);
    b.insert(b.end(), sid.begin(), sid.end());
    return b;
}

Bytes make_acl(BYTE revision, const std::vector<Bytes> &aces, WORD free_bytes)
{
    size_t size = 8;
    for (const Bytes &a : aces)
        size += a.size();
    Bytes b = { revision, 0 };
    put16(b, (WORD)(size + free_bytes));
    put16(b, (WORD)aces.size());
    put16(b, 0);
    for (const Bytes &a : aces)
        b.insert(b.end(), a.begin(), a.end());
    b.resize(size + free_bytes, 0);
    return b;
}

Bytes v1_prefix()
{
    return { 1, 0, 1, 0, 0, 0, 2, 0 };
}

static Bytes hashed_prefix(WORD version, WORD hash_type)
{
    Bytes b;
    put16(b, version);
    put16(b, version);
    put32(b, 0x00020000);
    put32(b, 0x00020004);
    put16(b, hash_type);
    for (int i = 0; i < 64; i++)
        b.push_back((BYTE)(0xA0 + i));
    return b;
}

Bytes v2_prefix()
{
    Bytes b;
    put16(b, 2);
    put16(b, 2);
    put32(b, 0x00020000);
    put32(b, 0x00020004);
    for (int i = 0; i < 16; i++)
        b.push_back((BYTE)(0xB0 + i));
    return b;
}

Bytes v3_prefix()
{
    Bytes b = hashed_prefix(3, 0);
    b.resize(0x50, 0);
    return b;
}

Bytes v4_prefix(const std::string &description)
{
    Bytes b = hashed_prefix(4, 1);
    b.insert(b.end(), description.begin(), description.end());
    b.push_back(0);
    b.resize((b.size() + 3) & ~size_t(3), 0);
    for (int i = 0; i < 8; i++)
        b.push_back((BYTE)(0x10 + i));
    for (int i = 0; i < 64; i++)
        b.push_back((BYTE)(0x40 + i));
    b.resize((b.size() + 3) & ~size_t(3), 0);
    return b;
}

static Bytes encode_descriptor(const StoredDescriptor &d, DWORD base)
{
    Bytes b = { 1, 0 };
    put16(b, d.control);
    DWORD at = 20;
    const Bytes *parts[] = { &d.owner, &d.group, &d.sacl, &d.dacl };
    for (const Bytes *p : parts) {
        put32(b, p->empty() ? 0 : base + at);
        at += (DWORD)p->size();
    }
    for (const Bytes *p : parts)
        b.insert(b.end(), p->begin(), p->end());
    return b;
}

Bytes make_blob(const Bytes &prefix, const StoredDescriptor &descriptor)
{
    Bytes b = prefix;
    Bytes d = encode_descriptor(descriptor, (DWORD)prefix.size());
    b.insert(b.end(), d.begin(), d.end());
    return b;
}

Bytes make_self_relative(const StoredDescriptor &descriptor)
{
    return encode_descriptor(descriptor, 0);
}

WORD get_word(const Bytes &b, size_t at)
{
    return (WORD)(b.at(at) | b.at(at + 1) << 8);
}

DWORD get_dword(const Bytes &b, size_t at)
{
    return (DWORD)get_word(b, at) | (DWORD)get_word(b, at + 2) << 16;
}

void set_dword(Bytes &b, size_t at, DWORD value)
{
    for (int i = 0; i < 4; i++)
        b.at(at + i) = (BYTE)(value >> (8 * i));
}

std::vector<Bytes> acl_entries(const BYTE *acl)
{
    std::vector<Bytes> entries;
    WORD count = (WORD)(acl[4] | acl[5] << 8);
    size_t at = 8;
    for (WORD i = 0; i < count; i++) {
        WORD size = (WORD)(acl[at + 2] | acl[at + 3] << 8);
        entries.push_back(Bytes(acl + at, acl + at + size));
        at += size;
    }
    return entries;
}

static std::string scratch_root();

// Each test runs in a process of its own: its folder goes with it.
static void remove_scratch_root()
{
    remove_scratch();
    rmdir(scratch_root().c_str());
}

static std::string scratch_root()
{
    static std::string root;
    if (root.empty()) {
        char pattern[] = "/tmp/zirm-unit-XXXXXX";
        root = mkdtemp(pattern);
        atexit(remove_scratch_root);
    }
    return root;
}

std::string scratch_path(const std::string &name)
{
    return scratch_root() + "/" + name;
}

std::string make_file(const std::string &name)
{
    std::string path = scratch_path(name);
    FILE *f = fopen(path.c_str(), "w");
    if (f != NULL)
        fclose(f);
    return path;
}

std::string make_directory(const std::string &name)
{
    std::string path = scratch_path(name);
    mkdir(path.c_str(), 0755);
    return path;
}

void remove_scratch()
{
    // The names may stand for new files from now on.
    forget_pinned_names();
    std::error_code ignored;
    for (const auto &entry : std::filesystem::directory_iterator(scratch_root(), ignored))
        std::filesystem::remove_all(entry.path(), ignored);
}

bool write_ntacl(const std::string &path, const Bytes &blob)
{
    return setxattr(path.c_str(), "security.NTACL", blob.data(), blob.size(), 0) == 0;
}

Bytes read_ntacl(const std::string &path)
{
    Bytes b(65536);
    ssize_t n = getxattr(path.c_str(), "security.NTACL", b.data(), b.size());
    b.resize(n < 0 ? 0 : (size_t)n);
    return b;
}

bool has_ntacl(const std::string &path)
{
    return getxattr(path.c_str(), "security.NTACL", NULL, 0) >= 0;
}

std::string system_text(DWORD code)
{
    char *text = NULL;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, NULL, code,
                             MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), (LPSTR)&text, 0, NULL);
    if (n == 0)
        return "";
    std::string s(text, n);
    LocalFree(text);
    if (s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0)
        s.resize(s.size() - 2);
    return s;
}
