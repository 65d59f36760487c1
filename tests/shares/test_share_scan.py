"""The cheap reading of smb.conf against Samba's own loader.

zirm's scan says "no" for an object that no share can hold, and Samba's
engine is then never asked. So wherever Samba's loader (through the
engine's own load_configuration and find_share) places an object in a
share, the scan must have said "maybe", or refused because the shares
depend on the client (67), and that only where an include or config file
really names a macro.

Thousands of configurations are drawn, each with a world of folders,
mounts and links around one object: the scan runs in a small program on
every name of the object, the loader in a process of its own per
configuration (Samba's loader keeps the services of an earlier load, and
its registry once opened). The loader is given the object's real folders,
found by this test from where it placed the object, never from zirm.

Runs inside a private mount namespace (ctest starts it under unshare):
bind mounts and tmpfs mounts, and a copy of /etc/passwd with users whose
homes are the test's folders, are seen by this test alone.

SHARE_SCAN_RUN replays a run number, SHARE_SCAN_ONE one configuration of
it (printed, and cut down to the lines that matter), SHARE_SCAN_COUNT sets
how many configurations are drawn.
"""

import ctypes
import importlib.util
import json
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import unittest

import samba

HERE = os.path.dirname(os.path.abspath(__file__))
ENGINE_SCRIPT = os.path.join(HERE, "..", "..", "posix", "store", "samba_engine.py")
SITE = os.path.dirname(os.path.dirname(samba.__file__))
PROBE = os.environ.get("SCAN_PROBE", "")

COUNT = int(os.environ.get("SHARE_SCAN_COUNT", "5000"))
RUN = int(os.environ.get("SHARE_SCAN_RUN", "0")) or random.SystemRandom().randrange(1, 1 << 31)
ONE = os.environ.get("SHARE_SCAN_ONE")
WORKERS = 2
SAMBA_FOLDERS = ("private", "lock", "state", "cache")
SAMBA_HOME = "/var/lib/samba"
DEFAULT_REGISTRY = os.path.join(SAMBA_HOME, "registry.tdb")
# Where Samba keeps a registry already, no configuration may point it there.
REGISTRY_WAS_THERE = os.path.exists(DEFAULT_REGISTRY)
MADE_REGISTRY = "the engine made %s" % DEFAULT_REGISTRY
JUDGE_TIMEOUT = 20.0
# Where the name service's "extrausers" source keeps accounts that are not in /etc/passwd.
EXTRA_ACCOUNTS = "/var/lib/extrausers"

engine_module = importlib.util.spec_from_file_location("samba_engine", ENGINE_SCRIPT)
engine = importlib.util.module_from_spec(engine_module)
engine_module.loader.exec_module(engine)
engine.import_engine(SITE)

libc = ctypes.CDLL(None, use_errno=True)
MS_BIND = 4096
MNT_DETACH = 2


def mount(source, target, fstype=None, flags=0, data=None):
    if libc.mount(source.encode(), target.encode(), fstype.encode() if fstype else None, flags,
                  data.encode() if data else None) != 0:
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error), target)


def unmount(target):
    if libc.umount2(target.encode(), MNT_DETACH) != 0:
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error), target)


def die_with_parent():
    """A forked helper ends when the process that made it does, even when
    that one is killed: nothing of the test outlives it."""
    PR_SET_PDEATHSIG = 1
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def namespace_is_private():
    """Mounts made here must never reach the rest of the machine."""
    try:
        if os.readlink("/proc/self/ns/mnt") == os.readlink("/proc/%d/ns/mnt" % os.getppid()):
            return False
    except OSError:
        return False
    with open("/proc/self/mountinfo") as f:
        return not any(" shared:" in line.split(" - ")[0] for line in f)


# --- The world around one object -------------------------------------------

def chain(path):
    """(st_dev, st_ino, st_uid) of the object at a path and of every folder
    above it, nearest first."""
    ids = []
    while True:
        st = os.stat(path)
        ids.append((st.st_dev, st.st_ino, st.st_uid))
        if path == "/":
            return ids
        path = os.path.dirname(path) or "/"


def build(world):
    """Carries out a world's steps: folders, files, links, mounts. Gives
    the object's identity chains (from its real names) and the mounts made,
    most recent first."""
    mounts, chains = [], []
    for step in world["steps"]:
        kind, path = step[0], step[1]
        if kind == "dir":
            os.makedirs(path, exist_ok=True)
        elif kind == "file":
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(step[2].encode("utf-8", "surrogateescape"))
        elif kind == "symlink":
            os.symlink(step[2], path)
        elif kind == "link":
            os.link(step[2], path)
        elif kind == "chown":
            os.chown(path, step[2], step[2])
        elif kind == "tmpfs":
            os.makedirs(path, exist_ok=True)
            mount("zirm-scan", path, "tmpfs", 0, "size=4m")
            mounts.insert(0, path)
        elif kind == "bind":
            os.makedirs(path, exist_ok=True)
            mount(step[2], path, None, MS_BIND)
            mounts.insert(0, path)
        elif kind == "bind file":  # one of the system's files, replaced for the world
            mount(step[2], path, None, MS_BIND)
            mounts.insert(0, path)
        elif kind == "names":
            # The object's names at this point: each gives its folders. A
            # name that a later step hides keeps only the folders of the
            # object's own file system, which no path reaches any more.
            for name, own_only in step[2]:
                ids = chain(name)
                if own_only:
                    ids = [i for i in ids if i[0] == ids[0][0]]
                chains.append(ids)
        elif kind == "detach":
            unmount(path)
            mounts.remove(path)
        else:
            raise ValueError(kind)
    return chains, mounts


