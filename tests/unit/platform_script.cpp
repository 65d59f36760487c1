#include "platform_script.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "layer.h"
#include "zirm.h"

int zirm_main(int argc, char *argv[]);

PlatformScript platform;

void reset_platform()
{
    platform = PlatformScript();
}

int PlatformScript::seen(const std::string &name) const
{
    int n = 0;
    for (const std::string &c : calls)
        n += c == name;
    return n;
}

extern "C" {
void *__real_malloc(size_t size);
void __real_free(void *block);
DWORD __real_GetLastError(void);
void __real_SetLastError(DWORD code);
}

// Nonzero while the layer is at work, so that its own calls are not taken
// for the tool's.
static int platform_depth;

struct InPlatform {
    InPlatform()
    {
        platform_depth++;
    }
    ~InPlatform()
    {
        platform_depth--;
    }
};

static bool watched()
{
    return platform.active && platform_depth == 0;
}

// Records a call of the tool's; true when the script says it fails.
static bool scripted_failure(const char *name)
{
    if (!watched())
        return false;
    platform.calls.push_back(name);
    if (platform.fail_call != name || platform.seen(name) != platform.fail_occurrence)
        return false;
    __real_SetLastError(platform.fail_code);
    return true;
}

// Another user's move, right after the tool's call returned.
static void after(const char *name)
{
    if (watched() && platform.after_call == name && platform.then)
        platform.then();
}

Outcome run_rewrite(const std::string &path, DWORD generic_rights, DWORD file_rights)
{
    Outcome run;
    fflush(stdout);
    testing::internal::CaptureStdout();
    platform.active = true;
    run.status = apply_everyone_access(path.c_str(), generic_rights, file_rights);
    platform.active = false;
    fflush(stdout);
    run.output = testing::internal::GetCapturedStdout();
    return run;
}

Outcome run_program(const std::vector<std::string> &arguments)
{
    std::vector<char *> argv;
    std::vector<std::string> copies = arguments;
    for (std::string &a : copies)
        argv.push_back(&a[0]);
    argv.push_back(NULL);

    Outcome run;
    fflush(stdout);
    testing::internal::CaptureStdout();
    platform.active = true;
    run.status = zirm_main((int)copies.size(), argv.data());
    platform.active = false;
    fflush(stdout);
    run.output = testing::internal::GetCapturedStdout();
    return run;
}

extern "C" {

void *__wrap_malloc(size_t size)
{
    if (scripted_failure("malloc")) {
        // Anything but the code the tool must set itself.
        __real_SetLastError(ERROR_INVALID_ACL);
        return NULL;
    }
    void *block = __real_malloc(size);
    if (watched() && block != NULL)
        platform.live_blocks.insert(block);
    return block;
}

void __wrap_free(void *block)
{
    if (watched())
        platform.live_blocks.erase(block);
    __real_free(block);
}

DWORD __real_GetSidLengthRequired(UCHAR count);
DWORD __wrap_GetSidLengthRequired(UCHAR count)
{
    scripted_failure("GetSidLengthRequired");
    InPlatform in;
    return __real_GetSidLengthRequired(count);
}

BOOL __real_InitializeSid(PSID sid, PSID_IDENTIFIER_AUTHORITY authority, BYTE count);
BOOL __wrap_InitializeSid(PSID sid, PSID_IDENTIFIER_AUTHORITY authority, BYTE count)
{
    if (scripted_failure("InitializeSid"))
        return FALSE;
    InPlatform in;
    return __real_InitializeSid(sid, authority, count);
}

DWORD *__real_GetSidSubAuthority(PSID sid, DWORD index);
DWORD *__wrap_GetSidSubAuthority(PSID sid, DWORD index)
{
    scripted_failure("GetSidSubAuthority");
    InPlatform in;
    return __real_GetSidSubAuthority(sid, index);
}

DWORD __real_GetLengthSid(PSID sid);
DWORD __wrap_GetLengthSid(PSID sid)
{
    scripted_failure("GetLengthSid");
    InPlatform in;
    return __real_GetLengthSid(sid);
}

BOOL __real_EqualSid(PSID a, PSID b);
BOOL __wrap_EqualSid(PSID a, PSID b)
{
    scripted_failure("EqualSid");
    InPlatform in;
    return __real_EqualSid(a, b);
}

BOOL __real_GetFileSecurityA(LPCSTR name, SECURITY_INFORMATION requested, PSECURITY_DESCRIPTOR descriptor, DWORD length,
                             LPDWORD needed);
BOOL __wrap_GetFileSecurityA(LPCSTR name, SECURITY_INFORMATION requested, PSECURITY_DESCRIPTOR descriptor, DWORD length,
                             LPDWORD needed)
{
    if (scripted_failure("GetFileSecurityA"))
        return FALSE;
    if (watched() && platform.fake_descriptor) {
        // Written behind the layer's back, as far as its ACL walks know.
        forget_acl_positions();
        memcpy(descriptor, platform.descriptor.data(), platform.descriptor.size());
        *needed = (DWORD)platform.descriptor.size();
        return TRUE;
    }
    BOOL ok;
    {
        InPlatform in;
        ok = __real_GetFileSecurityA(name, requested, descriptor, length, needed);
    }
    after("GetFileSecurityA");
    return ok;
}

BOOL __real_InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL __wrap_InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision)
{
    if (scripted_failure("InitializeSecurityDescriptor"))
        return FALSE;
    InPlatform in;
    return __real_InitializeSecurityDescriptor(descriptor, revision);
}

