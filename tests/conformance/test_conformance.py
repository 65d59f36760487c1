"""The platform layer against Wine's advapi32, call for call.

The same corpus runs natively on the layer and, built for Windows, under
Wine. Every trace line must be the same on both, unless allowed.txt lists
its id with the reason. The system texts are the layer's own by design, so
FormatMessageA lines are compared without their text.
"""

import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "wine"))
import winehost  # noqa: E402

NATIVE_DRIVER = os.environ["NATIVE_DRIVER"]
WINDOWS_DRIVER = os.environ["WINDOWS_DRIVER"]
ALLOWED = os.path.join(os.path.dirname(__file__), "allowed.txt")

setUpModule = winehost.start
tearDownModule = winehost.stop


def trace(output):
    lines = {}
    for line in output.splitlines():
        key, _, rest = line.partition(" ")
        rest = re.sub(r" text=.*", " text=(own)", rest)
        lines[key] = rest
    return lines


def allowed():
    entries = {}
    with open(ALLOWED) as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                key, _, reason = line.partition("|")
                entries[key.strip()] = reason.strip()
    return entries


class ConformanceTest(unittest.TestCase):
    def test_traces_agree(self):
        native = trace(subprocess.run([NATIVE_DRIVER], check=True, capture_output=True, text=True).stdout)
        status, output, _ = winehost.run(WINDOWS_DRIVER)
        self.assertEqual(status, 0)
        wine = trace(output)
        allow = allowed()

        self.assertEqual(sorted(native), sorted(wine), "the two drivers ran different corpora")
        unexplained = [f"{key}\n  layer: {native[key]}\n  wine:  {wine[key]}"
                       for key in native if native[key] != wine[key] and key not in allow]
        stale = [key for key in allow if key not in native or native[key] == wine[key]]
        print(f"{len(native)} trace lines compared, {len(allow)} differences allowed", file=sys.stderr)
        self.assertEqual(unexplained, [], "differences not in allowed.txt")
        self.assertEqual(stale, [], "allowed.txt lists differences that are gone")


if __name__ == "__main__":
    unittest.main()
