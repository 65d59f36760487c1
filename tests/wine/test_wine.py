"""zirm.exe under Wine, whose kernel32 and advapi32 none of us wrote.

Wine keeps no DACL of its own for a Linux file: it derives one from the mode
bits and maps a written DACL back onto them, the Everyone entry's generic
read, write and execute becoming the "other" r, w and x bits.
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

import winehost

ZIRM_EXE = os.environ["ZIRM_EXE"]
VERSION_INFO_EXE = os.environ["VERSION_INFO_EXE"]
OBJDUMP = os.environ["OBJDUMP"]

USAGE = ("usage: zirm <access> <filespec>\n"
         "\t<access>   = any combination of the following r,w,x\n"
         "\t<filespec> = name of the file\n")


wine = winehost.run
windows_path = winehost.windows_path
setUpModule = winehost.start
tearDownModule = winehost.stop


class WineTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zirm-wine-")
        self.addCleanup(shutil.rmtree, self.dir)

    def make(self, name, mode, directory=False):
        path = os.path.join(self.dir, name)
        if directory:
            os.mkdir(path)
        else:
            open(path, "w").close()
        os.chmod(path, mode)
        return path

    def test_misuse(self):
        path = self.make("f", 0o666)
        for arguments in ([], ["r"], ["r", windows_path(path), "x"], ["R", windows_path(path)],
                          ["rq", windows_path(path)]):
            with self.subTest(arguments=arguments):
                self.assertEqual(wine(ZIRM_EXE, *arguments), (1, USAGE, ""))
                self.assertEqual(os.stat(path).st_mode & 0o777, 0o666)

    def test_failures(self):
        cases = [
            ("nonexistent", windows_path(os.path.join(self.dir, "missing")), "File not found."),
            ("wildcard", windows_path(self.dir) + "\\*", "Invalid name."),
        ]
        for name, path, text in cases:
            with self.subTest(name):
                self.assertEqual(wine(ZIRM_EXE, "r", path), (1, f"GetFileSecurity() failed.\n\t{text}\n", ""))

    def test_everyone_becomes_other(self):
        cases = [
            # name, mode, directory, access, other bits after
            ("r", 0o666, False, "r", 0o4),
            ("w", 0o666, False, "w", 0o2),
            ("x", 0o666, False, "x", 0o1),
            ("rwx", 0o666, False, "rwx", 0o7),
            ("empty", 0o666, False, "", 0o0),
            ("no Everyone entry", 0o660, False, "rwx", 0o0),
            # Wine gives a directory's entries OI|CI, which the rule leaves alone.
            ("directory", 0o755, True, "w", 0o5),
        ]
        for name, mode, directory, access, other in cases:
            with self.subTest(name):
                path = self.make(name.replace(" ", "_"), mode, directory)
                self.assertEqual(wine(ZIRM_EXE, access, windows_path(path)), (0, "", ""))
                self.assertEqual(os.stat(path).st_mode & 0o7, other)

    def test_version_resource(self):
        status, output, _ = wine(VERSION_INFO_EXE, windows_path(ZIRM_EXE))
        self.assertEqual(status, 0)
        self.assertEqual(output.splitlines(), [
            "FILEVERSION=3.7.0.0",
            "PRODUCTVERSION=3.7.0.0",
            "Translation=0409,1200",
            "FileDescription=Utility",
            "FileVersion=3.7.0.0",
            "ProductVersion=3.7.0.0",
            "ProductName=zirm",
            "InternalName=zirm",
            "OriginalFilename=zirm.exe",
            "CompanyName absent",
            "LegalCopyright absent",
        ])

    def test_pe_header(self):
        header = subprocess.run([OBJDUMP, "-p", ZIRM_EXE], check=True, capture_output=True, text=True).stdout
        self.assertRegex(header, r"Subsystem\s+00000003\s+\(Windows CUI\)")
        self.assertRegex(header, r"MajorSubsystemVersion\s+4\n")
        self.assertRegex(header, r"MinorSubsystemVersion\s+0\n")
        dlls = sorted(name.lower() for name in re.findall(r"DLL Name: (\S+)", header))
        self.assertEqual(dlls, ["advapi32.dll", "kernel32.dll", "msvcrt.dll"])


if __name__ == "__main__":
    unittest.main()
