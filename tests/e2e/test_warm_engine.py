"""The engine that consecutive runs share, where sharing it could go wrong.

One engine serves run after run, so each run must be served by the
configuration as it is then; the engine can be killed at any moment; it
and its run folder are reached by name, so another user may have taken
the name first; it lingers after the last run, and must then go, with
nothing left behind; and many runs may come at once. smbd on 127.0.0.1:445
and Samba's own parser judge what each run did.
"""

import concurrent.futures
import contextlib
import ctypes
import json
import os
import pwd
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

import engines
from descriptors import meaning
from sambaserver import SambaServer, own_network_for_servers
from sambatool import parse_blob
from test_samba_server import served_state, set_over_smb

ZIRM = os.environ["ZIRM"]
NOBODY = pwd.getpwnam("nobody")
STOPPED = "Samba's ACL engine stopped unexpectedly.\n"
EVERYONE_RW = (0, 0, 0x0012019F, "S-1-1-0")  # Everyone's entry after zirm rw, generic rights mapped
# How long the engine may stay after the last run: it leaves after 5 idle seconds.
LINGER_SECONDS = 8
HELPER_MOUNT = re.compile(r"zirm-\w{6}$")  # where a run's own helper mounts the object


def version_1_blob():
    from samba.dcerpc import security, xattr
    from samba.ndr import ndr_pack

    ntacl = xattr.NTACL()
    ntacl.version = 1
    ntacl.info = security.descriptor.from_sddl("D:(A;;0x001f01ff;;;WD)(A;;0x001f01ff;;;BA)",
                                               security.dom_sid("S-1-5-32"))
    return ndr_pack(ntacl)


VERSION_1_BLOB = version_1_blob()


def judged(path):
    """The descriptor as Samba's parser reads it from the attribute (and its
    blob's version), the POSIX ACL and the mode."""
    try:
        blob = parse_blob(os.getxattr(path, "security.NTACL"))
        sd = blob.info if blob.version == 1 else blob.info.sd
        stored = (blob.version, meaning(sd))
    except OSError:
        stored = None
    try:
        acl = os.getxattr(path, "system.posix_acl_access")
    except OSError:
        acl = None
    return stored, acl, oct(os.stat(path).st_mode)


def helper_mount_points():
    return {name for name in os.listdir("/tmp") if HELPER_MOUNT.match(name)}


def tracer(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"^TracerPid:\s*(\d+)", f.read(), re.M).group(1))


def strace(**inject):
    """A run under strace that holds one of its calls back: call=when."""
    (call, when), = inject.items()
    return ["strace", "-o", "/dev/null", "-e", f"trace={call}", "-e",
            f"inject={call}:delay_enter=3000000:when={when}"]


def become_nobody(*unused):
    """In a forked child: another user, holding none of the test's streams,
    nor the ends of its pipes that are not the child's."""
    null = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)
    for fd in unused:
        os.close(fd)
    os.setgroups([])
    os.setgid(NOBODY.pw_gid)
    os.setuid(NOBODY.pw_uid)


def as_nobody(work):
    """work() in a child process of another user; what it returns (JSON)
    comes back. The child is ended however this ends."""
    reading, writing = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            become_nobody(reading)
            os.write(writing, json.dumps(work()).encode())
        finally:
            os._exit(0)
    os.close(writing)
    try:
        data = b""
        while select.select([reading], [], [], 30)[0]:
            chunk = os.read(reading, 1 << 16)
            if not chunk:
                break
            data += chunk
        return json.loads(data) if data else None
    finally:
        os.close(reading)
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)


