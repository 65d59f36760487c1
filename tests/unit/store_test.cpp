// The store: descriptors kept in security.NTACL, read and written back.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "fixtures.h"

static Bytes from_hex(const char *hex)
{
    Bytes b;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        b.push_back((BYTE)std::stoi(std::string(hex + i, 2), nullptr, 16));
    return b;
}

// Written by samba-tool ntacl set --use-ntvfs.
static const char protected_dacl_hex[] = // D:P(A;;GR;;;WD)(D;OICI;0x1f01ff;;;BA)
    "0100010000000200010004900000000000000000000000001c0000000400340002000000000014000000008001010000000000010000"
    "000001031800ff011f0001020000000000052000000020020000";
static const char owner_group_hex[] = // O:BAG:SYD:P(A;;GR;;;WD)(D;;0x1f01ff;;;BA)(A;ID;0x1ff;;;WD)
    "0100010000000200010004901c0000002c000000000000003800000001020000000000052000000020020000010100000000000512"
    "0000000400480003000000000014000000008001010000000000010000000001001800ff011f0001020000000000052000000020020000"
    "00101400ff010000010100000000000100000000";
static const char sacl_hex[] = // D:AI(A;ID;GR;;;WD)S:(AU;SA;0x1ff;;;WD)
    "01000100000002000100148400000000000000001c0000003800000004001c000100000002401400ff0100000101000000000001000000"
    "0004001c00010000000010140000000080010100000000000100000000";

class StoreTest : public testing::Test
{
  protected:
    void TearDown() override
    {
        remove_scratch();
    }
};

// The stored parts of a blob, by the offsets it declares.
static StoredDescriptor parts_of(const Bytes &blob, DWORD prefix)
{
    StoredDescriptor d;
    d.control = get_word(blob, prefix + 2);
    Bytes *sids[] = { &d.owner, &d.group };
    for (int i = 0; i < 2; i++) {
        DWORD at = get_dword(blob, prefix + 4 + 4 * i);
        if (at != 0)
            *sids[i] = Bytes(blob.begin() + at, blob.begin() + at + 8 + 4 * blob[at + 1]);
    }
    Bytes *acls[] = { &d.sacl, &d.dacl };
    for (int i = 0; i < 2; i++) {
        DWORD at = get_dword(blob, prefix + 12 + 4 * i);
        if (at != 0)
            *acls[i] = Bytes(blob.begin() + at, blob.begin() + at + get_word(blob, at + 2));
    }
    return d;
}

// Reads the DACL and its control through the layer, and writes them back.
static BOOL write_back_dacl(const std::string &path, WORD free_tail = 0)
{
    std::vector<DWORD> buffer(0x10014 / 4);
    DWORD needed = 0;
    if (!GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, buffer.data(), 0x10014, &needed))
        return FALSE;
    BOOL present, defaulted;
    PACL dacl = NULL;
    SECURITY_DESCRIPTOR_CONTROL control;
    DWORD revision;
    GetSecurityDescriptorDacl(buffer.data(), &present, &dacl, &defaulted);
    GetSecurityDescriptorControl(buffer.data(), &control, &revision);

    Bytes copy;
    if (dacl != NULL) {
        copy.assign((BYTE *)dacl, (BYTE *)dacl + dacl->AclSize);
        copy.resize(copy.size() + free_tail, 0);
        ((ACL *)copy.data())->AclSize = (WORD)copy.size();
    }
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, present, dacl != NULL ? (PACL)copy.data() : NULL, FALSE);
    SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED,
                                 control & (SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED));
    return SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, &sd);
}

// The same blob as stored by a Samba server given it: the GENERIC_READ of
// its Everyone entry mapped to the file rights.
static Bytes generic_read_mapped(const char *hex)
{
    std::string s = hex;
    const std::string everyone_generic_read = "0000008001010000000000010000";
    size_t at = s.find(everyone_generic_read);
    if (at != std::string::npos)
        s.replace(at, 8, "89001200");
    return from_hex(s.c_str());
}

