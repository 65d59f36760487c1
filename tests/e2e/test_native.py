"""The native zirm on real files, judged by Samba's own tools."""

import os
import shutil
import subprocess
import tempfile
import unittest

from descriptors import from_sddl
from sambatool import SambaTool, null_dacl_blob, parse_blob, read_blob, write_blob

ZIRM = os.environ["ZIRM"]

USAGE = ("usage: zirm <access> <filespec>\n"
         "\t<access>   = any combination of the following r,w,x\n"
         "\t<filespec> = name of the file\n")


def zirm(*arguments):
    return subprocess.run([ZIRM, *arguments], capture_output=True, text=True)


class NativeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.samba = SambaTool()

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zirm-e2e-")
        self.addCleanup(shutil.rmtree, self.dir)

    def target(self, name, directory, sddl):
        path = os.path.join(self.dir, name)
        if directory:
            os.mkdir(path)
        else:
            open(path, "w").close()
        if sddl is not None:
            self.samba.set(path, sddl)
        return path

    def test_rewrites(self):
        cases = [
            # name, directory, access, before, after
            ("file", False, "rw",
             "O:BAG:SYD:(A;;0x001f01ff;;;BA)(A;;FR;;;WD)",
             "O:BAG:SYD:(A;;0x001f01ff;;;BA)(A;;0x0012019f;;;WD)"),
            ("file, no Everyone", False, "rwx",
             "O:BAG:SYD:(A;;0x001f01ff;;;BA)(D;;SD;;;BU)",
             "O:BAG:SYD:(A;;0x001f01ff;;;BA)(D;;SD;;;BU)"),
            ("file, denied and allowed, inherited", False, "x",
             "D:(D;;0x001f01ff;;;WD)(A;;0x001f01ff;;;SY)(A;ID;0x001200a9;;;WD)",
             "D:(D;;0x001200a0;;;WD)(A;;0x001f01ff;;;SY)(A;ID;0x001200a0;;;WD)"),
            ("file, empty access", False, "",
             "D:(A;;0x001f01ff;;;WD)",
             "D:(A;;;;;WD)"),
            ("file, empty DACL", False, "r", "O:BAD:", "O:BAD:"),
            # Stored as a Samba server stores generic rights: mapped, in every entry.
            ("file, generic rights elsewhere", False, "w",
             "D:(A;;GA;;;SY)(D;;GWGX;;;BU)(A;;0x001f01ff;;;WD)",
             "D:(A;;0x001f01ff;;;SY)(D;;0x001201b6;;;BU)(A;;0x00120116;;;WD)"),
            ("file, protected", False, "r",
             "D:PAI(A;;0x001f01ff;;;WD)(A;;0x001f01ff;;;BA)",
             "D:PAI(A;;0x00120089;;;WD)(A;;0x001f01ff;;;BA)"),
            ("directory, every inheritance case", True, "rw",
             "D:(A;CI;0x001f01ff;;;WD)(A;OI;0x001f01ff;;;WD)(A;IO;0x001f01ff;;;WD)"
             "(A;OIIO;0x001f01ff;;;WD)(A;;0x001f01ff;;;WD)(A;OICI;0x001f01ff;;;WD)"
             "(A;CIIO;0x001f01ff;;;WD)(A;OICINP;0x001f01ff;;;WD)(A;CIID;0x001f01ff;;;WD)",
             "D:(A;CI;0x0012019f;;;WD)(A;OI;0x0012019f;;;WD)(A;IO;0x0012019f;;;WD)"
             "(A;OIIO;0x0012019f;;;WD)(A;;0x001f01ff;;;WD)(A;OICI;0x001f01ff;;;WD)"
             "(A;CIIO;0x001f01ff;;;WD)(A;OICINP;0x001f01ff;;;WD)(A;CIID;0x001f01ff;;;WD)"),
            ("directory, denied CI", True, "r",
             "D:(D;CI;0x001f01ff;;;WD)(A;OICI;0x001f01ff;;;BA)",
             "D:(D;CI;0x00120089;;;WD)(A;OICI;0x001f01ff;;;BA)"),
            ("directory, owner, group and SACL kept", True, "rwx",
             "O:SYG:BAD:AI(A;OIIO;GR;;;WD)S:(AU;SA;0x001f01ff;;;WD)",
             "O:SYG:BAD:AI(A;OIIO;0x001201bf;;;WD)S:(AU;SA;0x001f01ff;;;WD)"),
        ]
        for name, directory, access, before, after in cases:
            with self.subTest(name):
                path = self.target(name.replace(" ", "_").replace(",", ""), directory, before)
                blob = read_blob(path)
                done = zirm(access, path)
                self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "", ""))
                self.assertEqual(self.samba.meaning(path), from_sddl(after))
                written = read_blob(path)
                parse_blob(written)  # Samba's parser takes every byte
                self.assertEqual(written[:8], blob[:8])

    def test_misuse(self):
        path = self.target("f", False, "D:(A;;0x001f01ff;;;WD)")
        blob = read_blob(path)
        for arguments in ([], ["r"], ["r", path, "x"], ["R", path], ["rq", path], ["r w", path]):
            with self.subTest(arguments=arguments):
                done = zirm(*arguments)
                self.assertEqual((done.returncode, done.stdout, done.stderr), (1, USAGE, ""))
                self.assertEqual(read_blob(path), blob)

    def test_failures(self):
        plain = self.target("plain", False, None)
        cases = [
            ("nonexistent", os.path.join(self.dir, "missing"), "GetFileSecurity() failed.\n\tNo such file.\n"),
            ("below a file", os.path.join(plain, "x"), "GetFileSecurity() failed.\n\tNo such path.\n"),
            ("wildcard", os.path.join(self.dir, "*"), "GetFileSecurity() failed.\n\tThe name is not valid.\n"),
            ("no stored descriptor", plain,
             "GetFileSecurity() failed.\n\tNo security descriptor is stored for this file.\n"),
        ]
        for name, path, output in cases:
            with self.subTest(name):
                done = zirm("r", path)
                self.assertEqual((done.returncode, done.stdout, done.stderr), (1, output, ""))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "*")))
        with self.assertRaises(OSError):
            read_blob(plain)

    def test_symbolic_links(self):
        """A link as the last component is never followed; links among the
        directories are, as the administrator typed them."""
        file = self.target("file", False, "D:(A;;0x001f01ff;;;WD)")
        directory = self.target("dir", True, "D:(A;CI;0x001f01ff;;;WD)")
        blobs = {path: read_blob(path) for path in (file, directory)}
        refused = "GetFileSecurity() failed.\n\tThe name is a symbolic link, which is not followed.\n"
        for name, pointee in (("to_file", file), ("to_dir", directory)):
            with self.subTest(name):
                link = os.path.join(self.dir, name)
                os.symlink(pointee, link)
                done = zirm("r", link)
                self.assertEqual((done.returncode, done.stdout, done.stderr), (1, refused, ""))
                self.assertEqual(os.readlink(link), pointee)
                self.assertEqual(read_blob(pointee), blobs[pointee])

        with self.subTest("a link among the directories"):
            os.symlink(self.dir, os.path.join(self.dir, "alias"))
            done = zirm("r", os.path.join(self.dir, "alias", "dir"))
            self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "", ""))
            self.assertEqual(self.samba.meaning(directory), from_sddl("D:(A;CI;0x00120089;;;WD)"))

    def test_null_dacl_is_left_alone(self):
        path = self.target("null", False, None)
        write_blob(path, null_dacl_blob())
        done = zirm("r", path)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "", ""))
        self.assertEqual(read_blob(path), null_dacl_blob())

    def test_no_dacl_is_left_alone(self):
        path = self.target("nodacl", False, "O:BAG:SY")
        blob = read_blob(path)
        done = zirm("rwx", path)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "", ""))
        self.assertEqual(read_blob(path), blob)


if __name__ == "__main__":
    unittest.main()
