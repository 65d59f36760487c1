// Runs a corpus of scenarios through the security calls zirm makes and
// prints a canonical trace: each call's result, the last-error code when it
// failed, and the bytes it produced. Built natively against the platform
// layer and with mingw-w64 against the real API, so that the two traces
// can be compared line for line.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sequences.h"

static const char *scenario;
static int step;

static void hex(const void *bytes, size_t length)
{
    const unsigned char *p = (const unsigned char *)bytes;
    size_t i;

    printf(" [");
    for (i = 0; i < length; i++)
        printf("%02x", p[i]);
    printf("]");
}

// One line per call: scenario.step call = result, then the error or bytes.
static void begin(const char *call)
{
    printf("%s.%02d %s =", scenario, ++step, call);
}

static void result(BOOL ok)
{
    if (ok)
        printf(" TRUE");
    else
        printf(" FALSE err=%lu", (unsigned long)GetLastError());
}

static void end(void)
{
    printf("\n");
}

static void start(const char *name)
{
    scenario = name;
    step = 0;
}

// Calls that set the error are preceded by a marker, so a call that fails
// without setting one shows it.
static void mark(void)
{
    SetLastError(0xE0E0);
}

static DWORD buffer[0x10014 / 4];
static DWORD other[0x10014 / 4];

// A zeroed ACL, so that the bytes past its entries do not depend on what
// an earlier scenario left there.
static PACL fresh_acl(DWORD size, DWORD revision)
{
    memset(buffer, 0, 512);
    InitializeAcl((PACL)buffer, size, revision);
    return (PACL)buffer;
}

static void init_sid(void *sid, BYTE authority, BYTE count, DWORD first)
{
    SID_IDENTIFIER_AUTHORITY a = { { 0, 0, 0, 0, 0, authority } };
    BYTE i;

    InitializeSid(sid, &a, count);
    for (i = 0; i < count; i++)
        *GetSidSubAuthority(sid, i) = first + i;
}

// An ACE of the basic layout for the SID, built by hand.
static DWORD make_ace(BYTE *out, BYTE type, BYTE flags, DWORD mask, BYTE authority, BYTE count)
{
    DWORD size = 8 + GetSidLengthRequired(count);

    out[0] = type;
    out[1] = flags;
    out[2] = (BYTE)size;
    out[3] = (BYTE)(size >> 8);
    memcpy(out + 4, &mask, 4);
    init_sid(out + 8, authority, count, 32);
    return size;
}

// An object ACE: header, mask, object flags, one GUID, then the SID.
static DWORD make_object_ace(BYTE *out)
{
    DWORD flags = ACE_OBJECT_TYPE_PRESENT;
    DWORD mask = 0x100;
    int i;

    out[0] = ACCESS_ALLOWED_OBJECT_ACE_TYPE;
    out[1] = 0;
    out[2] = 12 + 16 + 12;
    out[3] = 0;
    memcpy(out + 4, &mask, 4);
    memcpy(out + 8, &flags, 4);
    for (i = 0; i < 16; i++)
        out[12 + i] = (BYTE)(0x30 + i);
    init_sid(out + 28, 1, 1, 0);
    return 40;
}

