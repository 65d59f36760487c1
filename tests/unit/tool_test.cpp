// The program as a whole, on real files: arguments, letters, the
// Everyone-entry rule and the rewrite of whole DACLs.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <stdio.h>
#include <unistd.h>

#include "fixtures.h"
#include "platform_script.h"
#include "zirm.h"

static const char usage_text[] = "usage: zirm <access> <filespec>\n"
                                 "\t<access>   = any combination of the following r,w,x\n"
                                 "\t<filespec> = name of the file\n";

static const BYTE ALLOW = ACCESS_ALLOWED_ACE_TYPE;
static const BYTE DENY = ACCESS_DENIED_ACE_TYPE;
static const DWORD OLD_MASK = 0x001F01FF;

class ToolTest : public ScriptedTest
{
  protected:
    // A file or directory whose stored DACL holds these entries.
    std::string target(bool directory, const std::vector<Bytes> &aces,
                       WORD control = SE_SELF_RELATIVE | SE_DACL_PRESENT, const Bytes &prefix = v1_prefix())
    {
        std::string path = directory ? make_directory("target") : make_file("target");
        StoredDescriptor d = { control, admins_sid(), system_sid(), {}, make_acl(ACL_REVISION, aces) };
        EXPECT_TRUE(write_ntacl(path, make_blob(prefix, d))) << "writing security.NTACL needs root";
        return path;
    }
};

// The DACL as stored, located through the descriptor's own offset.
static Bytes stored_dacl(const std::string &path, DWORD prefix = 8)
{
    Bytes blob = read_ntacl(path);
    DWORD dacl = get_dword(blob, prefix + 16);
    return Bytes(blob.begin() + dacl, blob.begin() + dacl + get_word(blob, dacl + 2));
}

static DWORD mask_of(const Bytes &ace)
{
    return get_dword(ace, 4);
}

TEST_F(ToolTest, MisuseShowsUsageAndTouchesNothing)
{
    std::string path = target(false, { make_ace(ALLOW, 0, OLD_MASK, everyone_sid()) });
    Bytes before = read_ntacl(path);
    const std::vector<std::vector<std::string>> cases = {
        { "zirm" },
        { "zirm", "r" },
        { "zirm", "r", path, "extra" },
        { "zirm", "R", path },
        { "zirm", "rq", path },
        { "zirm", "qr", path },
        { "zirm", " r", path },
        { "zirm", "-r", path },
        { "zirm", "1", path },
    };
    for (const auto &arguments : cases) {
        SCOPED_TRACE(arguments.size() > 1 ? arguments[1] : "(none)");
        reset_platform();
        Outcome run = run_program(arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.output, usage_text);
        EXPECT_TRUE(platform.calls.empty()) << "the target was looked at: " << platform.calls.front();
        EXPECT_EQ(read_ntacl(path), before);
    }
}

TEST_F(ToolTest, LettersGiveTheirMasks)
{
    const struct {
        const char *access;
        DWORD generic_rights;
        DWORD file_rights;
    } cases[] = {
        { "", 0, 0 },
        { "r", 0x80000000, 0x00120089 },
        { "w", 0x40000000, 0x00120116 },
        { "x", 0x20000000, 0x001200A0 },
        { "rw", 0xC0000000, 0x0012019F },
        { "rwx", 0xE0000000, 0x001201BF },
        { "xwr", 0xE0000000, 0x001201BF },
        { "rr", 0x80000000, 0x00120089 },
        { "wxxw", 0x60000000, 0x001201B6 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("access '") + c.access + "'");
        // A directory shows both masks: one entry takes each.
        remove_scratch();
        std::string path = target(true, { make_ace(ALLOW, CONTAINER_INHERIT_ACE, OLD_MASK, everyone_sid()),
                                          make_ace(ALLOW, OBJECT_INHERIT_ACE, OLD_MASK, everyone_sid()) });
        reset_platform();
        Outcome run = run_program({ "zirm", c.access, path });
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, "");
        // The tool hands over the generic rights; the store keeps them
        // mapped, as a Samba server does, which gives the specific ones.
        std::vector<Bytes> handed = acl_entries(platform.written_dacl.data());
        ASSERT_EQ(handed.size(), 2u);
        EXPECT_EQ(mask_of(handed[0]), c.file_rights);
        EXPECT_EQ(mask_of(handed[1]), c.generic_rights);
        std::vector<Bytes> entries = acl_entries(stored_dacl(path).data());
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(mask_of(entries[0]), c.file_rights);
        EXPECT_EQ(mask_of(entries[1]), c.file_rights);
    }
}

