/*
 * Whether an object may lie in a share of the Samba server on this machine.
 *
 * Samba's own configuration loader decides which share serves an object,
 * but starting it costs a tenth of a second: far more than a whole run on
 * an object no share serves. So this file answers a cheaper question first,
 * with a plain reading of smb.conf: could any share hold the object? It
 * errs towards yes. Anything it cannot read for certain (the registry, a
 * broken line, a relative path) is a yes, and Samba's loader then has the
 * last word, errors included. A share whose folder is missing holds
 * nothing. What the loader cannot see is decided here: an include or a
 * config file named by macros gives each client its own shares, and no
 * answer holds for everyone.
 *
 * Folders are compared by identity (device and inode), never by name: the
 * object's own folders are found through its descriptor, so a rename during
 * the run cannot make it seem to lie elsewhere; and they are the folders of
 * its file system, whatever mount it was named through.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "layer.h"

#define CONF_MAX_SIZE (1024 * 1024)
#define INCLUDE_MAX_DEPTH 8
#define SECTION_NAME_MAX 256
#define PRINTERS_MAX 32
#define USERSHARE_PATHS_MAX 8

/* The section being read. An included file goes on with it; a config
   file smbd switches to starts in its own [global]. */
struct conf_section {
    char name[SECTION_NAME_MAX]; /* as written, white space and case ignored */
    BOOL in_global;
    BOOL in_homes;      /* [homes] as written: smbd's users' homes */
    BOOL homes_like;    /* a name like it, taken for it but for its path */
    BOOL in_printable;  /* a printer's spool, so far */
    char *pending_path; /* its path, decided on at the section's end */
};

struct conf_scan {
    const struct lineage *lineage;
    BOOL object_is_folder;
    BOOL maybe;
    DWORD refusal; /* a reason no answer can be given, or 0 */
    struct conf_section section;
    /* The paths of printers passed over: a later section of the same
       name, or one that copies it, can make the same path a share. */
    struct {
        char name[SECTION_NAME_MAX];
        char *path;
    } printers[PRINTERS_MAX];
    DWORD printer_count;
    BOOL homes_unpathed; /* [homes] with no path: each user's home */
    /* Every folder of user shares the configuration names, Samba's own
       default first: smbd takes the last one that its own [global]
       names, and a config file it switches to starts from the default. */
    char *usershare_paths[USERSHARE_PATHS_MAX];
    DWORD usershare_path_count;
};

static BOOL is_in_lineage(const struct lineage *lineage, const struct stat *st)
{
    DWORD i;

    for (i = 0; i < lineage->count; i++)
        if (lineage->ids[i].dev == st->st_dev && lineage->ids[i].ino == st->st_ino)
            return TRUE;
    return FALSE;
}

static BOOL holds_a_mount_of(const char *path, dev_t dev);

/* Whether a share's folder, by its path and status, may hold the object:
   one of the object's folders, or, where the object may have names no
   folder here shows, a folder of its file system or one that a mount of
   that file system lies in (a link of the object may lie in what it shows). */
static BOOL may_hold(const struct lineage *lineage, const char *path, const struct stat *st)
{
    return is_in_lineage(lineage, st) ||
           (lineage->has_other_names &&
            (st->st_dev == lineage->other_names_dev || holds_a_mount_of(path, lineage->other_names_dev)));
}

static BOOL owns_a_folder(const struct lineage *lineage, uid_t user)
{
    DWORD i;

    for (i = 0; i < lineage->count; i++)
        if (lineage->ids[i].owner == user)
            return TRUE;
    return FALSE;
}