static void sids(void)
{
    static const BYTE counts[] = { 0, 1, 2, 15, 16 };
    SID_IDENTIFIER_AUTHORITY world = { SECURITY_WORLD_SID_AUTHORITY };
    size_t i;

    start("sid.length");
    for (i = 0; i < sizeof(counts); i++) {
        begin("GetSidLengthRequired");
        printf(" %lu", (unsigned long)GetSidLengthRequired(counts[i]));
        end();
    }

    start("sid.init");
    for (i = 0; i < sizeof(counts); i++) {
        memset(buffer, 0xCC, 80);
        mark();
        begin("InitializeSid");
        result(InitializeSid(buffer, &world, counts[i]));
        // The sub-authorities too: they start at 0.
        hex(buffer, 8 + 4 * counts[i]);
        end();
    }

    start("sid.subauthority");
    init_sid(buffer, 5, 14, 100);
    for (i = 0; i < 14; i += 13) {
        begin("GetSidSubAuthority");
        printf(" offset=%ld value=%lu", (long)((BYTE *)GetSidSubAuthority(buffer, (DWORD)i) - (BYTE *)buffer),
               (unsigned long)*GetSidSubAuthority(buffer, (DWORD)i));
        end();
    }
    begin("GetLengthSid");
    printf(" %lu", (unsigned long)GetLengthSid(buffer));
    end();
    init_sid(buffer, 1, 0, 0);
    begin("GetLengthSid");
    printf(" %lu", (unsigned long)GetLengthSid(buffer));
    end();
    // The most sub-authorities a SID can have, written by hand.
    memset(buffer, 0, 68);
    ((BYTE *)buffer)[0] = SID_REVISION;
    ((BYTE *)buffer)[1] = SID_MAX_SUB_AUTHORITIES;
    begin("GetLengthSid");
    printf(" %lu", (unsigned long)GetLengthSid(buffer));
    end();

    start("sid.equal");
    static const struct {
        BYTE authority, count;
        DWORD first;
    } pairs[][2] = {
        { { 1, 1, 0 }, { 1, 1, 0 } }, { { 1, 1, 0 }, { 1, 2, 0 } },   { { 1, 1, 0 }, { 5, 1, 0 } },
        { { 1, 1, 0 }, { 1, 1, 1 } }, { { 5, 14, 7 }, { 5, 14, 7 } }, { { 1, 0, 0 }, { 1, 0, 0 } },
    };
    for (i = 0; i < sizeof(pairs) / sizeof(pairs[0]); i++) {
        init_sid(buffer, pairs[i][0].authority, pairs[i][0].count, pairs[i][0].first);
        init_sid(other, pairs[i][1].authority, pairs[i][1].count, pairs[i][1].first);
        begin("EqualSid");
        printf(" %s", EqualSid(buffer, other) ? "equal" : "unequal");
        end();
    }

    // The error each leaves: unequal, and not valid, are answers.
    start("sid.errors");
    init_sid(buffer, 1, 1, 0);
    init_sid(other, 5, 1, 0);
    mark();
    begin("EqualSid");
    printf(" %s err=%lu", EqualSid(buffer, other) ? "equal" : "unequal", (unsigned long)GetLastError());
    end();
    init_sid(other, 1, 1, 0);
    ((BYTE *)other)[0] = 2;
    mark();
    begin("EqualSid");
    printf(" revision 2: %s err=%lu", EqualSid(buffer, other) ? "equal" : "unequal", (unsigned long)GetLastError());
    end();
    mark();
    begin("GetSidSubAuthority");
    GetSidSubAuthority(buffer, 0);
    printf(" err=%lu", (unsigned long)GetLastError());
    end();
}

static void acl_init(void)
{
    static const struct {
        DWORD size, revision;
    } cases[] = { { 8, 2 },  { 7, 2 },  { 0, 2 },  { 10, 2 },    { 64, 2 },    { 64, 3 },
                  { 64, 4 }, { 64, 1 }, { 64, 5 }, { 65535, 2 }, { 65536, 2 }, { 0x7FFFFFFF, 4 } };
    size_t i;

    start("acl.init");
    for (i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        memset(buffer, 0xCC, 16);
        mark();
        begin("InitializeAcl");
        printf(" size=%lu rev=%lu", (unsigned long)cases[i].size, (unsigned long)cases[i].revision);
        result(InitializeAcl((PACL)buffer, cases[i].size, cases[i].revision));
        hex(buffer, 8);
        end();
    }
}

// Adds the ACE at `ace` and prints the whole ACL afterwards.
static void add(PACL acl, DWORD revision, DWORD index, const BYTE *ace, DWORD length)
{
    mark();
    begin("AddAce");
    printf(" rev=%lu index=%ld length=%lu", (unsigned long)revision, index == MAXDWORD ? -1L : (long)index,
           (unsigned long)length);
    result(AddAce(acl, revision, index, (LPVOID)ace, length));
    hex(acl, acl->AclSize);
    end();
}

