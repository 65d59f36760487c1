/*
 * Samba's ACL engine, run for one object in a helper process.
 *
 * The engine is Samba's own code (python3-samba), so the descriptor it
 * stores, the POSIX ACLs and the mode it derives from it, and the
 * descriptor it serves are exactly smbd's for the share. It runs isolated:
 * the system's interpreter with no environment, no user site, no current
 * folder on its path, and only the engine's modules imported.
 *
 * The engine takes a path, and root runs zirm in folders other users can
 * write. So the object, pinned by its descriptor, is mounted in a mount
 * namespace of the helper's own onto a root-only mount point, and that is
 * the only path the engine is given: no rename or swap by anyone else can
 * turn it onto another object.
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine_script.h"
#include "layer.h"

/* Samba's engine takes a few milliseconds once loaded; this is for a lock
   that is never given up. */
#define ENGINE_TIMEOUT_MS (120 * 1000)
#define REPLY_MAX (2 * NTACL_MAX_SIZE + 64)

/* What the helper says when it cannot serve the object. */
static const struct {
    const char *why;
    DWORD code;
} engine_failures[] = {
    { "config", ERROR_BAD_CONFIGURATION }, { "path", ERROR_BAD_NETPATH },
    { "ambiguous", ERROR_DUP_NAME },       { "unsupported", ERROR_NOT_SUPPORTED },
    { "mount", ERROR_ACCESS_DENIED },      { "registry", ERROR_REGISTRY_IO_FAILED },
    { "client", ERROR_BAD_NET_NAME },      { "othernames", ERROR_TOO_MANY_LINKS },
};

static const char hex_digits[] = "0123456789abcdef";

static void mount_point(const struct samba_engine *engine, char *path, size_t size)
{
    snprintf(path, size, "%s/object", engine->mount_dir);
}

/* The helper, after fork: the object mounted for it alone, then the engine. */
static void run_helper(struct samba_engine *engine, int tree, int channel, const struct lineage *lineage)
{
    char target[64], uncertain[32], *identities, *at;
    const char *conf;
    BOOL named;
    DWORD i;
    int null;

    conf = samba_conf_path(&named);
    mount_point(engine, target, sizeof(target));
    null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0 || dup2(channel, 0) < 0 || dup2(channel, 1) < 0 || dup2(null, 2) < 0)
        _exit(1);
    /* The mount is seen by this process alone, and goes with it. */
    if (unshare(CLONE_NEWNS) != 0 || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 ||
        move_mount(tree, "", AT_FDCWD, target, MOVE_MOUNT_F_EMPTY_PATH) != 0) {
        if (write(1, "fail mount\n", 11) < 0)
            _exit(1);
        _exit(1);
    }

    identities = (char *)malloc(lineage->count * 42 + 1);
    if (identities == NULL)
        _exit(1);
    at = identities;
    for (i = 0; i < lineage->count; i++)
        at += sprintf(at, "%s%llu:%llu", i == 0 ? "" : ",", (unsigned long long)lineage->ids[i].dev,
                      (unsigned long long)lineage->ids[i].ino);

    if (lineage->has_other_names)
        snprintf(uncertain, sizeof(uncertain), "%llu", (unsigned long long)lineage->other_names_dev);
    else
        snprintf(uncertain, sizeof(uncertain), "-");

    char *argv[] = {
        (char *)ZIRM_PYTHON,     (char *)"-I", (char *)"-S", (char *)"-B", (char *)"-c", (char *)samba_engine_script,
        (char *)ZIRM_SAMBA_SITE, (char *)conf, identities,   uncertain,    target,       NULL
    };
    char *envp[] = { (char *)"PATH=/usr/sbin:/usr/bin:/sbin:/bin", (char *)"LC_ALL=C.UTF-8", NULL };
    execve(ZIRM_PYTHON, argv, envp);
    _exit(1);
}

