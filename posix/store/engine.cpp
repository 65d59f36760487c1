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
 *
 * Starting the engine costs tens of milliseconds, most of a run, and a
 * script runs zirm once per file. So consecutive runs share one engine:
 * the first run that needs it starts it, later runs connect to it, and it
 * exits a few seconds after the last. It listens on an abstract socket,
 * which leaves nothing on disk when it is killed; a run talks to it only
 * after the kernel has said it runs as our own user, and it serves only
 * runs of its own user. The name is the lock that decides which of the
 * runs that find no engine starts it: only one can bind it. The object
 * travels to it as a descriptor, never as a name, together with the run's
 * mount namespace, in which the engine reads the configuration. Where none
 * of this can be had safely, the run starts a helper of its own, as before.
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "engine_script.h"
#include "layer.h"

/* Samba's engine takes a few milliseconds once loaded; this is for a lock
   that is never given up. */
#define ENGINE_TIMEOUT_MS (120 * 1000)
#define REPLY_MAX (2 * NTACL_MAX_SIZE + 64)

/* How long a run waits for another run on the same object: longer than a
   run that is answered in time takes. */
#define OBJECT_LOCK_TIMEOUT_MS (3 * ENGINE_TIMEOUT_MS)

/* A name bound but not listened on is ours only for the moment between
   our bind and listen: one still so a second later is someone else's. */
#define OBJECT_LOCK_SETTLE_MS 1000

/* An engine that goes away before it has answered (it was exiting, or it
   was killed) has done nothing yet: so many times the run asks again. */
#define CONNECT_TRIES 3

/* What the helper says when it cannot serve the object. */
static const struct {
    const char *why;
    DWORD code;
} engine_failures[] = {
    { "config", ERROR_BAD_CONFIGURATION }, { "path", ERROR_BAD_NETPATH },
    { "ambiguous", ERROR_DUP_NAME },       { "unsupported", ERROR_NOT_SUPPORTED },
    { "mount", ERROR_ACCESS_DENIED },      { "registry", ERROR_REGISTRY_IO_FAILED },
    { "client", ERROR_BAD_NET_NAME },      { "othernames", ERROR_TOO_MANY_LINKS },
    { "domain", ERROR_NO_LOGON_SERVERS },
};

static const char hex_digits[] = "0123456789abcdef";

static void mount_point(const struct samba_engine *engine, char *path, size_t size)
{
    snprintf(path, size, "%s/object", engine->mount_dir);
}

/* The identities and owners of the object and its folders, as the engine
   reads them, in a new block; and the device of its other names, or "-". */
static char *lineage_text(const struct lineage *lineage, char *uncertain, size_t size)
{
    char *identities, *at;
    DWORD i;

    /* Two 20-digit numbers, a 10-digit one and three separators each. */
    identities = (char *)malloc(lineage->count * 54 + 1);
    if (identities == NULL)
        return NULL;
    at = identities;
    for (i = 0; i < lineage->count; i++)
        at += sprintf(at, "%s%llu:%llu:%lu", i == 0 ? "" : ",", (unsigned long long)lineage->ids[i].dev,
                      (unsigned long long)lineage->ids[i].ino, (unsigned long)lineage->ids[i].owner);
    if (lineage->has_other_names)
        snprintf(uncertain, size, "%llu", (unsigned long long)lineage->other_names_dev);
    else
        snprintf(uncertain, size, "-");
    return identities;
}

/* The helper, after fork: the object mounted for it alone, then the engine. */
static void run_helper(struct samba_engine *engine, int tree, int channel, const struct lineage *lineage)
{
    char target[64], uncertain[32], *identities;
    const char *conf;
    BOOL named;
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

    identities = lineage_text(lineage, uncertain, sizeof(uncertain));
    if (identities == NULL)
        _exit(1);

    char *argv[] = {
        (char *)ZIRM_PYTHON,     (char *)"-I", (char *)"-S", (char *)"-B", (char *)"-c", (char *)samba_engine_script,
        (char *)ZIRM_SAMBA_SITE, (char *)conf, identities,   uncertain,    target,       NULL
    };
    char *envp[] = { (char *)"PATH=/usr/sbin:/usr/bin:/sbin:/bin", (char *)"LC_ALL=C.UTF-8", NULL };
    execve(ZIRM_PYTHON, argv, envp);
    _exit(1);
}

/* One line from the helper, without its newline, into a new block. The
   helper may have sent more than one line (its notes before an answer):
   only this line's bytes are taken, the next stay for the next call. */