TEST_F(StoreTest, WritingBackTheSameDaclKeepsEveryByte)
{
    Bytes dacl = make_acl(4, { make_ace(0, 0x13, 0x1200A9, everyone_sid()), make_ace(1, 0, 0x10000, admins_sid()) });
    Bytes sacl = make_acl(2, { make_ace(2, 0x40, 0x1F01FF, everyone_sid()) });
    StoredDescriptor full = { SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT | SE_DACL_PROTECTED, admins_sid(),
                              system_sid(), sacl, dacl };
    // Entries whose SIDs come after one GUID, or two.
    std::vector<Bytes> object_entries;
    for (DWORD flags : { 1u, 2u, 3u }) {
        Bytes e = { ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, 0, 0, 0x10, 0, 0, 0 };
        e.insert(e.end(), { (BYTE)flags, 0, 0, 0 });
        e.insert(e.end(), (flags == 3 ? 32 : 16), (BYTE)(0x60 + flags));
        Bytes sid = everyone_sid();
        e.insert(e.end(), sid.begin(), sid.end());
        e[2] = (BYTE)e.size();
        object_entries.push_back(e);
    }
    Bytes object_dacl = make_acl(ACL_REVISION_DS, object_entries);
    Bytes hash_ends_in_zeros = v4_prefix("posix_acl");
    hash_ends_in_zeros[76] = hash_ends_in_zeros[77] = 0;
    const struct {
        const char *name;
        Bytes blob;
        Bytes expected;
    } cases[] = {
        { "samba-tool, protected", from_hex(protected_dacl_hex), generic_read_mapped(protected_dacl_hex) },
        { "samba-tool, owner and group", from_hex(owner_group_hex), generic_read_mapped(owner_group_hex) },
        // Only the DACL is written: the SACL keeps its GENERIC_READ.
        { "samba-tool, SACL and auto-inherited", from_hex(sacl_hex), generic_read_mapped(sacl_hex) },
        { "version 2", make_blob(v2_prefix(), full), {} },
        { "version 3", make_blob(v3_prefix(), full), {} },
        { "version 4", make_blob(v4_prefix("posix_acl"), full), {} },
        { "version 4, hash ending in zeros", make_blob(hash_ends_in_zeros, full), {} },
        { "version 4, longer description", make_blob(v4_prefix("a description of 21 b"), full), {} },
        { "version 4, UTF-8 description", make_blob(v4_prefix("r\xc3\xa9sum\xc3\xa9 \xf0\x9f\x93\x81"), full), {} },
        { "version 4, no owner",
          make_blob(v4_prefix(""), { SE_SELF_RELATIVE | SE_DACL_PRESENT, {}, {}, {}, dacl }),
          {} },
        { "object entries with their GUIDs",
          make_blob(v4_prefix("posix_acl"), { SE_SELF_RELATIVE | SE_DACL_PRESENT, {}, {}, {}, object_dacl }),
          {} },
        // Samba ignores the bit: it is kept as it was.
        { "not marked self-relative", make_blob(v1_prefix(), { SE_DACL_PRESENT, {}, {}, {}, dacl }), {} },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes &expected = c.expected.empty() ? c.blob : c.expected;
        std::string path = make_file("f");
        ASSERT_TRUE(write_ntacl(path, c.blob));
        ASSERT_TRUE(write_back_dacl(path)) << GetLastError();
        EXPECT_EQ(read_ntacl(path), expected);
        // A free tail is dropped: the stored ACL declares what it holds.
        ASSERT_TRUE(write_back_dacl(path, 20)) << GetLastError();
        EXPECT_EQ(read_ntacl(path), expected);
        remove_scratch();
    }
}

// Windows takes a self-relative descriptor as well as an absolute one.
TEST_F(StoreTest, SelfRelativeDescriptorsAreTaken)
{
    std::string path = make_file("f");
    Bytes blob = from_hex(owner_group_hex);
    ASSERT_TRUE(write_ntacl(path, blob));
    Bytes dacl =
        make_acl(2, { make_ace(1, 0x10, 0x00010000, admins_sid()), make_ace(0, 0, 0x001200A9, everyone_sid()) });
    Bytes relative = make_self_relative({ SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED, {}, {}, {}, dacl });
    ASSERT_TRUE(SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, relative.data())) << GetLastError();
    StoredDescriptor before = parts_of(blob, 8), after = parts_of(read_ntacl(path), 8);
    EXPECT_EQ(after.dacl, dacl);
    EXPECT_EQ(after.owner, before.owner);
    EXPECT_EQ(after.group, before.group);
    EXPECT_EQ(after.control, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED);
}

