// Every step of the rewrite that can fail, made to fail in turn, and the
// failures the layer itself reports.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "fixtures.h"
#include "platform_script.h"
#include "zirm.h"

typedef ScriptedTest FaultTest;

// A file with three entries, the middle one Everyone's.
static std::string three_entry_file(const std::string &name)
{
    std::string path = make_file(name);
    Bytes acl = make_acl(ACL_REVISION, { make_ace(ACCESS_ALLOWED_ACE_TYPE, 0, 0x1F01FF, admins_sid()),
                                         make_ace(ACCESS_ALLOWED_ACE_TYPE, 0, 0x1F01FF, everyone_sid()),
                                         make_ace(ACCESS_DENIED_ACE_TYPE, 0, 0x10000, system_sid()) });
    StoredDescriptor d = { SE_SELF_RELATIVE | SE_DACL_PRESENT, admins_sid(), system_sid(), {}, acl };
    EXPECT_TRUE(write_ntacl(path, make_blob(v1_prefix(), d)));
    return path;
}

TEST_F(FaultTest, EachStepFailsInTurn)
{
    const struct {
        const char *call;
        int occurrence;
        DWORD code;
        const char *message;
    } cases[] = {
        { "malloc", 1, ERROR_NOT_ENOUGH_MEMORY, "malloc() failed.\n" },
        { "InitializeSid", 1, ERROR_INVALID_PARAMETER, "InitializeSid() failed.\n" },
        { "GetFileSecurityA", 1, ERROR_ACCESS_DENIED, "GetFileSecurity() failed.\n" },
        { "InitializeSecurityDescriptor", 1, ERROR_UNKNOWN_REVISION, "InitializeSecurityDescriptor() failed.\n" },
        { "GetSecurityDescriptorDacl", 1, ERROR_UNKNOWN_REVISION, "GetSecurityDescriptor() failed.\n" },
        { "GetSecurityDescriptorControl", 1, ERROR_UNKNOWN_REVISION, "GetSecurityDescriptorControl() failed.\n" },
        { "GetAclInformation", 1, ERROR_INVALID_ACL, "GetAclInformation() failed.\n" },
        { "malloc", 2, ERROR_NOT_ENOUGH_MEMORY, "malloc() failed.\n" },
        { "InitializeAcl", 1, ERROR_INVALID_PARAMETER, "InitializeAcl() failed.\n" },
        { "GetFileAttributesA", 1, ERROR_FILE_NOT_FOUND, "GetFileAttributes() failed.\n" },
        { "GetAce", 1, ERROR_INVALID_PARAMETER, "GetAce() failed.\n" },
        { "GetAce", 3, ERROR_INVALID_PARAMETER, "GetAce() failed.\n" },
        { "AddAce", 1, ERROR_INSUFFICIENT_BUFFER, "AddAce() failed.\n" },
        { "AddAce", 3, ERROR_INVALID_PARAMETER, "AddAce() failed.\n" },
        { "SetSecurityDescriptorDacl", 1, ERROR_INVALID_SECURITY_DESCR, "SetSecurityDescriptorDacl() failed.\n" },
        { "SetSecurityDescriptorControl", 1, ERROR_INVALID_PARAMETER, "SetSecurityDescriptorControl() failed.\n" },
        { "SetFileSecurityA", 1, ERROR_WRITE_PROTECT, "SetFileSecurity() failed.\n" },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.occurrence));
        std::string path = three_entry_file("target");
        Bytes before = read_ntacl(path);
        reset_platform();
        platform.fail_call = c.call;
        platform.fail_occurrence = c.occurrence;
        platform.fail_code = c.code;

        Outcome run = run_rewrite(path, GENERIC_READ, FILE_GENERIC_READ);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.output, std::string(c.message) + "\t" + system_text(c.code) + "\n");
        EXPECT_EQ(platform.message_code, c.code);
        // The report is the last thing done, and nothing follows the failure.
        // After a failed allocation the tool sets the code itself.
        bool allocation = std::string(c.call) == "malloc";
        size_t back = allocation ? 5 : 4;
        ASSERT_GE(platform.calls.size(), back);
        EXPECT_EQ(platform.calls[platform.calls.size() - back], c.call);
        if (allocation) {
            EXPECT_EQ(platform.calls[platform.calls.size() - 4], "SetLastError");
        }
        EXPECT_EQ(std::vector<std::string>(platform.calls.end() - 3, platform.calls.end()),
                  (std::vector<std::string>{ "GetLastError", "FormatMessageA", "LocalFree" }));
        if (std::string(c.call) != "SetFileSecurityA") {
            EXPECT_EQ(platform.seen("SetFileSecurityA"), 0);
        }
        EXPECT_EQ(read_ntacl(path), before);
        EXPECT_TRUE(platform.live_blocks.empty()) << platform.live_blocks.size() << " blocks not freed";
        EXPECT_EQ(platform.freed_texts.size(), 1u);
    }
}