static DWORD read_reply(struct samba_engine *engine, char **line)
{
    struct pollfd wait_for = { engine->channel, POLLIN, 0 };
    size_t length = 0, take;
    ssize_t got;
    char *text, *end;

    text = (char *)malloc(REPLY_MAX + 1);
    if (text == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    for (;;) {
        if (poll(&wait_for, 1, ENGINE_TIMEOUT_MS) == 0) {
            free(text);
            return ERROR_TIMEOUT;
        }
        got = recv(engine->channel, text + length, REPLY_MAX - length, MSG_PEEK);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        end = (char *)memchr(text + length, '\n', (size_t)got);
        take = end != NULL ? (size_t)(end - (text + length)) + 1 : (size_t)got;
        /* What was peeked is there: this takes exactly those bytes. */
        if (read(engine->channel, text + length, take) != (ssize_t)take)
            break;
        length += take;
        if (end != NULL) {
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

/* The shared engine's name: abstract, and this build's own, so that a
   run never talks to an engine of another version. */
static socklen_t engine_address(struct sockaddr_un *address)
{
    int length;

    memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    length = snprintf(address->sun_path + 1, sizeof(address->sun_path) - 1, "zirm-engine-%s", ZIRM_ENGINE_ID);
    return (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + (size_t)length);
}

/* The run folder: made by us if missing, and used only if it is a folder
   that only our own user can enter. A descriptor, or -1. */
static int open_run_folder(void)
{
    struct stat st;
    int fd;

    if (mkdir(ZIRM_RUN_DIR, 0700) != 0 && errno != EEXIST)
        return -1;
    fd = open(ZIRM_RUN_DIR, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* A connection to the shared engine: 1, with the channel; 0 when no
   engine listens; -1 when what listens is not ours, or on any error. */
static int connect_engine(int *channel)
{
    struct sockaddr_un address;
    socklen_t address_length = engine_address(&address);
    struct ucred peer;
    socklen_t peer_length = sizeof(peer);
    int fd;

    *channel = -1;
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, (struct sockaddr *)&address, address_length) != 0) {
        close(fd);
        return errno == ECONNREFUSED ? 0 : -1;
    }
    /* Anyone can listen on an abstract name: nothing is sent before the
       kernel has said who does. */
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peer_length) != 0 || peer.uid != geteuid()) {
        close(fd);
        return -1;
    }
    *channel = fd;
    return 1;
}

/* The engine, after a double fork: a session of its own, not our child,
   holding nothing of ours but its socket and its script. */
static void run_engine(int listener, int script)
{
    char *argv[] = { (char *)"zirm-engine",
                     (char *)"-I",
                     (char *)"-S",
                     (char *)"-B",
                     (char *)"/proc/self/fd/4",
                     (char *)"daemon",
                     (char *)ZIRM_SAMBA_SITE,
                     (char *)ZIRM_RUN_DIR,
                     NULL };
    char *envp[] = { (char *)"PATH=/usr/sbin:/usr/bin:/sbin:/bin", (char *)"LC_ALL=C.UTF-8", NULL };
    int null;

    if (setsid() < 0 || fork() != 0)
        _exit(0);
    /* It must not keep the caller's folder, or its file system, busy. */
    if (chdir("/") != 0)
        _exit(1);
    null = open("/dev/null", O_RDWR | O_CLOEXEC);
    listener = fcntl(listener, F_DUPFD_CLOEXEC, 10);
    script = fcntl(script, F_DUPFD_CLOEXEC, 10);
    if (null < 0 || listener < 0 || script < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0 ||
        dup2(listener, 3) < 0 || dup2(script, 4) < 0 || close_range(5, ~0U, 0) != 0)
        _exit(1);
    execve(ZIRM_PYTHON, argv, envp);
    _exit(1);
}

/* Starts the shared engine, already listening when this returns, so that
   runs can connect at once. */
static void start_engine(void)
{
    struct sockaddr_un address;
    socklen_t address_length = engine_address(&address);
    size_t length = strlen(samba_engine_script);
    int listener, script = -1, status;
    pid_t pid;

    listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return;
    if (bind(listener, (struct sockaddr *)&address, address_length) != 0 || listen(listener, 128) != 0)
        goto done;
    script = memfd_create("zirm-engine", MFD_CLOEXEC);
    if (script < 0 || write(script, samba_engine_script, length) != (ssize_t)length)
        goto done;
    pid = fork();
    if (pid == 0)
        run_engine(listener, script);
    if (pid > 0)
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
            ;
done:
    if (script >= 0)
        close(script);
    close(listener);
}

/* A channel to the shared engine, started if none runs; -1 where it
   cannot be used safely. */
static int shared_engine(void)
{
    int run, channel, found;

    run = open_run_folder();
    if (run < 0)
        return -1;
    close(run);
    found = connect_engine(&channel);
    /* None listens: the run that binds the name first starts it, and the
       others, whose bind fails, connect to it. */
    if (found == 0) {
        start_engine();
        found = connect_engine(&channel);
    }
    return found == 1 ? channel : -1;
}

/* The line that asks for the parts of the object's descriptor, into a
   buffer of 32 bytes; its length. */
static size_t get_request(char *out, SECURITY_INFORMATION parts)
{
    return (size_t)sprintf(out, "get %u\n", (unsigned)parts);
}

/* The request that opens a run: what the helper is given as arguments,
   and the run's mount namespace and the object as descriptors. */
static DWORD send_open(struct samba_engine *engine, int tree, const struct lineage *lineage, BOOL is_directory,
                       SECURITY_INFORMATION first_get)
{
    char uncertain[32], *identities, *text = NULL;
    union {
        struct cmsghdr header;
        char space[CMSG_SPACE(2 * sizeof(int))];
    } control;
    struct msghdr message;
    struct iovec part;
    struct cmsghdr *header;
    const char *conf;
    BOOL named;
    int fds[2], length;
    ssize_t sent;
    DWORD code;

    conf = samba_conf_path(&named);
    identities = lineage_text(lineage, uncertain, sizeof(uncertain));
    fds[0] = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    fds[1] = tree;
    if (identities != NULL)
        text = (char *)malloc(strlen(conf) + strlen(identities) + 64);
    if (identities == NULL || text == NULL || fds[0] < 0) {
        code = fds[0] < 0 ? error_from_errno(errno) : ERROR_NOT_ENOUGH_MEMORY;
        goto done;
    }
    length = sprintf(text, "open\t%s\t%s\t%s\t%s\n", conf, identities, uncertain, is_directory ? "directory" : "file");
    if (first_get != 0)
        length += (int)get_request(text + length, first_get);

    memset(&message, 0, sizeof(message));
    memset(&control, 0, sizeof(control));
    part.iov_base = text;
    part.iov_len = (size_t)length;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control.space;
    message.msg_controllen = sizeof(control.space);
    header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(fds));
    memcpy(CMSG_DATA(header), fds, sizeof(fds));
    do
        sent = sendmsg(engine->channel, &message, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent <= 0)
        code = ERROR_BROKEN_PIPE;
    else
        code = send_request(engine, text + sent, (size_t)(length - sent));
done:
    if (fds[0] >= 0)
        close(fds[0]);
    free(text);
    free(identities);
    return code;
}

/* The engine's first answer, past its notes that the registry is read
   next: an engine that ends after such a note could not read it. */
static DWORD read_first_answer(struct samba_engine *engine, char **line)
{
    BOOL reading_registry = FALSE;
    DWORD code;

    for (;;) {
        code = read_reply(engine, line);
        if (code != ERROR_SUCCESS)
            return code == ERROR_BROKEN_PIPE && reading_registry ? ERROR_REGISTRY_IO_FAILED : code;
        if (strcmp(*line, "registry") != 0)
            return ERROR_SUCCESS;
        reading_registry = TRUE;
        free(*line);
    }
}

/* The shared engine's first answer for the object. ERROR_BROKEN_PIPE
   when no engine could answer: the run then starts its own helper. */
static DWORD ask_shared_engine(struct samba_engine *engine, int tree, const struct lineage *lineage, BOOL is_directory,
                               SECURITY_INFORMATION first_get, char **line)
{
    const char *conf;
    BOOL named;
    DWORD code = ERROR_BROKEN_PIPE;
    int tries;

    /* The request is one line of tab-separated words. */
    conf = samba_conf_path(&named);
    if (strpbrk(conf, "\t\n") != NULL)
        return code;
    for (tries = 0; tries < CONNECT_TRIES && code == ERROR_BROKEN_PIPE; tries++) {
        engine->channel = shared_engine();
        if (engine->channel < 0)
            break;
        code = send_open(engine, tree, lineage, is_directory, first_get);
        if (code == ERROR_SUCCESS)
            code = read_first_answer(engine, line);
        if (code != ERROR_SUCCESS) {
            close(engine->channel);
            engine->channel = -1;
        }
    }
    return code;
}

/* Whether the one listening on an abstract name is a process of our own
   user: 1 yes, 0 no, -1 nobody listens (yet). */
static int held_by_us(const struct sockaddr_un *address, socklen_t length)
{
    struct ucred peer;
    socklen_t peer_length = sizeof(peer);
    int fd, ours;

    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    if (connect(fd, (const struct sockaddr *)address, length) != 0)
        ours = errno == ECONNREFUSED ? -1 : 0;
    else
        ours = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peer_length) == 0 && peer.uid == geteuid();
    close(fd);
    return ours;
}

