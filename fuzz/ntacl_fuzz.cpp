// Arbitrary bytes as a file's security.NTACL, through the store's read
// path and, where they are accepted, through the whole rewrite and the
// write path. Whatever comes in, nothing out of bounds is touched, nothing
// leaks, a refused blob is never written over, and what is written parses
// again to the descriptor it was made from.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "layer.h"
#include "zirm.h"

#define ALL_PARTS 15
#define DACL_CONTROL_BITS                                                                                              \
    (SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED)

static const BYTE everyone_sid[] = { 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0 };
static char path[64];
static BYTE after[NTACL_MAX_SIZE];
static DWORD descriptor[0x10014 / 4];

static void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "ntacl_fuzz: %s\n", what);
        abort();
    }
}

static DWORD read_back(void)
{
    ssize_t n = getxattr(path, NTACL_NAME, after, sizeof(after));
    check(n >= 0, "the attribute is gone");
    return (DWORD)n;
}

// What a Samba server stores for a mask it is given.
static DWORD stored_mask(DWORD mask)
{
    static const DWORD mapping[][2] = {
        { GENERIC_READ, 0x00120089 },
        { GENERIC_WRITE, 0x00120116 },
        { GENERIC_EXECUTE, 0x001200A0 },
        { GENERIC_ALL, 0x001F01FF },
    };
    for (const auto &m : mapping)
        if (mask & m[0])
            mask = (mask & ~m[0]) | m[1];
    return mask;
}

static bool same_part(const BYTE *a, DWORD a_length, const BYTE *b, DWORD b_length)
{
    return a_length == b_length && (a_length == 0 || memcmp(a, b, a_length) == 0);
}

// An ACL is stored with the size it uses, which is all Samba reads of it:
// the same but for the size field.
static bool same_acl(const BYTE *a, DWORD a_length, const BYTE *b, DWORD b_length)
{
    if (a_length != b_length || a_length == 0)
        return a_length == b_length;
    return get16(a + 2) == a_length && memcmp(a, b, 2) == 0 && memcmp(a + 4, b + 4, a_length - 4) == 0;
}

// A refused blob: the write path must refuse it too, and leave it as it was.
static void refused(const uint8_t *data, size_t size)
{
    BYTE empty[8];
    SECURITY_DESCRIPTOR sd;

    check(GetLastError() == ERROR_INVALID_SECURITY_DESCR, "a refusal with another code");
    InitializeAcl((PACL)empty, sizeof(empty), ACL_REVISION);
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, (PACL)empty, FALSE);
    check(!SetFileSecurityA(path, DACL_SECURITY_INFORMATION, &sd), "a refused blob was written over");
    check(read_back() == size && memcmp(after, data, size) == 0, "a refused blob changed");
}

// Writing back what was read must give the same bytes.
static void stable(DWORD length)
{
    SECURITY_DESCRIPTOR sd;
    BOOL present, defaulted;
    SECURITY_DESCRIPTOR_CONTROL control;
    DWORD needed, revision;
    PACL dacl = NULL;
    BYTE copy[NTACL_MAX_SIZE];

    memcpy(copy, after, length);
    check(GetFileSecurityA(path, DACL_SECURITY_INFORMATION, descriptor, sizeof(descriptor), &needed),
          "what was written does not read");
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, present, dacl, defaulted);
    SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED,
                                 control & (SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED));
    check(SetFileSecurityA(path, DACL_SECURITY_INFORMATION, &sd), "what was written does not write back");
    check(read_back() == length && memcmp(after, copy, length) == 0, "writing back changed the bytes");
}

static void remove_scratch_file(void)
{
    unlink(path);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FILE *f;

    // tmpfs takes attributes up to 64 KiB, and keeps the runs fast.
    snprintf(path, sizeof(path), "/dev/shm/zirm-fuzz-%d", (int)getpid());
    f = fopen(path, "w");
    check(f != NULL, "cannot create the scratch file");
    fclose(f);
    atexit(remove_scratch_file);
    // The tool reports failures on standard output.
    check(freopen("/dev/null", "w", stdout) != NULL, "cannot silence standard output");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    struct descriptor_parts parts, written;
    DWORD prefix, written_prefix, needed, length, in_use, written_in_use, i;
    DWORD generic_rights, file_rights;
    WORD expected_control;
    int status;

    if (setxattr(path, NTACL_NAME, data, size, 0) != 0)
        return 0; // more than the kernel keeps

    BOOL accepted = ntacl_parse(data, (DWORD)size, &prefix, &parts);
    BOOL read = GetFileSecurityA(path, ALL_PARTS, descriptor, sizeof(descriptor), &needed);
    check(read == accepted, "the read path and the parser disagree");
    if (!accepted) {
        refused(data, size);
        return 0;
    }

    generic_rights = size % 2 ? GENERIC_READ | GENERIC_EXECUTE : GENERIC_WRITE;
    file_rights = size % 3 ? FILE_GENERIC_READ : 0;
    status = apply_everyone_access(path, generic_rights, file_rights);
    length = read_back();
    if (status != 0 || parts.dacl == NULL) {
        // A failed run, or nothing to change: every byte as it was.
        check(length == size && memcmp(after, data, size) == 0, "the blob changed without a successful write");
        return 0;
    }

    check(ntacl_parse(after, length, &written_prefix, &written), "what was written does not parse");
    check(written_prefix == prefix && memcmp(after, data, prefix) == 0, "the bytes before the descriptor changed");
    check(same_part(written.owner, written.owner_length, parts.owner, parts.owner_length), "the owner changed");
    check(same_part(written.group, written.group_length, parts.group, parts.group_length), "the group changed");
    check(same_acl(written.sacl, written.sacl_length, parts.sacl, parts.sacl_length), "the SACL changed");
    expected_control = (WORD)(SE_DACL_PRESENT | (parts.control & ~DACL_CONTROL_BITS) |
                              (parts.control & (SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED)));
    check(written.control == expected_control, "the control changed beyond the DACL's bits");

    // The same entries, in order, byte for byte but for their masks: the
    // Everyone entries' as the rule says, every mask as a Samba server
    // stores it.
    check(acl_is_well_formed(parts.dacl, (DWORD)(data + size - parts.dacl), &in_use) && in_use == parts.dacl_length,
          "the parser took a malformed DACL");
    check(written.dacl != NULL && written.dacl[0] == ACL_REVISION, "the DACL is not revision 2");
    check(written.dacl_length == in_use, "the stored DACL has a free tail");
    check(acl_is_well_formed(written.dacl, written.dacl_length, &written_in_use) && written_in_use == in_use,
          "the written DACL is malformed");
    check(get16(written.dacl + 4) == get16(parts.dacl + 4), "entries were added or removed");
    for (i = 8; i < in_use; i += get16(parts.dacl + i + 2)) {
        DWORD ace_size = get16(parts.dacl + i + 2);
        bool everyone = ace_size >= 20 && memcmp(parts.dacl + i + 8, everyone_sid, sizeof(everyone_sid)) == 0;
        check(memcmp(written.dacl + i, parts.dacl + i, 4) == 0, "an entry's header changed");
        check(everyone || get32(written.dacl + i + 4) == stored_mask(get32(parts.dacl + i + 4)),
              "a mask not Everyone's changed beyond its mapping");
        check(get32(written.dacl + i + 4) == stored_mask(get32(written.dacl + i + 4)), "a generic right was stored");
        check(memcmp(written.dacl + i + 8, parts.dacl + i + 8, ace_size - 8) == 0, "an entry's SID changed");
    }

    stable(length);
    return 0;
}
