/*
 * The advapi32 security calls zirm makes: SIDs, ACLs and security
 * descriptors in memory.
 */
#include <string.h>

#include "layer.h"

#define ACL_HEADER_SIZE 8
#define ACE_HEADER_SIZE 4
#define SID_HEADER_SIZE 8

/* The entry types whose SID follows object-type fields. */
static const BYTE object_ace_types[] = {
    ACCESS_ALLOWED_OBJECT_ACE_TYPE,
    ACCESS_DENIED_OBJECT_ACE_TYPE,
    SYSTEM_AUDIT_OBJECT_ACE_TYPE,
    SYSTEM_ALARM_OBJECT_ACE_TYPE,
    ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE,
    ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE,
    SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE,
    SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE,
};

/* The control bits SetSecurityDescriptorControl refuses: those that other
   calls set, and the form of the descriptor. Windows lets the rest be set. */
#define UNSETTABLE_CONTROL_BITS                                                                                        \
    (SE_OWNER_DEFAULTED | SE_GROUP_DEFAULTED | SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_SACL_PRESENT |                 \
     SE_SACL_DEFAULTED | SE_RM_CONTROL_VALID | SE_SELF_RELATIVE)

/* The entry revisions AddAce takes: Windows takes 1 to 5, and raises the
   ACL to the one given, even to 5, which no other call then accepts. */
#define ADD_ACE_MIN_REVISION 1
#define ADD_ACE_MAX_REVISION 5

WORD get16(const BYTE *p)
{
    return (WORD)(p[0] | p[1] << 8);
}

DWORD get32(const BYTE *p)
{
    return (DWORD)p[0] | (DWORD)p[1] << 8 | (DWORD)p[2] << 16 | (DWORD)p[3] << 24;
}

void put16(BYTE *p, WORD value)
{
    p[0] = (BYTE)value;
    p[1] = (BYTE)(value >> 8);
}

void put32(BYTE *p, DWORD value)
{
    p[0] = (BYTE)value;
    p[1] = (BYTE)(value >> 8);
    p[2] = (BYTE)(value >> 16);
    p[3] = (BYTE)(value >> 24);
}

static BOOL is_object_ace_type(BYTE type)
{
    size_t i;

    for (i = 0; i < sizeof(object_ace_types); i++)
        if (object_ace_types[i] == type)
            return TRUE;
    return FALSE;
}

/* The lowest ACL revision that can hold an entry of this type. */
static DWORD revision_for_ace_type(BYTE type)
{
    if (is_object_ace_type(type))
        return ACL_REVISION_DS;
    if (type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE)
        return 3;
    return ADD_ACE_MIN_REVISION;
}

DWORD sid_length(const BYTE *sid)
{
    return SID_HEADER_SIZE + 4u * sid[1];
}

BOOL sid_is_well_formed(const BYTE *sid, DWORD length)
{
    if (length < SID_HEADER_SIZE || sid[0] != SID_REVISION || sid[1] > SID_MAX_SUB_AUTHORITIES)
        return FALSE;
    return SID_HEADER_SIZE + 4u * sid[1] <= length;
}

/*
 * Walks the entries of an ACL of `available` bytes. Every entry must lie
 * inside the ACL and have a whole number of DWORDs, so that the next one,
 * and every mask, stays aligned.
 */
static BOOL walk_acl(const BYTE *acl, DWORD available, DWORD *in_use)
{
    DWORD size, count, offset, ace_size, i;

    if (available < ACL_HEADER_SIZE || acl[0] < MIN_ACL_REVISION || acl[0] > MAX_ACL_REVISION)
        return FALSE;
    size = get16(acl + 2);
    count = get16(acl + 4);
    if (size < ACL_HEADER_SIZE || size > available)
        return FALSE;

    offset = ACL_HEADER_SIZE;
    for (i = 0; i < count; i++) {
        if (size - offset < ACE_HEADER_SIZE)
            return FALSE;
        ace_size = get16(acl + offset + 2);
        if (ace_size < ACE_HEADER_SIZE || ace_size % 4 != 0 || ace_size > size - offset)
            return FALSE;
        offset += ace_size;
    }
    *in_use = offset;
    return TRUE;
}

/* The bytes an ACL in memory uses, or FALSE when it is malformed. */
static BOOL acl_bytes_in_use(const ACL *acl, DWORD *in_use)
{
    return walk_acl((const BYTE *)acl, acl->AclSize, in_use);
}