/*
 * Runs on one object, one at a time. Samba's engine writes the POSIX ACL
 * and then the descriptor with a hash of it: a run that reads between
 * another's two writes, or whose writes cross another's, leaves a state
 * that no single run leaves. The lock is an abstract name made of the
 * object's identity, held for the rest of the run: nothing on disk, and
 * gone with the run however it ends. Anyone can take a name, so only one
 * held by our own user counts.
 */
static DWORD lock_object(struct samba_engine *engine, const struct stat *st)
{
    struct timespec pause = { 0, 10 * 1000 * 1000 };
    struct sockaddr_un address;
    socklen_t length;
    int fd, error, waited, unanswered = 0, ours;

    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    length = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 +
                         (size_t)snprintf(address.sun_path + 1, sizeof(address.sun_path) - 1, "zirm-object-%llx-%llx",
                                          (unsigned long long)st->st_dev, (unsigned long long)st->st_ino));
    for (waited = 0;; waited += 10) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return error_from_errno(errno);
        if (bind(fd, (struct sockaddr *)&address, length) == 0 && listen(fd, SOMAXCONN) == 0) {
            engine->object_lock = fd;
            return ERROR_SUCCESS;
        }
        error = errno;
        close(fd);
        if (error != EADDRINUSE)
            return error_from_errno(error);
        /* Who holds it is asked now and then, not at every try: the
           holder never accepts, and its queue must not fill. */
        if (waited % OBJECT_LOCK_SETTLE_MS == 0) {
            ours = held_by_us(&address, length);
            if (ours == 0 || (ours < 0 && unanswered))
                return ERROR_SUCCESS; /* someone else's name: no lock of ours */
            unanswered = ours < 0;
        }
        if (waited >= OBJECT_LOCK_TIMEOUT_MS)
            return ERROR_SHARING_VIOLATION;
        nanosleep(&pause, NULL);
    }
}

