/*
 * The last-error code, the one place where errno becomes a Win32 code, and
 * the layer's own texts for the codes it can produce.
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "layer.h"

/*
 * The one table of system codes: each errno, and each NTSTATUS that
 * Samba's ACL engine reports, with the Win32 code it stands for.
 */
static const struct {
    int error;
    DWORD status;
    DWORD code;
} system_codes[] = {
    { ENOENT, 0xC0000034, ERROR_FILE_NOT_FOUND },             /* STATUS_OBJECT_NAME_NOT_FOUND */
    { 0, 0xC000000F, ERROR_FILE_NOT_FOUND },                  /* STATUS_NO_SUCH_FILE */
    { ENOTDIR, 0xC000003A, ERROR_PATH_NOT_FOUND },            /* STATUS_OBJECT_PATH_NOT_FOUND */
    { EACCES, 0xC0000022, ERROR_ACCESS_DENIED },              /* STATUS_ACCESS_DENIED */
    { EPERM, 0xC0000061, ERROR_ACCESS_DENIED },               /* STATUS_PRIVILEGE_NOT_HELD */
    { ENOMEM, 0xC0000017, ERROR_NOT_ENOUGH_MEMORY },          /* STATUS_NO_MEMORY */
    { EROFS, 0xC00000A2, ERROR_WRITE_PROTECT },               /* STATUS_MEDIA_WRITE_PROTECTED */
    { ENOTSUP, 0xC00000BB, ERROR_NOT_SUPPORTED },             /* STATUS_NOT_SUPPORTED */
    { 0, 0xC0000002, ERROR_NOT_SUPPORTED },                   /* STATUS_NOT_IMPLEMENTED */
    { ENAMETOOLONG, 0xC0000106, ERROR_FILENAME_EXCED_RANGE }, /* STATUS_NAME_TOO_LONG */
    { ELOOP, 0, ERROR_CANT_RESOLVE_FILENAME },
    { 0, 0xC0000280, ERROR_STOPPED_ON_SYMLINK }, /* STATUS_STOPPED_ON_SYMLINK */
    /* The only attribute the layer reads or replaces is the descriptor. */
    { ENODATA, 0, ERROR_NO_SECURITY_ON_OBJECT },
    /* ext4 keeps all of a file's attributes in one block, and no attribute
       may exceed 64 KiB: either way the descriptor did not fit. */
    { ENOSPC, 0, ERROR_EAS_DIDNT_FIT },
    { E2BIG, 0, ERROR_EAS_DIDNT_FIT },
    { 0, 0xC000007F, ERROR_DISK_FULL },                   /* STATUS_DISK_FULL */
    { 0, 0xC0000043, ERROR_SHARING_VIOLATION },           /* STATUS_SHARING_VIOLATION */
    { 0, 0xC000000D, ERROR_INVALID_PARAMETER },           /* STATUS_INVALID_PARAMETER */
    { 0, 0xC0000033, ERROR_INVALID_NAME },                /* STATUS_OBJECT_NAME_INVALID */
    { 0, 0xC0000077, ERROR_INVALID_ACL },                 /* STATUS_INVALID_ACL */
    { 0, 0xC0000078, ERROR_INVALID_SID },                 /* STATUS_INVALID_SID */
    { 0, 0xC0000079, ERROR_INVALID_SECURITY_DESCR },      /* STATUS_INVALID_SECURITY_DESCR */
    { 0, 0xC0000073, ERROR_NONE_MAPPED },                 /* STATUS_NONE_MAPPED */
    { 0, 0xC0000135, ERROR_DLL_NOT_FOUND },               /* STATUS_DLL_NOT_FOUND */
    { 0, 0xC000005E, ERROR_NO_LOGON_SERVERS },            /* STATUS_NO_LOGON_SERVERS */
    { 0, 0xC0000233, ERROR_DOMAIN_CONTROLLER_NOT_FOUND }, /* STATUS_DOMAIN_CONTROLLER_NOT_FOUND */
};