TEST_F(FaultTest, CodeWithoutTextGivesOnlyTheMessage)
{
    std::string path = three_entry_file("target");
    platform.fail_call = "GetFileSecurityA";
    platform.fail_code = 0xDEAD;
    Outcome run = run_rewrite(path, GENERIC_READ, FILE_GENERIC_READ);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "GetFileSecurity() failed.\n");
    EXPECT_TRUE(platform.freed_texts.empty());
}

// Marks a file immutable, so that even root cannot change its attributes.
static bool set_immutable(const std::string &path, bool on)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return ok;
}

TEST_F(FaultTest, FailuresTheLayerReports)
{
    Bytes users = make_sid(5, { 32, 545 });
    Bytes object_ace = { ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, 28, 0, 0xFF, 0x01, 0x1F, 0, 0, 0, 0, 0 };
    object_ace.insert(object_ace.end(), users.begin(), users.end());
    // 3,276 entries of 20 bytes fill an ACL to 65,528 bytes, and the new
    // DACL's 20 more would pass the platform's limit of 65,535.
    std::vector<Bytes> many(3276, make_ace(ACCESS_ALLOWED_ACE_TYPE, 0, 1, everyone_sid()));

    const struct {
        const char *name;
        Bytes blob; // empty: no stored descriptor
        const char *message;
        DWORD code;
    } cases[] = {
        { "no stored descriptor", {}, "GetFileSecurity() failed.\n", ERROR_NO_SECURITY_ON_OBJECT },
        { "malformed blob",
          { 1, 0, 1, 0, 0, 0, 2, 0, 1, 0 },
          "GetFileSecurity() failed.\n",
          ERROR_INVALID_SECURITY_DESCR },
        { "object entry in a revision-4 DACL",
          make_blob(v1_prefix(),
                    { SE_SELF_RELATIVE | SE_DACL_PRESENT, {}, {}, {}, make_acl(ACL_REVISION_DS, { object_ace }) }),
          "AddAce() failed.\n", ERROR_INVALID_PARAMETER },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = make_file("target");
        if (!c.blob.empty()) {
            ASSERT_TRUE(write_ntacl(path, c.blob));
        }
        reset_platform();
        Outcome run = run_rewrite(path, GENERIC_READ, FILE_GENERIC_READ);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.output, std::string(c.message) + "\t" + system_text(c.code) + "\n");
        EXPECT_EQ(read_ntacl(path), c.blob);
        EXPECT_TRUE(platform.live_blocks.empty());
        remove_scratch();
    }

    // Too many entries for the new DACL. The store cannot hold so large a
    // DACL (the attribute would pass 64 KiB), so it is handed over directly.
    reset_platform();
    platform.fake_descriptor = true;
    platform.descriptor = make_self_relative({ SE_SELF_RELATIVE | SE_DACL_PRESENT, {}, {}, {}, make_acl(2, many) });
    Outcome run = run_rewrite(make_file("big"), GENERIC_READ, FILE_GENERIC_READ);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "InitializeAcl() failed.\n\t" + system_text(ERROR_INVALID_PARAMETER) + "\n");
    EXPECT_EQ(platform.seen("SetFileSecurityA"), 0);
    EXPECT_TRUE(platform.live_blocks.empty());

    // A nonexistent name, and a wildcard.
    for (const char *name : { "missing", "wild*", "wild?" }) {
        reset_platform();
        run = run_rewrite(scratch_path(name), GENERIC_READ, FILE_GENERIC_READ);
        EXPECT_EQ(run.status, 1);
        DWORD code = std::string(name) == "missing" ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_NAME;
        EXPECT_EQ(run.output, "GetFileSecurity() failed.\n\t" + system_text(code) + "\n");
    }

    // A file whose attributes cannot be written.
    std::string path = three_entry_file("immutable");
    Bytes before = read_ntacl(path);
    ASSERT_TRUE(set_immutable(path, true));
    reset_platform();
    run = run_rewrite(path, GENERIC_READ, FILE_GENERIC_READ);
    set_immutable(path, false);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "SetFileSecurity() failed.\n\t" + system_text(ERROR_ACCESS_DENIED) + "\n");
    EXPECT_EQ(read_ntacl(path), before);
}