/* One line from the helper, without its newline, into a new block. */
static DWORD read_reply(struct samba_engine *engine, char **line)
{
    struct pollfd wait_for = { engine->channel, POLLIN, 0 };
    size_t length = 0;
    ssize_t got;
    char *text;

    text = (char *)malloc(REPLY_MAX + 1);
    if (text == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    for (;;) {
        if (poll(&wait_for, 1, ENGINE_TIMEOUT_MS) == 0) {
            free(text);
            return ERROR_TIMEOUT;
        }
        got = read(engine->channel, text + length, REPLY_MAX - length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        length += (size_t)got;
        if (text[length - 1] == '\n') {
            text[length - 1] = '\0';
            *line = text;
            return ERROR_SUCCESS;
        }
        if (length == REPLY_MAX)
            break;
    }
    free(text);
    return ERROR_BROKEN_PIPE;
}

static DWORD send_request(struct samba_engine *engine, const char *text, size_t length)
{
    ssize_t sent;

    while (length > 0) {
        /* A helper that is gone must not end zirm with SIGPIPE. */
        sent = send(engine->channel, text, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return ERROR_BROKEN_PIPE;
        text += sent;
        length -= (size_t)sent;
    }
    return ERROR_SUCCESS;
}

/* "ok [HEX]" or "status 0xXXXXXXXX"; the bytes into a new block. */
static DWORD parse_answer(const char *line, BYTE **bytes, DWORD *length)
{
    const char *hex, *high, *low;
    unsigned long status;
    size_t digits, i;
    char *end;

    if (strncmp(line, "status 0x", 9) == 0) {
        errno = 0;
        status = strtoul(line + 9, &end, 16);
        if (errno != 0 || *end != '\0' || end == line + 9)
            return ERROR_BROKEN_PIPE;
        return error_from_ntstatus((DWORD)status);
    }
    if (strcmp(line, "ok") == 0 && bytes == NULL)
        return ERROR_SUCCESS;
    if (strncmp(line, "ok ", 3) != 0 || bytes == NULL)
        return ERROR_BROKEN_PIPE;
    hex = line + 3;
    digits = strlen(hex);
    if (digits == 0 || digits % 2 != 0 || digits / 2 > NTACL_MAX_SIZE)
        return ERROR_BROKEN_PIPE;
    *bytes = (BYTE *)malloc(digits / 2);
    if (*bytes == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    for (i = 0; i < digits / 2; i++) {
        high = hex[2 * i] != '\0' ? strchr(hex_digits, hex[2 * i]) : NULL;
        low = hex[2 * i + 1] != '\0' ? strchr(hex_digits, hex[2 * i + 1]) : NULL;
        if (high == NULL || low == NULL) {
            free(*bytes);
            *bytes = NULL;
            return ERROR_BROKEN_PIPE;
        }
        (*bytes)[i] = (BYTE)((high - hex_digits) << 4 | (low - hex_digits));
    }
    *length = (DWORD)(digits / 2);
    return ERROR_SUCCESS;
}

/* A root-only folder for the mount point; the point itself of the
   object's kind, as a mount needs. */
static DWORD make_mount_point(struct samba_engine *engine, BOOL is_directory)
{
    char target[64];
    int fd;

    snprintf(engine->mount_dir, sizeof(engine->mount_dir), "/tmp/zirm-XXXXXX");
    if (mkdtemp(engine->mount_dir) == NULL) {
        engine->mount_dir[0] = '\0';
        return error_from_errno(errno);
    }
    mount_point(engine, target, sizeof(target));
    engine->mount_is_directory = is_directory;
    if (is_directory) {
        if (mkdir(target, 0700) != 0)
            return error_from_errno(errno);
        return ERROR_SUCCESS;
    }
    fd = open(target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return error_from_errno(errno);
    close(fd);
    return ERROR_SUCCESS;
}

DWORD samba_engine_start(struct samba_engine *engine, int fd, const struct stat *st, const struct lineage *lineage,
                         BOOL *in_share)
{
    int channels[2] = { -1, -1 };
    int tree = -1;
    DWORD code, i;
    char *line = NULL;

    *in_share = FALSE;
    engine->pid = -1;
    engine->channel = -1;
    engine->mount_dir[0] = '\0';
    if (access(ZIRM_PYTHON, X_OK) != 0 || access(ZIRM_SAMBA_SITE "/samba/samba3", F_OK) != 0)
        return ERROR_MOD_NOT_FOUND;

    code = make_mount_point(engine, S_ISDIR(st->st_mode));
    if (code != ERROR_SUCCESS)
        goto fail;
    /* A copy of the mount that holds the object, the object at its root:
       made here, where the descriptor's mount is, then moved into the
       helper's own namespace. */
    tree = open_tree(fd, "", OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_EMPTY_PATH);
    if (tree < 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channels) != 0) {
        code = error_from_errno(errno);
        goto fail;
    }
    engine->pid = fork();
    if (engine->pid < 0) {
        code = error_from_errno(errno);
        goto fail;
    }
    if (engine->pid == 0)
        run_helper(engine, tree, channels[1], lineage);
    close(tree);
    tree = -1;
    close(channels[1]);
    engine->channel = channels[0];

    code = read_reply(engine, &line);
    if (code != ERROR_SUCCESS)
        goto fail;
    if (strncmp(line, "share ", 6) == 0) {
        *in_share = TRUE;
    } else if (strcmp(line, "none") != 0) {
        code = ERROR_BROKEN_PIPE;
        for (i = 0; i < sizeof(engine_failures) / sizeof(engine_failures[0]); i++)
            if (strncmp(line, "fail ", 5) == 0 && strcmp(line + 5, engine_failures[i].why) == 0)
                code = engine_failures[i].code;
    }
    free(line);
    if (code != ERROR_SUCCESS || !*in_share)
        samba_engine_stop(engine);
    return code;

fail:
    if (tree >= 0)
        close(tree);
    if (channels[1] >= 0 && engine->channel < 0)
        close(channels[1]);
    if (channels[0] >= 0 && engine->channel < 0)
        close(channels[0]);
    samba_engine_stop(engine);
    return code;
}

/* One request and its answer, the answer's bytes (if any) into a new block. */
static DWORD exchange(struct samba_engine *engine, const char *request, size_t length, BYTE **bytes,
                      DWORD *bytes_length)
{
    char *line;
    DWORD code;

    code = send_request(engine, request, length);
    if (code == ERROR_SUCCESS)
        code = read_reply(engine, &line);
    if (code != ERROR_SUCCESS)
        return code;
    code = parse_answer(line, bytes, bytes_length);
    free(line);
    return code;
}

DWORD samba_engine_get(struct samba_engine *engine, SECURITY_INFORMATION requested, BYTE **descriptor, DWORD *length)
{
    char request[32];

    *descriptor = NULL;
    snprintf(request, sizeof(request), "get %u\n", (unsigned)requested);
    return exchange(engine, request, strlen(request), descriptor, length);
}

DWORD samba_engine_set(struct samba_engine *engine, SECURITY_INFORMATION information, const BYTE *descriptor,
                       DWORD length)
{
    char *request, *at;
    DWORD code, i;

    request = (char *)malloc(32 + 2 * (size_t)length);
    if (request == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    at = request + sprintf(request, "set %u ", (unsigned)information);
    for (i = 0; i < length; i++) {
        *at++ = hex_digits[descriptor[i] >> 4];
        *at++ = hex_digits[descriptor[i] & 15];
    }
    *at++ = '\n';
    code = exchange(engine, request, (size_t)(at - request), NULL, NULL);
    free(request);
    return code;
}

/* Between requests the helper only waits for the next one, holding
   nothing: it is ended at once, and its mount goes with it. Only then is
   the mount point removed. */
void samba_engine_stop(struct samba_engine *engine)
{
    char target[64];
    int status;

    if (engine->channel >= 0)
        close(engine->channel);
    engine->channel = -1;
    if (engine->pid > 0) {
        kill(engine->pid, SIGKILL);
        while (waitpid(engine->pid, &status, 0) < 0 && errno == EINTR)
            ;
    }
    engine->pid = -1;
    if (engine->mount_dir[0] != '\0') {
        mount_point(engine, target, sizeof(target));
        if (engine->mount_is_directory)
            rmdir(target);
        else
            unlink(target);
        rmdir(engine->mount_dir);
    }
    engine->mount_dir[0] = '\0';
}
