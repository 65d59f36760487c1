/*
 * The stored security descriptor: the extended attribute security.NTACL in
 * the encoding a Samba file server uses, so that its Windows clients see
 * exactly what we write.
 *
 * The attribute starts with a version word and a prefix whose length
 * depends on the version (hashes, a description, a time); the descriptor
 * comes last. Its offsets count from the start of the attribute, not from
 * the descriptor, and an offset of 0 means the part is absent.
 *
 * A blob is taken only when the parser of every Samba release we know
 * (4.17, 4.22) reads it, and reads it as we do: anything one of them would
 * refuse, or read differently, is refused here, and never written over, as
 * one build runs beside either. Samba reads some blobs that a Windows
 * descriptor cannot say; those are refused too (see the README).
 */
#include <string.h>

#include "layer.h"

#define DESCRIPTOR_HEADER_SIZE 20
#define ACL_HEADER_SIZE 8
#define ACE_HEADER_SIZE 4
#define GUID_SIZE 16

/* Version 2: version, level, two pointers, a 16-byte hash. */
#define V2_DESCRIPTOR_OFFSET 28
/* Version 3: the same with a hash type and a 64-byte hash, then padding. */
#define V3_DESCRIPTOR_OFFSET 0x50
/* Version 4: the fields of version 3, then a NUL-terminated description. */
#define V4_DESCRIPTION_OFFSET 78
#define NTTIME_SIZE 8
#define HASH_SIZE 64

/* Samba's parser takes no more entries than this in one ACL. */
#define ACL_MAX_ENTRIES 2000

#define SYSTEM_RESOURCE_ATTRIBUTE_ACE_TYPE 0x12

/* The entry types whose SID follows object-type fields, as every Samba
   release here reads them. */
static const BYTE object_ace_types[] = {
    ACCESS_ALLOWED_OBJECT_ACE_TYPE,
    ACCESS_DENIED_OBJECT_ACE_TYPE,
    SYSTEM_AUDIT_OBJECT_ACE_TYPE,
    SYSTEM_ALARM_OBJECT_ACE_TYPE,
};

/*
 * The entry types that Samba releases read differently, so that a blob
 * holding one is read by one release as we read it and by the other not.
 * Samba 4.22 reads object-type fields before the SID of three callback
 * types, where 4.17 reads the SID; and it reads and checks the claim in a
 * resource attribute entry, which 4.17 takes as padding.
 */
static const BYTE release_dependent_ace_types[] = {
    ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE,
    ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE,
    SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE,
    SYSTEM_RESOURCE_ATTRIBUTE_ACE_TYPE,
};

static DWORD align4(DWORD offset)
{
    return (offset + 3) & ~3u;
}

/*
 * The description as every Samba release here converts it: UTF-8
 * sequences of one to four bytes, none longer than it needs to be, up to
 * U+10FFFF, and no surrogate. (Samba 4.17 also takes a surrogate pair
 * written as two three-byte sequences; 4.22 refuses any surrogate.)
 * Anything else fails the conversion, and with it the whole blob.
 */
static BOOL is_samba_utf8(const BYTE *s, DWORD length)
{
    static const DWORD least[] = { 0, 0x80, 0x800, 0x10000 };
    DWORD i = 0, need, k, code_point;

    while (i < length) {
        if (s[i] < 0x80) {
            need = 0;
            code_point = s[i];
        } else if ((s[i] & 0xE0) == 0xC0) {
            need = 1;
            code_point = s[i] & 0x1F;
        } else if ((s[i] & 0xF0) == 0xE0) {
            need = 2;
            code_point = s[i] & 0x0F;
        } else if ((s[i] & 0xF8) == 0xF0) {
            need = 3;
            code_point = s[i] & 0x07;
        } else {
            return FALSE;
        }
        if (length - i <= need)
            return FALSE;
        for (k = 1; k <= need; k++) {
            if ((s[i + k] & 0xC0) != 0x80)
                return FALSE;
            code_point = code_point << 6 | (s[i + k] & 0x3F);
        }
        if (code_point < least[need] || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF))
            return FALSE;
        i += need + 1;
    }
    return TRUE;
}

