"""Samba's own ACL engine, for one object that lies in a share.

The platform layer starts this when the object it pinned may lie in a
share of the server's smb.conf. It finds the share as smbd would serve the
object and then reads and writes the object's descriptor through Samba's
ACL engine with that share's parameters, exactly as smbd does for a client:
the stored descriptor, the POSIX ACLs and the mode, mapped by Samba's own
code and idmap.

It runs in one of two ways.

A helper for one run: arguments are the folder that holds Samba's Python
modules, the smb.conf to load, the identities and owners (device:inode:uid)
of the object and of every directory above it in its file system, nearest
first, the device on which the object may have names that those folders
do not show (a file with other links, or a mount whose folders above it
are not visible; "-" for none), and the path at which the object is
mounted for this process alone. The engine is only ever given that path: nobody else can
change what it names.

The engine that consecutive runs share ("daemon", the modules' folder and
the run folder): Samba's modules loaded once, it listens on the socket it
is given as descriptor 3. The run sends one line, "open CONF IDENTITIES
DEVICE KIND" (tab-separated, KIND "file" or "directory"), with two
descriptors: its mount namespace and a detached copy of the mount that
holds the object, the object at its root. The run is served by a loaded
engine: a process that entered the run's mount namespace, made a copy of
it of its own, loaded that configuration there, and serves run after run
of that namespace and configuration, one at a time, as long as nothing the
load was built from has changed (checked at every run, before anything is
answered); otherwise, or when every such process is busy, by a new one.
Each run's object is mounted in that process's own namespace for the run
alone. The engine exits when no run has come for a few seconds, and its
loaded processes with it once their run is over.

One line out, first: "share NAME", "none", or "fail WHY", after a line
"registry" each time the registry is about to be read. Then, for each
line in ("get INFO" or "set INFO HEX"), one line out: "ok [HEX]" or
"status 0xXXXXXXXX", served only after "share": a run may send its first
request at once, with its first line, and reads its answer after the
share's. The run ends when its input does.
"""

import functools
import os
import pwd
import re
import signal
import sys
import threading
import time
import types

NT_STATUS_UNSUCCESSFUL = 0xC0000001
# What the engine answers when a share's VFS module is not installed:
# Samba itself then says only that the object was not found.
NT_STATUS_DLL_NOT_FOUND = 0xC0000135
NT_STATUS_NO_LOGON_SERVERS = 0xC000005E
NT_STATUS_DOMAIN_CONTROLLER_NOT_FOUND = 0xC0000233

# The roles in which Samba maps the domain's accounts to users and groups
# through winbindd: without it, Samba's engine maps a SID from what its
# cache still holds, or not at all, and smbd would serve no client.
WINBIND_ROLES = ("ROLE_DOMAIN_MEMBER", "ROLE_ACTIVE_DIRECTORY_DC")

# How long winbindd may take to answer, in seconds. Samba's own client
# waits minutes for one that hangs, and every mapping would wait with it.
WINBIND_TIMEOUT_SECONDS = 10

# How long Samba waits for its cluster daemon, in milliseconds, unless the
# configuration says otherwise: Samba's own default is to wait for ever,
# and a hung ctdbd would hang every run.
CTDB_TIMEOUT_MS = "10000"

# smbd follows a chain of "config file" parameters one reload at a time;
# a loop of them must end somewhere.
CONFIG_FILE_MAX_HOPS = 8

# What decides how an ACL set is stored and mapped. Two shares of one
# folder that differ in any of these would store one change two ways.
ACL_PARAMETERS = (
    "vfs objects", "nt acl support", "inherit acls", "inherit permissions", "inherit owner", "map acl inherit",
    "acl map full control", "acl group control", "acl check permissions", "acl allow execute always",
    "dos filemode", "force unknown acl user", "profile acls", "create mask", "force create mode",
    "directory mask", "force directory mode", "store dos attributes", "ea support",
    "acl_xattr:ignore system acls", "acl_xattr:default acl style", "acl_xattr:security_acl_name",
    "acl_tdb:ignore system acls", "acl_tdb:default acl style",
)


class NTSTATUSError(Exception):
    """What the engine raises, with the NTSTATUS first."""


class Unusable(Exception):
    """The configuration cannot say which share serves the object."""


def import_engine(site):
    """Samba's modules, and only the engine's own: the packages' __init__
    files would import most of Samba's Python code, which costs a tenth of
    a second and is never used here. They would also give the engine its
    error class. A caller that has imported Samba already keeps it."""
    if "samba" not in sys.modules:
        sys.path.insert(0, site)
        for name in ("samba", "samba.samba3"):
            package = types.ModuleType(name)
            package.__path__ = [os.path.join(site, *name.split("."))]
            sys.modules[name] = package
        sys.modules["samba"].NTSTATUSError = NTSTATUSError
    global param, smbconf, smbconf_registry, smbd, security, auth
    from samba import auth, smbconf  # noqa: E402
    from samba.dcerpc import security  # noqa: E402
    from samba.samba3 import param, smbd  # noqa: E402
    from samba.samba3 import smbconf as smbconf_registry  # noqa: E402


# Where answers go: the channel of the run being served (the helper's
# standard output when none is set).
OUT = None


def reply(line):
    out = OUT or sys.stdout
    out.write(line + "\n")
    out.flush()


# What the loaded configuration was built from: every file and folder read,
# by path, as it was before it was read; and whether the load may serve
# another run at all.
READ = {}
REUSABLE = True


