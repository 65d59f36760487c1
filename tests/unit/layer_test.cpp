// The POSIX platform layer: the security calls in memory, and the store.
#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fixtures.h"
#include "layer.h"
#include "platform_script.h"

class LayerTest : public testing::Test
{
  protected:
    void TearDown() override
    {
        remove_scratch();
    }
};

// A call's result and its last-error code, for one EXPECT.
struct CallResult {
    BOOL ok;
    DWORD code;
    bool operator==(const CallResult &o) const
    {
        return ok == o.ok && (ok || code == o.code);
    }
};
static std::ostream &operator<<(std::ostream &os, const CallResult &o)
{
    return os << (o.ok ? "TRUE" : "FALSE") << "/" << o.code;
}
static CallResult result_of(BOOL ok)
{
    return { ok, ok ? ERROR_SUCCESS : GetLastError() };
}
static const CallResult SUCCEEDS = { TRUE, 0 };
static CallResult fails(DWORD code)
{
    return { FALSE, code };
}

TEST_F(LayerTest, InitializeAclSizesAndRevisions)
{
    const struct {
        DWORD size;
        DWORD revision;
        CallResult expected;
    } cases[] = {
        { 8, 2, SUCCEEDS },
        { 65535, 4, SUCCEEDS },
        { 7, 2, fails(ERROR_INSUFFICIENT_BUFFER) },
        { 65536, 2, fails(ERROR_INVALID_PARAMETER) },
        { 64, 1, fails(ERROR_INVALID_PARAMETER) },
        { 64, 5, fails(ERROR_INVALID_PARAMETER) },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " rev " + std::to_string(c.revision));
        std::vector<DWORD> buffer(65536 / 4, 0xCCCCCCCC);
        ACL *acl = (ACL *)buffer.data();
        EXPECT_EQ(result_of(InitializeAcl(acl, c.size, c.revision)), c.expected);
        if (c.expected.ok) {
            EXPECT_EQ(acl->AclRevision, c.revision);
            EXPECT_EQ(acl->AclSize, c.size);
            EXPECT_EQ(acl->AceCount, 0);
        }
    }
}

