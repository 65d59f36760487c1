/*
 * The file calls zirm makes: the security descriptor of a file or
 * directory, and its attributes.
 *
 * zirm runs as root in directories that other users can write, so a name
 * is resolved once, without following a symbolic link in its last
 * component, and every later call with the same name acts on that same
 * object, whatever is renamed or swapped in the meantime.
 *
 * Where the descriptor is kept depends on who serves the object. In a
 * share of the Samba server, smbd keeps it together with the POSIX ACLs
 * and the mode, which it derives from every DACL set and checks on every
 * read: there Samba's own ACL engine reads and writes it, so that a change
 * made here is the change a Windows client makes over SMB. Anywhere else
 * the descriptor stored in security.NTACL is edited in place.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "layer.h"

#define ALL_PARTS                                                                                                      \
    (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION)

/* Which control bits belong to which part of a descriptor. */
static const struct {
    SECURITY_INFORMATION part;
    WORD control_bits;
} part_control_bits[] = {
    { OWNER_SECURITY_INFORMATION, SE_OWNER_DEFAULTED },
    { GROUP_SECURITY_INFORMATION, SE_GROUP_DEFAULTED },
    { DACL_SECURITY_INFORMATION,
      SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED },
    { SACL_SECURITY_INFORMATION,
      SE_SACL_PRESENT | SE_SACL_DEFAULTED | SE_SACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERITED | SE_SACL_PROTECTED },
};

/* What the first read of the attribute asks for: the kernel zeroes a
   buffer of that size first, and most descriptors fit in a page. */
#define FIRST_READ_SIZE 4096

/* A request to inherit is acted on by the system, never stored. */
#define UNSTORED_CONTROL_BITS (SE_DACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERIT_REQ)

/*
 * What a Samba server stores for generic rights: it maps them through the
 * file mapping in every entry of an ACL it is given, and its access check
 * and its inheritance never map them again. So an unmapped GENERIC_READ
 * stored here would grant nothing to anyone.
 */
static const struct {
    DWORD generic;
    DWORD specific;
} file_generic_mapping[] = {
    { GENERIC_READ, FILE_GENERIC_READ },
    { GENERIC_WRITE, FILE_GENERIC_WRITE },
    { GENERIC_EXECUTE, FILE_GENERIC_EXECUTE },
    { GENERIC_ALL, FILE_ALL_ACCESS },
};

enum store {
    STORE_UNKNOWN, /* not yet asked */
    STORE_XATTR,   /* security.NTACL, edited in place */
    STORE_ENGINE,  /* Samba's ACL engine, with the share's parameters */
};

/* A name and the object it was resolved to, for the life of the process. */
struct pinned_name {
    char *name;
    int fd;
    enum store store;
    struct samba_engine engine;
    struct pinned_name *next;
};

static struct pinned_name *pinned_names;

static WORD control_bits_of(SECURITY_INFORMATION parts)
{
    WORD bits = 0;
    size_t i;

    for (i = 0; i < sizeof(part_control_bits) / sizeof(part_control_bits[0]); i++)
        if (parts & part_control_bits[i].part)
            bits |= part_control_bits[i].control_bits;
    return bits;
}

/* Wildcards never name a file in Win32, whatever POSIX allows. */
static BOOL name_is_valid(LPCSTR name)
{
    return name != NULL && name[0] != '\0' && strpbrk(name, "*?") == NULL;
}

/*
 * The object a name stands for: resolved on the first call, the same one
 * on every later call. Directory components are followed as given; a last
 * component that is a symbolic link is not, and is refused. Gives a
 * the pin and the object's status, or NULL with the error set.
 */
static struct pinned_name *pinned_object(LPCSTR name, struct stat *st)
{
    struct pinned_name *p;