def stamp_of(path):
    """A file or folder as it is now: identity, size and times (None when
    it is not there). Any change to what it holds changes one of them."""
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


def registry_stamp(path):
    """The registry's file, and its header: Samba counts every change to
    the registry in it, and writes through a memory map, which need not
    change the file's times at once."""
    try:
        with open(path, "rb") as f:
            header = f.read(64)
    except OSError:
        header = None
    return (stamp_of(path), header)


def note_read(path, stamp=stamp_of):
    READ.setdefault(path, (stamp, stamp(path)))


def unchanged():
    """Whether everything the load was built from is as it was."""
    return all(stamp(path) == seen for path, (stamp, seen) in READ.items())


def identity(path):
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino)


def plain_name(name):
    """A parameter's name as Samba matches it: case and blanks ignored."""
    return "".join(name.split()).lower()


def is_global(section):
    """Samba takes [global], [globals] and either spaced out for [global]."""
    return plain_name(section) in ("global", "globals")


def raw_sections(conf):
    """Every section of the configuration as it is written, read by
    Samba's own reader of the text, included files after the file (and a
    config file named in [global]). The reader crashes on settings before
    the first section, which Samba's loader takes as [global]'s: it is
    given each file with "[global]" put before it. A file it cannot read
    raises Unusable: what it hides could be anything."""
    files, seen = [conf], set()
    while files:
        name = files.pop(0)
        if name in seen or len(seen) > 64:
            continue
        seen.add(name)
        note_read(name)
        try:
            with open(name, "rb") as f:
                text = f.read()
        except OSError:
            continue  # Samba passes over a file that is not there
        fd = os.memfd_create("zirm-configuration-text")
        try:
            os.write(fd, b"[global]\n" + text)
            try:
                reader = smbconf.init_txt("/proc/self/fd/%d" % fd)
                sections = [reader.get_share(share) for share in reader.share_names()]
            except Exception:
                raise Unusable("config")
        finally:
            os.close(fd)
        for section, parameters in sections:
            for key, value in parameters:
                key, value = plain_name(key), value.strip()
                if (key == "include" and value.lower() != "registry") or (key == "configfile" and is_global(section)):
                    files.append(value)
            yield section, parameters


def registry_facts(conf):
    """What the configuration says about Samba's registry: whether it is
    used, and where it lives when it is a file. Opening the registry
    creates it when it is missing, and reading the configuration must
    never create anything in Samba's folders."""
    facts = {"used": False, "backend": False, "clustering": False, "state directory": None}
    for section, parameters in raw_sections(conf):
        for key, value in parameters:
            key, value = plain_name(key), value.strip()
            if key == "include" and value.lower() == "registry":
                facts["used"] = True
            elif not is_global(section):
                continue
            elif key == "configbackend" and value.lower() == "registry":
                facts["used"] = facts["backend"] = True
            elif key == "clustering":
                facts["clustering"] = value.lower() in ("yes", "true", "1", "on")
            elif key == "statedirectory":
                facts["state directory"] = value
    return facts


def registry_guard(facts, default_state):
    """Refuses a registry file that is not there: Samba's code would
    create it just by reading it."""
    global REUSABLE
    if facts["used"] and facts["clustering"]:
        REUSABLE = False  # kept by ctdbd, whose changes no file here shows
    if facts["used"] and not (facts["clustering"] and not facts["backend"]):
        # The registry backend starts over with Samba's defaults.
        state = default_state if facts["backend"] else (facts["state directory"] or default_state)
        note_read(os.path.join(state, "registry.tdb"), registry_stamp)
        if not os.path.isfile(os.path.join(state, "registry.tdb")):
            raise Unusable("registry")


def registry_ahead():
    """Tells the run that the registry is read next. On a cluster that
    goes through ctdbd, and when ctdbd does not answer in time Samba ends
    the process at once: the run can then say why."""
    reply("registry")


def read_registry(lp):
    """Every section kept in the registry, [global] among them. A registry
    file that is not there holds nothing, and reading it would make it."""
    global REUSABLE
    if lp.get("clustering"):
        REUSABLE = False
    else:
        note_read(os.path.join(lp.get("state directory"), "registry.tdb"), registry_stamp)
    if not lp.get("clustering") and not os.path.isfile(os.path.join(lp.get("state directory"), "registry.tdb")):
        return []
    registry_ahead()
    try:
        registry = smbconf_registry.init_reg(None)
        return [registry.get_share(name) for name in registry.share_names()]
    except Exception:
        raise Unusable("registry")