/* A share's folder: whether it may hold the object. */
static void check_folder(struct conf_scan *scan, const char *path)
{
    char fixed[4096];
    const char *macro;
    struct stat st;
    size_t start, length;

    /* smbd drops quotes around a whole path, unless others stand inside:
       then the path is the value as written. */
    start = 0;
    length = strlen(path);
    while (length > 0 && path[length - 1] == '"')
        length--;
    while (start < length && path[start] == '"')
        start++;
    if (memchr(path + start, '"', length - start) == NULL && length - start < sizeof(fixed)) {
        memcpy(fixed, path + start, length - start);
        fixed[length - start] = '\0';
        path = fixed;
    }
    /* A folder per user or client lies below the fixed part of its path,
       the object itself among what is checked, a file or not. */
    macro = strchr(path, '%');
    if (macro != NULL) {
        length = (size_t)(macro - path);
        while (length > 1 && path[length - 1] != '/')
            length--;
        if (length > 1)
            length--;
        if (length >= sizeof(fixed))
            length = sizeof(fixed) - 1;
        memmove(fixed, path, length);
        fixed[length] = '\0';
        path = fixed;
    }
    /* Only Samba can say where a relative path is. A folder that is
       missing holds nothing. */
    if (path[0] != '/') {
        scan->maybe = TRUE;
    } else if (stat(path, &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            scan->maybe = TRUE;
    } else if (may_hold(scan->lineage, path, &st)) {
        scan->maybe = TRUE;
    }
}

/* A printer's path is no share's, unless a later section makes it one;
   a path in [global] is every later section's that names none, printable
   or not there. */
static void end_section(struct conf_scan *scan)
{
    struct conf_section *section = &scan->section;

    if (section->pending_path != NULL && (!section->in_printable || section->in_global)) {
        check_folder(scan, section->pending_path);
    } else if (section->pending_path != NULL && scan->printer_count < PRINTERS_MAX) {
        memcpy(scan->printers[scan->printer_count].name, section->name, sizeof(section->name));
        scan->printers[scan->printer_count++].path = section->pending_path;
        section->pending_path = NULL;
    } else if (section->pending_path != NULL) {
        scan->maybe = TRUE;
    }
    free(section->pending_path);
    section->pending_path = NULL;
    section->in_printable = FALSE;
}

/* A section of this name comes back, or is copied: the printers' paths
   it had are checked after all. */
static void recall_printers(struct conf_scan *scan, const char *name)
{
    DWORD i;

    for (i = 0; i < scan->printer_count; i++)
        if (strcmp(scan->printers[i].name, name) == 0)
            check_folder(scan, scan->printers[i].path);
}

/* A string copied whole, or cut to fit, as snprintf copies it: a run's
   first formatted print costs more than most of the scan. */
static void copy_string(char *out, size_t size, const char *text)
{
    size_t length = strnlen(text, size - 1);

    memcpy(out, text, length);
    out[length] = '\0';
}

static BOOL is_true(const char *value)
{
    return strcasecmp(value, "yes") == 0 || strcasecmp(value, "true") == 0 || strcasecmp(value, "1") == 0 ||
           strcasecmp(value, "on") == 0;
}

/* Samba's white space: the C locale's, form feeds and vertical tabs too. */
static BOOL is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* Samba ignores case and white space in a parameter's name. */
static void normalise_name(char *name)
{
    char *from = name, *to = name;

    for (; *from != '\0'; from++)
        if (!is_space(*from))
            *to++ = (char)(*from >= 'A' && *from <= 'Z' ? *from - 'A' + 'a' : *from);
    *to = '\0';
}

static char *trim(char *s)
{
    char *end;

    while (is_space(*s))
        s++;
    end = s + strlen(s);
    while (end > s && is_space(end[-1]))
        *--end = '\0';
    return s;
}

static void scan_file(struct conf_scan *scan, const char *path, int depth);
static void scan_config_file(struct conf_scan *scan, const char *path, int depth);
static DWORD object_lineage(int fd, unsigned long mount_id, const struct stat *st, const char *name,
                            struct lineage *lineage);
static DWORD add_other_mounts(unsigned long mount_id, const struct stat *st, const char *name, struct lineage *lineage);
static BOOL mount_id_of(int fd, unsigned long *id);
static BOOL name_of(int fd, char *path, size_t size);

static void add_usershare_path(struct conf_scan *scan, const char *path)
{
    if (scan->usershare_path_count == USERSHARE_PATHS_MAX) {
        scan->maybe = TRUE;
        return;
    }
    scan->usershare_paths[scan->usershare_path_count] = strdup(path);
    if (scan->usershare_paths[scan->usershare_path_count] == NULL)
        scan->maybe = TRUE;
    else
        scan->usershare_path_count++;
}

static void scan_parameter(struct conf_scan *scan, char *name, char *value, int depth)
{
    struct conf_section *section = &scan->section;

    normalise_name(name);
    if (strcmp(name, "path") == 0 || strcmp(name, "directory") == 0) {
        free(section->pending_path);
        section->pending_path = strdup(value);
        if (section->pending_path == NULL)
            scan->maybe = TRUE;
        if (section->in_homes)
            scan->homes_unpathed = FALSE;
    } else if (strcmp(name, "printable") == 0 || strcmp(name, "printok") == 0) {
        section->in_printable = is_true(value);
    } else if (strcmp(name, "copy") == 0) {
        /* Every parameter of the section named, printable and path
           among them, replaces this one's. */
        normalise_name(value);
        recall_printers(scan, value);
        section->in_printable = FALSE;
        if (section->homes_like)
            scan->homes_unpathed = TRUE;
    } else if (strcmp(name, "include") == 0 || strcmp(name, "configfile") == 0) {
        /* smbd loads a config file that exists in place of this one; its
           shares join this file's here, which only widens the answer (and
           so does one named outside [global], which smbd ignores). */
        if (strchr(value, '%') != NULL)
            scan->refusal = ERROR_BAD_NET_NAME;
        else if (depth >= INCLUDE_MAX_DEPTH || value[0] != '/')
            scan->maybe = TRUE; /* the registry among them */
        else if (name[0] == 'i')
            scan_file(scan, value, depth + 1);
        else
            scan_config_file(scan, value, depth + 1);
    } else if (strcmp(name, "configbackend") == 0 || strcmp(name, "registryshares") == 0) {
        /* Shares kept in the registry: only Samba can list them. */
        if (strcasecmp(value, "file") != 0 && strcasecmp(value, "no") != 0)
            scan->maybe = TRUE;
    } else if (strcmp(name, "usersharepath") == 0 && section->in_global) {
        add_usershare_path(scan, value);
    }
}

/* One line of smb.conf, continuation lines already joined. */
static void scan_line(struct conf_scan *scan, char *line, int depth)
{
    struct conf_section *section = &scan->section;
    char *equals, *end;

    line = trim(line);
    if (line[0] == '\0' || line[0] == '#' || line[0] == ';')
        return;
    if (line[0] == '[') {
        end = strchr(line, ']');
        if (end == NULL) {
            scan->maybe = TRUE;
            return;
        }
        end_section(scan);
        *end = '\0';
        /* smbd finds [homes] by its name as written, case aside: [ homes ]
           is another section, whose path is not the homes'. */
        section->in_homes = strcasecmp(line + 1, "homes") == 0;
        copy_string(section->name, sizeof(section->name), line + 1);
        normalise_name(section->name);
        section->homes_like = strcmp(section->name, "homes") == 0;
        if (section->homes_like)
            scan->homes_unpathed = TRUE;
        section->in_global = strcmp(section->name, "global") == 0 || strcmp(section->name, "globals") == 0;
        recall_printers(scan, section->name);
        return;
    }
    equals = strchr(line, '=');
    if (equals == NULL) {
        scan->maybe = TRUE;
        return;
    }
    *equals = '\0';
    scan_parameter(scan, trim(line), trim(equals + 1), depth);
}

static void scan_file(struct conf_scan *scan, const char *path, int depth)
{
    char *text = NULL, *line, *from, *to, *end, c;
    BOOL is_comment;
    ssize_t got, part = 0;
    struct stat st;
    int fd;

    fd = open(path, O_RDONLY | O_CLOEXEC);
    /* Samba passes over a file that is not there. */
    if (fd < 0 && errno == ENOENT && depth > 0)
        return;
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size > CONF_MAX_SIZE ||
        (text = (char *)malloc((size_t)st.st_size + 1)) == NULL) {
        scan->maybe = TRUE;
        if (fd >= 0)
            close(fd);
        return;
    }
    for (got = 0; got < st.st_size; got += part)
        if ((part = read(fd, text + got, (size_t)(st.st_size - got))) <= 0)
            break;
    close(fd);
    if (got != st.st_size) {
        scan->maybe = TRUE;
        free(text);
        return;
    }
    text[got] = '\0';

    /* Samba reads a logical line at a time: a run of white space stands
       for its first character, and a backslash ending a line (white space
       after it aside) joins the next line to it. A comment ends with its
       own line. Each logical line is written over the text it came from. */
    for (from = text; from < text + got;) {
        line = to = from;
        while (from < text + got && *from != '\n' && is_space(*from))
            from++;
        is_comment = from < text + got && (*from == '#' || *from == ';');
        if (is_comment) {
            /* Most of a distribution's smb.conf: passed over at once. */
            end = (char *)memchr(from, '\n', (size_t)(text + got - from));
            from = end != NULL ? end + 1 : text + got;
            continue;
        }
        while (from < text + got) {
            c = *from++;
            if (c == '\n') {
                while (to > line && is_space(to[-1]))
                    to--;
                if (is_comment || to == line || to[-1] != '\\')
                    break;
                to--;
            } else if (!is_space(c) || to == line || !is_space(to[-1])) {
                *to++ = c;
            }
        }
        *to = '\0';
        scan_line(scan, line, depth);
    }
    free(text);
}