static void acl_add(void)
{
    static BYTE a[80], b[80], c[80], object[64], pair[160];
    PACL acl = (PACL)buffer;
    DWORD la = make_ace(a, 0, 0, 0x1F01FF, 1, 1);
    DWORD lb = make_ace(b, 1, 0x0B, 0x10000, 5, 2);
    DWORD lc = make_ace(c, 2, 0x40, 0x80000000, 5, 5);
    DWORD lo = make_object_ace(object);
    DWORD revision;

    memcpy(pair, a, la);
    memcpy(pair + la, b, lb);

    for (revision = 2; revision <= 4; revision++) {
        start(revision == 2 ? "acl.add.rev2" : revision == 3 ? "acl.add.rev3" : "acl.add.rev4");
        fresh_acl(8 + la + lb + lc, revision);
        add(acl, ACL_REVISION, MAXDWORD, a, la);
        add(acl, ACL_REVISION, MAXDWORD, b, lb);
        add(acl, ACL_REVISION, MAXDWORD, c, lc);
        add(acl, ACL_REVISION, MAXDWORD, a, 4); // the ACL is full
    }

    start("acl.add.insert");
    fresh_acl(8 + la + lb + lc, ACL_REVISION);
    add(acl, ACL_REVISION, MAXDWORD, a, la);
    add(acl, ACL_REVISION, 0, b, lb);
    add(acl, ACL_REVISION, 1, c, lc);

    start("acl.add.full");
    fresh_acl(8 + la + la, ACL_REVISION);
    add(acl, ACL_REVISION, MAXDWORD, pair, la + lb); // one entry too many
    add(acl, ACL_REVISION, MAXDWORD, a, la);
    add(acl, ACL_REVISION, MAXDWORD, a, la); // to the last byte
    add(acl, ACL_REVISION, 7, a, la);        // past the end

    start("acl.add.list");
    fresh_acl(128, ACL_REVISION);
    add(acl, ACL_REVISION, MAXDWORD, pair, la + lb);
    add(acl, ACL_REVISION, 9, a, la);

    static const struct {
        const char *name;
        DWORD revision;
    } revisions[] = {
        { "acl.add.revision1", 1 },
        { "acl.add.revision3", 3 },
        { "acl.add.revision4", 4 },
        { "acl.add.revision5", 5 },
    };
    for (size_t i = 0; i < sizeof(revisions) / sizeof(revisions[0]); i++) {
        start(revisions[i].name);
        fresh_acl(64, ACL_REVISION);
        add(acl, revisions[i].revision, MAXDWORD, a, la);
    }

    // An ACL raised to revision 5, then used.
    start("acl.add.revision5.later");
    fresh_acl(128, ACL_REVISION);
    add(acl, 5, MAXDWORD, a, la);
    add(acl, ACL_REVISION, MAXDWORD, a, la);
    {
        LPVOID ace;
        mark();
        begin("GetAce");
        result(GetAce(acl, 0, &ace));
        end();
    }

    start("acl.add.object.rev2");
    fresh_acl(128, ACL_REVISION);
    add(acl, ACL_REVISION, MAXDWORD, object, lo);
    start("acl.add.object.rev4");
    fresh_acl(128, ACL_REVISION);
    add(acl, ACL_REVISION_DS, MAXDWORD, object, lo);
    add(acl, ACL_REVISION, MAXDWORD, a, la);
}

static void print_size(PACL acl)
{
    ACL_SIZE_INFORMATION size_info;

    memset(&size_info, 0xCC, sizeof(size_info));
    mark();
    begin("GetAclInformation size");
    result(GetAclInformation(acl, &size_info, sizeof(size_info), AclSizeInformation));
    printf(" count=%lu in_use=%lu free=%lu", (unsigned long)size_info.AceCount, (unsigned long)size_info.AclBytesInUse,
           (unsigned long)size_info.AclBytesFree);
    end();
}

static void acl_query(void)
{
    static BYTE a[80], b[80];
    PACL acl = (PACL)buffer;
    DWORD la = make_ace(a, 0, 0x02, 0x1F01FF, 1, 1);
    DWORD lb = make_ace(b, 1, 0x09, 0x10000, 5, 2);
    ACL_REVISION_INFORMATION revision_info;
    LPVOID ace;
    DWORD i;

    start("acl.query");
    fresh_acl(100, ACL_REVISION_DS);
    AddAce(acl, ACL_REVISION_DS, MAXDWORD, a, la);
    AddAce(acl, ACL_REVISION_DS, MAXDWORD, b, lb);
    for (i = 0; i < 4; i++) {
        mark();
        ace = NULL;
        begin("GetAce");
        printf(" index=%lu", (unsigned long)i);
        BOOL ok = GetAce(acl, i, &ace);
        result(ok);
        if (ok)
            printf(" offset=%ld", (long)((BYTE *)ace - (BYTE *)acl));
        end();
    }

    print_size(acl);
    mark();
    begin("GetAclInformation revision");
    result(GetAclInformation(acl, &revision_info, sizeof(revision_info), AclRevisionInformation));
    printf(" revision=%lu", (unsigned long)revision_info.AclRevision);
    end();

    start("acl.query.empty");
    fresh_acl(8, ACL_REVISION);
    mark();
    begin("GetAce");
    result(GetAce(acl, 0, &ace));
    end();
    print_size(acl);
}