def load_configuration(lp, conf):
    """The configuration as smbd loads it: the file, then each "config
    file" it names that exists (smbd switches to it on its next reload),
    then the shares kept in the registry and the users' shares, which
    smbd loads when a client names one. Gives the configuration's
    sections.

    With "config backend = registry" the registry is the whole
    configuration, the file read only to learn that. Samba's loader then
    stays in that mode for the rest of the process and would ignore every
    file, so the file is not given to it: its defaults and the registry
    make the configuration."""
    lp.load("/dev/null")
    default_state = lp.get("state directory")
    note_read(conf)
    lp.set("ctdb timeout", CTDB_TIMEOUT_MS)
    facts = registry_facts(conf)
    registry_guard(facts, default_state)
    raw = []
    if facts["backend"]:
        raw = read_registry(lp)
        text = [section for section in raw if is_global(section[0])]
        text += [section for section in raw if not is_global(section[0])]
        load_text(lp, text)
    else:
        load_file(lp, conf, facts)
        for _ in range(CONFIG_FILE_MAX_HOPS):
            following = lp.get("config file") or ""
            if "%" in following:
                raise Unusable("client")
            if not following or following == lp.configfile or not os.path.isfile(following):
                break
            conf = following
            note_read(conf)
            facts = registry_facts(conf)
            registry_guard(facts, default_state)
            load_file(lp, conf, facts)
        if lp.get("config backend") == "registry":
            raise Unusable("registry")  # a backend set where the text did not show it
        raw = list(raw_sections(conf))
    sections = section_names(lp)
    known = {name.lower() for name in sections} | {"global"}
    shares = []
    if lp.get("registry shares") and not facts["backend"]:
        registry = read_registry(lp)
        raw += registry
        shares = [(name, parameters) for name, parameters in registry if name.lower() not in known]
    shares += [(name, parameters) for name, parameters in user_shares(lp, raw) if name.lower() not in known]
    if shares:
        if facts["backend"]:
            load_text(lp, text + shares)
        else:
            load_text(lp, [("global", [("include", conf)])] + shares)
        sections = section_names(lp)
    return [name for name in sections if name.lower() != "global"]


def load_file(lp, conf, facts):
    if facts["used"]:
        registry_ahead()
    try:
        lp.load(conf)
    except RuntimeError:
        raise Unusable("registry" if facts["used"] else "config")


def user_shares(lp, raw):
    """The shares users made themselves, one small file each, as smbd
    loads one: the template share's parameters (from the configuration
    as written), then the folder. Without the template smbd serves none
    of them."""
    if lp.get("usershare max shares") <= 0:
        return []
    folder = lp.get("usershare path")
    note_read(folder)
    try:
        entries = [entry for entry in os.listdir(folder) if not entry.startswith(".")]
    except OSError:
        return []
    template = []
    if lp.get("usershare template share"):
        wanted = plain_name(lp.get("usershare template share"))
        found = [parameters for section, parameters in raw if plain_name(section) == wanted]
        if not found:
            return []
        template = [(key, value) for key, value in found[-1] if plain_name(key) not in ("-valid", "path")]
    shares = []
    for entry in entries:
        note_read(os.path.join(folder, entry))
        try:
            with open(os.path.join(folder, entry), "rb") as f:
                lines = f.read().decode("utf-8", "surrogateescape").splitlines()
        except OSError:
            continue
        paths = [line[5:] for line in lines if line.startswith("path=")]
        if paths:
            shares.append((entry.lower(), template + [("path", paths[-1])]))
    return shares


def load_text(lp, sections):
    """Loads sections given as (name, parameters): the way smbd holds a
    registry or user share once a client has named it, after the file's
    own. The text exists only in memory."""
    lines = []
    for name, parameters in sections:
        lines.append("[%s]" % name)
        lines += ["\t%s = %s" % (key, value) for key, value in parameters]
    fd = os.memfd_create("zirm-configuration")
    try:
        os.write(fd, ("\n".join(lines) + "\n").encode("utf-8", "surrogateescape"))
        try:
            lp.load("/proc/self/fd/%d" % fd)
        except RuntimeError:
            raise Unusable("registry")
    finally:
        os.close(fd)


def section_names(lp):
    """The sections Samba loaded, from Samba's own dump of them: listing
    them directly crashes on a section that is not valid (a template share
    with "-valid = no")."""
    fd = os.memfd_create("zirm-sections")
    try:
        lp.dump(False, "/proc/self/fd/%d" % fd)
        os.lseek(fd, 0, os.SEEK_SET)
        chunks = []
        while True:
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        os.close(fd)
    return [name.decode("utf-8", "replace") for name in re.findall(rb"^\[(.*)\]$", b"".join(chunks), re.M)]


def share_path(value):
    """A path as smbd uses it: quotes around the whole of it are dropped,
    unless quotes stand inside it too."""
    trimmed = value.strip('"')
    return value if '"' in trimmed else trimmed


# In place of a folder: [homes] without a path, whose folders are the
# users' homes as they are at the time of a run.
HOMES = object()


def share_folders(lp, sections):
    """What each share that serves files serves, as the loaded
    configuration says: (folder, share), an Unusable in place of the share
    where it cannot be used, or HOMES in place of the folder."""
    folders = []
    for name in sections:
        if lp.get("printable", name) or not lp.get("available", name):
            continue
        try:
            path = share_path(lp.get("path", name) or "")
        except Exception:  # a path Samba's binding cannot give as text
            folders.append((None, Unusable("path")))
            continue
        if name.lower() == "homes" and not path:
            folders.append((HOMES, name))
            continue
        if not path:
            continue  # serves nothing
        if "%" in path:
            # A folder per user or client: which one serves the object
            # depends on who connects, but only a folder below the fixed
            # part of the path can be one of them.
            folders.append((path[:path.index("%")].rsplit("/", 1)[0] or "/", Unusable("client")))
            continue
        if not path.startswith("/"):
            folders.append((None, Unusable("path")))
            continue
        folders.append((path, name))
    return folders