// What a Samba server stores for generic rights: each mapped through the
// file mapping, in every entry of the ACLs written, the other bits kept.
TEST_F(StoreTest, GenericRightsAreStoredMapped)
{
    const struct {
        DWORD given;
        DWORD stored;
    } cases[] = {
        { GENERIC_READ, 0x00120089 },
        { GENERIC_WRITE, 0x00120116 },
        { GENERIC_EXECUTE, 0x001200A0 },
        { GENERIC_ALL, 0x001F01FF },
        { GENERIC_READ | GENERIC_EXECUTE, 0x001200A9 },
        { GENERIC_READ | 0x00010000, 0x00130089 },
        { 0x00000001, 0x00000001 },
        { 0x02000000, 0x02000000 },
        { 0, 0 },
    };
    std::string path = make_file("f");
    Bytes sacl = make_acl(2, { make_ace(2, 0x40, GENERIC_READ, everyone_sid()) });
    Bytes stored_dacl = make_acl(2, { make_ace(0, 0, GENERIC_WRITE, admins_sid()) });
    for (const auto &c : cases) {
        SCOPED_TRACE(c.given);
        ASSERT_TRUE(write_ntacl(
            path, make_blob(v1_prefix(),
                            { SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT, {}, {}, sacl, stored_dacl })));
        // Every entry, whatever its type and SID; an object entry's mask
        // stands where any other's does.
        Bytes object = { ACCESS_DENIED_OBJECT_ACE_TYPE, 0x0B, 24, 0, 0, 0, 0, 0, 0, 0, 0, 0 };
        Bytes sid = admins_sid();
        object.insert(object.end(), sid.begin(), sid.end());
        object[2] = (BYTE)object.size();
        set_dword(object, 4, c.given);
        Bytes dacl =
            make_acl(4, { make_ace(0, 0, c.given, everyone_sid()), make_ace(1, 0x0B, c.given, system_sid()), object });
        SECURITY_DESCRIPTOR sd;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, (PACL)dacl.data(), FALSE);
        ASSERT_TRUE(SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, &sd)) << GetLastError();
        StoredDescriptor after = parts_of(read_ntacl(path), 8);
        std::vector<Bytes> entries = acl_entries(after.dacl.data());
        ASSERT_EQ(entries.size(), 3u);
        for (const Bytes &e : entries)
            EXPECT_EQ(get_dword(e, 4), c.stored);
        // The caller's DACL is not changed, and the SACL was not written.
        EXPECT_EQ(get_dword(dacl, 8 + 4), c.given);
        EXPECT_EQ(after.sacl, sacl);

        // A SACL that is written is mapped too.
        SECURITY_DESCRIPTOR sd_sacl = {};
        sd_sacl.Revision = SECURITY_DESCRIPTOR_REVISION;
        sd_sacl.Control = SE_SACL_PRESENT;
        sd_sacl.Sacl = (PACL)dacl.data();
        ASSERT_TRUE(SetFileSecurityA(path.c_str(), SACL_SECURITY_INFORMATION, &sd_sacl)) << GetLastError();
        after = parts_of(read_ntacl(path), 8);
        for (const Bytes &e : acl_entries(after.sacl.data()))
            EXPECT_EQ(get_dword(e, 4), c.stored);
    }
}

TEST_F(StoreTest, ReadsWhatIsAskedFor)
{
    Bytes blob = from_hex(owner_group_hex);
    std::string path = make_file("f");
    ASSERT_TRUE(write_ntacl(path, blob));
    StoredDescriptor stored = parts_of(blob, 8);

    const struct {
        SECURITY_INFORMATION requested;
        StoredDescriptor expected;
    } cases[] = {
        { DACL_SECURITY_INFORMATION,
          { SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED, {}, {}, {}, stored.dacl } },
        { OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION,
          { SE_SELF_RELATIVE, stored.owner, stored.group, {}, {} } },
        { OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
              SACL_SECURITY_INFORMATION,
          stored },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.requested);
        Bytes expected = make_self_relative(c.expected);
        std::vector<BYTE> buffer(expected.size() + 16, 0xEE);
        DWORD needed = 0;
        ASSERT_TRUE(GetFileSecurityA(path.c_str(), c.requested, buffer.data(), (DWORD)buffer.size(), &needed));
        EXPECT_EQ(needed, expected.size());
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + needed), expected);

        // One byte too few: the length it needs, and nothing written.
        std::vector<BYTE> small(expected.size() - 1, 0xEE);
        needed = 0;
        EXPECT_FALSE(GetFileSecurityA(path.c_str(), c.requested, small.data(), (DWORD)small.size(), &needed));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(needed, expected.size());
        EXPECT_EQ(small, std::vector<BYTE>(expected.size() - 1, 0xEE));
    }
}

