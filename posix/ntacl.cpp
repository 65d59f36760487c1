/*
 * The stored security descriptor: the extended attribute security.NTACL in
 * the encoding a Samba file server uses, so that its Windows clients see
 * exactly what we write.
 *
 * The attribute starts with a version word and a prefix whose length
 * depends on the version (hashes, a description, a time); the descriptor
 * comes last. Its offsets count from the start of the attribute, not from
 * the descriptor, and an offset of 0 means the part is absent.
 */
#include <string.h>

#include "layer.h"

#define DESCRIPTOR_HEADER_SIZE 20
#define HASH_SIZE 64

/* Version 3: version, level, two pointers, hash type, hash, then padding. */
#define V3_DESCRIPTOR_OFFSET 0x50
/* Version 4: the same fields, then a NUL-terminated description. */
#define V4_DESCRIPTION_OFFSET 78
#define NTTIME_SIZE 8

static DWORD align4(DWORD offset)
{
    return (offset + 3) & ~3u;
}

/* Where the descriptor starts, or 0 when the prefix is malformed. */
static DWORD descriptor_offset(const BYTE *blob, DWORD length)
{
    const BYTE *nul;
    DWORD offset;

    if (length < 8 || get16(blob) != get16(blob + 2) || get32(blob + 4) == 0)
        return 0;

    switch (get16(blob)) {
    case 1:
        return 8;
    case 3:
        if (length < V3_DESCRIPTOR_OFFSET || get32(blob + 8) == 0)
            return 0;
        return V3_DESCRIPTOR_OFFSET;
    case 4:
        if (length <= V4_DESCRIPTION_OFFSET || get32(blob + 8) == 0)
            return 0;
        nul = (const BYTE *)memchr(blob + V4_DESCRIPTION_OFFSET, 0, length - V4_DESCRIPTION_OFFSET);
        if (nul == NULL)
            return 0;
        offset = align4((DWORD)(nul - blob) + 1) + NTTIME_SIZE + HASH_SIZE;
        offset = align4(offset);
        return offset <= length ? offset : 0;
    default:
        return 0;
    }
}

/* A SID at a stored offset: inside the attribute, after the header. */
static BOOL parse_sid(const BYTE *blob, DWORD length, DWORD first, DWORD offset, const BYTE **sid, DWORD *sid_size)
{
    *sid = NULL;
    *sid_size = 0;
    if (offset == 0)
        return TRUE;
    if (offset < first || offset >= length || !sid_is_well_formed(blob + offset, length - offset))
        return FALSE;
    *sid = blob + offset;
    *sid_size = sid_length(blob + offset);
    return TRUE;
}

/* An ACL at a stored offset; absent unless its present bit is set. */
static BOOL parse_acl(const BYTE *blob, DWORD length, DWORD first, DWORD offset, BOOL present, const BYTE **acl,
                      DWORD *acl_length)
{
    DWORD in_use;

    *acl = NULL;
    *acl_length = 0;
    if (!present || offset == 0)
        return TRUE;
    if (offset < first || offset >= length || !acl_is_well_formed(blob + offset, length - offset, &in_use))
        return FALSE;
    *acl = blob + offset;
    *acl_length = get16(blob + offset + 2);
    return TRUE;
}

static BOOL ntacl_parse_descriptor(const BYTE *blob, DWORD length, DWORD offset, struct descriptor_parts *parts)
{
    const BYTE *header = blob + offset;
    DWORD first = offset + DESCRIPTOR_HEADER_SIZE;

    if (offset > length || length - offset < DESCRIPTOR_HEADER_SIZE || header[0] != SECURITY_DESCRIPTOR_REVISION)
        return FALSE;

    parts->revision = header[0];
    parts->sbz1 = header[1];
    parts->control = get16(header + 2);
    return parse_sid(blob, length, first, get32(header + 4), &parts->owner, &parts->owner_length) &&
           parse_sid(blob, length, first, get32(header + 8), &parts->group, &parts->group_length) &&
           parse_acl(blob, length, first, get32(header + 12), (parts->control & SE_SACL_PRESENT) != 0, &parts->sacl,
                     &parts->sacl_length) &&
           parse_acl(blob, length, first, get32(header + 16), (parts->control & SE_DACL_PRESENT) != 0, &parts->dacl,
                     &parts->dacl_length);
}

BOOL ntacl_parse(const BYTE *blob, DWORD length, DWORD *prefix_length, struct descriptor_parts *parts)
{
    DWORD offset = descriptor_offset(blob, length);

    if (offset == 0 || !ntacl_parse_descriptor(blob, length, offset, parts))
        return FALSE;
    *prefix_length = offset;
    return TRUE;
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