def served_folders(lp, sections, owners, shares=None, accounts=lambda: True):
    """(folder, share) for every share that serves files, now: the users'
    homes looked up anew. Without the accounts (accounts() false: winbindd
    does not answer) the users' home folders are not known."""
    folders = []
    for path, name in share_folders(lp, sections) if shares is None else shares:
        if path is not HOMES:
            folders.append((path, name))
            continue
        if not accounts():
            folders.append((None, Unusable("domain")))
            continue
        folders += [(home, name) for home in home_folders(owners)]
    return folders


def home_folders(owners):
    """The users' home folders that may hold the object: a folder its user
    owns, since system accounts have system folders as "homes" (/, /bin,
    /dev), which would make every file a share file. The accounts the
    system lists when they are all in its files; otherwise those of the
    object's folders' owners, as a home holds the object only as one of
    its folders: a directory service lists none of its own (winbindd,
    unless told to) or all of them, at a cost no run should pay."""
    if accounts_are_files():
        accounts = pwd.getpwall()
    else:
        accounts = []
        for owner in set(owners):
            try:
                accounts.append(pwd.getpwuid(owner))
            except KeyError:
                pass
    homes = []
    for user in accounts:
        try:
            st = os.stat(user.pw_dir)
        except OSError:
            continue
        if user.pw_dir.startswith("/") and st.st_uid == user.pw_uid:
            homes.append(user.pw_dir)
    return homes


def homes_unlisted(lp, sections, shares):
    """Whether a [homes] without a path serves users whose homes the
    system does not list."""
    served = share_folders(lp, sections) if shares is None else shares
    return any(path is HOMES for path, _ in served) and not accounts_are_files()


def mounted_within(folders, device, ours):
    """Whether a mount of the device lies at or below one of the folders,
    by their real names, as this process's mount table gives them; the
    object's own mount for the engine, at `ours`, aside."""
    with open("/proc/self/mountinfo", "rb") as f:
        table = f.read().decode("utf-8", "surrogateescape").splitlines()
    points = []
    for line in table:
        fields = line.split(" ")
        major, minor = (int(n) for n in fields[2].split(":"))
        point = re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), fields[4])
        if os.makedev(major, minor) == device and point != ours:
            points.append(point)
    for folder in folders:
        real = os.path.realpath(folder)
        if any(point == real or point.startswith(real.rstrip("/") + "/") for point in points):
            return True
    return False


def find_share(lp, sections, ancestors, uncertain_device, shares=None, accounts=lambda: True, mounted_at=None):
    """The share whose folder holds the object, the nearest if several do,
    or False; ancestors are the object's and its folders' identities and
    owners, nearest first, and mounted_at where the engine has the object
    mounted. A share whose
    folder is missing holds nothing; a problem with a share that cannot
    hold the object is not the object's."""
    by_identity, devices, problems, folders = {}, set(), [], []
    # Only a folder can be a home.
    object_is_folder = mounted_at is None or os.path.isdir(mounted_at)
    owners = [owner for _, _, owner in (ancestors if object_is_folder else ancestors[1:])]
    for path, name in served_folders(lp, sections, owners, shares, accounts):
        if path is None:
            problems.append(name)
            continue
        try:
            st = os.stat(path)
        except OSError:
            continue
        devices.add(st.st_dev)
        folders.append(path)
        by_identity.setdefault((st.st_dev, st.st_ino), []).append(name)
    for device, inode, _ in ancestors:
        names = by_identity.get((device, inode), [])
        if not names:
            continue
        for name in names:
            if isinstance(name, Unusable):
                raise name
        names = sorted(set(names), key=str)
        settings = {name: [lp.get(p, name) for p in ACL_PARAMETERS] for name in names}
        if any(settings[name] != settings[names[0]] for name in names):
            raise Unusable("ambiguous")
        return names[0]
    # A relative path could be anywhere.
    if problems:
        raise problems[0]
    # Another name of the object may lie in a share's folder on its device,
    # or in a mount of its file system inside a share's folder; or in a home
    # of a directory service's user, which no list gives.
    if uncertain_device is not None and (uncertain_device in devices or homes_unlisted(lp, sections, shares) or
                                         mounted_within(folders, uncertain_device, mounted_at)):
        raise Unusable("othernames")
    return False


# The run's connection to winbindd (libwbclient's context), made at its
# first question and freed when it is over; and the question being asked:
# when winbindd is to have answered, and what the run is told if it has not,
# changed only under the lock, so that the run goes on only once the watch
# cannot end it any more.
WINBIND_CONTEXT = None
WINBIND_WATCHED = None
WINBIND_WATCH_LOCK = threading.Lock()


@functools.lru_cache(None)
def wbclient():
    """ctypes and libwbclient, with the types of the calls that need them;
    None without the library, or with one that has no contexts."""
    import ctypes

    try:
        library = ctypes.CDLL("libwbclient.so.0")
        library.wbcCtxCreate.restype = ctypes.c_void_p
        library.wbcCtxFree.argtypes = [ctypes.c_void_p]
    except (OSError, AttributeError):
        return None

    class Sid(ctypes.Structure):
        _fields_ = [("revision", ctypes.c_uint8), ("count", ctypes.c_uint8), ("authority", ctypes.c_uint8 * 6),
                    ("sub_authorities", ctypes.c_uint32 * 15)]

    class UnixId(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("id", ctypes.c_uint32)]

    return types.SimpleNamespace(ctypes=ctypes, library=library, Sid=Sid, UnixId=UnixId)