/* A configuration smbd switches to: read from its own [global], as a
   whole, then the section this one was in goes on. */
static void scan_config_file(struct conf_scan *scan, const char *path, int depth)
{
    struct conf_section outer = scan->section;

    memset(&scan->section, 0, sizeof(scan->section));
    scan->section.in_global = TRUE;
    scan_file(scan, path, depth);
    end_section(scan);
    scan->section = outer;
}

/*
 * Whether the system's accounts are all in /etc/passwd, so that they can be
 * read without the name service (which a static program cannot load):
 * systemd's own source adds only root, nobody and users with no home.
 */
static BOOL accounts_are_local(void)
{
    char line[1024], *word, *rest;
    BOOL local = TRUE;
    FILE *f;

    f = fopen("/etc/nsswitch.conf", "re");
    if (f == NULL)
        return TRUE; /* the C library's default: files alone */
    while (fgets(line, sizeof(line), f) != NULL) {
        if (strncmp(line, "passwd:", 7) != 0)
            continue;
        for (word = strtok_r(line + 7, " \t\r\n", &rest); word != NULL; word = strtok_r(NULL, " \t\r\n", &rest))
            if (word[0] != '[' && strcmp(word, "files") != 0 && strcmp(word, "systemd") != 0)
                local = FALSE;
    }
    fclose(f);
    return local;
}