static void print_dacl(PSECURITY_DESCRIPTOR sd, const BYTE *base)
{
    BOOL present = 7, defaulted = 7;
    PACL dacl = (PACL)1;
    BOOL ok;

    mark();
    begin("GetSecurityDescriptorDacl");
    ok = GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    result(ok);
    if (ok) {
        printf(" present=%d", present);
        if (present) {
            if (dacl == NULL)
                printf(" dacl=NULL");
            else
                printf(" dacl=+%ld", (long)((const BYTE *)dacl - base));
            printf(" defaulted=%d", defaulted);
        }
    }
    end();
}

static void print_control(PSECURITY_DESCRIPTOR sd)
{
    SECURITY_DESCRIPTOR_CONTROL control = 0xCCCC;
    DWORD revision = 0xCC;

    mark();
    begin("GetSecurityDescriptorControl");
    result(GetSecurityDescriptorControl(sd, &control, &revision));
    printf(" control=%04x revision=%lu", control, (unsigned long)revision);
    end();
}

static void descriptors(void)
{
    static const struct {
        WORD interest, bits;
    } control_cases[] = {
        { SE_DACL_PROTECTED, SE_DACL_PROTECTED },
        { SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED, SE_DACL_AUTO_INHERITED },
        { SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED, 0 },
        { SE_DACL_AUTO_INHERIT_REQ | SE_SACL_PROTECTED, SE_SACL_PROTECTED | SE_DACL_PROTECTED },
        { SE_DACL_PRESENT, SE_DACL_PRESENT },
        { SE_SELF_RELATIVE, 0 },
        { SE_DACL_PROTECTED, SE_DACL_DEFAULTED },
        { SE_RM_CONTROL_VALID, SE_RM_CONTROL_VALID },
        { 0x0040, 0x0040 },
        { 0x0080, 0x0080 },
        { 0x0040 | 0x0080, 0 },
        { SE_OWNER_DEFAULTED, 0 },
        { SE_GROUP_DEFAULTED, SE_GROUP_DEFAULTED },
        { SE_SACL_PRESENT, 0 },
        { SE_SACL_DEFAULTED, SE_SACL_DEFAULTED },
        { SE_DACL_AUTO_INHERITED | SE_SACL_AUTO_INHERITED, SE_SACL_AUTO_INHERITED },
    };
    SECURITY_DESCRIPTOR sd;
    static BYTE relative[256];
    PACL acl = (PACL)other;
    size_t i;

    start("sd.init");
    for (DWORD revision = 0; revision <= 2; revision++) {
        memset(&sd, 0xCC, sizeof(sd));
        mark();
        begin("InitializeSecurityDescriptor");
        printf(" rev=%lu", (unsigned long)revision);
        result(InitializeSecurityDescriptor(&sd, revision));
        hex(&sd, 4);
        printf(" null=%d", sd.Owner == NULL && sd.Group == NULL && sd.Sacl == NULL && sd.Dacl == NULL);
        end();
    }

    start("sd.dacl");
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    InitializeAcl(acl, 8, ACL_REVISION);
    print_dacl(&sd, (BYTE *)acl);
    static const struct {
        BOOL present;
        bool with_acl;
        BOOL defaulted;
    } dacl_cases[] = { { TRUE, true, FALSE }, { TRUE, true, TRUE }, { TRUE, false, FALSE }, { FALSE, true, TRUE } };
    for (i = 0; i < sizeof(dacl_cases) / sizeof(dacl_cases[0]); i++) {
        mark();
        begin("SetSecurityDescriptorDacl");
        printf(" present=%d acl=%d defaulted=%d", dacl_cases[i].present, dacl_cases[i].with_acl,
               dacl_cases[i].defaulted);
        result(SetSecurityDescriptorDacl(&sd, dacl_cases[i].present, dacl_cases[i].with_acl ? acl : NULL,
                                         dacl_cases[i].defaulted));
        hex(&sd, 4);
        end();
        print_dacl(&sd, (BYTE *)acl);
    }

    start("sd.control");
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
    print_control(&sd);
    for (i = 0; i < sizeof(control_cases) / sizeof(control_cases[0]); i++) {
        mark();
        begin("SetSecurityDescriptorControl");
        printf(" interest=%04x bits=%04x", control_cases[i].interest, control_cases[i].bits);
        result(SetSecurityDescriptorControl(&sd, control_cases[i].interest, control_cases[i].bits));
        end();
        print_control(&sd);
    }

    // Self-relative descriptors as GetFileSecurity returns them.
    static const struct {
        const char *name;
        WORD control;
        DWORD dacl_offset;
    } relative_cases[] = {
        { "sd.relative.dacl", SE_SELF_RELATIVE | SE_DACL_PRESENT, 20 },
        { "sd.relative.protected", SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED,
          20 },
        { "sd.relative.null", SE_SELF_RELATIVE | SE_DACL_PRESENT, 0 },
        { "sd.relative.absent", SE_SELF_RELATIVE, 20 },
        { "sd.relative.defaulted", SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_DEFAULTED, 20 },
    };
    for (i = 0; i < sizeof(relative_cases) / sizeof(relative_cases[0]); i++) {
        start(relative_cases[i].name);
        memset(relative, 0, sizeof(relative));
        relative[0] = SECURITY_DESCRIPTOR_REVISION;
        memcpy(relative + 2, &relative_cases[i].control, 2);
        memcpy(relative + 16, &relative_cases[i].dacl_offset, 4);
        InitializeAcl((PACL)(relative + 20), 8, ACL_REVISION);
        print_dacl(relative, relative);
        print_control(relative);
        mark();
        begin("SetSecurityDescriptorDacl");
        result(SetSecurityDescriptorDacl(relative, TRUE, acl, FALSE));
        end();
    }

    start("sd.revision");
    memset(relative, 0, sizeof(relative));
    relative[0] = 2;
    relative[2] = SE_DACL_PRESENT;
    print_dacl(relative, relative);
    print_control(relative);
}