def winbind(request, unanswered):
    """request(wbc, context), asked in this thread, through the run's own
    connection to winbindd (as smbd connects for a new client, so that a
    winbindd no longer reachable never answers through an old one): what
    it gives, or None when it cannot be asked. Samba's client waits minutes
    for a winbindd that hangs; if this one has not answered in time, the
    watch tells the run `unanswered` and ends this process, which holds
    nothing that must be undone."""
    global WINBIND_CONTEXT, WINBIND_WATCHED
    wbc = wbclient()
    if wbc is None:
        return None
    if WINBIND_CONTEXT is None:
        WINBIND_CONTEXT = wbc.ctypes.c_void_p(wbc.library.wbcCtxCreate())
        if not WINBIND_CONTEXT:
            WINBIND_CONTEXT = None
            return None
    watch_winbind()
    with WINBIND_WATCH_LOCK:
        WINBIND_WATCHED = (time.monotonic() + WINBIND_TIMEOUT_SECONDS, unanswered)
    try:
        return request(wbc, WINBIND_CONTEXT)
    finally:
        with WINBIND_WATCH_LOCK:
            WINBIND_WATCHED = None


@functools.lru_cache(None)
def watch_winbind():
    """The watch over questions to winbindd, started at the first: a
    thread that looks twice a second, and wakes nothing else."""

    def watch():
        while True:
            time.sleep(0.5)
            with WINBIND_WATCH_LOCK:
                if WINBIND_WATCHED is not None and time.monotonic() > WINBIND_WATCHED[0]:
                    try:
                        reply(WINBIND_WATCHED[1])
                    finally:
                        os._exit(0)

    threading.Thread(target=watch, daemon=True).start()


def winbind_run_over():
    """The run has ended, and its connection to winbindd with it."""
    global WINBIND_CONTEXT
    if WINBIND_CONTEXT is not None:
        wbclient().library.wbcCtxFree(WINBIND_CONTEXT)
        WINBIND_CONTEXT = None


def winbind_answers(unanswered="fail domain"):
    """Whether winbindd answers; if it hangs, the run is told `unanswered`,
    what it expects at that point: its first answer, by default."""
    return winbind(lambda wbc, context: wbc.library.wbcCtxPing(context), unanswered) == 0


def accounts_of(sd):
    """The SIDs a descriptor names, once each."""
    sids = [ace.trustee for ace in (sd.dacl.aces if sd.dacl is not None else [])]
    sids += [sid for sid in (sd.owner_sid, sd.group_sid) if sid is not None]
    return sorted(set(str(sid) for sid in sids))


def mapping_status(wbc, context, sids):
    """Whether winbindd maps each SID to a user or group: 0, or the status
    that says why not; None when it cannot be asked."""
    given = (wbc.Sid * len(sids))()
    for i, sid in enumerate(sids):
        if wbc.library.wbcStringToSid(sid.encode(), wbc.ctypes.byref(given[i])) != 0:
            return None
    ids = (wbc.UnixId * len(sids))()
    if wbc.library.wbcCtxSidsToUnixIds(context, given, len(sids), ids) != 0:
        return NT_STATUS_NO_LOGON_SERVERS
    if all(entry.type != 0 for entry in ids):  # WBC_ID_TYPE_NOT_SPECIFIED
        return 0
    return 0 if wbc.library.wbcCtxPingDc(context, None, None) == 0 else NT_STATUS_DOMAIN_CONTROLLER_NOT_FOUND


def accounts_status(sd):
    """0 when every account of the descriptor maps as a working server
    maps it, else the status that says why not. With winbindd silent,
    Samba's engine would map the domain's accounts from whatever its cache
    holds, or drop them from the POSIX ACL. A SID winbindd leaves unmapped
    smbd leaves out as well, but only while a domain controller answers:
    without one, winbindd cannot say whose it is."""
    sids = accounts_of(sd)
    silent = "status 0x%08x" % NT_STATUS_NO_LOGON_SERVERS
    if not sids:
        return 0 if winbind_answers(silent) else NT_STATUS_NO_LOGON_SERVERS
    status = winbind(lambda wbc, context: mapping_status(wbc, context, sids), silent)
    return NT_STATUS_NO_LOGON_SERVERS if status is None else status


def status_of(error):
    if isinstance(error, NTSTATUSError) and error.args and isinstance(error.args[0], int):
        return error.args[0] & 0xFFFFFFFF
    return NT_STATUS_UNSUCCESSFUL


def missing_modules(lp, share):
    """The VFS modules the share names that are not installed, looked for
    where Samba's loader looks: a name with a slash is a file, any other a
    file of Samba's modules folder. Asked only once Samba has failed, so a
    module built into Samba itself is never taken for a missing one."""
    from samba import param as paths

    folder = os.path.join(paths.modules_dir(), "vfs")
    names = lp.get("vfs objects", share) or []
    return [name for name in names
            if not os.path.exists(name if "/" in name else os.path.join(folder, name + ".so"))]


def serve(lp, share, object_path, session, requests, domain):
    for line in requests:
        words = line.split()
        try:
            if len(words) == 2 and words[0] == "get":
                sd = smbd.get_nt_acl(object_path, int(words[1]), session_info=session, service=share)
                reply("ok " + sd.__ndr_pack__().hex())
            elif len(words) == 3 and words[0] == "set":
                sd = security.descriptor()
                sd.__ndr_unpack__(bytes.fromhex(words[2]))
                status = accounts_status(sd) if domain else 0
                if status:
                    reply("status 0x%08x" % status)
                    continue
                smbd.set_nt_acl(object_path, int(words[1]), sd, session_info=session, service=share)
                reply("ok")
            else:
                reply("status 0x%08x" % NT_STATUS_UNSUCCESSFUL)
        except Exception as error:  # every failure goes back as a status
            status = status_of(error)
            if missing_modules(lp, share):
                status = NT_STATUS_DLL_NOT_FOUND
            reply("status 0x%08x" % status)