TEST_F(StoreTest, FilesWithoutADescriptor)
{
    std::string path = make_file("plain");
    std::vector<DWORD> buffer(64);
    DWORD needed;
    EXPECT_FALSE(GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, buffer.data(), 256, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_SECURITY_ON_OBJECT);

    // Nor is one ever made: the store only replaces a descriptor that is there.
    Bytes dacl = make_acl(2, { make_ace(0, 0, 0x80000000, everyone_sid()) });
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, (PACL)dacl.data(), FALSE);
    EXPECT_FALSE(SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, &sd));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_SECURITY_ON_OBJECT);
    EXPECT_FALSE(has_ntacl(path));

    EXPECT_FALSE(GetFileSecurityA(scratch_path("missing").c_str(), 4, buffer.data(), 256, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(GetFileSecurityA((path + "/below").c_str(), 4, buffer.data(), 256, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
}

TEST_F(StoreTest, RefusesToStoreWhatItCouldNotReadBack)
{
    std::string path = make_file("f");
    Bytes blob = from_hex(protected_dacl_hex);
    ASSERT_TRUE(write_ntacl(path, blob));

    Bytes no_sid = make_acl(2, { { 0x00, 0, 8, 0, 1, 0, 0, 0 } });
    Bytes bad_sid = make_acl(2, { make_ace(0, 0, 1, make_sid(1, { 0 })) });
    bad_sid[8 + 8] = 2; // SID revision
    Bytes bad_revision = make_acl(2, {});
    bad_revision[0] = 1;
    for (Bytes *dacl : { &no_sid, &bad_sid, &bad_revision }) {
        SECURITY_DESCRIPTOR sd;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, (PACL)dacl->data(), FALSE);
        EXPECT_FALSE(SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, &sd));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_ACL);
        EXPECT_EQ(read_ntacl(path), blob);
    }
}