TEST_F(LayerTest, AddAceAppendsInsertsAndRefuses)
{
    Bytes a = make_ace(ACCESS_ALLOWED_ACE_TYPE, 0, 1, everyone_sid());
    Bytes b = make_ace(ACCESS_DENIED_ACE_TYPE, 0, 2, admins_sid());
    Bytes object = { ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, 24, 0, 3, 0, 0, 0, 0, 0, 0, 0 };
    Bytes everyone = everyone_sid();
    object.insert(object.end(), everyone.begin(), everyone.end());
    Bytes two = a;
    two.insert(two.end(), b.begin(), b.end());
    Bytes zero_size = { 0, 0, 0, 0, 0, 0, 0, 0 };
    Bytes odd_size = a;
    odd_size[2] = 18;

    const struct {
        const char *name;
        DWORD acl_size;
        DWORD revision;
        DWORD index;
        Bytes list;
        DWORD list_length;
        CallResult expected;
        std::vector<Bytes> entries;
        BYTE acl_revision;
    } cases[] = {
        { "append", 64, 2, MAXDWORD, a, 20, SUCCEEDS, { b, a }, 2 },
        { "insert first", 64, 2, 0, a, 20, SUCCEEDS, { a, b }, 2 },
        { "two at once", 96, 2, MAXDWORD, two, 44, SUCCEEDS, { b, a, b }, 2 },
        { "fills to the last byte", 8 + 24 + 20, 2, MAXDWORD, a, 20, SUCCEEDS, { b, a }, 2 },
        { "one byte short", 8 + 24 + 19, 2, MAXDWORD, a, 20, fails(ERROR_INSUFFICIENT_BUFFER), { b }, 2 },
        { "object entry, revision 2", 64, 2, MAXDWORD, object, 24, fails(ERROR_INVALID_PARAMETER), { b }, 2 },
        { "object entry, revision 4", 96, 4, MAXDWORD, object, 24, SUCCEEDS, { b, object }, 4 },
        // Windows takes entry revisions 1 to 5 and raises the ACL to a higher one.
        { "revision 1", 64, 1, MAXDWORD, a, 20, SUCCEEDS, { b, a }, 2 },
        { "revision 5", 64, 5, MAXDWORD, a, 20, SUCCEEDS, { b, a }, 5 },
        { "revision 0", 64, 0, MAXDWORD, a, 20, fails(ERROR_INVALID_PARAMETER), { b }, 2 },
        { "revision 6", 64, 6, MAXDWORD, a, 20, fails(ERROR_INVALID_PARAMETER), { b }, 2 },
        { "entry of size 0", 64, 2, MAXDWORD, zero_size, 8, fails(ERROR_INVALID_PARAMETER), { b }, 2 },
        { "size not whole DWORDs", 64, 2, MAXDWORD, odd_size, 20, fails(ERROR_INVALID_PARAMETER), { b }, 2 },
        { "length cuts an entry", 64, 2, MAXDWORD, a, 12, fails(ERROR_INVALID_PARAMETER), { b }, 2 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<DWORD> buffer(128, 0);
        ACL *acl = (ACL *)buffer.data();
        ASSERT_TRUE(InitializeAcl(acl, c.acl_size, ACL_REVISION));
        ASSERT_TRUE(AddAce(acl, ACL_REVISION, MAXDWORD, (LPVOID)b.data(), 24));
        EXPECT_EQ(result_of(AddAce(acl, c.revision, c.index, (LPVOID)c.list.data(), c.list_length)), c.expected);
        EXPECT_EQ(acl_entries((BYTE *)acl), c.entries);
        EXPECT_EQ(acl->AclRevision, c.acl_revision);
    }

    // An ACL raised to revision 5 is refused by every later call.
    std::vector<DWORD> buffer(32, 0);
    ACL *acl = (ACL *)buffer.data();
    ASSERT_TRUE(InitializeAcl(acl, 128, ACL_REVISION));
    ASSERT_TRUE(AddAce(acl, 5, MAXDWORD, (LPVOID)a.data(), 20));
    LPVOID ace;
    EXPECT_EQ(result_of(GetAce(acl, 0, &ace)), fails(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(result_of(AddAce(acl, 5, MAXDWORD, (LPVOID)a.data(), 20)), fails(ERROR_INVALID_PARAMETER));
}

TEST_F(LayerTest, GetAceAndAclInformation)
{
    Bytes acl = make_acl(ACL_REVISION, { make_ace(0, 0, 1, everyone_sid()), make_ace(1, 0, 2, admins_sid()) }, 12);
    ACL *p = (ACL *)acl.data();
    LPVOID ace = NULL;
    ASSERT_TRUE(GetAce(p, 1, &ace));
    EXPECT_EQ((BYTE *)ace, acl.data() + 8 + 20);
    EXPECT_EQ(result_of(GetAce(p, 2, &ace)), fails(ERROR_INVALID_PARAMETER));

    ACL_SIZE_INFORMATION info;
    ASSERT_TRUE(GetAclInformation(p, &info, sizeof(info), AclSizeInformation));
    EXPECT_EQ(info.AceCount, 2u);
    EXPECT_EQ(info.AclBytesInUse, 8u + 20 + 24);
    EXPECT_EQ(info.AclBytesFree, 12u);
    EXPECT_EQ(result_of(GetAclInformation(p, &info, 8, AclSizeInformation)), fails(ERROR_INVALID_PARAMETER));

    // An entry that claims to run past the ACL's end.
    acl[8 + 20 + 2] = 200;
    EXPECT_EQ(result_of(GetAclInformation(p, &info, sizeof(info), AclSizeInformation)), fails(ERROR_INVALID_ACL));
    EXPECT_EQ(result_of(GetAce(p, 0, &ace)), fails(ERROR_INVALID_PARAMETER));
}

TEST_F(LayerTest, Sids)
{
    std::vector<DWORD> buffer(32, 0);
    SID_IDENTIFIER_AUTHORITY world = { SECURITY_WORLD_SID_AUTHORITY };
    EXPECT_EQ(GetSidLengthRequired(1), 12u);
    EXPECT_EQ(GetSidLengthRequired(15), 68u);
    EXPECT_EQ(result_of(InitializeSid(buffer.data(), &world, 16)), fails(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(InitializeSid(buffer.data(), &world, 1));
    SetLastError(0xE0E0);
    *GetSidSubAuthority(buffer.data(), 0) = SECURITY_WORLD_RID;
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(Bytes((BYTE *)buffer.data(), (BYTE *)buffer.data() + 12), everyone_sid());
    EXPECT_EQ(GetLengthSid(buffer.data()), 12u);

    const struct {
        Bytes other;
        BOOL equal;
    } cases[] = {
        { everyone_sid(), TRUE },      { make_sid(1, {}), FALSE },    { make_sid(1, { 0, 0 }), FALSE },
        { make_sid(1, { 1 }), FALSE }, { make_sid(5, { 0 }), FALSE },
    };
    for (const auto &c : cases) {
        Bytes other = c.other;
        other.resize(68, 0);
        EXPECT_EQ(EqualSid(buffer.data(), other.data()), c.equal);
    }
    // A SID that is not valid is unequal to any, and no error, as on Windows.
    Bytes bad = everyone_sid();
    bad[0] = 2;
    SetLastError(0xE0E0);
    EXPECT_FALSE(EqualSid(buffer.data(), bad.data()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
}

TEST_F(LayerTest, DescriptorCalls)
{
    SECURITY_DESCRIPTOR sd;
    EXPECT_EQ(result_of(InitializeSecurityDescriptor(&sd, 2)), fails(ERROR_UNKNOWN_REVISION));
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_EQ(sd.Control, 0);
    EXPECT_EQ(sd.Dacl, nullptr);

    Bytes acl = make_acl(ACL_REVISION, {});
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, (PACL)acl.data(), FALSE));
    EXPECT_EQ(sd.Control, SE_DACL_PRESENT);
    ASSERT_TRUE(SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED, SE_DACL_PROTECTED));
    EXPECT_EQ(sd.Control, SE_DACL_PRESENT | SE_DACL_PROTECTED);
    ASSERT_TRUE(SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, 0));
    EXPECT_EQ(sd.Control, SE_DACL_PRESENT);
    // Windows lets every bit be set but those other calls own and the form.
    for (WORD bit : { SE_OWNER_DEFAULTED, SE_GROUP_DEFAULTED, SE_DACL_PRESENT, SE_DACL_DEFAULTED, SE_SACL_PRESENT,
                      SE_SACL_DEFAULTED, SE_RM_CONTROL_VALID, SE_SELF_RELATIVE }) {
        EXPECT_EQ(result_of(SetSecurityDescriptorControl(&sd, bit, 0)), fails(ERROR_INVALID_PARAMETER)) << bit;
        EXPECT_EQ(result_of(SetSecurityDescriptorControl(&sd, 0, bit)), fails(ERROR_INVALID_PARAMETER)) << bit;
    }
    ASSERT_TRUE(SetSecurityDescriptorControl(&sd, 0x00C0, 0x0040));
    EXPECT_EQ(sd.Control, SE_DACL_PRESENT | 0x0040);
    ASSERT_TRUE(SetSecurityDescriptorControl(&sd, 0x00C0, 0));

    SECURITY_DESCRIPTOR_CONTROL control;
    DWORD revision;
    ASSERT_TRUE(GetSecurityDescriptorControl(&sd, &control, &revision));
    EXPECT_EQ(control, SE_DACL_PRESENT);
    EXPECT_EQ(revision, 1u);

    // The self-relative form, with a DACL, a NULL DACL and none.
    const struct {
        WORD control;
        Bytes dacl;
        BOOL present;
        bool null_dacl;
    } cases[] = {
        { SE_SELF_RELATIVE | SE_DACL_PRESENT, acl, TRUE, false },
        { SE_SELF_RELATIVE | SE_DACL_PRESENT, {}, TRUE, true },
        { SE_SELF_RELATIVE, acl, FALSE, true },
    };
    for (const auto &c : cases) {
        Bytes relative = make_self_relative({ c.control, {}, {}, {}, c.dacl });
        BOOL present = 7, defaulted = 7;
        PACL dacl = NULL;
        ASSERT_TRUE(GetSecurityDescriptorDacl(relative.data(), &present, &dacl, &defaulted));
        EXPECT_EQ(present, c.present);
        EXPECT_EQ(dacl == NULL, c.null_dacl);
        if (!c.null_dacl) {
            EXPECT_EQ((BYTE *)dacl, relative.data() + 20);
        }
        EXPECT_EQ(result_of(SetSecurityDescriptorDacl(relative.data(), TRUE, NULL, FALSE)),
                  fails(ERROR_INVALID_SECURITY_DESCR));
        relative[0] = 2;
        EXPECT_EQ(result_of(GetSecurityDescriptorDacl(relative.data(), &present, &dacl, &defaulted)),
                  fails(ERROR_UNKNOWN_REVISION));
    }
}

// Every errno the calls can meet has its own code and text; anything else
// is a failure still, never a success.
TEST_F(LayerTest, ErrnoBecomesWin32Code)
{
    const struct {
        int error;
        DWORD code;
    } cases[] = {
        { ENOENT, ERROR_FILE_NOT_FOUND },
        { ENOTDIR, ERROR_PATH_NOT_FOUND },
        { EACCES, ERROR_ACCESS_DENIED },
        { EPERM, ERROR_ACCESS_DENIED },
        { ENOMEM, ERROR_NOT_ENOUGH_MEMORY },
        { EROFS, ERROR_WRITE_PROTECT },
        { ENOTSUP, ERROR_NOT_SUPPORTED },
        { ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE },
        { ELOOP, ERROR_CANT_RESOLVE_FILENAME },
        { ENOSPC, ERROR_EAS_DIDNT_FIT },
        { E2BIG, ERROR_EAS_DIDNT_FIT },
        { ENODATA, ERROR_NO_SECURITY_ON_OBJECT },
        { EIO, ERROR_GEN_FAILURE },
        { EXDEV, ERROR_GEN_FAILURE },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(strerror(c.error));
        EXPECT_EQ(error_from_errno(c.error), c.code);
        EXPECT_NE(system_text(c.code), "");
    }
}

TEST_F(LayerTest, MessageTexts)
{
    const DWORD codes[] = { ERROR_FILE_NOT_FOUND,         ERROR_PATH_NOT_FOUND,        ERROR_ACCESS_DENIED,
                            ERROR_NOT_ENOUGH_MEMORY,      ERROR_WRITE_PROTECT,         ERROR_GEN_FAILURE,
                            ERROR_NOT_SUPPORTED,          ERROR_INVALID_PARAMETER,     ERROR_INSUFFICIENT_BUFFER,
                            ERROR_INVALID_NAME,           ERROR_FILENAME_EXCED_RANGE,  ERROR_EAS_DIDNT_FIT,
                            ERROR_UNKNOWN_REVISION,       ERROR_INVALID_ACL,           ERROR_INVALID_SID,
                            ERROR_INVALID_SECURITY_DESCR, ERROR_NO_SECURITY_ON_OBJECT, ERROR_CANT_RESOLVE_FILENAME };
    for (DWORD code : codes) {
        char *text = NULL;
        DWORD n = FormatMessageA(0x1100, NULL, code, 0x0409, (LPSTR)&text, 0, NULL);
        ASSERT_GT(n, 2u) << code;
        EXPECT_EQ(std::string(text + n - 2), "\r\n") << code;
        EXPECT_EQ(strlen(text), n);
        LocalFree(text);
    }
    char *text = NULL;
    EXPECT_EQ(FormatMessageA(0x1100, NULL, 4242, 0x0409, (LPSTR)&text, 0, NULL), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(FormatMessageA(0x1100, NULL, 5, 0x0407, (LPSTR)&text, 0, NULL), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_LANG_NOT_FOUND);
    char small[4];
    EXPECT_EQ(FormatMessageA(0x1000, NULL, 5, 0x0409, small, sizeof(small), NULL), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
}

// Reading an ACL entry by entry and appending each to another, as the
// rewrite does, with entries of mixed sizes.
TEST_F(LayerTest, EntryByEntryCopyOfALargeAcl)
{
    std::vector<Bytes> aces;
    for (int i = 0; i < 2700; i++)
        aces.push_back(make_ace((BYTE)(i % 2), (BYTE)i, (DWORD)i, make_sid(5, std::vector<DWORD>(1 + i % 3, i))));
    Bytes old_acl = make_acl(2, aces);
    std::vector<DWORD> buffer(65536 / 4);
    ACL *copy = (ACL *)buffer.data();
    ASSERT_TRUE(InitializeAcl(copy, (DWORD)old_acl.size() + 20, ACL_REVISION));

    DWORD offset = 8;
    for (DWORD i = 0; i < aces.size(); i++) {
        LPVOID ace;
        ASSERT_TRUE(GetAce((PACL)old_acl.data(), i, &ace));
        ASSERT_EQ((BYTE *)ace - old_acl.data(), (ptrdiff_t)offset) << i;
        ((ACCESS_ALLOWED_ACE *)ace)->Mask = 0xF0000000 | i; // as the rewrite changes masks in place
        ASSERT_TRUE(AddAce(copy, ACL_REVISION, MAXDWORD, ace, ((ACE_HEADER *)ace)->AceSize));
        offset += (DWORD)aces[i].size();
    }
    ASSERT_EQ(copy->AceCount, aces.size());
    EXPECT_EQ(Bytes((BYTE *)copy + 8, (BYTE *)copy + old_acl.size()), Bytes(old_acl.begin() + 8, old_acl.end()));
    LPVOID ace;
    EXPECT_FALSE(GetAce((PACL)old_acl.data(), (DWORD)aces.size(), &ace));
    Bytes one = make_ace(0, 0, 1, everyone_sid());
    EXPECT_TRUE(AddAce(copy, ACL_REVISION, MAXDWORD, one.data(), 20));
    EXPECT_EQ(result_of(AddAce(copy, ACL_REVISION, MAXDWORD, one.data(), 20)), fails(ERROR_INSUFFICIENT_BUFFER));
}

// Another ACL at the same address, with the same header, is walked anew.
TEST_F(LayerTest, AnotherAclInTheSameBufferIsWalkedAnew)
{
    Bytes small = make_ace(0, 0, 1, everyone_sid());            // 20 bytes
    Bytes large = make_ace(1, 0, 2, make_sid(5, { 32, 545 }));  // 24 bytes
    Bytes first = make_acl(2, { small, large, large, small });  // entries at 8, 28, 52, 76
    Bytes second = make_acl(2, { large, small, large, small }); // entries at 8, 32, 52, 76
    ASSERT_EQ(first.size(), second.size());
    std::vector<DWORD> buffer(64, 0);
    BYTE *bytes = (BYTE *)buffer.data();
    LPVOID ace;

    memcpy(bytes, first.data(), first.size());
    ASSERT_TRUE(GetAce((PACL)bytes, 1, &ace));
    EXPECT_EQ((BYTE *)ace - bytes, 28);
    memcpy(bytes, second.data(), second.size());
    for (DWORD i = 0; i < 4; i++) {
        const ptrdiff_t offsets[] = { 8, 32, 52, 76 };
        ASSERT_TRUE(GetAce((PACL)bytes, i, &ace));
        EXPECT_EQ((BYTE *)ace - bytes, offsets[i]) << i;
    }

    // Likewise for appending: the entries are those of another ACL now.
    std::vector<DWORD> target(64, 0);
    ACL *acl = (ACL *)target.data();
    ASSERT_TRUE(InitializeAcl(acl, 200, ACL_REVISION));
    ASSERT_TRUE(AddAce(acl, ACL_REVISION, MAXDWORD, small.data(), 20));
    ASSERT_TRUE(AddAce(acl, ACL_REVISION, MAXDWORD, small.data(), 20));
    Bytes other = make_acl(2, { large, large }, 200 - 56);
    memcpy(acl, other.data(), other.size());
    ASSERT_TRUE(AddAce(acl, ACL_REVISION, MAXDWORD, small.data(), 20));
    EXPECT_EQ(acl_entries((BYTE *)acl), (std::vector<Bytes>{ large, large, small }));
}