TEST_F(ToolTest, EveryoneRuleOverEveryFlagValue)
{
    const DWORD generic_rights = 0xA0000000, file_rights = 0x001200A9;
    for (int directory = 0; directory < 2; directory++) {
        for (BYTE type : { ALLOW, DENY }) {
            for (int flags = 0; flags < 256; flags++) {
                Bytes ace = make_ace(type, (BYTE)flags, OLD_MASK, everyone_sid());
                rewrite_everyone_entry((ACCESS_ALLOWED_ACE *)ace.data(), directory, generic_rights, file_rights);

                DWORD expected = OLD_MASK;
                if (!directory || flags == 0x01 || flags == 0x08 || flags == 0x09)
                    expected = generic_rights;
                else if (flags == 0x02)
                    expected = file_rights;
                EXPECT_EQ(mask_of(ace), expected)
                    << "directory " << directory << " type " << int(type) << " flags " << flags;
                Bytes untouched = make_ace(type, (BYTE)flags, OLD_MASK, everyone_sid());
                EXPECT_TRUE(std::equal(ace.begin(), ace.begin() + 4, untouched.begin()));
                EXPECT_TRUE(std::equal(ace.begin() + 8, ace.end(), untouched.begin() + 8));
            }
        }
    }
}

TEST_F(ToolTest, RewritesWholeDacls)
{
    // GENERIC_READ | GENERIC_WRITE is stored mapped, as the file rights.
    const DWORD generic_rights = 0xC0000000, file_rights = 0x0012019F, stored_generic = 0x0012019F;
    Bytes users = make_sid(5, { 32, 545 });
    // A callback entry carries data after its SID: still Everyone's.
    Bytes callback_ace = make_ace(0x09, 0, OLD_MASK, everyone_sid());
    callback_ace.insert(callback_ace.end(), { 'a', 'r', 't', 'x' });
    callback_ace[2] = (BYTE)callback_ace.size();

    const struct {
        const char *name;
        bool directory;
        std::vector<Bytes> aces;
        std::vector<DWORD> masks;
    } cases[] = {
        { "file without Everyone",
          false,
          { make_ace(ALLOW, 0, OLD_MASK, admins_sid()), make_ace(DENY, 0, 0x10000, users) },
          { OLD_MASK, 0x10000 } },
        { "empty DACL", false, {}, {} },
        { "file, allowed and denied",
          false,
          { make_ace(DENY, 0, 0x40000, everyone_sid()), make_ace(ALLOW, 0, OLD_MASK, admins_sid()),
            make_ace(ALLOW, 0, 0x120089, everyone_sid()) },
          { stored_generic, OLD_MASK, stored_generic } },
        { "file, inherited entry",
          false,
          { make_ace(ALLOW, INHERITED_ACE, OLD_MASK, everyone_sid()) },
          { stored_generic } },
        { "directory, CI and OI|IO",
          true,
          { make_ace(ALLOW, 0x02, OLD_MASK, everyone_sid()), make_ace(ALLOW, 0x09, OLD_MASK, everyone_sid()) },
          { file_rights, stored_generic } },
        { "directory, this folder only and OI|CI",
          true,
          { make_ace(ALLOW, 0x00, OLD_MASK, everyone_sid()), make_ace(ALLOW, 0x03, OLD_MASK, everyone_sid()),
            make_ace(ALLOW, 0x12, OLD_MASK, everyone_sid()), make_ace(ALLOW, 0x08, OLD_MASK, everyone_sid()) },
          { OLD_MASK, OLD_MASK, OLD_MASK, stored_generic } },
        { "SIDs that only resemble Everyone's",
          false,
          { make_ace(ALLOW, 0, OLD_MASK, make_sid(1, { 0, 0 })), make_ace(ALLOW, 0, OLD_MASK, make_sid(1, { 1 })),
            make_ace(ALLOW, 0, OLD_MASK, make_sid(5, { 0 })), callback_ace },
          { OLD_MASK, OLD_MASK, OLD_MASK, stored_generic } },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        remove_scratch();
        std::string path = target(c.directory, c.aces, SE_SELF_RELATIVE | SE_DACL_PRESENT, v4_prefix("posix_acl"));
        Bytes before = read_ntacl(path);
        DWORD prefix = (DWORD)v4_prefix("posix_acl").size();
        DWORD in_use = (DWORD)stored_dacl(path, prefix).size();
        reset_platform();

        Outcome run = run_rewrite(path, generic_rights, file_rights);
        ASSERT_EQ(run.status, 0);
        EXPECT_EQ(run.output, "");
        EXPECT_TRUE(platform.live_blocks.empty());

        // What the tool handed over: revision 2, room for one more entry.
        ASSERT_GE(platform.written_dacl.size(), 8u);
        EXPECT_EQ(platform.written_dacl[0], ACL_REVISION);
        EXPECT_EQ(get_word(platform.written_dacl, 2), in_use + 20);

        // What is stored: the same entries in the same order, only masks changed.
        std::vector<Bytes> entries = acl_entries(stored_dacl(path, prefix).data());
        ASSERT_EQ(entries.size(), c.aces.size());
        for (size_t i = 0; i < entries.size(); i++) {
            Bytes expected = c.aces[i];
            set_dword(expected, 4, c.masks[i]);
            EXPECT_EQ(entries[i], expected) << "entry " << i;
        }
        // Owner and group, and every byte before the descriptor, as they were.
        Bytes after = read_ntacl(path);
        EXPECT_TRUE(std::equal(before.begin(), before.begin() + prefix + 4, after.begin()));
        EXPECT_TRUE(
            std::equal(before.begin() + prefix + 20, before.begin() + prefix + 20 + 28, after.begin() + prefix + 20));
    }
}