# What decides whose account a home folder is, and how the system lists
# the accounts; Samba's own databases it reads afresh at every use.
ACCOUNT_FILES = ("/etc/passwd", "/etc/group", "/etc/nsswitch.conf")


def accounts_are_files():
    """Whether every account is in the files: another source (a directory
    service) can add accounts, and their homes, without a file here
    changing."""
    try:
        with open("/etc/nsswitch.conf") as f:
            lines = [line for line in f if line.startswith("passwd:")]
    except OSError:
        return True
    return all(word.startswith("[") or word in ("files", "systemd") for line in lines for word in line[7:].split())


def load(conf):
    """The configuration as smbd loads it, for the runs to come: (lp, its
    sections, what they serve), or the Unusable that tells why it cannot
    serve. What it was
    built from is noted in READ."""
    global REUSABLE
    for path in ACCOUNT_FILES:
        note_read(path)
    lp = param.get_context()
    try:
        sections = load_configuration(lp, conf)
    except Unusable as why:
        REUSABLE = False
        return why
    return lp, sections, share_folders(lp, sections)


def answer(loaded, identities, uncertain, object_path, session, requests):
    """One run, against the loaded configuration: which share serves the
    object, then its descriptor's requests, line by line. Everything a run
    must be refused for is decided here, at every run."""
    if isinstance(loaded, Unusable):
        reply("fail " + str(loaded))
        return
    lp, sections, shares = loaded
    # device:inode:owner of the object and of each of its folders
    ancestors = [tuple(int(n) for n in triple.split(":")) for triple in identities.split(",")]
    uncertain_device = None if uncertain == "-" else int(uncertain)
    try:
        domain = lp.server_role() in WINBIND_ROLES
        # Asked at every run, never kept from one to the next, and only when
        # it matters: before the users' home folders are read (through
        # winbindd too: a hung one would hang the run), and once a share
        # holds the object.
        answers = functools.lru_cache(None)(winbind_answers) if domain else lambda: True
        share = find_share(lp, sections, ancestors, uncertain_device, shares, answers, object_path)
        if share is not False and not answers():
            raise Unusable("domain")
    except Unusable as why:
        reply("fail " + str(why))
        return
    if share is False:
        reply("none")
        return
    # A share that keeps no NT ACLs ignores every set: there is nothing
    # to change there, and saying it worked would be a lie.
    if not lp.get("nt acl support", share):
        reply("fail unsupported")
        return
    reply("share %s" % share)
    serve(lp, share, object_path, session, requests, domain)


def system_session():
    session = auth.copy_session_info(auth.system_session())
    auth.session_info_fill_unix(session, None)
    return session


# How long the shared engine waits for the next run before it exits, in
# seconds: a script that runs zirm once per file starts the next run within
# milliseconds, and an engine nobody uses should not linger.
IDLE_SECONDS = 5

# The longest a run may take, from its connection to its last answer: the
# run gives up after two minutes without an answer, and so does this.
RUN_SECONDS = 150

# Loaded processes kept waiting for a run, at most; a busy one is never
# waited for (another is made), and the least recently used goes first.
IDLE_WORKERS_MAX = 8

# The longest request line a run sends: its object's identities.
REQUEST_MAX = 1 << 20

CLONE_NEWNS = 0x00020000
MS_NOSUID, MS_NODEV, MS_NOEXEC, MS_REC, MS_PRIVATE = 0x2, 0x4, 0x8, 0x4000, 0x40000
MNT_DETACH = 2
MOVE_MOUNT_F_EMPTY_PATH = 0x4
AT_FDCWD = -100
SYS_MOVE_MOUNT = 429  # the same number on every architecture
PR_SET_NAME = 15


def module_identities():
    """The files of Samba's engine as they are now: an upgrade replaces
    them, and an engine that started before must not serve on."""
    found = []
    for module in (smbd, param, auth, smbconf):
        try:
            st = os.stat(module.__file__)
            found.append((st.st_dev, st.st_ino, st.st_mtime_ns))
        except (AttributeError, OSError):
            found.append(None)
    return found


def checked(result):
    if result != 0:
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error))