/* The users' own home folders, as [homes] serves them: a folder the user
   does not own (/, /bin, /dev for system accounts) is no one's home. */
static void check_homes(struct conf_scan *scan)
{
    const struct lineage *lineage = scan->lineage;
    char line[4096], *field[7], *rest, *end;
    BOOL local = accounts_are_local();
    BYTE *owner_listed = NULL;
    struct stat st;
    unsigned long uid;
    DWORD i;
    int n;
    FILE *f;

    /* Accounts from a directory service cannot be listed cheaply; but a
       home holds the object only as one of its folders, which the home's
       user owns. So a folder whose owner /etc/passwd does not list may be
       such a user's home, and so may any folder of names not seen. */
    if (!local && lineage->has_other_names) {
        scan->maybe = TRUE;
        return;
    }
    if (!local && (owner_listed = (BYTE *)calloc(lineage->count, 1)) == NULL) {
        scan->maybe = TRUE;
        return;
    }
    if ((f = fopen("/etc/passwd", "re")) == NULL) {
        free(owner_listed);
        scan->maybe = TRUE;
        return;
    }
    /* name:password:uid:gid:comment:home:shell */
    while (!scan->maybe && fgets(line, sizeof(line), f) != NULL) {
        /* A home can hold the object only if it is one of the object's
           folders, so only the homes of those folders' owners are looked at
           (all of them, when the object may have other names): the fields
           after the user's number only for those. */
        rest = line;
        for (n = 0; n < 3 && rest != NULL; n++)
            field[n] = strsep(&rest, ":\n");
        if (n < 3)
            continue;
        uid = strtoul(field[2], &end, 10);
        if (*end != '\0' || (!lineage->has_other_names && !owns_a_folder(lineage, (uid_t)uid)))
            continue;
        for (; n < 7 && rest != NULL; n++)
            field[n] = strsep(&rest, ":\n");
        if (n < 6)
            continue;
        for (i = 0; owner_listed != NULL && i < lineage->count; i++)
            if (lineage->ids[i].owner == (uid_t)uid)
                owner_listed[i] = TRUE;
        if (field[5][0] != '/')
            continue;
        if (stat(field[5], &st) == 0 && st.st_uid == (uid_t)uid && may_hold(lineage, field[5], &st))
            scan->maybe = TRUE;
    }
    fclose(f);
    /* The object itself is a home only if it is a folder. */
    for (i = scan->object_is_folder ? 0 : 1; owner_listed != NULL && i < lineage->count; i++)
        if (!owner_listed[i])
            scan->maybe = TRUE;
    free(owner_listed);
}

/* The shares users made themselves: one small file each, its folder on a
   line "path=". */
static void check_usershare_folder(struct conf_scan *scan, const char *path)
{
    char file[4096 + 256], line[4096 + 8];
    struct dirent *entry;
    DIR *folder;
    FILE *f;

    folder = opendir(path);
    if (folder == NULL)
        return;
    while (!scan->maybe && (entry = readdir(folder)) != NULL) {
        if (entry->d_name[0] == '.')
            continue;
        snprintf(file, sizeof(file), "%s/%s", path, entry->d_name);
        f = fopen(file, "re");
        if (f == NULL) {
            scan->maybe = TRUE;
            break;
        }
        while (fgets(line, sizeof(line), f) != NULL)
            if (strncmp(line, "path=", 5) == 0) {
                line[strcspn(line, "\r\n")] = '\0';
                check_folder(scan, line + 5);
            }
        fclose(f);
    }
    closedir(folder);
}

static void check_usershares(struct conf_scan *scan)
{
    DWORD i;

    for (i = 0; i < scan->usershare_path_count && !scan->maybe; i++)
        check_usershare_folder(scan, scan->usershare_paths[i]);
}

const char *samba_conf_path(BOOL *named)
{
    const char *path = getenv("SMB_CONF_PATH");

    *named = path != NULL && path[0] != '\0';
    return *named ? path : ZIRM_SMB_CONF_DEFAULT;
}