TEST_F(ToolTest, TypicalRunMakesTheCallsInOrder)
{
    std::string path = target(
        true, { make_ace(ALLOW, 0x02, OLD_MASK, everyone_sid()), make_ace(ALLOW, 0x00, OLD_MASK, admins_sid()) });
    Outcome run = run_rewrite(path, 0xC0000000, 0x0012019F);
    ASSERT_EQ(run.status, 0);
    const std::vector<std::string> expected = {
        "GetSidLengthRequired",
        "malloc",
        "InitializeSid",
        "GetSidSubAuthority",
        "GetFileSecurityA",
        "InitializeSecurityDescriptor",
        "GetSecurityDescriptorDacl",
        "GetSecurityDescriptorControl",
        "GetAclInformation",
        "GetLengthSid",
        "malloc",
        "InitializeAcl",
        "GetFileAttributesA",
        "GetAce",
        "EqualSid",
        "AddAce",
        "GetAce",
        "EqualSid",
        "AddAce",
        "SetSecurityDescriptorDacl",
        "SetSecurityDescriptorControl",
        "SetFileSecurityA",
    };
    EXPECT_EQ(platform.calls, expected);
}

TEST_F(ToolTest, NoDaclOrNullDaclIsLeftAlone)
{
    const struct {
        const char *name;
        WORD control;
    } cases[] = {
        { "no DACL", SE_SELF_RELATIVE },
        { "NULL DACL", SE_SELF_RELATIVE | SE_DACL_PRESENT },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = make_file(c.name);
        StoredDescriptor d = { c.control, admins_sid(), {}, {}, {} };
        ASSERT_TRUE(write_ntacl(path, make_blob(v1_prefix(), d)));
        Bytes before = read_ntacl(path);
        reset_platform();

        Outcome run = run_rewrite(path, GENERIC_READ, FILE_GENERIC_READ);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(platform.seen("SetFileSecurityA"), 0);
        EXPECT_EQ(read_ntacl(path), before);
        EXPECT_TRUE(platform.live_blocks.empty());
    }
}

TEST_F(ToolTest, InheritanceProtectionIsKept)
{
    const WORD cases[] = { 0, SE_DACL_PROTECTED, SE_DACL_AUTO_INHERITED, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED };
    for (WORD bits : cases) {
        SCOPED_TRACE(bits);
        remove_scratch();
        std::string path = target(false, { make_ace(ALLOW, 0, OLD_MASK, everyone_sid()) },
                                  (WORD)(SE_SELF_RELATIVE | SE_DACL_PRESENT | bits));
        reset_platform();
        ASSERT_EQ(run_rewrite(path, GENERIC_READ, FILE_GENERIC_READ).status, 0);
        EXPECT_EQ(platform.written_control & (SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED), bits);
        EXPECT_EQ(get_word(read_ntacl(path), 8 + 2), SE_SELF_RELATIVE | SE_DACL_PRESENT | bits);
    }
}