/* The offset of entry `index`, or of the free space when index is AceCount.
   The ACL has already been walked, so every step stays inside it. */
static DWORD ace_offset(const ACL *acl, DWORD index)
{
    const BYTE *bytes = (const BYTE *)acl;
    DWORD offset = ACL_HEADER_SIZE;
    DWORD i;

    for (i = 0; i < index; i++)
        offset += get16(bytes + offset + 2);
    return offset;
}

/*
 * Where a walk of an ACL last stopped. Callers read an ACL entry by entry
 * (GetAce with 0, 1, 2, ...) and build one by appending (AddAce with
 * MAXDWORD), and each call would otherwise walk the ACL from its first
 * entry: quadratic in the number of entries. A position holds only for the
 * same ACL, with the same header, and with the same entry header where the
 * walk stopped; anything else walks from the start. The entries before the
 * position are taken as unchanged: a caller that resizes one of them by
 * hand between two calls is not seen.
 */
struct acl_position {
    const ACL *acl;
    WORD size;
    WORD count;
    BYTE revision;
    DWORD index;
    DWORD offset;
    BYTE header[ACE_HEADER_SIZE];
};

static struct acl_position last_found;    /* by GetAce */
static struct acl_position last_appended; /* by AddAce: the last entry */

static BOOL position_holds(const struct acl_position *p, const ACL *acl)
{
    /* An ACL raised past the revisions we read is walked, and refused. */
    return p->acl == acl && p->size == acl->AclSize && p->count == acl->AceCount && p->revision == acl->AclRevision &&
           acl->AclRevision <= MAX_ACL_REVISION && p->offset + ACE_HEADER_SIZE <= acl->AclSize &&
           memcmp((const BYTE *)acl + p->offset, p->header, ACE_HEADER_SIZE) == 0;
}

static void remember(struct acl_position *p, const ACL *acl, DWORD index, DWORD offset)
{
    p->acl = acl;
    p->size = acl->AclSize;
    p->count = acl->AceCount;
    p->revision = acl->AclRevision;
    p->index = index;
    p->offset = offset;
    memcpy(p->header, (const BYTE *)acl + offset, ACE_HEADER_SIZE);
}

void forget_acl_positions(void)
{
    memset(&last_found, 0, sizeof(last_found));
    memset(&last_appended, 0, sizeof(last_appended));
}

/* --- GetSidLengthRequired -------------------------------------------------- */
DWORD WINAPI GetSidLengthRequired(UCHAR sub_authority_count)
{
    return SID_HEADER_SIZE + 4u * sub_authority_count;
}

/* --- InitializeSid --------------------------------------------------------- */
BOOL WINAPI InitializeSid(PSID sid, PSID_IDENTIFIER_AUTHORITY authority, BYTE sub_authority_count)
{
    SID *s = (SID *)sid;

    if (sub_authority_count > SID_MAX_SUB_AUTHORITIES)
        return fail(ERROR_INVALID_PARAMETER);

    /* The sub-authorities start at 0, for the caller to fill in. */
    s->Revision = SID_REVISION;
    s->SubAuthorityCount = sub_authority_count;
    memcpy(s->IdentifierAuthority.Value, authority->Value, sizeof(authority->Value));
    memset(s->SubAuthority, 0, 4u * sub_authority_count);
    return TRUE;
}

/* --- GetSidSubAuthority ---------------------------------------------------- */
DWORD *WINAPI GetSidSubAuthority(PSID sid, DWORD index)
{
    SetLastError(ERROR_SUCCESS);
    return &((SID *)sid)->SubAuthority[index];
}

/* --- GetLengthSid ---------------------------------------------------------- */
DWORD WINAPI GetLengthSid(PSID sid)
{
    return sid_length((const BYTE *)sid);
}

/* --- EqualSid -------------------------------------------------------------- */
BOOL WINAPI EqualSid(PSID sid1, PSID sid2)
{
    const BYTE *a = (const BYTE *)sid1;
    const BYTE *b = (const BYTE *)sid2;

    /* Unequal is an answer, not a failure, and so is a SID that is not
       valid: Windows says FALSE and sets no error for it. */
    SetLastError(ERROR_SUCCESS);
    if (!sid_is_well_formed(a, SID_MAX_LENGTH) || !sid_is_well_formed(b, SID_MAX_LENGTH))
        return FALSE;
    return a[1] == b[1] && memcmp(a, b, GetLengthSid(sid1)) == 0;
}