/* Every text ends in "\r\n", as the system's texts do. */
static const struct {
    DWORD code;
    const char *text;
} message_texts[] = {
    { ERROR_SUCCESS, "No error.\r\n" },
    { ERROR_FILE_NOT_FOUND, "No such file.\r\n" },
    { ERROR_PATH_NOT_FOUND, "No such path.\r\n" },
    { ERROR_ACCESS_DENIED, "Access refused.\r\n" },
    { ERROR_NOT_ENOUGH_MEMORY, "Out of memory.\r\n" },
    { ERROR_WRITE_PROTECT, "The file system is read-only.\r\n" },
    { ERROR_GEN_FAILURE, "The system call failed.\r\n" },
    { ERROR_NOT_SUPPORTED, "The file system cannot store security descriptors.\r\n" },
    { ERROR_INVALID_PARAMETER, "A parameter is out of range.\r\n" },
    { ERROR_INSUFFICIENT_BUFFER, "The buffer is too small.\r\n" },
    { ERROR_INVALID_NAME, "The name is not valid.\r\n" },
    { ERROR_FILENAME_EXCED_RANGE, "The name is too long.\r\n" },
    { ERROR_EAS_DIDNT_FIT, "No room to store the security descriptor.\r\n" },
    { ERROR_MR_MID_NOT_FOUND, "No text for this message number.\r\n" },
    { ERROR_UNKNOWN_REVISION, "The revision is not known.\r\n" },
    { ERROR_INVALID_ACL, "The access-control list is malformed.\r\n" },
    { ERROR_INVALID_SID, "The security identifier is malformed.\r\n" },
    { ERROR_INVALID_SECURITY_DESCR, "The security descriptor is malformed.\r\n" },
    { ERROR_NO_SECURITY_ON_OBJECT, "No security descriptor is stored for this file.\r\n" },
    { ERROR_RESOURCE_LANG_NOT_FOUND, "No text in that language.\r\n" },
    { ERROR_CANT_RESOLVE_FILENAME, "Too many symbolic links.\r\n" },
    { ERROR_STOPPED_ON_SYMLINK, "The name is a symbolic link, which is not followed.\r\n" },
    { ERROR_SHARING_VIOLATION, "The file is in use.\r\n" },
    { ERROR_DISK_FULL, "No space left on the device.\r\n" },
    { ERROR_NONE_MAPPED, "A security identifier has no user or group on this server.\r\n" },
    { ERROR_BAD_CONFIGURATION, "The Samba configuration cannot be loaded.\r\n" },
    { ERROR_BAD_NETPATH, "The folder of a Samba share is not a plain path.\r\n" },
    { ERROR_BAD_NET_NAME, "Which Samba share serves this object depends on the client that connects.\r\n" },
    { ERROR_REGISTRY_IO_FAILED, "The Samba registry cannot be read.\r\n" },
    { ERROR_TOO_MANY_LINKS, "The object has other names that a Samba share may serve: name it inside its share.\r\n" },
    { ERROR_DUP_NAME, "Two Samba shares serve this folder with different ACL settings.\r\n" },
    { ERROR_DLL_NOT_FOUND, "A VFS module that the Samba share names is not installed.\r\n" },
    { ERROR_MOD_NOT_FOUND, "Samba's ACL engine (python3-samba) is not installed.\r\n" },
    { ERROR_BROKEN_PIPE, "Samba's ACL engine stopped unexpectedly.\r\n" },
    { ERROR_TIMEOUT, "Samba's ACL engine did not answer in time.\r\n" },
    { ERROR_NO_LOGON_SERVERS, "The domain's accounts cannot be mapped: winbindd does not answer.\r\n" },
    { ERROR_DOMAIN_CONTROLLER_NOT_FOUND, "The domain's accounts cannot be mapped: no domain controller answers.\r\n" },
};

static DWORD last_error;

BOOL fail(DWORD code)
{
    last_error = code;
    return FALSE;
}

DWORD error_from_errno(int error)
{
    size_t i;

    for (i = 0; i < sizeof(system_codes) / sizeof(system_codes[0]); i++)
        if (error != 0 && system_codes[i].error == error)
            return system_codes[i].code;
    return ERROR_GEN_FAILURE;
}

DWORD error_from_ntstatus(DWORD status)
{
    size_t i;

    for (i = 0; i < sizeof(system_codes) / sizeof(system_codes[0]); i++)
        if (status != 0 && system_codes[i].status == status)
            return system_codes[i].code;
    return ERROR_GEN_FAILURE;
}

/* --- GetLastError ---------------------------------------------------------- */
DWORD WINAPI GetLastError(void)
{
    return last_error;
}

/* --- SetLastError ---------------------------------------------------------- */
void WINAPI SetLastError(DWORD code)
{
    last_error = code;
}

/* The texts are US English: asked for by that language, by none (0), or
   by the user's or the system's default, which is then English. */
static BOOL is_english(DWORD language_id)
{
    static const DWORD english[] = { 0, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                     MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT) };
    size_t i;

    for (i = 0; i < sizeof(english) / sizeof(english[0]); i++)
        if (language_id == english[i])
            return TRUE;
    return FALSE;
}

/* --- FormatMessageA -------------------------------------------------------- */
/*
 * Only system texts, in English, with no inserts to expand.
 */
DWORD WINAPI FormatMessageA(DWORD flags, const void *source, DWORD message_id, DWORD language_id, LPSTR buffer,
                            DWORD size, va_list *arguments)
{
    const char *text = NULL;
    size_t length;
    size_t i;
    char *copy;

    (void)source;
    (void)arguments;

    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || buffer == NULL)
        return fail(ERROR_INVALID_PARAMETER);
    /* A message that does not exist is missing in every language. */
    for (i = 0; i < sizeof(message_texts) / sizeof(message_texts[0]); i++)
        if (message_texts[i].code == message_id)
            text = message_texts[i].text;
    if (text == NULL)
        return fail(ERROR_MR_MID_NOT_FOUND);
    if (!is_english(language_id))
        return fail(ERROR_RESOURCE_LANG_NOT_FOUND);
    length = strlen(text);

    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        /* LocalFree gives the block back to the same allocator. */
        copy = (char *)malloc(length + 1 > size ? length + 1 : size);
        if (copy == NULL)
            return fail(ERROR_NOT_ENOUGH_MEMORY);
        memcpy(copy, text, length + 1);
        *(char **)buffer = copy;
        return (DWORD)length;
    }

    if (length + 1 > size)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(buffer, text, length + 1);
    return (DWORD)length;
}

/* --- LocalFree ------------------------------------------------------------- */
HLOCAL WINAPI LocalFree(HLOCAL mem)
{
    free(mem);
    return NULL;
}