DWORD samba_share_may_hold(int fd, const struct stat *st, struct lineage *lineage, BOOL *maybe)
{
    static char object_name[4096 + 32];
    struct conf_scan *scan;
    struct stat conf_status;
    unsigned long mount_id;
    BOOL named;
    const char *conf = samba_conf_path(&named);
    DWORD code, i;

    *maybe = FALSE;
    /* No configuration where Samba looks for it: no server, no shares. A
       configuration named and missing is an error, as to Samba's tools. */
    if (stat(conf, &conf_status) != 0)
        return errno == ENOENT && !named ? ERROR_SUCCESS : ERROR_BAD_CONFIGURATION;
    /* Samba's loader takes a folder as an empty configuration: no shares,
       when the server surely meant some. */
    if (!S_ISREG(conf_status.st_mode))
        return ERROR_BAD_CONFIGURATION;
    /* The object's name and its mount, asked of the kernel once: its
       folders and its names through other mounts both start from them. */
    code = name_of(fd, object_name, sizeof(object_name)) && mount_id_of(fd, &mount_id) ? ERROR_SUCCESS
                                                                                       : ERROR_PATH_NOT_FOUND;
    if (code == ERROR_SUCCESS)
        code = object_lineage(fd, mount_id, st, object_name, lineage);
    if (code == ERROR_SUCCESS)
        code = add_other_mounts(mount_id, st, object_name, lineage);
    if (code != ERROR_SUCCESS)
        return code;

    scan = (struct conf_scan *)calloc(1, sizeof(*scan));
    if (scan == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    scan->lineage = lineage;
    scan->object_is_folder = S_ISDIR(st->st_mode);
    add_usershare_path(scan, ZIRM_USERSHARE_DEFAULT);
    /* What comes before the first section is [global]'s. */
    scan->section.in_global = TRUE;
    scan_file(scan, conf, 0);
    end_section(scan);
    if (!scan->maybe && scan->homes_unpathed)
        check_homes(scan);
    if (!scan->maybe)
        check_usershares(scan);
    for (i = 0; i < scan->printer_count; i++)
        free(scan->printers[i].path);
    for (i = 0; i < scan->usershare_path_count; i++)
        free(scan->usershare_paths[i]);
    *maybe = scan->maybe;
    code = scan->refusal;
    free(scan);
    return code;
}

/* A mount, the folder of its file system at its root, and where it is
   mounted: one line of /proc/self/mountinfo. */
struct mount_entry {
    unsigned long id;
    unsigned int major, minor;
    const char *root;
    const char *point;
};

/* The mount table, read once: the text, and the entries pointing into it. */
static char *mount_text;
static struct mount_entry *mount_table;
static size_t mount_count;

/* The kernel writes blanks, tabs, newlines and backslashes in octal. */
static void unescape_octal(char *text)
{
    char *from = strchr(text, '\\'), *to = from;

    if (from == NULL)
        return;
    while (*from != '\0') {
        if (from[0] == '\\' && from[1] >= '0' && from[1] <= '3' && from[2] >= '0' && from[2] <= '7' && from[3] >= '0' &&
            from[3] <= '7') {
            *to++ = (char)((from[1] - '0') << 6 | (from[2] - '0') << 3 | (from[3] - '0'));
            from += 4;
        } else {
            *to++ = *from++;
        }
    }
    *to = '\0';
}

/* A number as the kernel writes it, digits alone: where it ends, or NULL
   when there is none or it does not fit. */
static const char *parse_number(const char *text, unsigned long *value)
{
    const char *at = text;

    *value = 0;
    for (; *at >= '0' && *at <= '9'; at++) {
        if (*value > (ULONG_MAX - (unsigned long)(*at - '0')) / 10)
            return NULL;
        *value = *value * 10 + (unsigned long)(*at - '0');
    }
    return at == text ? NULL : at;
}

/* The next field of a line, cut off at its blank. */
static char *next_field(char **at)
{
    char *field = *at, *blank;

    blank = strchr(field, ' ');
    if (blank == NULL)
        return NULL;
    *blank = '\0';
    *at = blank + 1;
    return field;
}

/* Reads the mount table, once for the run: the object's folders and names
   ask it several times. */
static DWORD load_mount_table(void)
{
    size_t size = 0, capacity = 0, lines = 0;
    char *text = NULL, *grown, *line, *next, *id, *numbers, *root, *point, *at;
    unsigned long major, minor;
    const char *end;
    ssize_t got;
    int fd;

    if (mount_table != NULL)
        return ERROR_SUCCESS;
    fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return error_from_errno(errno);
    do {
        if (capacity - size < 4096) {
            capacity = capacity * 2 + 16384;
            grown = (char *)realloc(text, capacity + 1);
            if (grown == NULL) {
                free(text);
                close(fd);
                return ERROR_NOT_ENOUGH_MEMORY;
            }
            text = grown;
        }
        got = read(fd, text + size, capacity - size);
        if (got > 0)
            size += (size_t)got;
    } while (got > 0 || (got < 0 && errno == EINTR));
    close(fd);
    if (got < 0) {
        free(text);
        return ERROR_GEN_FAILURE;
    }
    text[size] = '\0';
    for (at = text; (at = (char *)memchr(at, '\n', size - (size_t)(at - text))) != NULL; at++)
        lines++;
    mount_table = (struct mount_entry *)calloc(lines + 1, sizeof(*mount_table));
    if (mount_table == NULL) {
        free(text);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    mount_text = text;
    /* ID PARENT MAJOR:MINOR ROOT POINT ... */
    for (line = text; *line != '\0'; line = next) {
        next = strchr(line, '\n');
        if (next == NULL)
            next = line + strlen(line);
        else
            *next++ = '\0';
        if ((id = next_field(&line)) == NULL || next_field(&line) == NULL || (numbers = next_field(&line)) == NULL ||
            (root = next_field(&line)) == NULL || (point = next_field(&line)) == NULL)
            continue;
        struct mount_entry *entry = &mount_table[mount_count];
        if ((end = parse_number(id, &entry->id)) == NULL || *end != '\0' ||
            (end = parse_number(numbers, &major)) == NULL || *end != ':' || major > UINT_MAX ||
            (end = parse_number(end + 1, &minor)) == NULL || *end != '\0' || minor > UINT_MAX)
            continue;
        entry->major = (unsigned int)major;
        entry->minor = (unsigned int)minor;
        unescape_octal(root);
        unescape_octal(point);
        entry->root = root;
        entry->point = point;
        mount_count++;
    }
    return ERROR_SUCCESS;
}

static const struct mount_entry *find_mount(unsigned long id)
{
    size_t i;

    for (i = 0; i < mount_count; i++)
        if (mount_table[i].id == id)
            return &mount_table[i];
    return NULL;
}

/* The mount a descriptor's object was reached through. */
static BOOL mount_id_of(int fd, unsigned long *id)
{
    char path[64], line[256];
    struct statx status;
    BOOL found = FALSE;
    FILE *f;

    if (statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &status) == 0 && (status.stx_mask & STATX_MNT_ID)) {
        *id = (unsigned long)status.stx_mnt_id;
        return TRUE;
    }
    /* Kernels before 5.8 tell it only in /proc. */
    snprintf(path, sizeof(path), "/proc/self/fdinfo/%d", fd);
    f = fopen(path, "re");
    if (f == NULL)
        return FALSE;
    while (!found && fgets(line, sizeof(line), f) != NULL)
        found = sscanf(line, "mnt_id: %lu", id) == 1;
    fclose(f);
    return found;
}

/* The path the kernel gives for a descriptor's object: an absolute one,
   or FALSE. */
static BOOL name_of(int fd, char *path, size_t size)
{
    char proc[OBJECT_PATH_SIZE];
    ssize_t got;

    object_path(fd, proc);
    got = readlink(proc, path, size - 1);
    if (got <= 0 || got >= (ssize_t)size - 1 || path[0] != '/')
        return FALSE;
    path[got] = '\0';
    return TRUE;
}

/* A folder's status and the mount it was reached through, in one call
   where the kernel tells both. */
static BOOL status_and_mount(int fd, struct stat *st, unsigned long *id)
{
    struct statx status;

    if (statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_INO | STATX_UID | STATX_MNT_ID, &status) == 0 &&
        (status.stx_mask & (STATX_TYPE | STATX_INO | STATX_UID | STATX_MNT_ID)) ==
            (STATX_TYPE | STATX_INO | STATX_UID | STATX_MNT_ID)) {
        memset(st, 0, sizeof(*st));
        st->st_dev = makedev(status.stx_dev_major, status.stx_dev_minor);
        st->st_ino = (ino_t)status.stx_ino;
        st->st_uid = status.stx_uid;
        st->st_mode = status.stx_mode;
        *id = (unsigned long)status.stx_mnt_id;
        return TRUE;
    }
    return fstat(fd, st) == 0 && mount_id_of(fd, id);
}

