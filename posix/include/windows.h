/*
 * The part of the Win32 API that zirm uses, for the POSIX platform layer.
 *
 * Types and records follow the platform's published layouts, so the tool's
 * code compiles unchanged against this header and against the real one.
 * Only what the tool, the layer and their tests use is declared.
 */
#ifndef ZIRM_POSIX_WINDOWS_H
#define ZIRM_POSIX_WINDOWS_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint8_t UCHAR;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef DWORD *LPDWORD;
typedef BOOL *LPBOOL;
typedef void *PVOID;
typedef void *LPVOID;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *HLOCAL;

#define TRUE 1
#define FALSE 0
#define MAXDWORD 0xFFFFFFFFu

/* Error codes the tool and the layer can meet. */
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_WRITE_PROTECT 19
#define ERROR_SHARING_VIOLATION 32
#define ERROR_GEN_FAILURE 31
#define ERROR_NOT_SUPPORTED 50
#define ERROR_DUP_NAME 52
#define ERROR_BAD_NETPATH 53
#define ERROR_BAD_NET_NAME 67
#define ERROR_INVALID_PARAMETER 87
#define ERROR_BROKEN_PIPE 109
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_NAME 123
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_EAS_DIDNT_FIT 275
#define ERROR_MR_MID_NOT_FOUND 317
#define ERROR_STOPPED_ON_SYMLINK 681
#define ERROR_REGISTRY_IO_FAILED 1016
#define ERROR_TOO_MANY_LINKS 1142
#define ERROR_DLL_NOT_FOUND 1157
#define ERROR_UNKNOWN_REVISION 1305
#define ERROR_NO_LOGON_SERVERS 1311
#define ERROR_PRIVILEGE_NOT_HELD 1314
#define ERROR_NONE_MAPPED 1332
#define ERROR_INVALID_ACL 1336
#define ERROR_INVALID_SID 1337
#define ERROR_INVALID_SECURITY_DESCR 1338
#define ERROR_NO_SECURITY_ON_OBJECT 1350
#define ERROR_TIMEOUT 1460
#define ERROR_BAD_CONFIGURATION 1610
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815
#define ERROR_DOMAIN_CONTROLLER_NOT_FOUND 1908
#define ERROR_CANT_RESOLVE_FILENAME 1921

/* Access masks. */
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_GENERIC_READ 0x00120089u
#define FILE_GENERIC_WRITE 0x00120116u
#define FILE_GENERIC_EXECUTE 0x001200A0u
#define FILE_ALL_ACCESS 0x001F01FFu
typedef DWORD ACCESS_MASK;

/* File attributes. */
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

/* Security identifiers. */
typedef struct _SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

typedef struct _SID {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    DWORD SubAuthority[1];
} SID;

typedef PVOID PSID;

#define SID_REVISION 1
#define SID_MAX_SUB_AUTHORITIES 15
/* As the Windows SDK has it: the six bytes, for a braced initialiser. */
#define SECURITY_WORLD_SID_AUTHORITY                                                                                   \
    {                                                                                                                  \
        0, 0, 0, 0, 0, 1                                                                                               \
    }
#define SECURITY_WORLD_RID 0x00000000u

/* Access-control lists and their entries. */
typedef struct _ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
} ACL, *PACL;

#define ACL_REVISION 2
#define ACL_REVISION_DS 4
#define MIN_ACL_REVISION 2
#define MAX_ACL_REVISION 4

typedef struct _ACE_HEADER {
    BYTE AceType;
    BYTE AceFlags;
    WORD AceSize;
} ACE_HEADER;

typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    DWORD SidStart;
} ACCESS_ALLOWED_ACE;

#define ACCESS_ALLOWED_ACE_TYPE 0x00
#define ACCESS_DENIED_ACE_TYPE 0x01
#define ACCESS_ALLOWED_COMPOUND_ACE_TYPE 0x04
#define ACCESS_ALLOWED_OBJECT_ACE_TYPE 0x05
#define ACCESS_DENIED_OBJECT_ACE_TYPE 0x06
#define SYSTEM_AUDIT_OBJECT_ACE_TYPE 0x07
#define SYSTEM_ALARM_OBJECT_ACE_TYPE 0x08
#define ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE 0x0B
#define ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE 0x0C
#define SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE 0x0F
#define SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE 0x10

#define OBJECT_INHERIT_ACE 0x01
#define CONTAINER_INHERIT_ACE 0x02
#define INHERIT_ONLY_ACE 0x08
#define INHERITED_ACE 0x10

#define ACE_OBJECT_TYPE_PRESENT 0x1
#define ACE_INHERITED_OBJECT_TYPE_PRESENT 0x2