static void messages(void)
{
    static const DWORD codes[] = { 0,   2,   3,   5,    8,    19,   31,   50,   87,   122,  123,
                                   206, 275, 317, 1305, 1336, 1337, 1338, 1350, 1815, 1921, 0xDEAD };
    size_t i;

    start("message");
    for (i = 0; i < sizeof(codes) / sizeof(codes[0]); i++) {
        char *text = NULL;
        DWORD length;

        mark();
        begin("FormatMessageA");
        printf(" code=%lu", (unsigned long)codes[i]);
        length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, NULL, codes[i],
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), (LPSTR)&text, 0, NULL);
        if (length == 0) {
            printf(" 0 err=%lu", (unsigned long)GetLastError());
        } else {
            printf(" crlf=%d text=", length > 2 && text[length - 2] == '\r' && text[length - 1] == '\n');
            fwrite(text, 1, length > 2 ? length - 2 : length, stdout);
            LocalFree(text);
        }
        end();
    }
}

// "--random FIRST COUNT CALLS": COUNT random sequences from number FIRST.
static void random_sequences(uint32_t first, uint32_t count, int calls)
{
    struct choices c;
    char id[32];
    uint32_t n;

    for (n = first; n < first + count; n++) {
        snprintf(id, sizeof(id), "r%lu", (unsigned long)n);
        choices_from_number(&c, n);
        run_sequence(&c, id, calls, stdout);
    }
}

int main(int argc, char **argv)
{
    if (argc == 5 && strcmp(argv[1], "--random") == 0) {
        random_sequences((uint32_t)strtoul(argv[2], NULL, 10), (uint32_t)strtoul(argv[3], NULL, 10), atoi(argv[4]));
        return 0;
    }
    sids();
    acl_init();
    acl_add();
    acl_query();
    descriptors();
    messages();
    return 0;
}