/* Where the descriptor starts, or 0 when the prefix is malformed. */
static DWORD descriptor_offset(const BYTE *blob, DWORD length)
{
    const BYTE *nul;
    DWORD offset, version;

    /* The level must repeat the version, and a null pointer means there
       is no descriptor at all. */
    if (length < 8 || get16(blob) != get16(blob + 2) || get32(blob + 4) == 0)
        return 0;
    version = get16(blob);
    if (version == 1)
        return 8;
    if (version < 2 || version > 4 || length < 12 || get32(blob + 8) == 0)
        return 0;

    switch (version) {
    case 2:
        return V2_DESCRIPTOR_OFFSET;
    case 3:
        return V3_DESCRIPTOR_OFFSET;
    default:
        if (length <= V4_DESCRIPTION_OFFSET)
            return 0;
        nul = (const BYTE *)memchr(blob + V4_DESCRIPTION_OFFSET, 0, length - V4_DESCRIPTION_OFFSET);
        if (nul == NULL || !is_samba_utf8(blob + V4_DESCRIPTION_OFFSET, (DWORD)(nul - blob) - V4_DESCRIPTION_OFFSET))
            return 0;
        offset = align4((DWORD)(nul - blob) + 1) + NTTIME_SIZE + HASH_SIZE;
        return align4(offset);
    }
}

static BOOL is_one_of(const BYTE *types, size_t count, BYTE type)
{
    size_t i;

    for (i = 0; i < count; i++)
        if (types[i] == type)
            return TRUE;
    return FALSE;
}

/* Where an entry's SID starts, as Samba reads the entry, or 0 when the
   entry is too short to say. */
static DWORD ace_sid_offset(const BYTE *ace, DWORD size)
{
    DWORD offset = ACE_HEADER_SIZE + sizeof(ACCESS_MASK);
    DWORD flags;

    if (!is_one_of(object_ace_types, sizeof(object_ace_types), ace[0]))
        return offset;
    if (size < offset + 4)
        return 0;
    flags = get32(ace + offset);
    offset += 4;
    if (flags & ACE_OBJECT_TYPE_PRESENT)
        offset += GUID_SIZE;
    if (flags & ACE_INHERITED_OBJECT_TYPE_PRESENT)
        offset += GUID_SIZE;
    return offset;
}

/*
 * A stored ACL, or one about to be stored: what Samba reads, as Windows
 * would read it. Samba reads the first two bytes as one revision number and
 * the last four as one entry count, so Sbz1 and Sbz2 must be 0; it takes at
 * most 2,000 entries; each entry must be of a type every release reads
 * alike, and hold what Samba reads of it (Samba 4.22 reads on past the end
 * of a shorter entry, and the next entry after its SID; 4.17 refuses it,
 * and Windows would read the next entry inside it). Windows asks more: a
 * revision it knows, a size in whole DWORDs that holds the entries, entries
 * of whole DWORDs, and revision-1 SIDs. Gives the bytes the entries use,
 * which is all that Samba reads.
 */
BOOL acl_is_well_formed(const BYTE *acl, DWORD length, DWORD *in_use)
{
    DWORD size, count, offset, ace_size, sid_offset, i;

    if (length < ACL_HEADER_SIZE || acl[0] < MIN_ACL_REVISION || acl[0] > MAX_ACL_REVISION || acl[1] != 0 ||
        get16(acl + 6) != 0)
        return FALSE;
    size = get16(acl + 2);
    count = get16(acl + 4);
    if (size < ACL_HEADER_SIZE || size > length || count > ACL_MAX_ENTRIES)
        return FALSE;

    offset = ACL_HEADER_SIZE;
    for (i = 0; i < count; i++) {
        if (size - offset < ACE_HEADER_SIZE)
            return FALSE;
        ace_size = get16(acl + offset + 2);
        if (ace_size < ACE_HEADER_SIZE || ace_size % 4 != 0 || ace_size > size - offset ||
            is_one_of(release_dependent_ace_types, sizeof(release_dependent_ace_types), acl[offset]))
            return FALSE;
        sid_offset = ace_sid_offset(acl + offset, ace_size);
        if (sid_offset == 0 || sid_offset > ace_size ||
            !sid_is_well_formed(acl + offset + sid_offset, ace_size - sid_offset))
            return FALSE;
        offset += ace_size;
    }
    *in_use = offset;
    return TRUE;
}

/*
 * A part at a stored offset. Samba reads a part at the next multiple of 4,
 * so any other offset would be read elsewhere; a part inside the
 * descriptor's header or the prefix is nothing a descriptor can say.
 */
static BOOL part_offset_is_valid(DWORD offset, DWORD first, DWORD length)
{
    return offset % 4 == 0 && offset >= first && offset < length;
}

/* A SID at a stored offset; `end` is moved past it. */
static BOOL parse_sid(const BYTE *blob, DWORD length, DWORD first, DWORD offset, const BYTE **sid, DWORD *sid_size,
                      DWORD *end)
{
    *sid = NULL;
    *sid_size = 0;
    if (offset == 0)
        return TRUE;
    if (!part_offset_is_valid(offset, first, length) || !sid_is_well_formed(blob + offset, length - offset))
        return FALSE;
    *sid = blob + offset;
    *sid_size = sid_length(blob + offset);
    if (offset + *sid_size > *end)
        *end = offset + *sid_size;
    return TRUE;
}