/* A caller may pass any 32-bit value as the class; with its type fixed,
   every such value is one the enum can hold. */
typedef enum _ACL_INFORMATION_CLASS : DWORD {
    AclRevisionInformation = 1,
    AclSizeInformation = 2
} ACL_INFORMATION_CLASS;

typedef struct _ACL_REVISION_INFORMATION {
    DWORD AclRevision;
} ACL_REVISION_INFORMATION;

typedef struct _ACL_SIZE_INFORMATION {
    DWORD AceCount;
    DWORD AclBytesInUse;
    DWORD AclBytesFree;
} ACL_SIZE_INFORMATION;

/* Security descriptors. */
typedef WORD SECURITY_DESCRIPTOR_CONTROL, *PSECURITY_DESCRIPTOR_CONTROL;
typedef DWORD SECURITY_INFORMATION;

#define SECURITY_DESCRIPTOR_REVISION 1

#define OWNER_SECURITY_INFORMATION 0x00000001u
#define GROUP_SECURITY_INFORMATION 0x00000002u
#define DACL_SECURITY_INFORMATION 0x00000004u
#define SACL_SECURITY_INFORMATION 0x00000008u

#define SE_OWNER_DEFAULTED 0x0001
#define SE_GROUP_DEFAULTED 0x0002
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008
#define SE_SACL_PRESENT 0x0010
#define SE_SACL_DEFAULTED 0x0020
#define SE_DACL_AUTO_INHERIT_REQ 0x0100
#define SE_SACL_AUTO_INHERIT_REQ 0x0200
#define SE_DACL_AUTO_INHERITED 0x0400
#define SE_SACL_AUTO_INHERITED 0x0800
#define SE_DACL_PROTECTED 0x1000
#define SE_SACL_PROTECTED 0x2000
#define SE_RM_CONTROL_VALID 0x4000
#define SE_SELF_RELATIVE 0x8000

/* The absolute form, as the tool builds it. */
typedef struct _SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR;

/* The self-relative form, as GetFileSecurityA returns it. */
typedef struct _SECURITY_DESCRIPTOR_RELATIVE {
    BYTE Revision;
    BYTE Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    DWORD Owner;
    DWORD Group;
    DWORD Sacl;
    DWORD Dacl;
} SECURITY_DESCRIPTOR_RELATIVE;

typedef PVOID PSECURITY_DESCRIPTOR;

/* Messages. */
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_SYS_DEFAULT 0x02
#define SUBLANG_ENGLISH_US 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))

/* kernel32 */
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD code);
DWORD WINAPI GetFileAttributesA(LPCSTR name);
DWORD WINAPI FormatMessageA(DWORD flags, const void *source, DWORD message_id, DWORD language_id, LPSTR buffer,
                            DWORD size, va_list *arguments);
HLOCAL WINAPI LocalFree(HLOCAL mem);

/* advapi32 */
DWORD WINAPI GetSidLengthRequired(UCHAR sub_authority_count);
BOOL WINAPI InitializeSid(PSID sid, PSID_IDENTIFIER_AUTHORITY authority, BYTE sub_authority_count);
DWORD *WINAPI GetSidSubAuthority(PSID sid, DWORD index);
DWORD WINAPI GetLengthSid(PSID sid);
BOOL WINAPI EqualSid(PSID sid1, PSID sid2);
BOOL WINAPI InitializeAcl(PACL acl, DWORD length, DWORD revision);
BOOL WINAPI GetAclInformation(PACL acl, LPVOID information, DWORD length, ACL_INFORMATION_CLASS info_class);
BOOL WINAPI GetAce(PACL acl, DWORD index, LPVOID *ace);
BOOL WINAPI AddAce(PACL acl, DWORD revision, DWORD start_index, LPVOID ace_list, DWORD ace_list_length);
BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL *dacl, LPBOOL defaulted);
BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl, BOOL defaulted);
BOOL WINAPI GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, PSECURITY_DESCRIPTOR_CONTROL control,
                                         LPDWORD revision);
BOOL WINAPI SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, SECURITY_DESCRIPTOR_CONTROL bits_of_interest,
                                         SECURITY_DESCRIPTOR_CONTROL bits_to_set);
BOOL WINAPI GetFileSecurityA(LPCSTR name, SECURITY_INFORMATION requested, PSECURITY_DESCRIPTOR descriptor, DWORD length,
                             LPDWORD length_needed);
BOOL WINAPI SetFileSecurityA(LPCSTR name, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);

#ifdef __cplusplus
}
#endif

#endif