@contextlib.contextmanager
def listening_as_nobody(name):
    """Another user's process listening on the engine's name before any
    engine does; what it was sent, in the dict once the block ends."""
    ready_r, ready_w = os.pipe()
    stop_r, stop_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            # Ends when told to, or when the test is gone.
            become_nobody(ready_r, stop_w)
            server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            server.bind("\0" + name)
            server.listen(8)
            os.write(ready_w, b"listening\n")
            got = {"connections": 0, "bytes": 0, "descriptors": 0}
            while stop_r not in select.select([server, stop_r], [], [])[0]:
                connection, _ = server.accept()
                got["connections"] += 1
                connection.settimeout(1)
                with contextlib.suppress(OSError):
                    while True:
                        data, fds, _, _ = socket.recv_fds(connection, 1 << 16, 4)
                        got["bytes"] += len(data)
                        got["descriptors"] += len(fds)
                        if not data:
                            break
                connection.close()
            os.write(ready_w, json.dumps(got).encode())
        finally:
            os._exit(0)
    received = {}
    try:
        if not select.select([ready_r], [], [], 10)[0] or os.read(ready_r, 64) != b"listening\n":
            raise RuntimeError("the other user's process does not listen")
        yield received
        os.write(stop_w, b"stop")
        if select.select([ready_r], [], [], 30)[0]:
            received.update(json.loads(os.read(ready_r, 1 << 16)))
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        for fd in (ready_r, ready_w, stop_r, stop_w):
            os.close(fd)


class HelperMounts:
    """Every helper mount point made in /tmp while it watches (inotify):
    a run that did not use the shared engine made one."""
    IN_CREATE = 0x100

    def __enter__(self):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0 or self.libc.inotify_add_watch(self.fd, b"/tmp", self.IN_CREATE) < 0:
            raise OSError(ctypes.get_errno(), "inotify")
        return self

    def made(self):
        names, data = [], b""
        with contextlib.suppress(BlockingIOError):
            while True:
                data += os.read(self.fd, 1 << 16)
        while data:
            _, _, _, length = struct.unpack_from("iIII", data)
            names.append(data[16:16 + length].rstrip(b"\0").decode())
            data = data[16 + length:]
        return [name for name in names if HELPER_MOUNT.match(name)]

    def __exit__(self, *exception):
        os.close(self.fd)


class WarmEngineTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        own_network_for_servers()
        cls.server = SambaServer(tempfile.mkdtemp(prefix="zirm-warm-"))
        try:
            # An engine left by an earlier test is not this one's to judge.
            engines.stop()
            cls.server.start()
            cls.conn = cls.server.connect("v4", "zirmtest1")
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        engines.stop()
        cls.server.stop()
        shutil.rmtree(cls.server.dir, ignore_errors=True)

    def setUp(self):
        self.addCleanup(engines.stop)

    def run_zirm(self, path, conf=None, access="rw", prefix=(), timeout=60):
        env = dict(os.environ, SMB_CONF_PATH=conf or self.server.conf)
        return subprocess.run([*prefix, ZIRM, access, path], capture_output=True, text=True, env=env,
                              timeout=timeout)

    def assertRan(self, done, printed=""):
        self.assertEqual((done.returncode, done.stdout, done.stderr), (1 if printed else 0, printed, ""))

    def twins(self, name, count=2):
        """Files alike, made over SMB in the v4 share."""
        for twin in "ABC"[:count]:
            self.conn.savefile(name + twin, b"made over SMB\n")
        return self.server.share_path("v4", name + "A")

    def engine(self):
        """The one engine running; one is started by a run first."""
        running = engines.engines()
        if not running:
            self.assertRan(self.run_zirm(self.twins(f"start{time.monotonic_ns()}", 1)))
            running = engines.engines()
        self.assertEqual(len(running), 1, "not one engine")
        engine = running.pop()
        # It outlives the run that started it: in that run's folder, it
        # would keep the folder's file system from being unmounted.
        self.assertEqual(os.readlink(f"/proc/{engine}/cwd"), "/", "the engine keeps a folder busy")
        return engine

    def test_each_run_is_served_by_the_configuration_of_its_time(self):
        """One engine serves every run below, each of them after a change of
        what the configuration is made of (its text, an included file, a
        config file, the registry, the user shares, the users' homes, the
        mounts the run sees), with another one named, or from another mount
        namespace where another file is bound over the one named: what Samba
        stores, and whether it maps the DACL to POSIX, must follow the
        configuration the run itself sees, from the very next run."""
        with open(self.server.conf) as f:
            original = f.read()
        v4_section = original[original.index("[v4]"):original.index("[v3]")]
        without_v4 = original.replace(v4_section, "")
        ignored = original.replace("ignore system acls = no", "ignore system acls = yes")
        folder = self.server.dir
        changing, other, bound = (os.path.join(folder, name) for name in ("changing.conf", "other.conf", "bound.conf"))
        included, config_file = os.path.join(folder, "included.conf"), os.path.join(folder, "config-file.conf")
        usershares = os.path.join(folder, "usershares")
        added = self.server.share_path("added")
        for made in (added, usershares):
            os.mkdir(made)
        v4_settings = v4_section.split("\n", 1)[1]
        with_include = original.replace(v4_section, v4_section.replace("acl_xattr:ignore system acls = no",
                                                                       f"include = {included}"))
        with_config_file = original.replace("[v4]", f"config file = {config_file}\n[v4]", 1)
        with_registry = without_v4.replace("[v3]", "include = registry\n[v3]", 1)
        # Only Samba can list the registry's shares, so the cheap reading of
        # smb.conf always asks the engine: the runs below ask the loaded
        # engine also where no share holds their file.
        with_usershares = with_registry.replace("[v3]", f"usershare path = {usershares}\nusershare max shares = 10\n"
                                                        "usershare template share = tmpl\n[v3]", 1) \
            + "[tmpl]\n-valid = no\n" + v4_settings.replace("path =", "comment =")
        with_homes = with_registry + "[homes]\n" + v4_settings.replace("path =", "comment =")
        home = pwd.getpwnam("zirmtest1").pw_dir
        net = ["net", "-s", changing, "conf"]

        def write(path, text):
            def change():
                with open(path, "w") as f:
                    f.write(text)
            return change

        def remove(path):
            return lambda: os.unlink(path)

        def run(*commands):
            return lambda: [subprocess.run(command, check=True, capture_output=True, stdin=subprocess.DEVNULL)
                            for command in commands]

        def made_home(owner):
            def change():
                os.makedirs(home, exist_ok=True)
                os.chown(home, owner, owner)
            return change

        if os.path.exists(home):
            self.skipTest(f"{home} is there already: the test makes it, as another owner's first")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        elsewhere = engines.MountNamespace()
        self.addCleanup(elsewhere.close)
        registry_v4 = [[*net, "addshare", "v4", self.server.share_path("v4"), "writeable=y", "guest_ok=n"]] + \
            [[*net, "setparm", "v4", *line.split(" = ", 1)] for line in v4_settings.strip().splitlines()
             if not line.startswith(("path", "read only"))]
        cases = [
            # the change made before the run, the file named, where the run is made ("here", or "elsewhere":
            # another mount namespace), the folder of the run's file; then what Samba's parser finds in the
            # attribute: the blob's version, whether Everyone's entry there was changed; and whether the DACL
            # was mapped to a POSIX ACL
            ("as it was", write(changing, original), changing, "here", "v4", 4, True, True),
            ("system ACLs ignored", write(changing, ignored), changing, "here", "v4", 3, True, False),
            ("another VFS module", write(changing, original.replace(v4_section, v4_section.replace("acl_xattr",
                                                                                                "acl_tdb"))),
             changing, "here", "v4", 1, False, True),
            ("the share removed", write(changing, without_v4), changing, "here", "v4", 1, True, False),
            ("a share added", write(changing, original + f"[added]\npath = {added}\nvfs objects = acl_xattr\n"),
             changing, "here", "added", 4, True, True),
            ("another configuration named", write(other, ignored), other, "here", "v4", 3, True, False),
            ("as it was again", write(changing, original), changing, "here", "v4", 4, True, True),
            ("its setting in an included file", lambda: (write(included, "acl_xattr:ignore system acls = no\n")(),
                                                         write(changing, with_include)()),
             changing, "here", "v4", 4, True, True),
            ("the included file changed", write(included, "acl_xattr:ignore system acls = yes\n"), changing,
             "here", "v4", 3, True, False),
            ("a config file named, not there", write(changing, with_config_file), changing, "here", "v4",
             4, True, True),
            ("the config file made", write(config_file, ignored), changing, "here", "v4", 3, True, False),
            ("the config file changed", write(config_file, original), changing, "here", "v4", 4, True, True),
            ("the share kept in the registry", lambda: (write(changing, with_registry)(), run(*registry_v4)()),
             changing, "here", "v4", 4, True, True),
            ("the registry changed", run([*net, "setparm", "v4", "acl_xattr:ignore system acls", "yes"]),
             changing, "here", "v4", 3, True, False),
            ("the share gone from the registry", run([*net, "delshare", "v4"]), changing, "here", "v4",
             1, True, False),
            ("a user share", lambda: (write(os.path.join(usershares, "v4"),
                                            f"path={self.server.share_path('v4')}\n")(),
                                      write(changing, with_usershares)()),
             changing, "here", "v4", 4, True, True),
            ("the user share changed", write(os.path.join(usershares, "v4"), "path=/nonexistent/zirm\n"), changing,
             "here", "v4", 1, True, False),
            ("a user share added", write(os.path.join(usershares, "again"), f"path={self.server.share_path('v4')}\n"),
             changing, "here", "v4", 4, True, True),
            ("a home that is not its user's", lambda: (made_home(0)(), write(changing, with_homes)()), changing,
             "here", home, 1, True, False),
            ("the home now its user's", made_home(pwd.getpwnam("zirmtest1").pw_uid), changing, "here", home,
             4, True, True),
            ("as it was, from another mount namespace", write(changing, original), changing, "elsewhere", "v4",
             4, True, True),
            ("another file bound over it there", lambda: (write(bound, ignored)(),
                                                          elsewhere.run(["mount", "--bind", bound, changing],
                                                                        check=True)),
             changing, "elsewhere", "v4", 3, True, False),
            ("here again, nothing changed", None, changing, "here", "v4", 4, True, True),
            ("there again, nothing changed", None, changing, "elsewhere", "v4", 3, True, False),
        ]
        served_by = None
        for i, (name, change, conf, where, folder, version, changed, mapped) in enumerate(cases):
            with self.subTest(case=name):
                if change is not None:
                    change()
                path = os.path.join(self.server.share_path(folder), f"config{i}")
                with open(path, "w") as f:
                    f.write("a file\n")
                os.chmod(path, 0o644)
                # A version-1 blob: Samba takes it as it is, and leaves it alone on an acl_tdb share.
                os.setxattr(path, "security.NTACL", VERSION_1_BLOB)

                if where == "here":
                    done = self.run_zirm(path, conf)
                else:
                    done = elsewhere.run(["env", f"SMB_CONF_PATH={conf}", ZIRM, "rw", path])
                self.assertRan(done)
                (stored_version, sd), acl, _ = judged(path)
                self.assertEqual((stored_version, EVERYONE_RW in dict(sd)["dacl"], acl is not None),
                                 (version, changed, mapped))
                running = engines.engines()
                self.assertEqual(len(running), 1)
                served_by = served_by or running
                self.assertEqual(running, served_by, "another engine served the run")

    def test_samba_upgraded_under_a_running_engine(self):
        """One of Samba's module files replaced (bound over with a copy, in a
        mount namespace of the test's own, where the engine runs): the engine
        that loaded the old one serves no more, and a new one serves the
        next run, as if alone."""
        from samba.samba3 import smbd

        engines.stop()
        with engines.MountNamespace() as upgraded:
            copy = os.path.join(self.server.dir, "smbd-module-copy.so")
            shutil.copy2(smbd.__file__, copy)
            runs = []
            for twin in "AB":
                self.conn.savefile(f"upgraded{twin}", b"made over SMB\n")
                path = self.server.share_path("v4", f"upgraded{twin}")
                runs.append(upgraded.run(["env", f"SMB_CONF_PATH={self.server.conf}", ZIRM, "rw", path]))
                runs.append(engines.engines())
                if twin == "A":
                    upgraded.run(["mount", "--bind", copy, smbd.__file__], check=True)
        first, before, second, after = runs
        self.assertRan(first)
        self.assertRan(second)
        self.assertEqual(len(before), 1, "no engine served the first run")
        self.assertEqual(len(after), 1, "no engine serves the run after the upgrade")
        self.assertNotEqual(after, before, "the engine of the old modules served on")
        self.conn.savefile("upgradedC", b"made over SMB\n")
        set_over_smb(self.server, "v4", "upgradedC", "rw")
        self.assertEqual(served_state(self.server, "v4", "upgradedB"), served_state(self.server, "v4", "upgradedC"))

    def test_an_engine_killed(self):
        """Killed between runs, before it answers, or while a run waits on
        it: a run either ends as it would have, or fails saying so with
        nothing changed; and no later run is kept waiting."""
        cases = [
            # name, the run's call held back, what is killed when it waits, what the run prints
            ("all of it, between runs", None, "all", ""),
            ("the engine, before its first answer", None, "stopped engine", ""),
            # The get goes with the run's first line: its first sendto is the set.
            ("the run's process, before the set", strace(sendto=1), "run's process",
             "SetFileSecurity() failed.\n\t" + STOPPED),
            ("the engine alone, while a run is served", strace(sendto=1), "engine", ""),
        ]
        for i, (name, prefix, victim, printed) in enumerate(cases):
            with self.subTest(case=name):
                engine = self.engine()
                path = self.twins(f"killed{i}", 3)
                before = served_state(self.server, "v4", f"killed{i}A")
                if victim == "all":
                    engines.stop()
                elif victim == "stopped engine":
                    os.kill(engine, signal.SIGSTOP)
                env = dict(os.environ, SMB_CONF_PATH=self.server.conf)
                run = subprocess.Popen([*(prefix or ()), ZIRM, "rw", path], stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, text=True, env=env)
                self.addCleanup(run.kill)
                if victim in ("run's process", "engine"):
                    deadline = time.time() + 10
                    while not engines.children(engine) and time.time() < deadline:
                        time.sleep(0.01)
                    served = engines.children(engine)
                    self.assertTrue(served, "the engine did not serve the run")
                # The run waits: on the stopped engine, or on its held-back call.
                time.sleep(0.5)
                # The run's process is one of the engine's loaded processes:
                # all of them go.
                for pid in (served if victim == "run's process" else {engine} if victim != "all" else ()):
                    os.kill(pid, signal.SIGKILL)
                if victim == "engine":
                    # Its process goes on serving the run; a run now must not
                    # wait for that process, which still holds the old
                    # engine's name if it kept its socket.
                    self.assertRan(self.run_zirm(self.server.share_path("v4", f"killed{i}C"), timeout=60))
                    self.assertIsNone(run.poll(), "the run waited for the old engine's process")
                out, err = run.communicate(timeout=30)
                self.assertEqual((run.returncode, out, err), (1 if printed else 0, printed, ""))
                if victim in ("all", "stopped engine"):
                    self.assertEqual(len(engines.engines()), 1, "the run did not start a new engine")
                set_over_smb(self.server, "v4", f"killed{i}B", "rw")
                after = served_state(self.server, "v4", f"killed{i}A")
                self.assertEqual(after, before if printed else served_state(self.server, "v4", f"killed{i}B"))
                if victim == "engine":
                    self.assertEqual(served_state(self.server, "v4", f"killed{i}C"), after)
                engines.stop()

    def test_a_run_slow_to_read_its_first_answer(self):
        """The engine notes that it reads the registry before it answers: a
        run that reads late finds both lines waiting at once."""
        conf = os.path.join(self.server.dir, "registry.conf")
        with open(self.server.conf) as f, open(conf, "w") as out:
            out.write(f.read().replace("[v4]", "include = registry\n[v4]", 1))
        subprocess.run(["net", "-s", conf, "conf", "listshares"], check=True, capture_output=True)
        self.engine()
        path = self.twins("late")
        self.assertRan(self.run_zirm(path, conf, prefix=strace(poll=1)))
        set_over_smb(self.server, "v4", "lateB", "rw")
        self.assertEqual(served_state(self.server, "v4", "lateA"), served_state(self.server, "v4", "lateB"))

    def test_what_another_user_planted_is_never_used(self):
        """A run folder another user owns or may enter, or the engine's name
        taken first by another user's process: the run goes on with a helper
        of its own, starts no engine, and sends the other user nothing. The
        name that keeps runs on one object apart, taken by another user,
        holds the run up no more than a moment."""
        self.engine()
        name, = engines.socket_names()
        engines.stop()

        def object_lock(path):
            st = os.stat(path)
            return listening_as_nobody("zirm-object-%x-%x" % (st.st_dev, st.st_ino))

        cases = [
            # case, what is planted, what it may be sent, whether an engine starts
            ("run folder of another user", lambda path: engines.run_folder_as(owner=NOBODY.pw_uid), None, False),
            ("run folder anyone may enter", lambda path: engines.run_folder_as(mode=0o777), None, False),
            ("the engine's name taken", lambda path: listening_as_nobody(name), {"bytes": 0, "descriptors": 0},
             False),
            ("the object's lock taken", object_lock, {"bytes": 0, "descriptors": 0}, True),
        ]
        for i, (case, planted, received, started) in enumerate(cases):
            with self.subTest(case=case):
                engines.stop()
                path = self.twins(f"planted{i}")
                with planted(path) as got:
                    begun = time.monotonic()
                    done = self.run_zirm(path)
                    self.assertLess(time.monotonic() - begun, 10, "the run was held up")
                    self.assertEqual(engines.engines() != set(), started, "an engine was started, or not")
                self.assertRan(done)
                if received is not None:
                    self.assertGreater(got.pop("connections"), 0, "the run did not come to the planted name")
                    self.assertEqual(got, received, "the other user was sent something")
                set_over_smb(self.server, "v4", f"planted{i}B", "rw")
                self.assertEqual(served_state(self.server, "v4", f"planted{i}A"),
                                 served_state(self.server, "v4", f"planted{i}B"))

    def test_another_user_gets_no_answer(self):
        """Another user's request, in the form a run sends it, a namespace and
        a descriptor with it: the engine closes the connection without a
        word, and goes on serving its own user."""
        engine = self.engine()
        name, = engines.socket_names()
        namespace = os.open("/proc/self/ns/mnt", os.O_RDONLY)
        anything = os.open(os.devnull, os.O_RDONLY)
        self.addCleanup(os.close, namespace)
        self.addCleanup(os.close, anything)

        def ask():
            client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            client.settimeout(10)
            client.connect("\0" + name)
            answer = b""
            # The engine may have closed the connection before the request is sent.
            with contextlib.suppress(OSError):
                socket.send_fds(client, [f"open\t{self.server.conf}\t1:1\t-\tfile\n".encode()],
                                [namespace, anything])
                while chunk := client.recv(1 << 16):
                    answer += chunk
            return answer.decode("utf-8", "replace")

        self.assertEqual(as_nobody(ask), "")
        path = self.twins("after_nobody")
        self.assertRan(self.run_zirm(path))
        self.assertEqual(engines.engines(), {engine}, "the engine did not go on serving")

    def test_nothing_left_a_while_after_the_last_run(self):
        """No process, socket, mount point or file of zirm's a few seconds
        after the last run, warm or cold."""
        earlier = helper_mount_points()  # left by runs that were killed before this test
        with HelperMounts() as mounts:
            self.engine()
            self.assertRan(self.run_zirm(self.twins("last_warm", 1)))
            with engines.cold():
                self.assertRan(self.run_zirm(self.twins("last_cold", 1)))
            self.assertEqual(len(mounts.made()), 1, "the cold run made no mount point of its own")
        deadline = time.time() + LINGER_SECONDS
        while engines.processes() and time.time() < deadline:
            time.sleep(0.1)
        self.assertEqual(engines.processes(), {}, "engine processes still run")
        self.assertEqual(engines.socket_names(), set())
        self.assertEqual(os.listdir(engines.RUN_DIR), [])
        self.assertEqual(helper_mount_points(), earlier)

    def test_many_runs_at_once(self):
        """Eight runs at a time on 200 files: each ends as it would alone,
        one engine serves them all, and no run has to start a helper of its
        own."""
        engines.stop()
        names = [f"many{i}" for i in range(200)]
        for name in names + ["manyB"]:
            self.conn.savefile(name, b"made over SMB\n")
        set_over_smb(self.server, "v4", "manyB", "rw")
        with HelperMounts() as mounts, concurrent.futures.ThreadPoolExecutor(8) as pool:
            done = list(pool.map(lambda name: self.run_zirm(self.server.share_path("v4", name)), names))
            fell_back = mounts.made()
        for run in done:
            self.assertRan(run)
        self.assertEqual(len(engines.engines()), 1, "not exactly one engine")
        self.assertEqual(fell_back, [], "runs started helpers of their own")
        expected = judged(self.server.share_path("v4", "manyB"))
        self.assertEqual([name for name in names if judged(self.server.share_path("v4", name)) != expected], [])
        self.assertEqual(served_state(self.server, "v4", names[-1]), served_state(self.server, "v4", "manyB"))

    def test_many_runs_at_once_on_one_file(self):
        """Runs with every access, eight at a time on one file: it must end
        as one of them alone would have left it, as each twin changed over
        SMB shows. A change writes two attributes (the POSIX ACL, then the
        descriptor with a hash of it); the engine is slowed between the two,
        so that runs overlap there every time, not once in a while."""
        accesses = ["", "r", "w", "x", "rw", "rx", "wx", "rwx"]
        path = self.server.share_path("v4", "{}")
        alone = set()
        for access in accesses:
            self.conn.savefile(f"one{access or '-'}B", b"made over SMB\n")
            set_over_smb(self.server, "v4", f"one{access or '-'}B", access)
            alone.add(judged(path.format(f"one{access or '-'}B")))
        self.assertEqual(len(alone), len(accesses), "the accesses should end apart")
        self.conn.savefile("oneA", b"made over SMB\n")
        self.engine()
        # The engine and every loaded process it keeps, and those it makes.
        served_by = sorted(engines.processes())
        slowed = subprocess.Popen(["strace", "-f", "-o", "/dev/null", *[f"-p{pid}" for pid in served_by], "-e",
                                   "trace=fsetxattr", "-e", "inject=fsetxattr:delay_exit=300000:when=1"],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(slowed.wait)
        self.addCleanup(slowed.terminate)
        deadline = time.time() + 10
        while any(tracer(pid) != slowed.pid for pid in served_by) and time.time() < deadline:
            time.sleep(0.01)
        self.assertEqual([tracer(pid) for pid in served_by], [slowed.pid] * len(served_by), "strace did not attach")
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            done = list(pool.map(lambda access: self.run_zirm(path.format("oneA"), access=access), accesses))
        for run in done:
            self.assertRan(run)
        self.assertIn(judged(path.format("oneA")), alone)

if __name__ == "__main__":
    unittest.main()
