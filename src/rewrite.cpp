/*
 * The rewrite: read the target's DACL, copy its entries in order into a
 * new DACL, giving each Everyone entry its new mask on the way, and write
 * the new DACL back.
 */
#include <stdlib.h>

#include "zirm.h"

/* The control bits that say how the DACL relates to its parent's. */
#define DACL_INHERITANCE_BITS (SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED)

void rewrite_everyone_entry(ACCESS_ALLOWED_ACE *entry, BOOL is_directory, DWORD generic_rights, DWORD file_rights)
{
    if (!is_directory) {
        entry->Mask = generic_rights;
        return;
    }

    /*
     * On a directory the flags say who inherits the entry. The one that
     * only subdirectories inherit gets the specific rights; those that files
     * inherit get the generic rights, which each file maps for itself. Any
     * other combination is left alone.
     */
    switch (entry->Header.AceFlags) {
    case CONTAINER_INHERIT_ACE:
        entry->Mask = file_rights;
        break;
    case OBJECT_INHERIT_ACE:
    case INHERIT_ONLY_ACE:
    case OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE:
        entry->Mask = generic_rights;
        break;
    default:
        break;
    }
}

int apply_everyone_access(const char *filespec, DWORD generic_rights, DWORD file_rights)
{
    SID_IDENTIFIER_AUTHORITY world_authority = { SECURITY_WORLD_SID_AUTHORITY };
    /* DWORDs, so that the descriptor and its ACL are aligned. */
    DWORD descriptor_buffer[DESCRIPTOR_BUFFER_SIZE / sizeof(DWORD)];
    SECURITY_DESCRIPTOR new_descriptor;
    SECURITY_DESCRIPTOR_CONTROL control;
    ACL_SIZE_INFORMATION size_info;
    ACCESS_ALLOWED_ACE *entry;
    PSID everyone_sid = NULL;
    PACL new_dacl = NULL;
    PACL dacl = NULL;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    BOOL is_directory;
    DWORD descriptor_revision;
    DWORD new_dacl_size;
    DWORD sid_length;
    DWORD attributes;
    DWORD needed;
    DWORD index;
    LPVOID ace;
    int status = STATUS_FAILED;

    everyone_sid = (PSID)malloc(GetSidLengthRequired(1));
    if (everyone_sid == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        report_failure("malloc() failed.\n");
        goto done;
    }
    if (!InitializeSid(everyone_sid, &world_authority, 1)) {
        report_failure("InitializeSid() failed.\n");
        goto done;
    }
    *GetSidSubAuthority(everyone_sid, 0) = SECURITY_WORLD_RID;

    if (!GetFileSecurityA(filespec, DACL_SECURITY_INFORMATION, descriptor_buffer, DESCRIPTOR_BUFFER_SIZE, &needed)) {
        report_failure("GetFileSecurity() failed.\n");
        goto done;
    }
    if (!InitializeSecurityDescriptor(&new_descriptor, SECURITY_DESCRIPTOR_REVISION)) {
        report_failure("InitializeSecurityDescriptor() failed.\n");
        goto done;
    }
    if (!GetSecurityDescriptorDacl(descriptor_buffer, &present, &dacl, &defaulted)) {
        report_failure("GetSecurityDescriptor() failed.\n");
        goto done;
    }
    if (!GetSecurityDescriptorControl(descriptor_buffer, &control, &descriptor_revision)) {
        report_failure("GetSecurityDescriptorControl() failed.\n");
        goto done;
    }

    /*
     * Without a DACL, or with a NULL one, everyone already has all access
     * and there is no Everyone entry to change. Writing an empty DACL here
     * would lock everyone out, so leave the target alone.
     */
    if (!present || dacl == NULL) {
        status = STATUS_OK;
        goto done;
    }

    if (!GetAclInformation(dacl, &size_info, sizeof(size_info), AclSizeInformation)) {
        report_failure("GetAclInformation() failed.\n");
        goto done;
    }

    /* Room for one more Everyone entry than the old DACL uses. */
    sid_length = GetLengthSid(everyone_sid);
    new_dacl_size = sid_length + size_info.AclBytesInUse + sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
    new_dacl = (PACL)malloc(new_dacl_size);
    if (new_dacl == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        report_failure("malloc() failed.\n");
        goto done;
    }
    if (!InitializeAcl(new_dacl, new_dacl_size, ACL_REVISION)) {
        report_failure("InitializeAcl() failed.\n");
        goto done;
    }

    attributes = GetFileAttributesA(filespec);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        report_failure("GetFileAttributes() failed.\n");
        goto done;
    }
    is_directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;

    for (index = 0; index < size_info.AceCount; index++) {
        if (!GetAce(dacl, index, &ace)) {
            report_failure("GetAce() failed.\n");
            goto done;
        }
        entry = (ACCESS_ALLOWED_ACE *)ace;

        /* An entry too short to hold a mask and the whole Everyone SID is
           not Everyone's; comparing it would read past its end. */
        if (entry->Header.AceSize >= sizeof(ACE_HEADER) + sizeof(ACCESS_MASK) + sid_length &&
            EqualSid(&entry->SidStart, everyone_sid))
            rewrite_everyone_entry(entry, is_directory, generic_rights, file_rights);

        if (!AddAce(new_dacl, ACL_REVISION, MAXDWORD, entry, entry->Header.AceSize)) {
            report_failure("AddAce() failed.\n");
            goto done;
        }
    }

    if (!SetSecurityDescriptorDacl(&new_descriptor, TRUE, new_dacl, FALSE)) {
        report_failure("SetSecurityDescriptorDacl() failed.\n");
        goto done;
    }
    /* Keep the DACL's protection from inheritance, and its inherited state. */
    if (!SetSecurityDescriptorControl(&new_descriptor, DACL_INHERITANCE_BITS, control & DACL_INHERITANCE_BITS)) {
        report_failure("SetSecurityDescriptorControl() failed.\n");
        goto done;
    }
    if (!SetFileSecurityA(filespec, DACL_SECURITY_INFORMATION, &new_descriptor)) {
        report_failure("SetFileSecurity() failed.\n");
        goto done;
    }
    status = STATUS_OK;

done:
    free(new_dacl);
    free(everyone_sid);
    return status;
}
