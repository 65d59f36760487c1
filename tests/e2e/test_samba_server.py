"""A real Samba server sees what zirm wrote.

smbd runs as root on 127.0.0.1:445 only, with all its state under a
scratch folder, and two shares that keep NT ACLs in security.NTACL: one
writing version-4 blobs (system ACLs kept in step), one version 3. ACLs are
set and read back through the server with smbcacls, a real SMB client;
zirm runs on the share's backing files in between.
"""

import contextlib
import functools
import itertools
import os
import pwd
import shutil
import subprocess
import tempfile
import unittest

import engines
from descriptors import from_sddl, meaning
from sambaserver import PERMISSIVE, SHARES, SambaServer, own_network_for_servers, posix_acls
from sambatool import parse_blob, read_blob, v1_blob

ZIRM = os.environ["ZIRM"]
EVERYONE = "S-1-1-0"
FILE_READ_DATA = 0x1
FILE_LIST_DIRECTORY = 0x1
FILE_WRITE_DATA = 0x2
FILE_ADD_FILE = 0x2
SECINFO_OWNER, SECINFO_GROUP, SECINFO_DACL = 1, 2, 4


def mount_points():
    with open("/proc/self/mountinfo") as f:
        return sorted(line.split()[4] for line in f)


def stored(mask):
    """What smbd stores for a mask: its generic rights mapped."""
    for generic, specific in ((0x80000000, 0x00120089), (0x40000000, 0x00120116), (0x20000000, 0x001200A0),
                              (0x10000000, 0x001F01FF)):
        if mask & generic:
            mask = (mask & ~generic) | specific
    return mask


def expected_mask(mask, flags, directory, generic, specific):
    if not directory:
        return stored(generic)
    if flags == 0x02:
        return specific
    if flags in (0x01, 0x08, 0x09):
        return stored(generic)
    return mask


LETTERS = {"r": (0x80000000, 0x00120089), "w": (0x40000000, 0x00120116), "x": (0x20000000, 0x001200A0)}


def masks(access):
    generic = specific = 0
    for letter in access:
        generic |= LETTERS[letter][0]
        specific |= LETTERS[letter][1]
    return generic, specific


def served_state(server, share, name, directory=False):
    """What smbd serves for the object, its mode and POSIX ACLs, and what
    the second user may do with it."""
    path = server.share_path(share, name.replace("\\", "/"))
    conn = server.connect(share, "zirmtest1")
    served = meaning(conn.get_acl(name, SECINFO_OWNER | SECINFO_GROUP | SECINFO_DACL))
    acls = posix_acls(path)
    can = (server.can_open(share, name, FILE_READ_DATA, directory=directory),
           server.can_open(share, name, FILE_ADD_FILE if directory else FILE_WRITE_DATA, directory=directory))
    return {"served": served, "mode": oct(os.stat(path).st_mode), "posix acls": acls, "second user can": can}


def changed_by_the_rule(sd, access, directory):
    """What zirm.exe sends from a Windows client: the DACL, its Everyone
    entries given the new mask by the tool's rule."""
    from samba.dcerpc import security

    generic, specific = masks(access)
    aces = []
    for ace in sd.dacl.aces:
        if str(ace.trustee) == EVERYONE:
            if not directory or ace.flags in (0x01, 0x08, 0x09):
                ace.access_mask = generic
            elif ace.flags == 0x02:
                ace.access_mask = specific
        aces.append(ace)
    dacl = security.acl()
    dacl.revision = 2
    dacl.aces = aces
    dacl.num_aces = len(aces)
    sd.dacl = dacl
    return sd


def set_over_smb(server, share, name, access, directory=False):
    """What zirm.exe does from a Windows client: the served DACL, its
    Everyone entries changed by the tool's rule, set by the owner."""
    conn = server.connect(share, "zirmtest1")
    conn.set_acl(name, changed_by_the_rule(conn.get_acl(name, SECINFO_DACL), access, directory), SECINFO_DACL)


class SambaServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        own_network_for_servers()
        cls.server = SambaServer(tempfile.mkdtemp(prefix="zirm-smbd-"))
        cls.dir = cls.server.dir
        try:
            # An engine left by an earlier test is not this one's to judge.
            engines.stop()
            cls.server.configure()
            cls.add_other_shares()
            cls.server.add_users()
            cls.server.start_daemon()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def add_other_shares(cls):
        """Shares from elsewhere than the file's sections, made with Samba's
        own tools: "reg" in the registry, "mine" a user share served with a
        template section that is not a share itself; "inner", inside a share
        with other ACL settings, which must not be used for its files; and a
        share whose folder is missing, which must not stop the others."""
        usershares = os.path.join(cls.dir, "usershares")
        os.mkdir(usershares)
        os.chmod(usershares, 0o1770)  # smbd's rule for the user-share folder
        with open(cls.server.conf, "a") as f:
            f.write("[global]\ninclude = registry\n"
                    f"usershare path = {usershares}\nusershare max shares = 10\nusershare template share = tmpl\n"
                    "[tmpl]\n-valid = no\npath = /nonexistent/template\nread only = no\nvfs objects = acl_xattr\n" + "\n".join(PERMISSIVE)
                    + f"\n[outer]\npath = {cls.server.share_path('outer')}\nvfs objects = acl_tdb\n"
                    + f"[inner]\npath = {cls.server.share_path('outer', 'inner')}\nread only = no\n"
                    + "vfs objects = acl_xattr\n" + "\n".join(PERMISSIVE)
                    + "\n[gone]\npath = /nonexistent/zirm-share\n")
        cls.server.nested["inner"] = os.path.join("outer", "inner")
        for name in ("outer", "inner"):
            os.mkdir(cls.server.share_path(name))
            os.chmod(cls.server.share_path(name), 0o777)
        net = ["net", "-s", cls.server.conf]
        for name in ("reg", "mine"):
            os.mkdir(cls.server.share_path(name))
            os.chmod(cls.server.share_path(name), 0o777)
        for command in [["conf", "addshare", "reg", cls.server.share_path("reg"), "writeable=y", "guest_ok=n"],
                        ["conf", "setparm", "reg", "vfs objects", "acl_xattr"]] + \
                       [["conf", "setparm", "reg", *line.split(" = ")] for line in PERMISSIVE] + \
                       [["usershare", "add", "mine", cls.server.share_path("mine"), "", "S-1-1-0:F", "guest_ok=n"]]:
            subprocess.run(net + command, check=True, capture_output=True, stdin=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        engines.stop()
        cls.server.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def client(self, share, command, user="zirmtest1"):
        return self.server.client(share, command, user)

    def cacls(self, share, name, *arguments):
        done = subprocess.run(self.server.cacls_command(share, name, *arguments), capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return done.stdout

    def acl(self, share, name):
        """CONTROL, OWNER, GROUP and the entries as (sid, type, flags, mask)."""
        header, entries = {}, []
        for line in self.cacls(share, name).splitlines():
            key, _, value = line.partition(":")
            if key == "ACL":
                sid, _, rest = value.partition(":")
                kind, flags, mask = rest.split("/")
                entries.append((sid, int(kind), int(flags, 16), int(mask, 16)))
            elif key in ("CONTROL", "OWNER", "GROUP"):
                header[key] = value
        return header, entries

    def create(self, share, name, directory):
        command = f"mkdir {name}" if directory else f"put {os.path.abspath(__file__)} {name}"
        done = self.client(share, command)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return os.path.join(self.dir, share, name)

    def owner_sid(self, share, name):
        return self.acl(share, name)[0]["OWNER"]

    # The checks.

    def test_rewrites_seen_by_the_server(self):
        cases = [
            # name, directory, access, entries as (sid or None for the owner, type, flags, mask), protect
            ("file", False, "rw",
             [(None, 0, 0, 0x1F01FF), (EVERYONE, 1, 0, 0x10000), (EVERYONE, 0, 0, 0x1200A9),
              ("S-1-5-32-545", 0, 0, 0x1200A9)], False),
            ("file_inherited", False, "x",
             [(EVERYONE, 0, 0x10, 0x1200A9), (None, 0, 0, 0x1F01FF)], False),
            ("dir", True, "rwx",
             [(None, 0, 0x03, 0x1F01FF)] + [(EVERYONE, 0, flags, 0x1200A9)
                                            for flags in (0x00, 0x01, 0x02, 0x03, 0x08, 0x09, 0x0A, 0x0B, 0x06)]
             + [(EVERYONE, 1, 0x02, 0x40000)], False),
            ("protected", True, "r",
             [(None, 0, 0x03, 0x1F01FF), (EVERYONE, 0, 0x09, 0x1200A9), (EVERYONE, 0, 0x02, 0x1200A9)], True),
            ("no_everyone", False, "rwx", [(None, 0, 0, 0x1F01FF), ("S-1-5-32-545", 0, 0, 0x1200A9)], False),
        ]
        for share in SHARES:
            for name, directory, access, entries, protect in cases:
                with self.subTest(share=share, case=name):
                    path = self.create(share, name, directory)
                    owner = self.owner_sid(share, name)
                    acl = ",".join(f"ACL:{sid or owner}:{kind}/0x{flags:x}/0x{mask:08x}"
                                   for sid, kind, flags, mask in entries)
                    self.cacls(share, name, "-S", f"REVISION:1,OWNER:{owner},GROUP:{owner},{acl}")
                    if protect:
                        self.cacls(share, name, "-I", "copy")
                    self.assertEqual(read_blob(path)[0], int(share[1]), "the server wrote another version")
                    header, before = self.acl(share, name)

                    done = subprocess.run([ZIRM, access, path], capture_output=True, text=True)
                    self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "", ""))

                    after_header, after = self.acl(share, name)
                    self.assertEqual(after_header, header)
                    if protect:
                        self.assertTrue(int(header["CONTROL"], 16) & 0x1000)
                    generic, specific = masks(access)
                    self.assertEqual(len(after), len(before))
                    for (sid, kind, flags, mask), seen in zip(before, after):
                        if sid == EVERYONE:
                            mask = expected_mask(mask, flags, directory, generic, specific)
                        self.assertEqual(seen, (sid, kind, flags, mask))

    def test_what_a_second_user_can_do(self):
        """The letters decide what another user may do over SMB: a stored
        generic right would grant nothing."""
        cases = [("r", True, False), ("rw", True, True), ("", False, False), ("w", False, True)]
        for share in SHARES:
            for access, can_read, can_write in cases:
                with self.subTest(share=share, access=access):
                    name = f"effect_{access or 'none'}"
                    path = self.create(share, name, False)
                    owner = self.owner_sid(share, name)
                    self.cacls(share, name, "-S", f"REVISION:1,OWNER:{owner},GROUP:{owner},"
                                                  f"ACL:{owner}:0/0x0/0x001f01ff,ACL:{EVERYONE}:0/0x0/0x001f01ff")
                    self.assertEqual((self.server.can_open(share, name, FILE_READ_DATA),
                                      self.server.can_open(share, name, FILE_WRITE_DATA)), (True, True),
                                     "the second user cannot use the file even before zirm")

                    done = subprocess.run([ZIRM, access, path], capture_output=True, text=True)
                    self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "", ""))
                    self.assertEqual(self.server.can_open(share, name, FILE_READ_DATA), can_read, "read")
                    self.assertEqual(self.server.can_open(share, name, FILE_WRITE_DATA), can_write, "write")

    def test_what_is_created_inside_inherits_usable_rights(self):
        """Files and folders made over SMB in a directory inherit what zirm
        gave its OI|IO and CI Everyone entries, and a second user can use them."""
        for share in SHARES:
            with self.subTest(share=share):
                path = self.create(share, "parent", True)
                owner = self.owner_sid(share, "parent")
                # Full access first, so that the POSIX ACLs smbd derives let
                # everyone in and the NT ACL decides.
                self.cacls(share, "parent", "-S", f"REVISION:1,OWNER:{owner},GROUP:{owner},"
                                                  f"ACL:{owner}:0/0x3/0x001f01ff,ACL:{EVERYONE}:0/0x9/0x001f01ff,"
                                                  f"ACL:{EVERYONE}:0/0x2/0x001f01ff")
                done = subprocess.run([ZIRM, "rx", path], capture_output=True, text=True)
                self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "", ""))

                conn = self.server.connect(share, "zirmtest1")
                conn.savefile("parent\\made.txt", b"made over SMB\n")
                conn.mkdir("parent\\made")
                self.assertTrue(self.server.can_open(share, "parent\\made.txt", FILE_READ_DATA), "read the file")
                self.assertFalse(self.server.can_open(share, "parent\\made.txt", FILE_WRITE_DATA), "write the file")
                self.assertTrue(self.server.can_open(share, "parent\\made", FILE_LIST_DIRECTORY, directory=True),
                                "list the folder")
                self.assertEqual(self.server.connect(share, "zirmtest2").loadfile("parent\\made.txt"),
                                 b"made over SMB\n")

    def test_empty_access_refuses_a_read(self):
        share = "v4"
        path = self.create(share, "readable", False)
        owner = self.owner_sid(share, "readable")
        self.cacls(share, "readable", "-S",
                   f"REVISION:1,OWNER:{owner},GROUP:{owner},ACL:{owner}:0/0x0/0x001f01ff,ACL:{EVERYONE}:0/0x0/0x001200a9")
        target = os.path.join(self.dir, "copy")
        done = self.client(share, f"get readable {target}", user="zirmtest2")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

        done = subprocess.run([ZIRM, "", path], capture_output=True, text=True)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "", ""))
        done = self.client(share, f"get readable {target}", user="zirmtest2")
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("NT_STATUS_ACCESS_DENIED", done.stdout + done.stderr)

    # Samba's own engine, on the server, for the files its shares serve.

    def zirm_on_server(self, access, path, conf=None, engine=None):
        """One run; "warm": through the engine that runs share, which must be
        there afterwards; "cold": with a helper of its own, no engine used or
        started. Whatever the engine mounts stays out of our mount table."""
        env = dict(os.environ, SMB_CONF_PATH=conf or self.server.conf)
        mounts = mount_points()
        if engine == "cold":
            engines.stop()
        with engines.cold() if engine == "cold" else contextlib.nullcontext():
            done = subprocess.run([ZIRM, access, path], capture_output=True, text=True, env=env)
        self.assertEqual(mount_points(), mounts, "a mount made for the engine is seen by the run's caller")
        if engine is not None:
            self.assertEqual(bool(engines.engines()), engine == "warm", f"the run was not {engine}")
        return done

    def test_zirm_on_the_server_does_what_a_client_does_over_smb(self):
        """Twins: A is changed by zirm on the server, B by its owner over
        SMB with the same DACL. Afterwards smbd must serve the same for both,
        their modes and POSIX ACLs must be the same, and so must what a
        second user can do, with them and with what is made inside."""
        uid, gid = pwd.getpwnam("zirmtest1").pw_uid, pwd.getpwnam("zirmtest1").pw_gid
        inheritable = (f"D:(A;OICI;0x001f01ff;;;{{owner}})(A;OIIO;0x001f01ff;;;{EVERYONE})"
                       f"(A;CI;0x001f01ff;;;{EVERYONE})")
        cases = [
            # name, share, directory, how each twin is made, access
            ("made", "v4", False, "over smb", "rw"),
            ("chmodded", "v4", False, "chmod 0644 since", "rw"),
            ("server", "v4", False, "on the server", "rw"),
            ("narrowed", "v4", False, "over smb", ""),
            ("folder", "v4", True, inheritable, "rx"),
            ("ignored", "v3", False, "over smb", "rw"),
            ("tdb", "tdb", False, "over smb", "rw"),
            ("registry", "reg", False, "over smb", "rw"),
            ("registry folder", "reg", True, inheritable, "rx"),
            ("user share", "mine", False, "over smb", "rw"),
            ("nested share", "inner", False, "over smb", "rw"),
            ("sub\\alias", "v4", False, "over smb", "rw"),
        ]
        alias = os.path.join(self.dir, "alias")
        os.mkdir(alias)
        self.server.connect("v4", "zirmtest1").mkdir("sub")
        # The warm runs first, so that all but the first find the engine running.
        for engine, (case, share, directory, making, access) in itertools.product(("warm", "cold"), cases):
            with self.subTest(case=case, share=share, engine=engine):
                name = f"{case} {engine}"
                conn = self.server.connect(share, "zirmtest1")
                state = functools.partial(served_state, self.server, share)
                for twin in ("A", "B"):
                    twin_name = name + twin
                    path = self.server.share_path(share, twin_name)
                    if making == "on the server":
                        with open(path, "w") as f:
                            f.write("made on the server\n")
                        os.chown(path, uid, gid)
                        os.chmod(path, 0o644)
                    elif directory:
                        conn.mkdir(twin_name)
                        owner = self.owner_sid(share, twin_name)
                        from samba.dcerpc import security
                        sd = security.descriptor.from_sddl(making.format(owner=owner), security.dom_sid(owner))
                        conn.set_acl(twin_name, sd, SECINFO_DACL)
                    else:
                        conn.savefile(twin_name, b"made over SMB\n")
                        if making.startswith("chmod"):
                            os.chmod(path, 0o644)
                self.assertEqual(state(name + "A", directory), state(name + "B", directory),
                                 "the twins differ before the change")

                if name.startswith("sub\\"):
                    # Named through a bind mount of the share's subfolder,
                    # outside the share.
                    subprocess.run(["mount", "--bind", self.server.share_path(share, "sub"), alias], check=True)
                    try:
                        done = self.zirm_on_server(access, os.path.join(alias, name[4:] + "A"), engine=engine)
                    finally:
                        subprocess.run(["umount", alias], check=True)
                else:
                    done = self.zirm_on_server(access, self.server.share_path(share, name + "A"), engine=engine)
                self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "", ""))
                set_over_smb(self.server, share, name + "B", access, directory)

                self.assertEqual(state(name + "A", directory), state(name + "B", directory))
                if directory:
                    for twin in ("A", "B"):
                        conn.savefile(f"{name}{twin}\\child", b"made inside\n")
                    self.assertEqual(state(f"{name}A\\child"), state(f"{name}B\\child"), "what is made inside differs")

    def test_which_store_and_what_is_refused(self):
        """A file outside every share keeps today's in-place edit; a user's
        share goes through the engine; configurations that cannot say which
        share serves the object, and files its engine cannot open, fail
        loudly with nothing written, and nothing created in Samba's folders."""
        from samba.dcerpc import security

        with open(self.server.conf) as f:
            global_section = f.read().split("\n[")[0] + "\n"
        folder = os.path.join(self.dir, "stores")
        usershares = os.path.join(self.dir, "own-usershares")
        linked = os.path.join(self.dir, "linked")
        empty_state = os.path.join(self.dir, "empty-state")
        for made in (folder, usershares, linked, empty_state):
            os.mkdir(made)
        with open(os.path.join(usershares, "mine"), "w") as f:
            f.write(f"path={folder}\ncomment=\nusershare_acl=S-1-1-0:F,\nguest_ok=n\nsharename=mine\n")
        fixed_state = "\n".join(line for line in global_section.splitlines() if "state directory" not in line)
        failed = "GetFileSecurity() failed.\n\t"
        loaded = failed + "The Samba configuration cannot be loaded.\n"
        by_client = failed + "Which Samba share serves this object depends on the client that connects.\n"
        cases = [
            # name, the configuration (None: SMB_CONF_PATH names nothing), what zirm prints
            ("outside every share", global_section, ""),
            ("outside, a share's folder missing", global_section + "[gone]\npath = /nonexistent/zirm\n", ""),
            ("outside, its share not available", global_section + f"[off]\npath = {folder}\navailable = no\n", ""),
            ("a share that keeps no NT ACLs", global_section + f"[plain]\npath = {folder}\nnt acl support = no\n",
             failed + "The file system cannot store security descriptors.\n"),
            ("in a user's share", global_section + f"usershare path = {usershares}\nusershare max shares = 10\n", ""),
            ("configuration missing", None, loaded),
            ("configuration broken", global_section + "[broken\n", loaded),
            ("configuration a folder", folder, loaded),
            ("a share's path named by macros", global_section + f"[own]\npath = {folder}/%U\n", by_client),
            ("an include per client", global_section + f"include = {self.dir}/by-client.%m.conf\n", by_client),
            ("a config file per client", global_section + f"config file = {self.dir}/%I.conf\n", by_client),
            ("the registry missing", fixed_state + f"\nstate directory = {empty_state}\ninclude = registry\n",
             failed + "The Samba registry cannot be read.\n"),
            ("another link in a share", global_section + f"[linked]\npath = {linked}\n",
             failed + "The object has other names that a Samba share may serve: name it inside its share.\n"),
            ("two shares of one folder", global_section + f"[one]\npath = {folder}\nvfs objects = acl_xattr\n"
                                                          f"[two]\npath = {folder}\nvfs objects = acl_tdb\n",
             failed + "Two Samba shares serve this folder with different ACL settings.\n"),
            ("a share's VFS module not installed",
             global_section + f"[one]\npath = {folder}\nvfs objects = acl_xattr zirm_not_installed\n",
             failed + "A VFS module that the Samba share names is not installed.\n"),
            ("a file the engine cannot open", global_section + f"[one]\npath = {folder}\n",
             "SetFileSecurity() failed.\n\tA parameter is out of range.\n"),
        ]
        sd = security.descriptor.from_sddl("D:(A;;0x001f01ff;;;WD)", security.dom_sid("S-1-5-32"))
        blob = v1_blob(sd)
        for name, conf_text, printed in cases:
            with self.subTest(case=name):
                path = os.path.join(folder, name.replace(" ", "_").replace("'", "").replace(",", ""))
                with open(path, "w") as f:
                    f.write("a file\n")
                os.chmod(path, 0o644)
                os.setxattr(path, "security.NTACL", blob)
                if name == "another link in a share":
                    os.link(path, os.path.join(linked, "link"))
                conf = conf_text if conf_text in (folder, None) else os.path.join(self.dir, "test.conf")
                if conf_text not in (folder, None):
                    with open(conf, "w") as f:
                        f.write(conf_text)
                before = (os.listxattr(path), read_blob(path), os.stat(path).st_mode)
                mounts_before = {n for n in os.listdir("/tmp") if n.startswith("zirm-") and len(n) == 11}
                immutable = name.startswith("a file the engine")
                if immutable:
                    subprocess.run(["chattr", "+i", path], check=True)
                try:
                    done = self.zirm_on_server("rw", path, conf or "/nonexistent/smb.conf")
                finally:
                    if immutable:
                        subprocess.run(["chattr", "-i", path], check=True)
                self.assertEqual((done.stdout, done.stderr, done.returncode), (printed, "", 1 if printed else 0))
                self.assertEqual({n for n in os.listdir("/tmp") if n.startswith("zirm-") and len(n) == 11},
                                 mounts_before, "a mount point was left behind")
                self.assertEqual(os.listdir(empty_state), [], "something was created in Samba's state folder")
                after = (os.listxattr(path), read_blob(path), os.stat(path).st_mode)
                if printed:
                    self.assertEqual(after, before, "something was written")
                elif name.startswith("outside"):
                    self.assertEqual((after[0], after[2]), (before[0], before[2]), "POSIX was changed")
                    self.assertEqual(meaning(parse_blob(after[1]).info), from_sddl("D:(A;;0x0012019f;;;WD)"))
                else:
                    # Samba's engine: the POSIX ACL and mode follow the DACL.
                    self.assertIn("system.posix_acl_access", after[0])
                    self.assertEqual(after[2] & 0o006, 0o006)


    def test_a_share_file_without_samba_engine(self):
        """A configuration with the file in a share, but python3-samba gone
        (its folder hidden, in a mount namespace of the test's own): the
        run says so, writes nothing and leaves no engine."""
        import samba

        path = self.create("v4", "no_engine", False)
        before = (os.listxattr(path), read_blob(path), os.stat(path).st_mode)
        engines.stop()
        with engines.MountNamespace() as without:
            without.run(["mount", "-t", "tmpfs", "none", os.path.dirname(samba.__file__)], check=True)
            done = without.run(["env", f"SMB_CONF_PATH={self.server.conf}", ZIRM, "rw", path])
        self.assertEqual((done.stdout, done.stderr, done.returncode),
                         ("GetFileSecurity() failed.\n\tSamba's ACL engine (python3-samba) is not installed.\n", "",
                          1))
        self.assertEqual((os.listxattr(path), read_blob(path), os.stat(path).st_mode), before, "something was written")
        self.assertEqual(engines.engines(), set(), "an engine was started")

    def test_a_file_system_seen_only_through_a_mount_of_its_folder(self):
        """A file system whose root is mounted nowhere, as a subvolume's or
        a bound folder's often is: its folders above the mount are seen by
        no one, smbd included, so a share on that file system that does not
        hold the object by its name cannot hold it by another."""
        with open(self.server.conf) as f:
            global_section = f.read().split("\n[")[0] + "\n"
        scratch = tempfile.mkdtemp(prefix="zirm-mounts-")
        conf = os.path.join(scratch, "smb.conf")
        with open(conf, "w") as f:
            f.write(global_section + f"[inside]\npath = {scratch}/alias/share\n")
        # In a mount namespace of its own: a file system with its folder
        # a/b bound at alias, then its root unmounted.
        script = f"""set -e
            cd {scratch}; mkdir fs alias; mount -t tmpfs none fs; mkdir -p fs/a/b/share
            echo data > fs/a/b/file; mount --bind fs/a/b alias; umount fs
            /usr/bin/python3 -c 'import os, sys
from samba.dcerpc import security, xattr
from samba.ndr import ndr_pack
n = xattr.NTACL(); n.version = 1
n.info = security.descriptor.from_sddl("D:(A;;0x001f01ff;;;WD)", security.dom_sid("S-1-5-32"))
os.setxattr(sys.argv[1], "security.NTACL", ndr_pack(n))' alias/file
            SMB_CONF_PATH={conf} {ZIRM} rw alias/file && echo status $?
            getfattr --only-values -n security.NTACL alias/file | od -An -tx1 | tr -d ' \\n'"""
        try:
            done = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", script],
                                  capture_output=True, text=True, timeout=60)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        printed, _, blob = done.stdout.partition("status 0\n")
        self.assertEqual(printed, "")
        self.assertEqual(meaning(parse_blob(bytes.fromhex(blob)).info), from_sddl("D:(A;;0x0012019f;;;WD)"))


if __name__ == "__main__":
    unittest.main()