TEST_F(ToolTest, EntryTooShortForTheSidIsCopiedUnchanged)
{
    // An entry of an unknown type that is only header and mask, followed
    // in the buffer by bytes that spell the Everyone SID. Comparing them
    // would read past the entry, and rewrite an entry that is not Everyone's.
    Bytes short_ace = { 0x20, 0, 8, 0, 0x11, 0x11, 0x11, 0x11 };
    Bytes acl = make_acl(ACL_REVISION, { make_ace(ALLOW, 0, OLD_MASK, admins_sid()), short_ace });
    Bytes trailing = everyone_sid();
    acl.insert(acl.end(), trailing.begin(), trailing.end());
    StoredDescriptor d = { SE_SELF_RELATIVE | SE_DACL_PRESENT, {}, {}, {}, acl };
    platform.fake_descriptor = true;
    platform.descriptor = make_self_relative(d);

    std::string path = make_file("short");
    ASSERT_TRUE(write_ntacl(
        path, make_blob(v1_prefix(), { SE_SELF_RELATIVE | SE_DACL_PRESENT, {}, {}, {}, make_acl(ACL_REVISION, {}) })));
    Outcome run = run_rewrite(path, GENERIC_ALL, GENERIC_ALL);
    // The store then refuses the entry too: it holds no SID.
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "SetFileSecurity() failed.\n\t" + system_text(ERROR_INVALID_ACL) + "\n");
    ASSERT_EQ(platform.seen("EqualSid"), 1) << "the short entry was compared";
    std::vector<Bytes> written = acl_entries(platform.written_dacl.data());
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[1], short_ace);
}

// A share of a Samba server whose folder is the scratch folder: its files
// go through Samba's own ACL engine.
static void share_scratch_folder()
{
    std::string state = make_directory("samba");
    for (const char *name : { "private", "lock", "state", "cache" })
        make_directory(std::string("samba/") + name);
    std::string conf = scratch_path("samba/smb.conf");
    FILE *f = fopen(conf.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f,
            "[global]\nserver role = standalone server\nprivate dir = %s/private\nlock directory = %s/lock\n"
            "state directory = %s/state\ncache directory = %s/cache\n[scratch]\npath = %s\n"
            "vfs objects = acl_xattr\nread only = no\n",
            state.c_str(), state.c_str(), state.c_str(), state.c_str(), scratch_path("").c_str());
    fclose(f);
    setenv("SMB_CONF_PATH", conf.c_str(), 1);
}

static std::string network_namespace(const std::filesystem::path &process)
{
    std::error_code failed;
    std::filesystem::path ns = std::filesystem::read_symlink(process / "ns" / "net", failed);
    return failed ? std::string() : ns.string();
}

// The engines consecutive runs share: processes of that name whose parent
// is not one (those are its processes per run), ended ones aside. Only
// those of the test's network namespace, where its runs find an engine:
// another namespace's engines are not the test's to judge or stop.
static std::set<pid_t> shared_engines()
{
    std::map<pid_t, pid_t> named;
    std::error_code ignored;
    std::string ours = network_namespace("/proc/self");
    for (const auto &entry : std::filesystem::directory_iterator("/proc", ignored)) {
        if (network_namespace(entry.path()) != ours)
            continue;
        std::ifstream f(entry.path() / "stat");
        std::string stat;
        if (!std::getline(f, stat) || stat.find('(') == std::string::npos)
            continue;
        size_t open = stat.find('('), close = stat.rfind(')');
        char state = 0;
        pid_t parent = 0;
        if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2 && state != 'Z' &&
            stat.substr(open + 1, close - open - 1) == "zirm-engine")
            named[atoi(stat.c_str())] = parent;
    }
    std::set<pid_t> engines;
    for (const auto &[pid, parent] : named)
        if (named.count(parent) == 0)
            engines.insert(pid);
    return engines;
}