/* --- InitializeAcl --------------------------------------------------------- */
BOOL WINAPI InitializeAcl(PACL acl, DWORD length, DWORD revision)
{
    if (revision < MIN_ACL_REVISION || revision > MAX_ACL_REVISION)
        return fail(ERROR_INVALID_PARAMETER);
    if (length < sizeof(ACL))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    if (length > 0xFFFF)
        return fail(ERROR_INVALID_PARAMETER);

    if (last_found.acl == acl || last_appended.acl == acl)
        forget_acl_positions();
    memset(acl, 0, sizeof(ACL));
    acl->AclRevision = (BYTE)revision;
    acl->AclSize = (WORD)length;
    return TRUE;
}

/* --- GetAclInformation ----------------------------------------------------- */
BOOL WINAPI GetAclInformation(PACL acl, LPVOID information, DWORD length, ACL_INFORMATION_CLASS info_class)
{
    ACL_REVISION_INFORMATION *revision_info;
    ACL_SIZE_INFORMATION *size_info;
    DWORD in_use;

    switch (info_class) {
    case AclRevisionInformation:
        if (length < sizeof(*revision_info))
            return fail(ERROR_INVALID_PARAMETER);
        revision_info = (ACL_REVISION_INFORMATION *)information;
        revision_info->AclRevision = acl->AclRevision;
        return TRUE;
    case AclSizeInformation:
        if (length < sizeof(*size_info))
            return fail(ERROR_INVALID_PARAMETER);
        if (!acl_bytes_in_use(acl, &in_use))
            return fail(ERROR_INVALID_ACL);
        size_info = (ACL_SIZE_INFORMATION *)information;
        size_info->AceCount = acl->AceCount;
        size_info->AclBytesInUse = in_use;
        size_info->AclBytesFree = acl->AclSize - in_use;
        return TRUE;
    default:
        return fail(ERROR_INVALID_PARAMETER);
    }
}

/* --- GetAce ---------------------------------------------------------------- */
BOOL WINAPI GetAce(PACL acl, DWORD index, LPVOID *ace)
{
    const BYTE *bytes = (const BYTE *)acl;
    DWORD in_use, i, offset;

    /* A position that holds is in an ACL already walked whole. */
    if (position_holds(&last_found, acl) && last_found.index <= index) {
        i = last_found.index;
        offset = last_found.offset;
    } else {
        if (!acl_bytes_in_use(acl, &in_use))
            return fail(ERROR_INVALID_PARAMETER);
        i = 0;
        offset = ACL_HEADER_SIZE;
    }
    if (index >= acl->AceCount)
        return fail(ERROR_INVALID_PARAMETER);

    for (; i < index; i++)
        offset += get16(bytes + offset + 2);
    remember(&last_found, acl, index, offset);
    *ace = (BYTE *)acl + offset;
    return TRUE;
}

/* --- AddAce ---------------------------------------------------------------- */
BOOL WINAPI AddAce(PACL acl, DWORD revision, DWORD start_index, LPVOID ace_list, DWORD ace_list_length)
{
    const BYTE *list = (const BYTE *)ace_list;
    BYTE *bytes = (BYTE *)acl;
    DWORD in_use, offset, ace_size, last, count, at;

    if (revision < ADD_ACE_MIN_REVISION || revision > ADD_ACE_MAX_REVISION)
        return fail(ERROR_INVALID_PARAMETER);
    if (acl->AceCount > 0 && position_holds(&last_appended, acl) && last_appended.index == acl->AceCount - 1u)
        in_use = last_appended.offset + get16(last_appended.header + 2);
    else if (!acl_bytes_in_use(acl, &in_use))
        return fail(ERROR_INVALID_PARAMETER);

    /* The list must be whole entries that the requested revision can hold. */
    count = 0;
    last = 0;
    for (offset = 0; offset < ace_list_length; offset += ace_size) {
        if (ace_list_length - offset < ACE_HEADER_SIZE)
            return fail(ERROR_INVALID_PARAMETER);
        ace_size = get16(list + offset + 2);
        if (ace_size < ACE_HEADER_SIZE || ace_size % 4 != 0 || ace_size > ace_list_length - offset)
            return fail(ERROR_INVALID_PARAMETER);
        if (revision_for_ace_type(list[offset]) > revision)
            return fail(ERROR_INVALID_PARAMETER);
        last = offset;
        count++;
    }
    if (acl->AceCount + count > 0xFFFF)
        return fail(ERROR_INVALID_PARAMETER);
    if (ace_list_length > (DWORD)acl->AclSize - in_use)
        return fail(ERROR_INSUFFICIENT_BUFFER);

    at = start_index >= acl->AceCount ? in_use : ace_offset(acl, start_index);
    memmove(bytes + at + ace_list_length, bytes + at, in_use - at);
    memcpy(bytes + at, list, ace_list_length);
    acl->AceCount = (WORD)(acl->AceCount + count);
    if (revision > acl->AclRevision)
        acl->AclRevision = (BYTE)revision;

    if (last_found.acl == acl)
        memset(&last_found, 0, sizeof(last_found));
    if (count > 0 && at == in_use)
        remember(&last_appended, acl, acl->AceCount - 1u, at + last);
    else
        memset(&last_appended, 0, sizeof(last_appended));
    return TRUE;
}