/*
 * An ACL at a stored offset. Samba goes by the offset alone, whatever the
 * present bit says, so an offset without its bit would be read by Samba and
 * not by us: refused. Without an offset the ACL is absent, or NULL when the
 * bit is set. Samba reads only the bytes the entries use, so that is what
 * is taken, and `end` is moved past them.
 */
static BOOL parse_acl(const BYTE *blob, DWORD length, DWORD first, DWORD offset, BOOL present, const BYTE **acl,
                      DWORD *acl_length, DWORD *end)
{
    DWORD in_use, size;

    *acl = NULL;
    *acl_length = 0;
    if (offset == 0)
        return TRUE;
    if (!present || !part_offset_is_valid(offset, first, length) ||
        !acl_is_well_formed(blob + offset, length - offset, &in_use))
        return FALSE;
    size = get16(blob + offset + 2);
    /* Whole DWORDs, so that the parts after it stay aligned. */
    if (size % 4 != 0)
        return FALSE;
    *acl = blob + offset;
    *acl_length = in_use;
    if (offset + in_use > *end)
        *end = offset + in_use;
    return TRUE;
}

static BOOL ntacl_parse_descriptor(const BYTE *blob, DWORD length, DWORD offset, struct descriptor_parts *parts)
{
    const BYTE *header = blob + offset;
    DWORD first = offset + DESCRIPTOR_HEADER_SIZE;
    DWORD end = first;

    if (offset > length || length - offset < DESCRIPTOR_HEADER_SIZE || header[0] != SECURITY_DESCRIPTOR_REVISION)
        return FALSE;

    parts->revision = header[0];
    parts->sbz1 = header[1];
    parts->control = get16(header + 2);
    if (!parse_sid(blob, length, first, get32(header + 4), &parts->owner, &parts->owner_length, &end) ||
        !parse_sid(blob, length, first, get32(header + 8), &parts->group, &parts->group_length, &end) ||
        !parse_acl(blob, length, first, get32(header + 12), (parts->control & SE_SACL_PRESENT) != 0, &parts->sacl,
                   &parts->sacl_length, &end) ||
        !parse_acl(blob, length, first, get32(header + 16), (parts->control & SE_DACL_PRESENT) != 0, &parts->dacl,
                   &parts->dacl_length, &end))
        return FALSE;

    /* Bytes that no part reads: Samba's strict parser refuses them. */
    return end == length;
}

BOOL ntacl_parse(const BYTE *blob, DWORD length, DWORD *prefix_length, struct descriptor_parts *parts)
{
    DWORD offset = descriptor_offset(blob, length);

    if (offset == 0 || !ntacl_parse_descriptor(blob, length, offset, parts))
        return FALSE;
    *prefix_length = offset;
    return TRUE;
}

BOOL descriptor_parse(const BYTE *descriptor, DWORD length, struct descriptor_parts *parts)
{
    return ntacl_parse_descriptor(descriptor, length, 0, parts);
}

DWORD descriptor_encoded_length(const struct descriptor_parts *parts)
{
    return DESCRIPTOR_HEADER_SIZE + parts->owner_length + parts->group_length + parts->sacl_length + parts->dacl_length;
}

/* Appends one part and stores its offset, counted from `base`. */
static DWORD put_part(BYTE *out, BYTE *offset_field, DWORD at, DWORD base, const BYTE *part, DWORD length, BOOL is_acl)
{
    if (part == NULL) {
        put32(offset_field, 0);
        return at;
    }
    put32(offset_field, base + at);
    memcpy(out + at, part, length);
    /* A stored ACL declares exactly the bytes stored. */
    if (is_acl)
        put16(out + at + 2, (WORD)length);
    return at + length;
}

/* Owner, group, SACL and DACL, in that order, after the header. */
void descriptor_encode(const struct descriptor_parts *parts, BYTE *out, DWORD base)
{
    DWORD at = DESCRIPTOR_HEADER_SIZE;

    out[0] = parts->revision;
    out[1] = parts->sbz1;
    put16(out + 2, parts->control);
    at = put_part(out, out + 4, at, base, parts->owner, parts->owner_length, FALSE);
    at = put_part(out, out + 8, at, base, parts->group, parts->group_length, FALSE);
    at = put_part(out, out + 12, at, base, parts->sacl, parts->sacl_length, TRUE);
    put_part(out, out + 16, at, base, parts->dacl, parts->dacl_length, TRUE);
}