def tear_down(world, mounts):
    for path in mounts:
        unmount(path)
    shutil.rmtree(world["root"], ignore_errors=True)


def probe(conf, names):
    done = subprocess.run([PROBE, *names], env={"SMB_CONF_PATH": conf, "PATH": "/usr/bin:/bin"},
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    results = done.stdout.splitlines()
    if done.returncode != 0 or len(results) != len(names):
        return ["probe failed %d: %s" % (done.returncode, done.stderr.strip())] * len(names)
    return results


# --- Samba's loader, in a process of its own per configuration --------------

def readable_text_reader():
    """Samba's reader of the text crashes on a file that starts with
    parameters before any section: the loader does not. Given the same
    text with the section its parameters belong to named, it reads it."""
    init_txt = engine.smbconf.init_txt
    kept = []

    def init(name):
        with open(name, "rb") as f:
            text = f.read()
        fd = os.memfd_create("zirm-scan-text")
        os.write(fd, b"[global]\n" + text)
        kept.append(fd)
        return init_txt("/proc/self/fd/%d" % fd)
    return init


def judge_here(conf, ancestors, patched, uncertain=None):
    if patched:
        engine.smbconf.init_txt = readable_text_reader()
    answer = {}
    lp = engine.param.get_context()
    try:
        try:
            sections = engine.load_configuration(lp, conf)
        except engine.Unusable as why:
            # Samba's loader rejects the text: smbd would not start with
            # it, and serves nothing. The registry or a client's own
            # configuration, on the other hand, may hold any share.
            answer["verdict"] = "unloadable %s" % why if str(why) == "config" else "unusable %s" % why
        else:
            share = engine.find_share(lp, sections, ancestors, uncertain)
            answer["verdict"] = "none" if share is False else "share %s" % share
    except engine.Unusable as why:
        answer["verdict"] = "unusable %s" % why
    except Exception as error:  # the engine itself failed
        answer["crash"] = repr(error)
    if not patched:
        engine.smbconf.init_txt = readable_text_reader()
    answer["macro"] = macro_named(conf)
    return answer


def macro_named(conf):
    """Whether an include or config file, as Samba's reader of the text
    reads the configuration and the files it names, names a macro: the
    only reason the scan may refuse. None when Samba cannot read one of
    them (then nothing can be told)."""
    files, seen = [conf], set()
    while files:
        name = files.pop(0)
        if name in seen or not os.path.isfile(name):
            continue
        seen.add(name)
        try:
            text = engine.smbconf.init_txt(name)
            sections = [text.get_share(share) for share in text.share_names()]
        except Exception:
            return None
        for _, parameters in sections:
            for key, value in parameters:
                if engine.plain_name(key) in ("include", "configfile"):
                    if "%" in value:
                        return True
                    files.append(value.strip())
    return False


def judge(conf, ancestors):
    """What Samba's loader says, from a fresh process. When the engine
    itself crashes, that is noted, and the loader asked again around the
    crash, so that the scan is still judged."""
    crash = None
    for patched in (False, True):
        answer = judge_in_child(conf, ancestors, patched)
        if "crash" not in answer:
            if crash:
                answer["engine crash"] = crash
            return answer
        crash = crash or answer["crash"]
    return {"verdict": None, "engine crash": crash, "macro": None}


def judge_in_child(conf, ancestors, patched, uncertain=None):
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            die_with_parent()
            os.close(read_end)
            null = os.open("/dev/null", os.O_RDWR)
            for fd in (0, 1, 2):
                os.dup2(null, fd)
            try:
                answer = judge_here(conf, ancestors, patched, uncertain)
            except BaseException as error:
                answer = {"crash": repr(error)}
            os.write(write_end, json.dumps(answer).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    data, deadline = b"", time.monotonic() + JUDGE_TIMEOUT
    try:
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([read_end], [], [], left)[0]:
                os.kill(pid, signal.SIGKILL)
                return {"crash": "no answer in %d s" % JUDGE_TIMEOUT}
            chunk = os.read(read_end, 1 << 16)
            if not chunk:
                break
            data += chunk
    finally:
        os.close(read_end)
        _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        return {"crash": "signal %d" % os.WTERMSIG(status)}
    return json.loads(data.decode()) if data else {"crash": "no answer"}


ACCOUNTS = None  # the copy of /etc/passwd with the test's users


def keep_accounts():
    """Lays the test's accounts over /etc/passwd again if a tool rewrote
    the file (useradd replaces it, and the mount stays on the old one)."""
    if ACCOUNTS and os.stat("/etc/passwd").st_ino != os.stat(ACCOUNTS).st_ino:
        mount(ACCOUNTS, "/etc/passwd", None, MS_BIND)


def check(world):
    """Builds the world, asks the scan about every name of the object and
    the loader about the object; gives what is wrong (empty when nothing
    is) and the answers."""
    keep_accounts()
    chains, mounts = [], []
    try:
        chains, mounts = build(world)
        ancestors = []
        for ids in chains:
            ancestors += [i for i in ids if i not in ancestors]
        scans = probe(world["conf"], world["probe"])
        answer = judge(world["conf"], ancestors)
    finally:
        tear_down(world, mounts)
    wrong = []
    if not REGISTRY_WAS_THERE and os.path.exists(DEFAULT_REGISTRY):
        # Made by the engine for this configuration, or for one the other
        # worker ran meanwhile: a fault of the engine's (each kind kept as
        # a case below), taken away again from the test's copy.
        try:
            os.unlink(DEFAULT_REGISTRY)
        except FileNotFoundError:
            pass
        answer.setdefault("engine crash", MADE_REGISTRY)
    verdict = answer["verdict"]
    for name, scan in zip(world["probe"], scans):
        if scan == "no" and verdict is not None and not verdict.startswith(("none", "unloadable")):
            wrong.append("the scan says no for %s, the loader: %s" % (name, verdict))
        elif scan == "error 67" and answer["macro"] is False:
            # (Text Samba cannot read is no evidence either way.)
            wrong.append("the scan refuses %s (67) with no macro in an include or config file" % name)
        elif scan not in ("no", "maybe", "error 67"):
            wrong.append("the scan of %s: %s" % (name, scan))
    return wrong, scans, answer


# --- Drawing configurations -------------------------------------------------

class Draw:
    """One configuration and its world, drawn from one random stream."""

    SECTION_NAMES = ["s1", "s2", "S1", "data", "Data Share", "homes", "HOMES", "printers", "print$", "global",
                     "t1", "IPC$"]
    FOLDER_NAMES = ["d0", "d1", "D1", "sub dir", "a b", "two  blanks", "x#y", "a;b", "50%off", 'q"t', "e=f", "back\\", "hA",
                    "rA"]

    def __init__(self, rng, base):
        self.rng = rng
        self.base = base
        self.c = os.path.join(base, "c")
        self.steps = []
        self.files = {}

    def chance(self, p):
        return self.rng.random() < p

    # The folders, the object and its names.
    def place(self):
        rng, c = self.rng, self.c
        t = os.path.join(c, "t")
        self.on_tmpfs = self.chance(0.2)
        if self.on_tmpfs:
            self.steps.append(("tmpfs", t))
        tree = [t]
        for _ in range(rng.randint(1, 6)):
            parent = rng.choice(tree)
            path = os.path.join(parent, rng.choice(self.FOLDER_NAMES))
            if path not in tree and len(path) - len(t) < 60:
                tree.append(path)
        homes = home_folders(self.base)
        for home, uid in homes:
            if self.chance(0.25):
                tree.append(home.rstrip("/"))
                self.steps.append(("dir", home))
                if self.chance(0.7):
                    self.steps.append(("chown", home, uid))
        self.registry_folders = [os.path.join(t, "rA"), os.path.join(t, "rA", "rB")]
        if self.chance(0.15):
            tree += self.registry_folders
        for path in tree:
            self.steps.insert(1 if self.on_tmpfs else 0, ("dir", path))
        self.tree = tree

        folder = rng.choice(tree)
        kind = rng.choice(["file", "file", "file", "folder", "subfolder"])
        if kind == "file":
            obj = os.path.join(folder, rng.choice(["obj", "o bj"]))
            self.steps.append(("file", obj, "an object\n"))
        elif kind == "folder":
            obj = folder
        else:
            obj = os.path.join(folder, "od")
            self.steps.append(("dir", obj))
        self.obj = obj
        names = [(obj, False)]
        self.probe = [obj]
        self.folders = [p for p in tree]
        ancestors = [p for p in tree if obj == p or obj.startswith(p + "/")]

        if kind == "file" and self.chance(0.2):
            other = os.path.join(rng.choice(tree), "lnk")
            if other != obj:
                self.steps.append(("link", other, obj))
                names.append((other, False))
                self.probe.append(other)
                self.link_folder = os.path.dirname(other)

        self.hidden = False
        self.view = None
        if self.chance(0.3):
            source = rng.choice(ancestors)
            under = rng.choice([os.path.join(c, "b"), rng.choice(tree)])
            point = os.path.join(under, "m")
            if not (point == source or point.startswith(source + "/")) and point not in tree:
                self.steps.append(("bind", point, source))
                view = point + obj[len(source):]
                self.folders += [under, point]
                hide = self.hidden = self.on_tmpfs and not under.startswith(t) and self.chance(0.5)
                if hide:
                    names = [(n, True) for n, _ in names]
                    self.probe = []
                names.append((view, False))
                self.probe.append(view)
                self.view = view
                self.steps.append(("names", None, names))
                if hide:
                    self.steps.append(("detach", t))
                    self.folders = [p for p in self.folders if not p.startswith(t)] + [point]
                names = None
        if names is not None:
            self.steps.append(("names", None, names))

        strict = [p for p in ancestors if p != obj]
        if strict and not self.hidden and self.chance(0.15):
            source = rng.choice(strict)
            link = os.path.join(c, "ln")
            self.steps.append(("symlink", link, source))
            self.probe.append(link + obj[len(source):])
            self.folders.append(link)
        if self.chance(0.15):
            link = os.path.join(c, "sl")
            self.steps.append(("symlink", link, rng.choice(self.folders)))
            self.folders.append(link)

    # Values.
    def share_path(self):
        rng, c = self.rng, self.c
        choice = rng.random()
        if choice < 0.75:
            path = rng.choice(self.folders)
        elif choice < 0.85:
            path = rng.choice([os.path.join(c, "t", "missing"), os.path.join(c, "nope", "x"), self.base])
        elif choice < 0.88:
            path = "/"
        else:
            path = rng.choice(self.folders + [self.obj])
        return self.spell_path(path)

    def spell_path(self, path):
        rng = self.rng
        if self.chance(0.1):
            path += "/"
        if self.chance(0.05):
            path = path.replace("/", "//", 1)
        if self.chance(0.05) and path.count("/") > 1:
            head, tail = path.rsplit("/", 1)
            path = head + "/./" + tail
        if " " in path and self.chance(0.5):
            path = path.replace(" ", rng.choice(["  ", "\t", " \t", ""]))
        if self.chance(0.1):
            path = rng.choice([path + "/%U", path + "/x%S/y", path + "%m", "%H", path + "/%U/" + "in"])
        if self.chance(0.05):
            path = os.path.relpath(path, rng.choice(["/", self.c]))
        if self.chance(0.12):
            path = rng.choice(['"%s"' % path, '"%s' % path, '%s"' % path, '""%s""' % path, '"%s"x' % path])
        return path

    def spell_name(self, name):
        rng = self.rng
        if self.chance(0.3):
            name = "".join(ch.upper() if rng.random() < 0.5 else ch.lower() for ch in name)
        if self.chance(0.1):
            at = rng.randrange(len(name) + 1)
            name = name[:at] + rng.choice([" ", "  ", "\t"]) + name[at:]
        if self.chance(0.02):
            at = rng.randrange(len(name) + 1)
            name = name[:at] + rng.choice(["\v", "\f"]) + name[at:]
        return name

    def line(self, name, value, joined=True):
        rng = self.rng
        lead = rng.choice(["", "", "\t", "   "] + (["\v", "\f"] if self.chance(0.03) else []))
        equals = rng.choice([" = ", "=", " =", "= ", "\t=\t"])
        trail = rng.choice(["", "", " ", "\t"] + (["\f", "\v", "\r"] if self.chance(0.03) else []))
        text = lead + self.spell_name(name) + equals + value + trail
        if joined and self.chance(0.06) and len(text) > 2:
            at = rng.randrange(1, len(text))
            text = text[:at] + "\\\n" + text[at:]
        return text

    def noise(self):
        rng = self.rng
        lines = []
        if self.chance(0.15):
            lines.append(rng.choice(["# a comment", "; a comment", "  # indented", "#", ";path = /"]))
        if self.chance(0.05):
            lines.append(rng.choice(["# ends in a backslash \\", "; so does this\\"]))
        if self.chance(0.04):
            lines.append(self.line(rng.choice(["read only", "vfs objects", "browseable", "comment"]),
                                   rng.choice(["no", "acl_xattr", "a\\", "x"])))
        if self.chance(0.01):
            lines.append(rng.choice(["junk without equals", "path"]))
        return lines

    def yes_no(self, yes):
        words = ["yes", "true", "1", "on"] if yes else ["no", "false", "0", "off"]
        word = self.rng.choice(words)
        return word.upper() if self.chance(0.2) else word

    # Files.
    def fragment(self, count):
        """An included file: parameters for the section it is read in, and
        sections of its own."""
        rng = self.rng
        path = os.path.join(self.c, "inc", "f%d.conf" % count)
        lines = []
        if self.chance(0.5):
            lines += self.section_body(rng.randint(0, 3), count)
        for _ in range(rng.randint(0, 2)):
            lines += self.section(count)
        self.write(path, lines)
        return path

    def include_value(self, count):
        rng = self.rng
        choice = rng.random()
        if choice < 0.6 and count > 0:
            return self.spell_include(os.path.join(self.c, "inc", "f%d.conf" % rng.randrange(count)))
        if choice < 0.75:
            return self.spell_include(os.path.join(self.c, "inc", "missing.conf"))
        if choice < 0.85 and count > 0:
            target = os.path.join(self.c, "inc", "f%d.conf" % rng.randrange(count))
            macro = rng.choice(["%U", "%m", "%S", "%I", "%L"])
            return target[:-5] + macro + ".conf" if self.chance(0.5) else target.replace("/f", "/%s/f" % macro, 1)
        if choice < 0.9:
            return "registry" if self.chance(0.7) else "Registry"
        return os.path.join(self.c, "inc", "missing%U.conf") if self.chance(0.3) else "inc/f0.conf"

    def config_file_value(self, count):
        """A configuration smbd switches to: a whole one, with Samba's
        folders its own."""
        rng = self.rng
        choice = rng.random()
        if choice < 0.5:
            path = os.path.join(self.c, "inc", "cf%d.conf" % len(self.config_files))
            self.config_files.append(path)
            lines = ["[global]"] + self.folder_lines()
            for _ in range(rng.randint(0, 2)):
                lines += self.section(count)
            self.write(path, lines)
            return self.spell_include(path)
        if choice < 0.65:
            return os.path.join(self.c, "inc", "missing.conf")
        if choice < 0.8:
            return os.path.join(self.c, "inc", rng.choice(["cf%m.conf", "%U", "cf.%I"]))
        if choice < 0.9:
            return os.path.join(self.c, "smb.conf")
        return self.include_value(count)

    def folder_lines(self):
        return [self.line(name, os.path.join(self.base, folder), joined=False) for name, folder in
                zip(("private dir", "lock directory", "state directory", "cache directory"), SAMBA_FOLDERS)]

    def spell_include(self, path):
        if self.chance(0.08):
            path = '"%s"' % path
        elif self.chance(0.05):
            path = os.path.relpath(path, HERE)
        return path

    def section_body(self, n, count):
        rng = self.rng
        lines = []
        for _ in range(n):
            lines += self.noise()
            choice = rng.random()
            if choice < 0.45:
                lines.append(self.line(rng.choice(["path", "path", "directory", "Path"]), self.share_path()))
            elif choice < 0.65:
                lines.append(self.line(rng.choice(["printable", "print ok", "printok"]), self.yes_no(self.chance(0.6))))
            elif choice < 0.7:
                lines.append(self.line("available", self.yes_no(False)))
            elif choice < 0.78 and self.named:
                lines.append(self.line("copy", rng.choice(self.named)))
            elif choice < 0.88:
                lines.append(self.line("include", self.include_value(count)))
            elif choice < 0.9:
                lines.append(self.line("config file", self.config_file_value(count)))
            elif choice < 0.93:
                lines.append(self.line("-valid", "no"))
            elif choice < 0.96:
                lines.append(self.line("usershare path", self.usershare_folder()))
            else:
                lines.append(self.line("comment", rng.choice(["a share", "ends in \\", ""])))
        return lines

    def section(self, count):
        rng = self.rng
        name = rng.choice(self.SECTION_NAMES + self.named if self.named and self.chance(0.2) else
                          self.SECTION_NAMES)
        spelled = self.spell_name(name) if name.lower() not in ("homes",) or self.chance(0.5) else name
        header = rng.choice(["[%s]", "[ %s ]", " [%s]", "[%s] # trailing"]) % spelled
        if self.chance(0.01):
            header = "[" + spelled
        lines = [header]
        self.named.append(name)
        lines += self.section_body(rng.randint(0, 4), count)
        return lines

    def usershare_folder(self):
        return os.path.join(self.c, self.rng.choice(["us", "us", "us2"]))

    def write(self, path, lines):
        newline = "\r\n" if self.chance(0.1) else "\n"
        text = newline.join(line.replace("\\\n", "\\" + newline) for line in lines)
        if lines and self.chance(0.9):
            text += newline
        self.steps.append(("file", path, text))

    def usershares(self):
        rng = self.rng
        for folder in ("us", "us2"):
            path = os.path.join(self.c, folder)
            self.steps.append(("dir", path))
            if folder == "us2":
                continue
            for _ in range(rng.randint(0, 3)):
                name = rng.choice(["u1", "U2", "mine", ".hidden"])
                lines = [line for line in ["#VERSION 2", "path=" + rng.choice(self.folders + [self.obj]),
                                           "comment=", "usershare_acl=S-1-1-0:F,", "guest_ok=n",
                                           "sharename=" + name] if self.chance(0.8)]
                newline = "\r\n" if self.chance(0.1) else "\n"
                self.steps.append(("file", os.path.join(path, name), newline.join(lines) + newline))

    def configuration(self):
        rng = self.rng
        self.named = []
        self.config_files = []
        conf = os.path.join(self.c, "smb.conf")
        fragments = rng.choice([0, 0, 1, 2, 3])
        for count in range(fragments):
            self.fragment(count)
        self.usershares()
        top = []
        if self.chance(0.95):
            top.append(rng.choice(["[global]", "[GLOBAL]", "[ global ]", "[Global]"]))
        top += self.folder_lines()
        extras = [
            (0.3, lambda: self.line("usershare path", self.usershare_folder())),
            (0.1, lambda: self.line("usershare max shares", rng.choice(["0", "10"]))),
            (0.05, lambda: self.line("usershare template share", rng.choice(self.SECTION_NAMES))),
            (0.08, lambda: self.line("path", self.share_path())),
            (0.05, lambda: self.line("printable", self.yes_no(True))),
            (0.03, lambda: self.line("available", self.yes_no(False))),
            (0.2, lambda: self.line("include", self.include_value(fragments))),
            (0.08, lambda: self.line("config file", self.config_file_value(fragments))),
            (0.03, lambda: self.line("registry shares", self.yes_no(True))),
        ]
        # The registry as the whole configuration: Samba's default state
        # folder has none, and the engine must refuse without making one.
        # (Only under a plain [global]: the engine looks for the setting
        # there alone.)
        if top[0].lower() == "[global]" and self.chance(0.01) and not REGISTRY_WAS_THERE:
            extras.append((1, lambda: self.line("config backend", "registry")))
        for p, make in extras:
            if self.chance(p):
                top += self.noise() + [make()]
        lines = top
        for _ in range(rng.randint(0, 5)):
            lines += self.section(fragments)
        self.write(conf, lines)
        self.conf = conf

    def world(self):
        self.place()
        self.configuration()
        return {"root": self.c, "conf": self.conf, "steps": self.steps, "probe": self.probe}


def home_folders(base):
    c = os.path.join(base, "c", "t")
    return [(os.path.join(c, "hA"), 61001), (os.path.join(c, "hB", "hC"), 61002), (os.path.join(c, "hD") + "/", 61003)]


def draw(run, index, base):
    rng = random.Random(run * 1000003 + index)
    return Draw(rng, base).world()


def worker_base(scratch, worker):
    return os.path.join(scratch, "w%d" % worker)


def prepare_worker(scratch, worker):
    """A worker's own Samba folders, with a registry holding shares of its
    world's folders, made by Samba's own tool."""
    base = worker_base(scratch, worker)
    for folder in ("private", "lock", "state", "cache"):
        os.makedirs(os.path.join(base, folder))
    conf = os.path.join(base, "registry.conf")
    with open(conf, "w") as f:
        f.write("[global]\n" + "".join("%s = %s\n" % (name, os.path.join(base, folder)) for name, folder in
                                      (("private dir", "private"), ("lock directory", "lock"),
                                       ("state directory", "state"), ("cache directory", "cache"))))
        f.write("include = registry\n")
    t = os.path.join(base, "c", "t")
    for command in (["conf", "addshare", "r1", os.path.join(t, "rA")],
                    ["conf", "addshare", "r2", os.path.join(t, "rA", "rB")],
                    ["conf", "setparm", "r2", "printable", "yes"],
                    ["conf", "addshare", "r3", os.path.join(base, "c", "rC")]):
        subprocess.run(["net", "-s", conf, *command], check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    return base


def minimise(world):
    """Drops lines of the world's files one at a time while the scan and
    the loader still disagree: what is left is the case."""
    def kinds(found):
        return {message.split(" for ")[0].split(" (")[0] for message in found}
    wanted = kinds(check(world)[0])

    def wrong(w):
        try:
            return kinds(check(w)[0]) == wanted
        except Exception:
            return False
    steps = list(world["steps"])
    for at, step in enumerate(steps):
        if step[0] != "file":
            continue
        lines = step[2].split("\n")
        i = 0
        while i < len(lines):
            if any(os.path.join(os.path.dirname(world["root"]), folder) in lines[i] for folder in SAMBA_FOLDERS):
                i += 1  # Samba's own folders stay the test's
                continue
            trial = lines[:i] + lines[i + 1:]
            steps[at] = ("file", step[1], "\n".join(trial))
            if wrong(dict(world, steps=steps)):
                lines = trial
            else:
                i += 1
        steps[at] = ("file", step[1], "\n".join(lines))
    return dict(world, steps=steps)


def describe(world):
    lines = []
    for step in world["steps"]:
        if step[0] == "file":
            # Control characters shown as Python writes them.
            text = "".join(ch if ch in "\n\t" or " " <= ch < "\x7f" else repr(ch)[1:-1] for ch in step[2])
            lines.append("--- %s\n%s" % (step[1], text))
        else:
            lines.append(" ".join(str(part) for part in step))
    lines.append("probe: %s" % world["probe"])
    return "\n".join(lines)


def run_worker(scratch, worker, indexes, out):
    base = worker_base(scratch, worker)
    results = {"configurations": 0, "wrong": [], "engine crashes": {}, "verdicts": {}}
    for index in indexes:
        world = draw(RUN, index, base)
        try:
            wrong, scans, answer = check(world)
        except Exception as error:
            where = traceback.extract_tb(error.__traceback__)[-1]
            wrong, scans, answer = ["the world could not be made: %r (%s:%d)" % (error, where.name, where.lineno)], [], \
                {"verdict": None}
        results["configurations"] += 1
        key = "%s / %s" % (answer["verdict"] and answer["verdict"].split(" ")[0], ",".join(sorted(set(scans))))
        results["verdicts"][key] = results["verdicts"].get(key, 0) + 1
        if "engine crash" in answer:
            crash = results["engine crashes"].setdefault(answer["engine crash"], [0, index])
            crash[0] += 1
        if wrong:
            results["wrong"].append({"index": index, "wrong": wrong})
    with open(out, "w") as f:
        json.dump(results, f)


# --- The cases found, each kept as one small configuration -----------------

def pinned_cases(scratch):
    """(name, world) for every kind of disagreement found so far: the scan
    must say maybe where the loader finds a share."""
    base = worker_base(scratch, 0)
    c = os.path.join(base, "c")
    t = os.path.join(c, "t")
    g = "[global]\n" + "".join("%s = %s\n" % (name, os.path.join(base, folder)) for name, folder in
                               zip(("private dir", "lock directory", "state directory", "cache directory"),
                                   SAMBA_FOLDERS))
    home, uid = home_folders(base)[0]
    other_home = os.path.join(c, "t", "hX")  # the home of an account that /etc/passwd does not hold

    def world(conf, steps=(), folder=t):
        obj = os.path.join(folder, "obj")
        steps = [("dir", folder), ("file", obj, "x\n")] + list(steps)
        steps.append(("names", None, [(obj, False)]))
        steps.append(("file", os.path.join(c, "smb.conf"), g + conf))
        return {"root": c, "conf": os.path.join(c, "smb.conf"), "steps": steps, "probe": [obj]}

    return [
        ("quotes around part of a path: the value as written",
         world('[s]\npath = "%s"x\n' % t)),
        ("form feeds and vertical tabs are white space",
         world("[s]\n\fpath\v= %s\f\n" % t)),
        ("a comment ends with its line, backslash or not",
         world("[s]\n# a note \\\npath = %s\n" % t)),
        ("a backslash with blanks after it joins lines",
         world("[s]\npath = %s\ncomment = a\\ \npath = %s/missing\n" % (t, c))),
        ("a run of white space reads as one",
         world("[s]\npath = %s/two \t blanks\n" % c, folder=os.path.join(c, "two blanks"))),
        ("a path in [global] serves the later sections, printable there or not",
         world("printable = yes\ninclude = %s/inc.conf\n[s]\nprintable = no\n" % c,
               [("file", os.path.join(c, "inc.conf"), "path = %s\n" % t)])),
        ("a printer's section opened again",
         world("[p]\npath = %s\nprintable = yes\n[P]\nprintable = no\n" % t)),
        ("a printer copied",
         world("[p]\npath = %s\nprintable = yes\n[s]\ncopy = p\nprintable = no\n" % t)),
        ("an included file goes on with the section it is read in",
         world("[homes]\ninclude = %s/inc.conf\npath = %s/missing\n" % (c, c),
               [("file", os.path.join(c, "inc.conf"), "[q]\ncomment = q\n"), ("chown", home, uid)], folder=home)),
        ("[ homes ] is another section than [homes]",
         world("[homes]\n[ homes ]\npath = %s/missing\n" % c, [("chown", home, uid)], folder=home)),
        ("a path by client whose fixed part is the object, a file",
         world("[s]\npath = %s/obj/%%U/in\n" % t)),
        ("accounts from another source than files: a [homes] without a path may serve any home",
         world("[homes]\n", [("dir", other_home), ("chown", other_home, 61010),
                              ("file", os.path.join(c, "extrausers", "passwd"),
                               "zscanextra:x:61010:61010::%s:/bin/false\n" % other_home),
                              ("file", os.path.join(c, "nsswitch.conf"), "passwd: files sss extrausers\n"),
                              ("bind", EXTRA_ACCOUNTS, os.path.join(c, "extrausers")),
                              ("bind file", "/etc/nsswitch.conf", os.path.join(c, "nsswitch.conf"))],
               folder=other_home)),
        ("a user share folder named outside [global] is not one",
         world("usershare path = %s/us\n[s]\nusershare path = %s/none\n" % (c, c),
               [("file", os.path.join(c, "us", "mine"), "path=%s\n" % t)])),
    ]


def other_mount_case(scratch):
    """The object's folder is bind-mounted into a share too; zirm is given
    the object by its own path, and sees only the folders above it."""
    base = worker_base(scratch, 0)
    c = os.path.join(base, "c")
    folder, obj = os.path.join(c, "t", "d"), os.path.join(c, "t", "d", "obj")
    point = os.path.join(c, "share", "m")
    conf = os.path.join(c, "smb.conf")
    steps = [("dir", folder), ("file", obj, "x\n"), ("bind", point, folder),
             ("names", None, [(obj, False), (os.path.join(point, "obj"), False)]),
             ("file", conf, "[global]\nstate directory = %s/state\n[s]\npath = %s/share\n" % (base, c))]
    return {"root": c, "conf": conf, "steps": steps, "probe": [obj]}


def linked_in_a_mounted_folder_case(scratch):
    """The object has a second link; its folder, on a file system of its
    own, is bind-mounted inside a share's folder; zirm is given the link,
    whose folders show neither the share nor the mount."""
    base = worker_base(scratch, 0)
    c = os.path.join(base, "c")
    t = os.path.join(c, "t")
    obj, link = os.path.join(t, "d", "obj"), os.path.join(t, "l", "link")
    point = os.path.join(c, "share", "m")
    conf = os.path.join(c, "smb.conf")
    steps = [("tmpfs", t), ("file", obj, "x\n"), ("dir", os.path.dirname(link)), ("link", link, obj),
             ("bind", point, os.path.dirname(obj)),
             ("names", None, [(obj, False), (link, False), (os.path.join(point, "obj"), False)]),
             ("file", conf, "[global]\nstate directory = %s/state\n[s]\npath = %s/share\n" % (base, c))]
    return {"root": c, "conf": conf, "steps": steps, "probe": [link]}


class ShareScanTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not PROBE:
            raise unittest.SkipTest("SCAN_PROBE names no program")
        if not namespace_is_private():
            raise AssertionError("run me in a private mount namespace (unshare --mount --propagation private)")
        cls.scratch = tempfile.mkdtemp(prefix="zirm-scan-")
        # Samba's own folder, as this test alone sees it: a copy, so that
        # what the engine may make there (it must not) harms nothing, and
        # is seen here and nowhere else.
        copy = os.path.join(cls.scratch, "samba-home")
        shutil.copytree(SAMBA_HOME, copy, symlinks=True)
        mount(copy, SAMBA_HOME, None, MS_BIND)
        # Users whose homes are folders of the worlds, seen by this test
        # alone: a copy of the accounts laid over /etc/passwd.
        with open("/etc/passwd") as f:
            accounts = f.read()
        for worker in range(WORKERS):
            for n, (home, uid) in enumerate(home_folders(worker_base(cls.scratch, worker))):
                accounts += "zscan%d%d:x:%d:%d::%s:/bin/false\n" % (worker, n, uid, uid, home)
        global ACCOUNTS
        ACCOUNTS = os.path.join(cls.scratch, "passwd")
        with open(ACCOUNTS, "w") as f:
            f.write(accounts)
        keep_accounts()
        for worker in range(WORKERS):
            prepare_worker(cls.scratch, worker)

    @classmethod
    def tearDownClass(cls):
        # (The mounts go with the namespace; the copies go now.)
        try:
            unmount(SAMBA_HOME)
        finally:
            shutil.rmtree(cls.scratch, ignore_errors=True)

    def test_pinned_cases(self):
        for name, world in pinned_cases(self.scratch):
            with self.subTest(case=name):
                wrong, scans, answer = check(world)
                self.assertFalse(answer["verdict"] is None or answer["verdict"].startswith(("none", "unloadable")),
                         "the case no longer puts the object in a share")
                self.assertEqual(wrong, [], describe(world))

    def test_folder_mounted_elsewhere(self):
        # The object named by its own folders while one of them is mounted
        # in a share too.
        wrong, scans, answer = check(other_mount_case(self.scratch))
        self.assertEqual(answer["verdict"], "share s")
        self.assertEqual(wrong, [])

    def test_link_in_a_folder_mounted_in_a_share(self):
        # By the link's name, the scan must not say no, and the engine, told
        # only the link's folders and that the object has names on its
        # device that they do not show, must not place it outside every
        # share: the loader, told every name, places it in one.
        world = linked_in_a_mounted_folder_case(self.scratch)
        wrong, scans, answer = check(world)
        self.assertEqual(answer["verdict"], "share s")
        self.assertEqual(wrong, [])
        chains, mounts = build(world)
        try:
            link = world["probe"][0]
            told = judge_in_child(world["conf"], chain(link), False, os.stat(link).st_dev)
        finally:
            tear_down(world, mounts)
        self.assertEqual(told["verdict"], "unusable othernames")

    # Faults the engine script had, each on its smallest case.
    def engine_answer(self, text, files=()):
        folder = tempfile.mkdtemp(dir=self.scratch)
        for name, content in files:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(content)
        conf = os.path.join(folder, "smb.conf")
        with open(conf, "w") as f:
            f.write(text.format(folder=folder, base=worker_base(self.scratch, 0)))
        return judge_in_child(conf, [], False), folder

    def test_engine_reads_settings_before_any_section(self):
        # Samba's reader of the text (smbconf.init_txt) crashes on it.
        answer, _ = self.engine_answer("state directory = {base}/state\nworkgroup = X\n")
        self.assertNotIn("crash", answer)

    def test_engine_makes_no_registry_for_a_spaced_global(self):
        # Samba takes [ global ] and [globals] for [global]; the engine's
        # guard looks for [global] alone.
        answer, _ = self.engine_answer("[ global ]\nconfig backend = registry\n")
        made = os.path.exists(DEFAULT_REGISTRY) and not REGISTRY_WAS_THERE
        if made:
            os.unlink(DEFAULT_REGISTRY)  # from the test's copy of the folder
        self.assertFalse(made)

    def test_engine_makes_no_registry_for_text_it_cannot_read(self):
        # A line Samba's reader of the text cannot read hides the setting
        # from the engine's guard; Samba's loader still takes it.
        answer, _ = self.engine_answer("[global]\nconfig backend = registry\n[broken\n")
        made = os.path.exists(DEFAULT_REGISTRY) and not REGISTRY_WAS_THERE
        if made:
            os.unlink(DEFAULT_REGISTRY)  # from the test's copy of the folder
        self.assertFalse(made)

    def test_engine_makes_no_registry_for_registry_shares(self):
        answer, folder = self.engine_answer("[global]\nstate directory = {folder}\nlock directory = {folder}\n"
                                            "registry shares = yes\n")
        self.assertFalse(os.path.exists(os.path.join(folder, "registry.tdb")))

    def test_engine_reads_a_user_share_that_is_not_utf8(self):
        answer, _ = self.engine_answer("[global]\nstate directory = {base}/state\nusershare path = {folder}\n",
                                       [("bad", b"path=/tmp\xff\n")])
        self.assertNotIn("crash", answer)

    def test_drawn_configurations(self):
        print("\nrun number %d (SHARE_SCAN_RUN=%d replays it)" % (RUN, RUN), file=sys.stderr)
        if ONE is not None:
            world = draw(RUN, int(ONE), worker_base(self.scratch, 0))
            wrong, scans, answer = check(world)
            print(describe(world), "\nscan:", scans, "\nloader:", answer, file=sys.stderr)
            if wrong:
                print("\ncut down:\n" + describe(minimise(world)), file=sys.stderr)
            self.assertEqual(wrong, [])
            return
        started = time.monotonic()
        pids, outs = [], []
        for worker in range(WORKERS):
            out = os.path.join(self.scratch, "results%d.json" % worker)
            outs.append(out)
            pid = os.fork()
            if pid == 0:
                code = 1
                try:
                    die_with_parent()
                    run_worker(self.scratch, worker, range(worker, COUNT, WORKERS), out)
                    code = 0
                finally:
                    os._exit(code)
            pids.append(pid)
        for pid in pids:
            _, status = os.waitpid(pid, 0)
            self.assertEqual(status, 0, "a worker failed")
        results = [json.load(open(out)) for out in outs]
        done = sum(r["configurations"] for r in results)
        verdicts = {}
        for r in results:
            for key, n in r["verdicts"].items():
                verdicts[key] = verdicts.get(key, 0) + n
        print("%d configurations in %.1f s; loader / scan: %s" % (done, time.monotonic() - started,
                                                                  json.dumps(verdicts, sort_keys=True)),
              file=sys.stderr)
        for r in results:
            for crash, (n, index) in r["engine crashes"].items():
                print("the engine failed %d times (%s), e.g. SHARE_SCAN_ONE=%d" % (n, crash, index),
                      file=sys.stderr)
        wrong = [w for r in results for w in r["wrong"]]
        for w in sorted(wrong, key=lambda w: w["index"])[:10]:
            print("SHARE_SCAN_RUN=%d SHARE_SCAN_ONE=%d: %s" % (RUN, w["index"], "; ".join(w["wrong"])),
                  file=sys.stderr)
        self.assertEqual(done, COUNT)
        self.assertEqual(len(wrong), 0, "%d configurations where the scan is wrong" % len(wrong))


if __name__ == "__main__":
    unittest.main()