    if (!name_is_valid(name)) {
        fail(ERROR_INVALID_NAME);
        return NULL;
    }
    for (p = pinned_names; p != NULL; p = p->next)
        if (strcmp(p->name, name) == 0)
            break;
    if (p == NULL) {
        p = (struct pinned_name *)calloc(1, sizeof(*p));
        if (p == NULL) {
            fail(ERROR_NOT_ENOUGH_MEMORY);
            return NULL;
        }
        p->name = strdup(name);
        if (p->name == NULL) {
            free(p);
            fail(ERROR_NOT_ENOUGH_MEMORY);
            return NULL;
        }
        /* O_PATH opens without reading and without asking for any access. */
        p->fd = open(name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (p->fd < 0) {
            fail(error_from_errno(errno));
            free(p->name);
            free(p);
            return NULL;
        }
        p->store = STORE_UNKNOWN;
        p->engine.pid = -1;
        p->engine.channel = -1;
        p->engine.object_lock = -1;
        p->next = pinned_names;
        pinned_names = p;
    }
    if (fstat(p->fd, st) != 0) {
        fail(error_from_errno(errno));
        return NULL;
    }
    if (S_ISLNK(st->st_mode)) {
        fail(ERROR_STOPPED_ON_SYMLINK);
        return NULL;
    }
    return p;
}

/*
 * Which store keeps the object's descriptor: asked once, on the first
 * call that needs it. Samba's engine is started only when a share may hold
 * the object, and decides whether one does.
 */
static BOOL choose_store(struct pinned_name *p, const struct stat *st, SECURITY_INFORMATION first_get)
{
    static struct lineage lineage;
    static BOOL stopped_at_exit;
    BOOL maybe, in_share = FALSE;
    DWORD code;

    if (p->store != STORE_UNKNOWN)
        return TRUE;
    code = samba_share_may_hold(p->fd, st, &lineage, &maybe);
    if (code == ERROR_SUCCESS && maybe) {
        /* The engine's helper and its mount point go when zirm does. */
        if (!stopped_at_exit && atexit(forget_pinned_names) == 0)
            stopped_at_exit = TRUE;
        code = samba_engine_start(&p->engine, p->fd, st, &lineage, first_get, &in_share);
    }
    if (code != ERROR_SUCCESS)
        return fail(code);
    p->store = in_share ? STORE_ENGINE : STORE_XATTR;
    return TRUE;
}

void forget_pinned_names(void)
{
    struct pinned_name *p;

    while (pinned_names != NULL) {
        p = pinned_names;
        pinned_names = p->next;
        if (p->store == STORE_ENGINE)
            samba_engine_stop(&p->engine);
        close(p->fd);
        free(p->name);
        free(p);
    }
}

/*
 * The attribute is reached through the descriptor's entry in /proc, which
 * names the object itself: the attribute calls take no O_PATH descriptor.
 * Written out by hand: a run's first formatted print costs more than the
 * call the name is for.
 */
void object_path(int fd, char path[OBJECT_PATH_SIZE])
{
    static const char prefix[] = "/proc/self/fd/";
    char digits[10];
    unsigned int number = (unsigned int)fd;
    size_t count = 0, i;

    do {
        digits[count++] = (char)('0' + number % 10);
        number /= 10;
    } while (number != 0);
    memcpy(path, prefix, sizeof(prefix) - 1);
    for (i = 0; i < count; i++)
        path[sizeof(prefix) - 1 + i] = digits[count - 1 - i];
    path[sizeof(prefix) - 1 + count] = '\0';
}

/* Reads the stored attribute into a new block of NTACL_MAX_SIZE bytes;
   gives the error code, or ERROR_SUCCESS. */
static DWORD read_blob(const char *path, BYTE **blob, DWORD *length)
{
    ssize_t got;
    int error;

    *blob = (BYTE *)malloc(NTACL_MAX_SIZE);
    if (*blob == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    /* Only a larger one is read again, with room for the largest. */
    got = getxattr(path, NTACL_NAME, *blob, FIRST_READ_SIZE);
    if (got < 0 && errno == ERANGE)
        got = getxattr(path, NTACL_NAME, *blob, NTACL_MAX_SIZE);
    if (got < 0) {
        error = errno;
        free(*blob);
        *blob = NULL;
        return error_from_errno(error);
    }
    *length = (DWORD)got;
    return ERROR_SUCCESS;
}

/* Maps the generic rights in every entry of a stored ACL, at `offset`. */
static void map_generic_rights(BYTE *blob, DWORD offset)
{
    DWORD count, at, mask, i, k;

    if (offset == 0)
        return;
    count = get16(blob + offset + 4);
    at = offset + 8;
    for (i = 0; i < count; i++) {
        mask = get32(blob + at + 4);
        for (k = 0; k < sizeof(file_generic_mapping) / sizeof(file_generic_mapping[0]); k++)
            if (mask & file_generic_mapping[k].generic)
                mask = (mask & ~file_generic_mapping[k].generic) | file_generic_mapping[k].specific;
        put32(blob + at + 4, mask);
        at += get16(blob + at + 2);
    }
}

/* Drops the parts that were not asked for, and their control bits. */
static void keep_parts(struct descriptor_parts *parts, SECURITY_INFORMATION requested)
{
    if (!(requested & OWNER_SECURITY_INFORMATION)) {
        parts->owner = NULL;
        parts->owner_length = 0;
    }
    if (!(requested & GROUP_SECURITY_INFORMATION)) {
        parts->group = NULL;
        parts->group_length = 0;
    }
    if (!(requested & SACL_SECURITY_INFORMATION)) {
        parts->sacl = NULL;
        parts->sacl_length = 0;
    }
    if (!(requested & DACL_SECURITY_INFORMATION)) {
        parts->dacl = NULL;
        parts->dacl_length = 0;
    }
    parts->control = (WORD)(SE_SELF_RELATIVE | (parts->control & control_bits_of(requested)));
}

/* Takes one ACL of an absolute descriptor, as it is to be stored. */
static BOOL take_acl(const ACL *acl, BOOL present, const BYTE **part, DWORD *length)
{
    DWORD in_use;

    *part = NULL;
    *length = 0;
    if (!present || acl == NULL)
        return TRUE;
    if (!acl_is_well_formed((const BYTE *)acl, acl->AclSize, &in_use))
        return fail(ERROR_INVALID_ACL);
    /* Only the bytes in use: a free tail would make Samba reject it. */
    *part = (const BYTE *)acl;
    *length = in_use;
    return TRUE;
}

/* Takes one SID of an absolute descriptor. */
static BOOL take_sid(PSID sid, const BYTE **part, DWORD *length)
{
    *part = NULL;
    *length = 0;
    if (sid == NULL)
        return TRUE;
    if (!sid_is_well_formed((const BYTE *)sid, SID_MAX_LENGTH))
        return fail(ERROR_INVALID_SID);
    *part = (const BYTE *)sid;
    *length = sid_length((const BYTE *)sid);
    return TRUE;
}

/* The caller's descriptor in absolute form. A self-relative one, as
   Windows takes too, is read through offsets from its own start. */
static void absolute_form(const SECURITY_DESCRIPTOR *given, SECURITY_DESCRIPTOR *descriptor)
{
    const SECURITY_DESCRIPTOR_RELATIVE *relative = (const SECURITY_DESCRIPTOR_RELATIVE *)given;
    BYTE *base = (BYTE *)given;

    if (!(given->Control & SE_SELF_RELATIVE)) {
        *descriptor = *given;
        return;
    }
    descriptor->Revision = relative->Revision;
    descriptor->Sbz1 = relative->Sbz1;
    descriptor->Control = relative->Control;
    descriptor->Owner = relative->Owner != 0 ? (PSID)(base + relative->Owner) : NULL;
    descriptor->Group = relative->Group != 0 ? (PSID)(base + relative->Group) : NULL;
    descriptor->Sacl = relative->Sacl != 0 ? (PACL)(base + relative->Sacl) : NULL;
    descriptor->Dacl = relative->Dacl != 0 ? (PACL)(base + relative->Dacl) : NULL;
}

/* Replaces the parts named in `information` with the caller's. */
static BOOL replace_parts(struct descriptor_parts *parts, SECURITY_INFORMATION information,
                          const SECURITY_DESCRIPTOR *given)
{
    WORD bits = control_bits_of(information);
    SECURITY_DESCRIPTOR absolute;
    const SECURITY_DESCRIPTOR *descriptor = &absolute;

    if (given->Revision != SECURITY_DESCRIPTOR_REVISION)
        return fail(ERROR_UNKNOWN_REVISION);
    absolute_form(given, &absolute);

    if ((information & OWNER_SECURITY_INFORMATION) && !take_sid(descriptor->Owner, &parts->owner, &parts->owner_length))
        return FALSE;
    if ((information & GROUP_SECURITY_INFORMATION) && !take_sid(descriptor->Group, &parts->group, &parts->group_length))
        return FALSE;
    if ((information & SACL_SECURITY_INFORMATION) &&
        !take_acl(descriptor->Sacl, (descriptor->Control & SE_SACL_PRESENT) != 0, &parts->sacl, &parts->sacl_length))
        return FALSE;
    if ((information & DACL_SECURITY_INFORMATION) &&
        !take_acl(descriptor->Dacl, (descriptor->Control & SE_DACL_PRESENT) != 0, &parts->dacl, &parts->dacl_length))
        return FALSE;

    /* Every other bit stays as stored, SE_SELF_RELATIVE among them. */
    parts->control = (WORD)((parts->control & ~bits) | (descriptor->Control & bits & ~UNSTORED_CONTROL_BITS));
    return TRUE;
}

/*
 * The object's descriptor as its store keeps it, in a new block: the
 * attribute with its prefix, or the engine's descriptor alone (no prefix).
 * Either is read as Samba's parser reads it before anything is trusted.
 */
static DWORD read_descriptor(struct pinned_name *p, SECURITY_INFORMATION requested, BYTE **block, DWORD *length,
                             DWORD *prefix_length, struct descriptor_parts *parts)
{
    char path[OBJECT_PATH_SIZE];
    DWORD code;
    BOOL ok;

    if (p->store == STORE_ENGINE) {
        code = samba_engine_get(&p->engine, requested, block, length);
        *prefix_length = 0;
        ok = code == ERROR_SUCCESS && descriptor_parse(*block, *length, parts);
    } else {
        object_path(p->fd, path);
        code = read_blob(path, block, length);
        ok = code == ERROR_SUCCESS && ntacl_parse(*block, *length, prefix_length, parts);
    }
    if (code != ERROR_SUCCESS)
        return code;
    if (!ok) {
        free(*block);
        return ERROR_INVALID_SECURITY_DESCR;
    }
    return ERROR_SUCCESS;
}

/* Writes a descriptor its store has read back: the whole attribute in one
   call, or the parts named handed to the engine. */
static DWORD write_descriptor(struct pinned_name *p, SECURITY_INFORMATION information, const BYTE *block, DWORD length)
{
    char path[OBJECT_PATH_SIZE];

    if (p->store == STORE_ENGINE)
        return samba_engine_set(&p->engine, information, block, length);
    object_path(p->fd, path);
    if (setxattr(path, NTACL_NAME, block, length, XATTR_REPLACE) != 0)
        return error_from_errno(errno);
    return ERROR_SUCCESS;
}

/* --- GetFileSecurityA ------------------------------------------------------ */
BOOL WINAPI GetFileSecurityA(LPCSTR name, SECURITY_INFORMATION requested, PSECURITY_DESCRIPTOR descriptor, DWORD length,
                             LPDWORD length_needed)
{
    struct descriptor_parts parts;
    DWORD blob_length = 0, prefix_length, needed, code;
    struct pinned_name *p;
    struct stat st;
    BYTE *blob;

    p = pinned_object(name, &st);
    if (p == NULL)
        return FALSE;
    if (requested & ~ALL_PARTS)
        return fail(ERROR_INVALID_PARAMETER);
    if (!choose_store(p, &st, requested))
        return FALSE;
    code = read_descriptor(p, requested, &blob, &blob_length, &prefix_length, &parts);
    if (code != ERROR_SUCCESS)
        return fail(code);

    keep_parts(&parts, requested);
    needed = descriptor_encoded_length(&parts);
    *length_needed = needed;
    if (needed > length) {
        free(blob);
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    descriptor_encode(&parts, (BYTE *)descriptor, 0);
    forget_acl_positions();
    free(blob);
    return TRUE;
}

/* --- SetFileSecurityA ------------------------------------------------------ */
/*
 * Stores what smbd would store for the same request: generic rights mapped
 * first, as smbd maps them before its ACL engine sees them.
 *
 * In security.NTACL, every byte before the stored descriptor is kept, and
 * so are the parts of it that are not replaced; the whole attribute is
 * replaced in one call, so that a reader never sees half of it. A file with
 * no stored descriptor gets none: that store only ever replaces one that is
 * there. Samba's engine is handed only the parts named, as smbd hands them
 * on from a client, and merges them itself.
 */
BOOL WINAPI SetFileSecurityA(LPCSTR name, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor)
{
    struct descriptor_parts parts = {
        SECURITY_DESCRIPTOR_REVISION, 0, SE_SELF_RELATIVE, NULL, 0, NULL, 0, NULL, 0, NULL, 0
    };
    DWORD blob_length = 0, prefix_length = 0, new_length, code;
    struct pinned_name *p;
    struct stat st;
    BYTE *blob = NULL;
    BYTE *new_blob;

    p = pinned_object(name, &st);
    if (p == NULL)
        return FALSE;
    if (information & ~ALL_PARTS)
        return fail(ERROR_INVALID_PARAMETER);
    if (!choose_store(p, &st, 0))
        return FALSE;

    if (p->store == STORE_XATTR) {
        /* Never write over what we cannot read. */
        code = read_descriptor(p, information, &blob, &blob_length, &prefix_length, &parts);
        if (code != ERROR_SUCCESS)
            return fail(code);
    }
    if (!replace_parts(&parts, information, (const SECURITY_DESCRIPTOR *)descriptor)) {
        free(blob);
        return FALSE;
    }

    new_length = prefix_length + descriptor_encoded_length(&parts);
    new_blob = (BYTE *)malloc(new_length);
    if (new_blob == NULL) {
        free(blob);
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (blob != NULL)
        memcpy(new_blob, blob, prefix_length);
    descriptor_encode(&parts, new_blob + prefix_length, prefix_length);
    if (information & SACL_SECURITY_INFORMATION)
        map_generic_rights(new_blob, get32(new_blob + prefix_length + 12));
    if (information & DACL_SECURITY_INFORMATION)
        map_generic_rights(new_blob, get32(new_blob + prefix_length + 16));

    /* Never store what would not read back. */
    if (p->store == STORE_XATTR ? !ntacl_parse(new_blob, new_length, &prefix_length, &parts)
                                : !descriptor_parse(new_blob, new_length, &parts))
        code = ERROR_INVALID_SECURITY_DESCR;
    else
        code = write_descriptor(p, information, new_blob, new_length);
    free(new_blob);
    free(blob);
    return code == ERROR_SUCCESS ? TRUE : fail(code);
}

/* --- GetFileAttributesA ---------------------------------------------------- */
DWORD WINAPI GetFileAttributesA(LPCSTR name)
{
    struct stat st;

    if (pinned_object(name, &st) == NULL)
        return INVALID_FILE_ATTRIBUTES;
    /* A directory is a directory first, whatever its permissions say. */
    if (S_ISDIR(st.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    if (!(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)))
        return FILE_ATTRIBUTE_READONLY;
    return FILE_ATTRIBUTE_NORMAL;
}