/* --- InitializeSecurityDescriptor ------------------------------------------ */
BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision)
{
    if (revision != SECURITY_DESCRIPTOR_REVISION)
        return fail(ERROR_UNKNOWN_REVISION);

    memset(descriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    ((SECURITY_DESCRIPTOR *)descriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

/* --- GetSecurityDescriptorDacl --------------------------------------------- */
BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL *dacl, LPBOOL defaulted)
{
    const SECURITY_DESCRIPTOR *absolute = (const SECURITY_DESCRIPTOR *)descriptor;
    const SECURITY_DESCRIPTOR_RELATIVE *relative = (const SECURITY_DESCRIPTOR_RELATIVE *)descriptor;

    if (absolute->Revision != SECURITY_DESCRIPTOR_REVISION)
        return fail(ERROR_UNKNOWN_REVISION);

    *present = (absolute->Control & SE_DACL_PRESENT) != 0;
    if (!*present)
        return TRUE;

    if (absolute->Control & SE_SELF_RELATIVE)
        *dacl = relative->Dacl != 0 ? (PACL)((BYTE *)descriptor + relative->Dacl) : NULL;
    else
        *dacl = absolute->Dacl;
    *defaulted = (absolute->Control & SE_DACL_DEFAULTED) != 0;
    return TRUE;
}

/* --- SetSecurityDescriptorDacl --------------------------------------------- */
BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl, BOOL defaulted)
{
    SECURITY_DESCRIPTOR *absolute = (SECURITY_DESCRIPTOR *)descriptor;

    if (absolute->Revision != SECURITY_DESCRIPTOR_REVISION)
        return fail(ERROR_UNKNOWN_REVISION);
    if (absolute->Control & SE_SELF_RELATIVE)
        return fail(ERROR_INVALID_SECURITY_DESCR);

    /* The flags are taken as the system's one-byte booleans: only their
       low byte counts. */
    if (!(BYTE)present) {
        absolute->Control &= ~SE_DACL_PRESENT;
        return TRUE;
    }
    absolute->Control |= SE_DACL_PRESENT;
    absolute->Dacl = dacl;
    if ((BYTE)defaulted)
        absolute->Control |= SE_DACL_DEFAULTED;
    else
        absolute->Control &= ~SE_DACL_DEFAULTED;
    return TRUE;
}

/* --- GetSecurityDescriptorControl ------------------------------------------ */
BOOL WINAPI GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, PSECURITY_DESCRIPTOR_CONTROL control,
                                         LPDWORD revision)
{
    const SECURITY_DESCRIPTOR *absolute = (const SECURITY_DESCRIPTOR *)descriptor;

    /* The revision is given even when it is one we do not know. */
    *revision = absolute->Revision;
    if (absolute->Revision != SECURITY_DESCRIPTOR_REVISION)
        return fail(ERROR_UNKNOWN_REVISION);
    *control = absolute->Control;
    return TRUE;
}

/* --- SetSecurityDescriptorControl ------------------------------------------ */
BOOL WINAPI SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, SECURITY_DESCRIPTOR_CONTROL bits_of_interest,
                                         SECURITY_DESCRIPTOR_CONTROL bits_to_set)
{
    SECURITY_DESCRIPTOR *absolute = (SECURITY_DESCRIPTOR *)descriptor;

    /* Only the bits are looked at, whatever the revision. */
    if ((bits_of_interest | bits_to_set) & UNSETTABLE_CONTROL_BITS)
        return fail(ERROR_INVALID_PARAMETER);

    absolute->Control = (WORD)((absolute->Control & ~bits_of_interest) | (bits_to_set & bits_of_interest));
    return TRUE;
}
