"""A real Samba server sees what zirm wrote.

smbd runs as root on 127.0.0.1:445 only, with all its state under a
scratch folder, and two shares that keep NT ACLs in security.NTACL: one
writing version-4 blobs (system ACLs kept in step), one version 3. ACLs are
set and read back through the server with smbcacls, a real SMB client;
zirm runs on the share's backing files in between.
"""

import os
import shutil
import subprocess
import tempfile
import unittest

from sambaserver import SHARES, SambaServer, port_445_free
from sambatool import read_blob

ZIRM = os.environ["ZIRM"]
EVERYONE = "S-1-1-0"
FILE_READ_DATA = 0x1
FILE_LIST_DIRECTORY = 0x1
FILE_WRITE_DATA = 0x2


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


class SambaServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("smbd must run as root")
        if not port_445_free():
            raise unittest.SkipTest("cannot bind 127.0.0.1:445 (smbcacls of this Samba always dials 445)")
        cls.server = SambaServer(tempfile.mkdtemp(prefix="zirm-smbd-"))
        cls.dir = cls.server.dir
        try:
            cls.server.start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
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


if __name__ == "__main__":
    unittest.main()