static BOOL add_folder(struct lineage *lineage, const struct stat *st)
{
    if (lineage->count == LINEAGE_MAX_DEPTH)
        return FALSE;
    lineage->ids[lineage->count].dev = st->st_dev;
    lineage->ids[lineage->count].owner = st->st_uid;
    lineage->ids[lineage->count++].ino = st->st_ino;
    return TRUE;
}

/* Two paths one after the other, as snprintf would write them: the length
   they need, and the whole of them only where they fit. */
static size_t join_paths(char *out, size_t size, const char *first, const char *second)
{
    size_t first_length = strlen(first), second_length = strlen(second);

    if (first_length + second_length < size) {
        memcpy(out, first, first_length);
        memcpy(out + first_length, second, second_length + 1);
    }
    return first_length + second_length;
}

/* Whether `inner` is `outer` or lies below it, as paths. */
static size_t path_below(const char *inner, const char *outer)
{
    size_t length = strcmp(outer, "/") == 0 ? 0 : strlen(outer);

    if (strncmp(inner, outer, length) != 0 || (inner[length] != '/' && inner[length] != '\0'))
        return (size_t)-1;
    return length;
}

/* Whether a mount of the file system lies at or below the folder, by the
   folder's real name: every mount of it is in the table by that name. */
static BOOL holds_a_mount_of(const char *path, dev_t dev)
{
    char *real = realpath(path, NULL);
    BOOL found = FALSE;
    size_t i;

    if (real == NULL)
        return FALSE; /* gone, or not reachable by name: nothing smbd serves */
    for (i = 0; i < mount_count && !found; i++)
        found = makedev(mount_table[i].major, mount_table[i].minor) == dev &&
                path_below(mount_table[i].point, real) != (size_t)-1;
    free(real);
    return found;
}