def enter_namespace(libc, run_dir, namespace):
    """The run's mounts, then a namespace of this process's own, copied
    from them, whose mounts reach no other; the run folder a private
    tmpfs in it, where each run's object is mounted."""
    checked(libc.setns(namespace, CLONE_NEWNS))
    checked(libc.unshare(CLONE_NEWNS))
    checked(libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None))
    checked(libc.mount(b"tmpfs", run_dir.encode(), b"tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, b"mode=0700"))
    os.chdir("/")


def mount_object(libc, run_dir, tree, kind, number):
    """The run's object, mounted on a point of its own for this run."""
    target = os.path.join(run_dir, "object%d" % number)
    if kind == "directory":
        os.mkdir(target, 0o700)
    else:
        os.close(os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
    try:
        checked(libc.syscall(SYS_MOVE_MOUNT, tree, b"", AT_FDCWD, target.encode(), MOVE_MOUNT_F_EMPTY_PATH))
    except OSError:
        unmount_object(libc, target, kind)
        raise
    return target


def unmount_object(libc, target, kind):
    libc.umount2(target.encode(), MNT_DETACH)
    try:
        (os.rmdir if kind == "directory" else os.unlink)(target)
    except OSError:
        pass


def watch_mounts(connection, namespace):
    """The mount table of the run's namespace, held open: the kernel marks
    it (POLLPRI) at the first change to that namespace's mounts after it
    was opened, also when the process it was opened through has ended.
    None when the process /proc shows under the run's number is not in
    the run's mount namespace (a process of another PID namespace)."""
    pid, _, _ = struct_peer(connection)
    try:
        fd = os.open("/proc/%d/mountinfo" % pid, os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        st = os.stat("/proc/%d/ns/mnt" % pid)
    except OSError:
        st = None
    if st is None or (st.st_dev, st.st_ino) != namespace:
        os.close(fd)
        return None
    return fd


def mounts_changed(watched):
    import select

    poller = select.poll()
    poller.register(watched, select.POLLPRI)
    return any(events & (select.POLLPRI | select.POLLERR) for _, events in poller.poll(0))


def serve_one(libc, run_dir, connection, tree, words, loaded, session, number, finished):
    """One run over its connection: its object mounted for it alone, the
    answer, and the object unmounted again. finished() is called as soon
    as the run has ended, so that the next run finds this process free."""
    global OUT
    signal.alarm(RUN_SECONDS)
    connection.setblocking(True)
    OUT = connection.makefile("w", encoding="utf-8", errors="surrogateescape")
    stream = connection.makefile("r", encoding="utf-8", errors="surrogateescape")
    try:
        try:
            object_path = mount_object(libc, run_dir, tree, words[4], number)
        except OSError:
            reply("fail mount")
            return
        finally:
            os.close(tree)
        try:
            answer(loaded, words[2], words[3], object_path, session, requests_after(words[5], stream))
            finished()
        finally:
            unmount_object(libc, object_path, words[4])
    except OSError:
        pass  # the run is gone
    finally:
        for channel in (OUT, stream):
            try:
                channel.close()
            except OSError:
                pass
        OUT = None
        connection.close()
        winbind_run_over()
        signal.alarm(0)


def worker(control, run_dir, connection, fds, words):
    """A loaded engine for the runs of one mount namespace and one
    configuration, made for its first run. It serves each run the daemon
    hands it, one at a time, as long as nothing its load was built from,
    nor the caller's mounts, has changed: then it answers nothing and ends,
    and the daemon serves the run with a new one."""
    global OUT, REUSABLE
    namespace, tree = fds
    libc = ctypes.CDLL(None, use_errno=True)
    signal.alarm(RUN_SECONDS)
    connection.setblocking(True)
    # Watched from before the copy is made: a change meanwhile makes the
    # next run find the mounts changed, never the other way round. Mounts
    # that cannot be watched make this process serve this run alone.
    st = os.fstat(namespace)
    mounts = watch_mounts(connection, (st.st_dev, st.st_ino))
    if mounts is None:
        REUSABLE = False
    try:
        # The namespace's descriptor stays open, so that its identity is
        # not given to another while this process may be asked to serve it.
        enter_namespace(libc, run_dir, namespace)
    except OSError:
        control.send(b"taken")
        connection.sendall(b"fail mount\n")
        return
    control.send(b"taken")
    session = system_session()
    OUT = connection.makefile("w", encoding="utf-8", errors="surrogateescape")
    loaded = load(words[1])
    OUT.close()
    OUT = None
    number = 0
    while True:
        said = []

        def finished():
            if REUSABLE:
                control.send(b"done")
                said.append(True)
        serve_one(libc, run_dir, connection, tree, words, loaded, session, number, finished)
        number += 1
        if not REUSABLE:
            return
        if not said:
            control.send(b"done")
        try:
            data, fds, _, _ = socket.recv_fds(control, REQUEST_MAX, 2)
        except OSError:
            return
        if not data or len(fds) != 2:
            return  # the daemon is gone, or wants this process no more
        connection = socket.socket(fileno=fds[0])
        tree = fds[1]
        words = request_words(data)
        if not unchanged() or mounts_changed(mounts):
            control.send(b"stale")
            return
        control.send(b"taken")


def request_words(data):
    """The words of a run's first line, then whatever came after it: a run
    sends its first request without waiting for the answer to the line."""
    first, _, early = data.partition(b"\n")
    return first.decode("utf-8", "surrogateescape").split("\t") + [early.decode("utf-8", "surrogateescape")]


def requests_after(early, stream):
    """The run's requests: those that came with its first line, then the
    rest of the stream."""
    if early and not early.endswith("\n"):
        early += stream.readline()
    for line in early.split("\n")[:-1]:
        yield line + "\n"
    yield from stream


def request_of(pending):
    """The run's request, once its first line has come: (descriptors,
    words)."""
    data, fds = pending["data"], pending["fds"]
    words = request_words(data)
    if len(fds) != 2 or len(words) != 6 or words[0] != "open" or words[4] not in ("file", "directory"):
        return None
    return fds, words


class Worker:
    """The daemon's side of a loaded process."""

    def __init__(self, key, control):
        self.key, self.control = key, control
        self.run = None  # the run handed over and not yet taken: (connection, descriptors, words)
        self.busy = True
        self.since = time.monotonic()


def daemon(run_dir):
    """The engine that consecutive runs share."""
    global ctypes, socket
    import ctypes
    import select
    import socket

    ctypes.CDLL(None).prctl(PR_SET_NAME, b"zirm-engine", 0, 0, 0)
    listener = socket.socket(fileno=3)
    # Children are never waited for.
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    modules = module_identities()
    # Samba builds the system's session on its first use in a process, a
    # third of a run's time: once here, every loaded process starts with it.
    auth.system_session()
    workers, pending = [], {}
    last_run = time.monotonic()

    def held():
        """Every descriptor the daemon holds: a new process closes them."""
        fds = [listener.fileno()] + [w.control.fileno() for w in workers]
        for connection, state in pending.items():
            fds += [connection.fileno()] + state["fds"]
        for w in workers:
            if w.run is not None:
                fds += [w.run[0].fileno()] + w.run[1]
        return fds

    def start_worker(connection, fds, words, key):
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        inherited = held()
        pid = os.fork()
        if pid == 0:
            try:
                signal.signal(signal.SIGCHLD, signal.SIG_DFL)
                ours.close()
                for fd in inherited:
                    if fd not in [connection.fileno()] + fds:
                        try:
                            os.close(fd)
                        except OSError:
                            pass
                worker(theirs, run_dir, connection, fds, words)
            finally:
                os._exit(0)
        theirs.close()
        w = Worker(key, ours)
        w.run = (connection, fds, words)
        workers.append(w)

    def let_go(run):
        connection, fds, _ = run
        connection.close()
        for fd in fds:
            os.close(fd)

    def dispatch(connection, fds, words):
        try:
            st = os.fstat(fds[0])
        except OSError:
            let_go((connection, fds, words))
            return
        key = (st.st_dev, st.st_ino, words[1])
        idle = [w for w in workers if w.key == key and not w.busy]
        if idle:
            w = max(idle, key=lambda w: w.since)
            try:
                data = ("\t".join(words[:5]) + "\n" + words[5]).encode("utf-8", "surrogateescape")
                socket.send_fds(w.control, [data], [connection.fileno(), fds[1]])
                w.busy, w.run = True, (connection, fds, words)
                return
            except OSError:
                w.control.close()
                workers.remove(w)
        start_worker(connection, fds, words, key)

    while True:
        waiting = [listener] + list(pending) + [w.control for w in workers]
        timeout = max(0.0, last_run + IDLE_SECONDS - time.monotonic())
        ready = select.select(waiting, [], [], timeout)[0]
        if not ready and time.monotonic() >= last_run + IDLE_SECONDS:
            break
        # What the loaded processes said first, so that one that has just
        # become free serves the next run, then the runs' requests.
        ready.sort(key=lambda channel: 0 if channel not in pending and channel is not listener else
                   1 if channel in pending else 2)
        for channel in ready:
            if channel is listener:
                try:
                    connection, _ = listener.accept()
                except OSError:
                    continue
                pid, uid, _ = struct_peer(connection)
                # Only runs of our own user, and only as the engine they started.
                if uid != os.geteuid():
                    connection.close()
                    continue
                if module_identities() != modules:
                    # No run may reach this engine any more, then this run
                    # learns it, and starts another.
                    listener.close()
                    connection.close()
                    return
                last_run = time.monotonic()
                connection.setblocking(False)
                pending[connection] = {"data": b"", "fds": [], "since": last_run}
            elif channel in pending:
                state = pending[channel]
                try:
                    data, fds, _, _ = socket.recv_fds(channel, REQUEST_MAX, 2)
                except BlockingIOError:
                    continue
                except OSError:
                    data, fds = b"", []
                state["fds"] += fds
                state["data"] += data
                if data and b"\n" not in state["data"] and len(state["data"]) < REQUEST_MAX:
                    continue
                del pending[channel]
                request = request_of(state) if data else None
                if request is None:
                    let_go((channel, state["fds"], None))
                    continue
                dispatch(channel, *request)
            else:
                w = next(w for w in workers if w.control is channel)
                try:
                    said = channel.recv(64)
                except OSError:
                    said = b""
                if said == b"taken":
                    let_go(w.run)
                    w.run = None
                elif said == b"done":
                    w.busy, w.since = False, time.monotonic()
                else:
                    # Gone: it ended, or found its load out of date
                    # before it took the run, which a new one then serves.
                    channel.close()
                    workers.remove(w)
                    if w.run is not None:
                        if said == b"stale":
                            start_worker(*w.run, w.key)
                        else:
                            let_go(w.run)
        idle = sorted((w for w in workers if not w.busy), key=lambda w: w.since)
        for w in idle[:max(0, len(idle) - IDLE_WORKERS_MAX)]:
            w.control.close()
            workers.remove(w)
        now = time.monotonic()
        for connection, state in list(pending.items()):
            if now - state["since"] > RUN_SECONDS:
                del pending[connection]
                let_go((connection, state["fds"], None))


def struct_peer(connection):
    import struct

    return struct.unpack("3i", connection.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12))


def main():
    if sys.argv[1] == "daemon":
        import_engine(sys.argv[2])
        daemon(sys.argv[3])
        return
    site, conf, identities, uncertain, object_path = sys.argv[1:6]
    import_engine(site)
    answer(load(conf), identities, uncertain, object_path, system_session(), sys.stdin)


if __name__ == "__main__":
    main()