// Ends the engines this test started, and their processes per run with them.
static void stop_engines(const std::set<pid_t> &keep)
{
    for (int tries = 0; tries < 500; tries++) {
        std::set<pid_t> running = shared_engines();
        bool left = false;
        for (pid_t pid : running)
            if (keep.count(pid) == 0) {
                kill(pid, SIGKILL);
                left = true;
            }
        if (!left)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// The run folder as it was, and no engine of the test's own left, however
// the test ends.
struct RunFolderGuard {
    static constexpr const char *path = "/run/zirm";
    std::set<pid_t> before = shared_engines();
    mode_t mode = 0700;
    RunFolderGuard()
    {
        struct stat st;
        // Made as the first run that needs an engine makes it.
        mkdir(path, 0700);
        if (stat(path, &st) == 0)
            mode = st.st_mode & 07777;
    }
    ~RunFolderGuard()
    {
        chmod(path, mode);
        stop_engines(before);
    }
    // A run folder others could enter is never used: runs then start a
    // helper of their own.
    void cold(bool on)
    {
        chmod(path, on ? 0755 : mode);
    }
};

static Bytes posix_acl(const std::string &path)
{
    Bytes b(4096);
    ssize_t n = getxattr(path.c_str(), "system.posix_acl_access", b.data(), b.size());
    b.resize(n < 0 ? 0 : (size_t)n);
    return b;
}

// Root's zirm in a directory another user can write: the user swaps the
// name for another object between two of the tool's calls. The tool goes on
// with the object it was named, and the other is left byte for byte, in
// security.NTACL and in a share, where Samba's engine acts on a path.
TEST_F(ToolTest, AnotherObjectSwappedInIsNeverWritten)
{
    Bytes full = make_acl(ACL_REVISION, { make_ace(ALLOW, 0x03, OLD_MASK, make_sid(5, { 21, 1, 2, 3, 1001 })),
                                          make_ace(ALLOW, 0x02, OLD_MASK, everyone_sid()) });
    const struct {
        const char *name;
        const char *after_call;
        bool other_is_directory;
        bool other_is_link;
    } cases[] = {
        { "swapped after the read", "GetFileSecurityA", false, false },
        { "swapped for a directory after the read", "GetFileSecurityA", true, false },
        { "swapped for a file after the attributes", "GetFileAttributesA", false, false },
        { "replaced by a link after the read", "GetFileSecurityA", false, true },
    };
    // In a share, through the engine runs share, and through a helper of
    // the run's own.
    enum { OUTSIDE, WARM, COLD };
    // The engine the runs start, and every engine this test sees, is then
    // the test's own: an engine of the host's is never used or stopped.
    ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
    RunFolderGuard run_folder;
    for (int where : { OUTSIDE, WARM, COLD }) {
        bool in_share = where != OUTSIDE;
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (where == WARM ? ", warm engine" : where == COLD ? ", own helper" : ""));
            remove_scratch();
            if (in_share)
                share_scratch_folder();
            if (where == COLD)
                stop_engines(run_folder.before);
            run_folder.cold(where == COLD);
            // The named object is a directory: its CI entry takes the file rights.
            std::string path = target(true, { make_ace(ALLOW, 0x02, OLD_MASK, everyone_sid()) });
            Bytes named_blob = read_ntacl(path);
            std::string other = c.other_is_directory ? make_directory("other") : make_file("other");
            Bytes other_blob = make_blob(v1_prefix(), { SE_SELF_RELATIVE | SE_DACL_PRESENT, {}, {}, {}, full });
            ASSERT_TRUE(write_ntacl(other, other_blob));
            struct stat other_before;
            ASSERT_EQ(stat(other.c_str(), &other_before), 0);
            std::string moved = scratch_path("moved");
            platform.after_call = c.after_call;
            platform.then = [&] {
                if (c.other_is_link) {
                    ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
                    ASSERT_EQ(symlink(other.c_str(), path.c_str()), 0);
                } else {
                    ASSERT_EQ(renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE), 0);
                }
            };

            Outcome run = run_rewrite(path, GENERIC_READ, FILE_GENERIC_READ);
            run_folder.cold(false);
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.output, "");
            std::set<pid_t> engines = shared_engines();
            if (where == WARM) {
                EXPECT_FALSE(engines.empty()) << "no engine served the run";
            } else if (where == COLD) {
                for (pid_t pid : engines)
                    EXPECT_EQ(run_folder.before.count(pid), 1u) << "the run started an engine";
            }
            std::string named_now = c.other_is_link ? moved : other;
            std::string other_now = c.other_is_link ? other : path;
            struct stat other_after;
            ASSERT_EQ(stat(other_now.c_str(), &other_after), 0);
            EXPECT_EQ(read_ntacl(other_now), other_blob) << "the other object was written";
            EXPECT_EQ(other_after.st_mode, other_before.st_mode) << "the other object was written";
            EXPECT_EQ(posix_acl(other_now), Bytes()) << "the other object was written";
            if (in_share) {
                // What Samba stored, and the POSIX ACL it derived, are Samba's.
                EXPECT_NE(read_ntacl(named_now), named_blob) << "the named directory was not written";
                EXPECT_NE(posix_acl(named_now), Bytes()) << "the named directory was not written";
                continue;
            }
            std::vector<Bytes> entries = acl_entries(stored_dacl(named_now).data());
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(mask_of(entries[0]), FILE_GENERIC_READ) << "the named directory did not get the directory rule";
        }
    }
    unsetenv("SMB_CONF_PATH");
}
