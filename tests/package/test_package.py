"""What is shipped, built by scripts/package.sh and checked with the
ecosystem's own tools: dpkg-deb and lintian for the Debian package, mandoc
for the man page, binutils for the Windows programs, sha256sum for the sums.
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DIST = os.path.join(ROOT, "build", "dist")


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        full = re.search(r"project\(zirm VERSION ([0-9.]+)", f.read()).group(1)
    return full, full.rsplit(".", 1)[0]


FULL_VERSION, VERSION = project_version()
DEB = os.path.join(DIST, f"zirm_{VERSION}_amd64.deb")
ZIPS = {"win64": ("windows", "x86_64-w64-mingw32"), "win32": ("windows-x86", "i686-w64-mingw32")}


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=600, **options)


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        done = run("bash", "scripts/package.sh", cwd=ROOT, stdin=subprocess.DEVNULL)
        if done.returncode != 0:
            raise RuntimeError("scripts/package.sh failed:\n" + done.stdout + done.stderr)

    def test_debian_package(self):
        fields = {name: run("dpkg-deb", "-f", DEB, name).stdout.strip()
                  for name in ("Package", "Version", "Architecture", "Maintainer", "Depends", "Recommends", "Description",
                               "Section")}
        self.assertEqual(fields["Package"], "zirm")
        self.assertEqual(fields["Version"], VERSION)
        self.assertEqual(fields["Architecture"], "amd64")
        self.assertRegex(fields["Maintainer"], r"^[^<>]+ <[^@<>]+@[^@<>]+\.[a-z]+>$")
        self.assertRegex(fields["Depends"], r"\blibc6 \(>= [0-9.]+\)")
        # Without Samba there are no shares, and the in-place store serves.
        self.assertEqual(fields["Recommends"], "python3-samba")
        self.assertTrue(fields["Description"].startswith("change the access of the Everyone entries"))

        contents = run("dpkg-deb", "-c", DEB).stdout
        paths = {line.split()[-1] for line in contents.splitlines()}
        for path in ("./usr/bin/zirm", "./usr/share/man/man1/zirm.1.gz", "./usr/share/doc/zirm/copyright",
                     "./usr/share/doc/zirm/changelog.gz"):
            self.assertIn(path, paths)
        self.assertRegex(contents, r"-rwxr-xr-x root/root .* \./usr/bin/zirm\n")

        done = run("lintian", "--pedantic", DEB)
        tags = [line for line in done.stdout.splitlines() if re.match(r"^[EW]: ", line)]
        self.assertEqual(tags, [], done.stdout + done.stderr)
        self.assertNotIn("E:", done.stdout)

    def test_installed_as_an_administrator_would(self):
        if run("dpkg-query", "-W", "zirm").returncode == 0:
            self.skipTest("zirm is installed on this machine already: not touched")
        done = run("dpkg", "-i", DEB)
        self.addCleanup(run, "dpkg", "--purge", "zirm")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        done = run("/usr/bin/zirm")
        self.assertEqual((done.returncode, done.stdout.splitlines()[0]), (1, "usage: zirm <access> <filespec>"))
        self.assertEqual(run("man", "-w", "zirm").stdout.strip(), "/usr/share/man/man1/zirm.1.gz")
        page = run("man", "-P", "cat", "zirm", env={**os.environ, "MANWIDTH": "80"}).stdout
        self.assertIn("S-1-1-0", page)

    def test_man_page(self):
        done = run("mandoc", "-Tlint", "-W", "warning", os.path.join(ROOT, "man", "zirm.1"))
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "", ""))

    def test_windows_archives(self):
        for name, (preset, triple) in ZIPS.items():
            with self.subTest(name):
                path = os.path.join(DIST, f"zirm-{VERSION}-{name}.zip")
                with zipfile.ZipFile(path) as archive:
                    self.assertEqual(sorted(archive.namelist()), ["LICENSE.txt", "README.txt", "zirm.exe"])
                    for text in ("README.txt", "LICENSE.txt"):
                        data = archive.read(text)
                        self.assertTrue(data.endswith(b"\r\n"))
                        self.assertEqual(data.count(b"\n"), data.count(b"\r\n"), f"{text}: a bare line feed")
                    self.assertIn(f"zirm {VERSION}".encode(), archive.read("README.txt"))
                    folder = tempfile.mkdtemp(prefix="zirm-zip-")
                    self.addCleanup(shutil.rmtree, folder)
                    shipped = archive.extract("zirm.exe", folder)
                built = os.path.join(ROOT, "build", preset, "zirm.exe")

                sections = run(f"{triple}-objdump", "-h", shipped).stdout
                self.assertNotIn(".debug_", sections)
                self.assertIn(".debug_", run(f"{triple}-objdump", "-h", built).stdout, "nothing was stripped")
                self.assertLess(os.path.getsize(shipped), os.path.getsize(built))

                # The same PE header fields and the same version resource.
                def header(exe):
                    text = run(f"{triple}-objdump", "-p", exe).stdout
                    return {key: re.search(rf"^{key}\s+(\S+)", text, re.M).group(1)
                            for key in ("Magic", "Subsystem", "MajorSubsystemVersion", "MinorSubsystemVersion",
                                        "MajorOSystemVersion", "ImageBase")}

                self.assertEqual(header(shipped), header(built))
                self.assertEqual(header(shipped)["MajorSubsystemVersion"], "4")

                def resources(exe):
                    out = os.path.join(folder, os.path.basename(exe) + ".rsrc")
                    run(f"{triple}-objcopy", "-O", "binary", "--only-section=.rsrc", exe, out)
                    with open(out, "rb") as f:
                        return f.read()

                shipped_resources = resources(shipped)
                self.assertEqual(shipped_resources, resources(built))
                self.assertIn(FULL_VERSION.encode("utf-16-le"), shipped_resources)

    def test_checksums(self):
        done = run("sha256sum", "-c", "SHA256SUMS", cwd=DIST)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertEqual(len(done.stdout.splitlines()), 3)


if __name__ == "__main__":
    unittest.main()