BOOL __real_GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL *dacl, LPBOOL defaulted);
BOOL __wrap_GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL *dacl, LPBOOL defaulted)
{
    if (scripted_failure("GetSecurityDescriptorDacl"))
        return FALSE;
    InPlatform in;
    return __real_GetSecurityDescriptorDacl(descriptor, present, dacl, defaulted);
}

BOOL __real_GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, PSECURITY_DESCRIPTOR_CONTROL control,
                                         LPDWORD revision);
BOOL __wrap_GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, PSECURITY_DESCRIPTOR_CONTROL control,
                                         LPDWORD revision)
{
    if (scripted_failure("GetSecurityDescriptorControl"))
        return FALSE;
    InPlatform in;
    return __real_GetSecurityDescriptorControl(descriptor, control, revision);
}

BOOL __real_GetAclInformation(PACL acl, LPVOID information, DWORD length, ACL_INFORMATION_CLASS info_class);
BOOL __wrap_GetAclInformation(PACL acl, LPVOID information, DWORD length, ACL_INFORMATION_CLASS info_class)
{
    if (scripted_failure("GetAclInformation"))
        return FALSE;
    InPlatform in;
    return __real_GetAclInformation(acl, information, length, info_class);
}

BOOL __real_InitializeAcl(PACL acl, DWORD length, DWORD revision);
BOOL __wrap_InitializeAcl(PACL acl, DWORD length, DWORD revision)
{
    if (scripted_failure("InitializeAcl"))
        return FALSE;
    InPlatform in;
    return __real_InitializeAcl(acl, length, revision);
}

DWORD __real_GetFileAttributesA(LPCSTR name);
DWORD __wrap_GetFileAttributesA(LPCSTR name)
{
    if (scripted_failure("GetFileAttributesA"))
        return INVALID_FILE_ATTRIBUTES;
    DWORD attributes;
    {
        InPlatform in;
        attributes = __real_GetFileAttributesA(name);
    }
    after("GetFileAttributesA");
    return attributes;
}

BOOL __real_GetAce(PACL acl, DWORD index, LPVOID *ace);
BOOL __wrap_GetAce(PACL acl, DWORD index, LPVOID *ace)
{
    if (scripted_failure("GetAce"))
        return FALSE;
    InPlatform in;
    return __real_GetAce(acl, index, ace);
}

BOOL __real_AddAce(PACL acl, DWORD revision, DWORD start, LPVOID list, DWORD length);
BOOL __wrap_AddAce(PACL acl, DWORD revision, DWORD start, LPVOID list, DWORD length)
{
    if (scripted_failure("AddAce"))
        return FALSE;
    InPlatform in;
    return __real_AddAce(acl, revision, start, list, length);
}

BOOL __real_SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl, BOOL defaulted);
BOOL __wrap_SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl, BOOL defaulted)
{
    if (scripted_failure("SetSecurityDescriptorDacl"))
        return FALSE;
    InPlatform in;
    return __real_SetSecurityDescriptorDacl(descriptor, present, dacl, defaulted);
}

BOOL __real_SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, SECURITY_DESCRIPTOR_CONTROL interest,
                                         SECURITY_DESCRIPTOR_CONTROL bits);
BOOL __wrap_SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, SECURITY_DESCRIPTOR_CONTROL interest,
                                         SECURITY_DESCRIPTOR_CONTROL bits)
{
    if (scripted_failure("SetSecurityDescriptorControl"))
        return FALSE;
    InPlatform in;
    return __real_SetSecurityDescriptorControl(descriptor, interest, bits);
}

BOOL __real_SetFileSecurityA(LPCSTR name, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
BOOL __wrap_SetFileSecurityA(LPCSTR name, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor)
{
    if (watched()) {
        const SECURITY_DESCRIPTOR *sd = (const SECURITY_DESCRIPTOR *)descriptor;
        platform.written_control = sd->Control;
        if (sd->Dacl != NULL)
            platform.written_dacl = Bytes((BYTE *)sd->Dacl, (BYTE *)sd->Dacl + sd->Dacl->AclSize);
    }
    if (scripted_failure("SetFileSecurityA"))
        return FALSE;
    InPlatform in;
    return __real_SetFileSecurityA(name, information, descriptor);
}

void __wrap_SetLastError(DWORD code)
{
    scripted_failure("SetLastError");
    __real_SetLastError(code);
}

DWORD __wrap_GetLastError(void)
{
    scripted_failure("GetLastError");
    return __real_GetLastError();
}

DWORD __real_FormatMessageA(DWORD flags, const void *source, DWORD id, DWORD language, LPSTR buffer, DWORD size,
                            va_list *arguments);
DWORD __wrap_FormatMessageA(DWORD flags, const void *source, DWORD id, DWORD language, LPSTR buffer, DWORD size,
                            va_list *arguments)
{
    if (watched()) {
        platform.message_flags = flags;
        platform.message_language = language;
        platform.message_code = id;
    }
    if (scripted_failure("FormatMessageA"))
        return 0;
    if (watched() && platform.fake_text) {
        if (!platform.has_text) {
            __real_SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        }
        char *copy = (char *)__real_malloc(platform.text.size() + 1);
        memcpy(copy, platform.text.c_str(), platform.text.size() + 1);
        *(char **)buffer = copy;
        return (DWORD)platform.text.size();
    }
    InPlatform in;
    return __real_FormatMessageA(flags, source, id, language, buffer, size, arguments);
}

HLOCAL __real_LocalFree(HLOCAL block);
HLOCAL __wrap_LocalFree(HLOCAL block)
{
    if (watched())
        platform.freed_texts.push_back(block);
    scripted_failure("LocalFree");
    InPlatform in;
    return __real_LocalFree(block);
}
}