TEST_F(StoreTest, MalformedBlobsAreRefusedAndNeverWrittenOver)
{
    Bytes good =
        make_blob(v4_prefix("posix_acl"), { SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT, admins_sid(),
                                            system_sid(), make_acl(2, { make_ace(2, 0x40, 1, everyone_sid()) }),
                                            make_acl(2, { make_ace(0, 0, 1, everyone_sid()) }) });
    DWORD d = (DWORD)v4_prefix("posix_acl").size(); // where the descriptor starts
    DWORD sacl = get_dword(good, d + 12);
    DWORD dacl = get_dword(good, d + 16);
    DWORD owner = get_dword(good, d + 4);
    auto with = [&](size_t at, std::vector<BYTE> bytes) {
        Bytes b = good;
        std::copy(bytes.begin(), bytes.end(), b.begin() + at);
        return b;
    };
    auto with_dword = [&](size_t at, DWORD v) {
        Bytes b = good;
        set_dword(b, at, v);
        return b;
    };
    std::vector<std::pair<std::string, Bytes>> cases = {
        { "version 5", with(0, { 5, 0, 5, 0 }) },
        { "level differs from version", with(2, { 1, 0 }) },
        { "null descriptor pointer", with_dword(8, 0) },
        { "description without its end", Bytes(good.begin(), good.begin() + 82) },
        { "descriptor revision 2", with(d, { 2 }) },
        { "DACL offset past the end", with_dword(d + 16, (DWORD)good.size()) },
        { "DACL offset inside the header", with_dword(d + 16, d + 4) },
        { "DACL offset near 4 GiB", with_dword(d + 16, 0xFFFFFFF0) },
        { "owner offset past the end", with_dword(d + 4, (DWORD)good.size() + 100) },
        { "owner with 16 sub-authorities", with(owner + 1, { 16 }) },
        { "owner SID revision 0", with(owner, { 0 }) },
        { "ACL revision 1", with(dacl, { 1 }) },
        { "ACL revision 5", with(dacl, { 5 }) },
        { "AclSize past the end", with(dacl + 2, { 0xFF, 0 }) },
        { "AclSize smaller than the header", with(dacl + 2, { 4, 0 }) },
        { "more entries than bytes", with(dacl + 4, { 2, 0 }) },
        { "entry of size 0", with(dacl + 8 + 2, { 0, 0 }) },
        { "entry size not whole DWORDs", with(dacl + 8 + 2, { 18, 0 }) },
        { "entry past the ACL", with(dacl + 8 + 2, { 24, 0 }) },
        { "entry SID longer than the entry", with(dacl + 8 + 8 + 1, { 2 }) },
        { "object entry with no room for its fields",
          with(dacl + 8, { ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, 20, 0, 0, 0, 0, 0, 3 }) },
        // Samba 4.17 reads the SID where 4.22 reads object-type fields.
        { "allowed callback object entry", with(dacl + 8, { ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE }) },
        { "denied callback object entry", with(dacl + 8, { ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE }) },
        { "audit callback object entry", with(sacl + 8, { SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE }) },
        // Samba 4.22 checks a claim here that 4.17 takes as padding.
        { "resource attribute entry", with(sacl + 8, { 0x12 }) },
        { "empty", {} },
        { "no descriptor at all", with_dword(4, 0) },
        { "bytes after the last part",
          [&] {
              Bytes b = good;
              b.insert(b.end(), { 0, 0, 0, 0 });
              return b;
          }() },
        { "DACL without its present bit", with(d + 2, { 0x10, 0x80 }) },
        { "SACL without its present bit", with(d + 2, { 0x04, 0x80 }) },
        { "ACL Sbz1 not 0", with(dacl + 1, { 1 }) },
        { "ACL Sbz2 not 0", with(dacl + 6, { 1 }) },
        { "ACL size not whole DWORDs, and the DACL after it unaligned",
          make_blob(v1_prefix(), { SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT,
                                   {},
                                   {},
                                   make_acl(2, {}, 2),
                                   make_acl(2, { make_ace(0, 0, 1, everyone_sid()) }) }) },
        { "description not UTF-8", make_blob(v4_prefix("posix\xff"), { SE_SELF_RELATIVE, {}, {}, {}, {} }) },
        { "description with an overlong form", make_blob(v4_prefix("\xc0\xaf"), { SE_SELF_RELATIVE, {}, {}, {}, {} }) },
        { "description with a lone surrogate",
          make_blob(v4_prefix("\xed\xa0\x80"), { SE_SELF_RELATIVE, {}, {}, {}, {} }) },
        // Samba 4.17 reads it as U+10000; 4.22 refuses it.
        { "description with an encoded surrogate pair",
          make_blob(v4_prefix("\xed\xa0\x80\xed\xb0\x80"), { SE_SELF_RELATIVE, {}, {}, {}, {} }) },
        { "description past U+10FFFF", make_blob(v4_prefix("\xf4\x90\x80\x80"), { SE_SELF_RELATIVE, {}, {}, {}, {} }) },
    };
    // Every truncation of a good blob cuts into its DACL, which comes last.
    for (size_t n = 1; n < good.size(); n += 7)
        cases.push_back({ "cut to " + std::to_string(n), Bytes(good.begin(), good.begin() + n) });

    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        std::string path = make_file("f");
        ASSERT_TRUE(write_ntacl(path, c.second));
        std::vector<DWORD> buffer(0x10014 / 4);
        DWORD needed;
        EXPECT_FALSE(GetFileSecurityA(path.c_str(), 15, buffer.data(), 0x10014, &needed));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SECURITY_DESCR);

        Bytes acl = make_acl(2, {});
        SECURITY_DESCRIPTOR sd;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, (PACL)acl.data(), FALSE);
        EXPECT_FALSE(SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, &sd));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SECURITY_DESCR);
        EXPECT_EQ(read_ntacl(path), c.second);
        remove_scratch();
    }
}