/*
 * The folders of a file system above the root of one of its mounts, when
 * that root is not the file system's own (a bind mount of a folder, a
 * subvolume): found through another mount of the same file system whose
 * root lies higher, the highest there is, and checked to be the same
 * folder by identity. Folders above every mount's root are seen by no one,
 * smbd included, so no share can reach the object through them. Where the
 * folder that such a mount shows cannot be checked, the object may have
 * names that no folder here shows.
 */
static DWORD add_hidden_folders(unsigned long mount_id, const struct stat *root_status, struct lineage *lineage)
{
    const struct mount_entry *own, *best = NULL;
    char path[2 * 4096 + 32];
    struct stat here, above;
    unsigned long up_mount_id;
    size_t skip, i;
    DWORD code;
    size_t length;
    int dir, up;

    code = load_mount_table();
    if (code != ERROR_SUCCESS)
        return code;
    own = find_mount(mount_id);
    if (own == NULL || strcmp(own->root, "/") == 0)
        return ERROR_SUCCESS;
    for (i = 0; i < mount_count; i++)
        if (mount_table[i].major == own->major && mount_table[i].minor == own->minor &&
            path_below(own->root, mount_table[i].root) != (size_t)-1 &&
            (best == NULL || strlen(mount_table[i].root) < strlen(best->root)))
            best = &mount_table[i];

    dir = -1;
    if (best != NULL && strcmp(best->root, own->root) != 0) {
        skip = path_below(own->root, best->root);
        length = join_paths(path, sizeof(path), strcmp(best->point, "/") == 0 ? "" : best->point, own->root + skip);
        if (length > 0 && length < sizeof(path))
            dir = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0 &&
            (fstat(dir, &here) != 0 || here.st_dev != root_status->st_dev || here.st_ino != root_status->st_ino)) {
            close(dir);
            dir = -1;
        }
    }
    if (dir < 0) {
        if (best != NULL && strcmp(best->root, own->root) != 0) {
            lineage->has_other_names = TRUE;
            lineage->other_names_dev = root_status->st_dev;
        }
        return ERROR_SUCCESS;
    }

    /* Up to the other mount's root: its own parent, or a folder whose
       parent is on another mount. */
    for (;;) {
        up = openat(dir, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        close(dir);
        if (up < 0)
            return error_from_errno(errno);
        dir = up;
        if (!status_and_mount(dir, &above, &up_mount_id)) {
            close(dir);
            return error_from_errno(errno);
        }
        if ((above.st_dev == here.st_dev && above.st_ino == here.st_ino) || up_mount_id != best->id)
            break;
        if (!add_folder(lineage, &above)) {
            close(dir);
            return ERROR_FILENAME_EXCED_RANGE;
        }
        here = above;
    }
    close(dir);
    return ERROR_SUCCESS;
}

/* The object's identity and its folders', nearest first, reached through
   the descriptor that pins it. Where the walk leaves a mount, the folders
   of the file system above that mount's root come first. */
static DWORD add_ancestors(int fd, unsigned long mount_id, const struct stat *st, const char *name,
                           struct lineage *lineage);

static DWORD object_lineage(int fd, unsigned long mount_id, const struct stat *st, const char *name,
                            struct lineage *lineage)
{
    lineage->count = 0;
    lineage->has_other_names = FALSE;
    add_folder(lineage, st);
    /* Another link may lie in a share; only Samba's list of shares can
       say whether one lies on the same file system. */
    if (!S_ISDIR(st->st_mode) && st->st_nlink > 1) {
        lineage->has_other_names = TRUE;
        lineage->other_names_dev = st->st_dev;
    }
    return add_ancestors(fd, mount_id, st, name, lineage);
}

