#!/usr/bin/env bash
# Builds everything and runs every test: the native tests (unit, end to
# end, Samba's parser, conformance with Wine, a live Samba server,
# concurrency), the unit tests again under AddressSanitizer and
# LeakSanitizer, a bounded fuzz run, the Windows programs' tests under 64-
# and 32-bit Wine, and the packages.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
zirm_setup

if command -v clang-format >/dev/null; then
    clang-format --dry-run --Werror src/*.cpp src/*.h posix/*.cpp posix/*.h posix/store/*.cpp posix/include/*.h \
        tests/unit/*.cpp tests/unit/*.h tests/conformance/*.cpp tests/conformance/*.h tests/wine/*.cpp fuzz/*.cpp
fi

for preset in native sanitize fuzz windows windows-x86; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
done

ctest --preset sanitize
ctest --preset fuzz
ctest --preset windows
ctest --preset windows-x86
ctest --preset native

# The packages, built and checked as an administrator would install them.
ctest --preset package
