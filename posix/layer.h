/*
 * What the POSIX platform layer's parts share: error helpers, ACL checks
 * and the codec of the stored security descriptor.
 */
#ifndef ZIRM_POSIX_LAYER_H
#define ZIRM_POSIX_LAYER_H

#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

/* Sets the last-error code and returns FALSE, for "return fail(code);". */
BOOL fail(DWORD code);

/* The Win32 code for an errno value, and for an NTSTATUS of Samba's. */
DWORD error_from_errno(int error);
DWORD error_from_ntstatus(DWORD status);

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

/* A descriptor's entry in /proc, which names the object itself. */
#define OBJECT_PATH_SIZE 32
void object_path(int fd, char path[OBJECT_PATH_SIZE]);

BOOL ntacl_parse(const BYTE *blob, DWORD length, DWORD *prefix_length, struct descriptor_parts *parts);
DWORD descriptor_encoded_length(const struct descriptor_parts *parts);
void descriptor_encode(const struct descriptor_parts *parts, BYTE *out, DWORD base);

/*
 * An object's identity and those of the folders above it, nearest first:
 * the folders of its own file system, whatever mount it was reached
 * through, then those above the mount. Where the object may have names
 * that these folders do not show (other hard links, a mount whose file
 * system's folders above it are nowhere mounted), `has_other_names` is
 * set, with the device those names would be on.
 */
#define LINEAGE_MAX_DEPTH 2048
struct lineage {
    BOOL has_other_names;
    dev_t other_names_dev;
    DWORD count;
    struct {
        dev_t dev;
        ino_t ino;
        uid_t owner;
    } ids[LINEAGE_MAX_DEPTH];
};

/* The smb.conf Samba's tools read: SMB_CONF_PATH, else Samba's own default.
   `named` tells whether it was named. */
const char *samba_conf_path(BOOL *named);

/* Whether some share of that configuration may hold the object: a cheap
   answer that errs towards yes; Samba's own loader decides. Gives the
   object's lineage too, for the loader. */
DWORD samba_share_may_hold(int fd, const struct stat *st, struct lineage *lineage, BOOL *maybe);

/*
 * Samba's ACL engine, serving one object: a helper process that acts on
 * the object mounted where only it can see it. Requests and answers are
 * self-relative descriptors, offsets counted from their start.
 */
struct samba_engine {
    pid_t pid;
    int channel;
    int object_lock;
    char mount_dir[32];
    BOOL mount_is_directory;
    /* The answer to a get sent with the first request, and the parts it
       asked for; NULL once taken. */
    char *early_answer;
    SECURITY_INFORMATION early_answer_parts;
};

/* Starts the engine for the object; `in_share` tells whether Samba serves
   it. When it does not, the engine is stopped again. `first_get`, when not
   0, is the get the caller makes next: it is sent at once, with the first
   request, so that its answer costs no round trip of its own. */
DWORD samba_engine_start(struct samba_engine *engine, int fd, const struct stat *st, const struct lineage *lineage,
                         SECURITY_INFORMATION first_get, BOOL *in_share);
DWORD samba_engine_get(struct samba_engine *engine, SECURITY_INFORMATION requested, BYTE **descriptor, DWORD *length);
DWORD samba_engine_set(struct samba_engine *engine, SECURITY_INFORMATION information, const BYTE *descriptor,
                       DWORD length);
void samba_engine_stop(struct samba_engine *engine);

/* A self-relative descriptor alone, as Samba's parser would read it. */
BOOL descriptor_parse(const BYTE *descriptor, DWORD length, struct descriptor_parts *parts);

#endif