/*
 * The object's names through the other mounts of its file system: a folder
 * above it mounted again elsewhere (bound into a share, say) shows the
 * object there too, and smbd serves it by that name. Each such name is
 * checked to be the object by identity, and its folders join the lineage;
 * a name that cannot be checked means the object may have names that no
 * folder here shows.
 */
static DWORD add_other_mounts(unsigned long mount_id, const struct stat *st, const char *name, struct lineage *lineage)
{
    static char fs_path[2 * 4096 + 32], other[3 * 4096 + 64];
    const struct mount_entry *own, *entry;
    unsigned long other_mount_id;
    DWORD code;
    struct stat seen;
    size_t skip, i;
    size_t length;
    int other_fd;

    code = load_mount_table();
    if (code != ERROR_SUCCESS)
        return code;
    own = find_mount(mount_id);
    skip = own != NULL ? path_below(name, own->point) : (size_t)-1;
    if (skip == (size_t)-1)
        return ERROR_SUCCESS;
    /* Where the object is in its file system's own tree. */
    length = join_paths(fs_path, sizeof(fs_path), strcmp(own->root, "/") == 0 ? "" : own->root, name + skip);
    if (length >= sizeof(fs_path))
        return ERROR_FILENAME_EXCED_RANGE;
    for (i = 0; code == ERROR_SUCCESS && i < mount_count; i++) {
        entry = &mount_table[i];
        if (entry->id == mount_id || entry->major != own->major || entry->minor != own->minor)
            continue;
        skip = path_below(fs_path[0] != '\0' ? fs_path : "/", entry->root);
        if (skip == (size_t)-1)
            continue;
        length = join_paths(other, sizeof(other), strcmp(entry->point, "/") == 0 ? "" : entry->point, fs_path + skip);
        other_fd = length > 0 && length < sizeof(other) ? open(other, O_PATH | O_NOFOLLOW | O_CLOEXEC)
                   : length == 0                        ? open("/", O_PATH | O_CLOEXEC)
                                                        : -1;
        if (other_fd < 0 || fstat(other_fd, &seen) != 0 || seen.st_dev != st->st_dev || seen.st_ino != st->st_ino) {
            lineage->has_other_names = TRUE;
            lineage->other_names_dev = st->st_dev;
        } else {
            code = mount_id_of(other_fd, &other_mount_id) ? add_ancestors(other_fd, other_mount_id, st, NULL, lineage)
                                                          : ERROR_PATH_NOT_FOUND;
        }
        if (other_fd >= 0)
            close(other_fd);
    }
    return code;
}

/* The folders above one name of the object, nearest first, from the
   mount that name was reached through. */
static DWORD add_ancestors(int fd, unsigned long mount_id, const struct stat *st, const char *name,
                           struct lineage *lineage)
{
    char path[4096 + 32];
    struct stat parent, here, below;
    unsigned long parent_mount_id;
    DWORD code;
    char *slash;
    int dir, up;

    if (S_ISDIR(st->st_mode)) {
        dir = openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    } else {
        /* A file's folder is known only by name: it counts only if the
           object is still the one there. */
        if (name != NULL)
            copy_string(path, sizeof(path), name);
        else if (!name_of(fd, path, sizeof(path)))
            return ERROR_PATH_NOT_FOUND;
        slash = strrchr(path, '/');
        *slash = '\0';
        dir = open(slash == path ? "/" : path, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0 && (fstatat(dir, slash + 1, &here, AT_SYMLINK_NOFOLLOW) != 0 || here.st_dev != st->st_dev ||
                         here.st_ino != st->st_ino)) {
            close(dir);
            return ERROR_FILE_NOT_FOUND;
        }
    }
    if (dir < 0)
        return error_from_errno(errno);

    below = *st;
    for (;;) {
        if (!status_and_mount(dir, &parent, &parent_mount_id)) {
            close(dir);
            return error_from_errno(errno);
        }
        if (parent_mount_id != mount_id || (below.st_dev == parent.st_dev && below.st_ino == parent.st_ino)) {
            /* `below` is the root of its mount. */
            code = add_hidden_folders(mount_id, &below, lineage);
            if (code != ERROR_SUCCESS) {
                close(dir);
                return code;
            }
            mount_id = parent_mount_id;
        }
        if (below.st_dev == parent.st_dev && below.st_ino == parent.st_ino)
            break; /* the root is its own parent */
        if (!add_folder(lineage, &parent)) {
            close(dir);
            return ERROR_FILENAME_EXCED_RANGE;
        }
        below = parent;
        up = openat(dir, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        close(dir);
        if (up < 0)
            return error_from_errno(errno);
        dir = up;
    }
    close(dir);
    return ERROR_SUCCESS;
}
