/*
 * What the POSIX platform layer's parts share: error helpers, ACL checks
 * and the codec of the stored security descriptor.
 */
#ifndef ZIRM_POSIX_LAYER_H
#define ZIRM_POSIX_LAYER_H

#include <windows.h>

/* Sets the last-error code and returns FALSE, for "return fail(code);". */
BOOL fail(DWORD code);

/* The Win32 code for an errno value. */
DWORD error_from_errno(int error);

/* Little-endian fields at any alignment, as they stand on disk. */
WORD get16(const BYTE *p);
DWORD get32(const BYTE *p);
void put16(BYTE *p, WORD value);
void put32(BYTE *p, DWORD value);

/*
 * The stored ACL check: the ACL fits in the length given, its entries lie
 * inside it, and every entry holds a well-formed SID, as anything stored
 * must. Gives the bytes the entries use.
 */
BOOL acl_is_well_formed(const BYTE *acl, DWORD length, DWORD *in_use);
BOOL sid_is_well_formed(const BYTE *sid, DWORD length);

/* The bytes a well-formed SID takes, and the most any SID can take. */
DWORD sid_length(const BYTE *sid);
#define SID_MAX_LENGTH (8 + 4 * SID_MAX_SUB_AUTHORITIES)

/* GetAce and AddAce remember where they stopped in an ACL; anything that
   writes ACLs behind their back makes them forget. */
void forget_acl_positions(void);

/* Each name is resolved once and pinned to that object for the rest of the
   process; tests that make a new file under an old name forget the pins. */
void forget_pinned_names(void);

/* The parts of a descriptor, as pointers into a buffer that holds them. */
struct descriptor_parts {
    BYTE revision;
    BYTE sbz1;
    WORD control;
    const BYTE *owner;
    DWORD owner_length;
    const BYTE *group;
    DWORD group_length;
    const BYTE *sacl;
    DWORD sacl_length;
    const BYTE *dacl;
    DWORD dacl_length;
};

/* The largest stored attribute the kernel allows. */
#define NTACL_MAX_SIZE 65536
#define NTACL_NAME "security.NTACL"

BOOL ntacl_parse(const BYTE *blob, DWORD length, DWORD *prefix_length, struct descriptor_parts *parts);
DWORD descriptor_encoded_length(const struct descriptor_parts *parts);
void descriptor_encode(const struct descriptor_parts *parts, BYTE *out, DWORD base);

#endif