DWORD samba_engine_start(struct samba_engine *engine, int fd, const struct stat *st, const struct lineage *lineage,
                         SECURITY_INFORMATION first_get, BOOL *in_share)
{
    char request[32];
    int channels[2] = { -1, -1 };
    int tree = -1;
    DWORD code, i;
    char *line = NULL;

    *in_share = FALSE;
    engine->pid = -1;
    engine->channel = -1;
    engine->object_lock = -1;
    engine->mount_dir[0] = '\0';
    engine->early_answer = NULL;
    if (access(ZIRM_PYTHON, X_OK) != 0 || access(ZIRM_SAMBA_SITE "/samba/samba3", F_OK) != 0)
        return ERROR_MOD_NOT_FOUND;
    /* Before anything is asked of the engine, so that the wait counts
       against no engine's time. */
    code = lock_object(engine, st);
    if (code != ERROR_SUCCESS)
        return code;

    /* A copy of the mount that holds the object, the object at its root:
       made here, where the descriptor's mount is, then moved into the
       engine's own namespace. */
    tree = open_tree(fd, "", OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_EMPTY_PATH);
    if (tree < 0) {
        code = error_from_errno(errno);
        goto fail;
    }
    code = ask_shared_engine(engine, tree, lineage, S_ISDIR(st->st_mode), first_get, &line);
    if (code == ERROR_SUCCESS) {
        close(tree);
        tree = -1;
        goto answered;
    }
    if (code != ERROR_BROKEN_PIPE)
        goto fail;

    code = make_mount_point(engine, S_ISDIR(st->st_mode));
    if (code != ERROR_SUCCESS)
        goto fail;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channels) != 0) {
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

    /* The helper reads its requests once it has answered the first. */
    if (first_get != 0) {
        code = send_request(engine, request, get_request(request, first_get));
        if (code != ERROR_SUCCESS)
            goto fail;
    }
    code = read_first_answer(engine, &line);
    if (code != ERROR_SUCCESS)
        goto fail;
answered:
    if (strncmp(line, "share ", 6) == 0) {
        *in_share = TRUE;
        /* Read now, so that no later request can be answered with it. */
        engine->early_answer_parts = first_get;
        if (first_get != 0)
            code = read_reply(engine, &engine->early_answer);
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
    char request[32], *line = engine->early_answer;
    DWORD code;

    *descriptor = NULL;
    engine->early_answer = NULL;
    if (line != NULL && engine->early_answer_parts == requested) {
        code = parse_answer(line, descriptor, length);
        free(line);
        return code;
    }
    free(line);
    return exchange(engine, request, get_request(request, requested), descriptor, length);
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
    if (engine->object_lock >= 0)
        close(engine->object_lock);
    engine->object_lock = -1;
    if (engine->pid > 0) {
        kill(engine->pid, SIGKILL);
        while (waitpid(engine->pid, &status, 0) < 0 && errno == EINTR)
            ;
    }
    engine->pid = -1;
    free(engine->early_answer);
    engine->early_answer = NULL;
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