TEST_F(StoreTest, Attributes)
{
    std::string file = make_file("file");
    std::string readonly = make_file("readonly");
    chmod(readonly.c_str(), 0444);
    // A directory no one may write is a directory first: it takes the
    // directory rule.
    std::string readonly_directory = make_directory("readonly_dir");
    chmod(readonly_directory.c_str(), 0555);
    const struct {
        std::string name;
        DWORD expected;
        DWORD code;
    } cases[] = {
        { make_directory("dir"), FILE_ATTRIBUTE_DIRECTORY, 0 },
        { readonly_directory, FILE_ATTRIBUTE_DIRECTORY, 0 },
        { file, FILE_ATTRIBUTE_NORMAL, 0 },
        { readonly, FILE_ATTRIBUTE_READONLY, 0 },
        { scratch_path("missing"), INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND },
        { scratch_path("wild*"), INVALID_FILE_ATTRIBUTES, ERROR_INVALID_NAME },
        { "", INVALID_FILE_ATTRIBUTES, ERROR_INVALID_NAME },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(GetFileAttributesA(c.name.c_str()), c.expected);
        if (c.code != 0) {
            EXPECT_EQ(GetLastError(), c.code);
        }
    }
}

// Writes a DACL of `count` Everyone entries to the file.
static BOOL write_entries(const std::string &path, size_t count)
{
    Bytes dacl = make_acl(2, std::vector<Bytes>(count, make_ace(0, 0, 1, everyone_sid())));
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, (PACL)dacl.data(), FALSE);
    return SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, &sd);
}

TEST_F(StoreTest, NoRoomForTheAttribute)
{
    // ext4 keeps all of a file's attributes in one 4 KiB block.
    std::string path = make_file("f");
    struct statfs fs;
    ASSERT_EQ(statfs(path.c_str(), &fs), 0);
    if (fs.f_type == 0xEF53) {
        Bytes blob = from_hex(protected_dacl_hex);
        ASSERT_TRUE(write_ntacl(path, blob));
        EXPECT_FALSE(write_entries(path, 300));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_EAS_DIDNT_FIT);
        EXPECT_EQ(read_ntacl(path), blob);
    }

    // Samba reads at most 2,000 entries in one ACL; with longer SIDs, no
    // file system keeps the attribute (over 64 KiB).
    std::string big = "/dev/shm/zirm-unit-big";
    FILE *f = fopen(big.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    ASSERT_TRUE(write_ntacl(big, from_hex(protected_dacl_hex)));
    EXPECT_TRUE(write_entries(big, 2000)) << GetLastError();
    EXPECT_EQ(read_ntacl(big).size(), 8 + 20 + 8 + 2000 * 20u);
    Bytes before = read_ntacl(big);
    EXPECT_FALSE(write_entries(big, 2001));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_ACL);
    EXPECT_EQ(read_ntacl(big), before);
    // Nor is a stored blob of 2,001 entries read, or written over.
    Bytes too_many =
        make_blob(v1_prefix(), { SE_SELF_RELATIVE | SE_DACL_PRESENT,
                                 {},
                                 {},
                                 {},
                                 make_acl(2, std::vector<Bytes>(2001, make_ace(0, 0, 1, everyone_sid()))) });
    ASSERT_TRUE(write_ntacl(big, too_many));
    std::vector<DWORD> buffer(0x10014 / 4);
    DWORD needed;
    EXPECT_FALSE(GetFileSecurityA(big.c_str(), DACL_SECURITY_INFORMATION, buffer.data(), 0x10014, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SECURITY_DESCR);
    EXPECT_FALSE(write_entries(big, 1));
    EXPECT_EQ(read_ntacl(big), too_many);
    ASSERT_TRUE(write_ntacl(big, before));

    // 862 entries of 76 bytes make a DACL of 65,520 bytes, and the blob
    // 65,548: more than the kernel keeps.
    Bytes long_sid = make_sid(5, std::vector<DWORD>(15, 21));
    Bytes dacl = make_acl(2, std::vector<Bytes>(862, make_ace(0, 0, 1, long_sid)));
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, (PACL)dacl.data(), FALSE);
    EXPECT_FALSE(SetFileSecurityA(big.c_str(), DACL_SECURITY_INFORMATION, &sd));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_EAS_DIDNT_FIT);
    EXPECT_EQ(read_ntacl(big), before);
    unlink(big.c_str());
}
