"""Many zirm processes at once on one file: the attribute is replaced whole,
so afterwards it is exactly what one of them alone would have written."""

import os
import shutil
import subprocess
import tempfile
import unittest

from sambatool import SambaTool, parse_blob, read_blob, write_blob

ZIRM = os.environ["ZIRM"]
CORPUS = os.path.join(os.path.dirname(__file__), "..", "..", "fuzz", "corpus")
ACCESSES = ["", "r", "w", "x", "rw", "rx", "wx", "rwx"]
PROCESSES = 48
ROUNDS = 4


class ConcurrencyTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zirm-concurrent-")
        self.addCleanup(shutil.rmtree, self.dir)

    def alone(self, blob, access):
        """What one run alone writes, from the same starting blob."""
        path = os.path.join(self.dir, "alone")
        open(path, "w").close()
        write_blob(path, blob)
        subprocess.run([ZIRM, access, path], check=True)
        return read_blob(path)

    def test_no_torn_or_mixed_blob(self):
        samba = SambaTool()
        first = os.path.join(self.dir, "first")
        open(first, "w").close()
        samba.set(first, "O:BAG:SYD:PAI(A;;0x001f01ff;;;BA)(D;;0x00010000;;;WD)(A;ID;0x001200a9;;;WD)"
                         "(A;;0x001200a9;;;BU)(A;;0x001f01ff;;;WD)")
        with open(os.path.join(CORPUS, "smbd-v4-h.txt"), "rb") as f:
            starting = {"samba-tool v1": read_blob(first), "smbd v4": f.read()}

        for name, blob in starting.items():
            candidates = {self.alone(blob, access) for access in ACCESSES}
            self.assertEqual(len(candidates), len(ACCESSES), "the letters should give different blobs")
            for round_ in range(ROUNDS):
                with self.subTest(blob=name, round=round_):
                    path = os.path.join(self.dir, "shared")
                    open(path, "w").close()
                    write_blob(path, blob)
                    runs = [subprocess.Popen([ZIRM, ACCESSES[(i + round_) % len(ACCESSES)], path],
                                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                            for i in range(PROCESSES)]
                    for run in runs:
                        out, err = run.communicate(timeout=60)
                        self.assertEqual((run.returncode, out, err), (0, b"", b""))
                    final = read_blob(path)
                    parse_blob(final)
                    self.assertIn(final, candidates)


if __name__ == "__main__":
    unittest.main()
