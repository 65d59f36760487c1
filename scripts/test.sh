#!/usr/bin/env bash
# Builds everything and runs every test: the native tests, the unit tests
# again under AddressSanitizer and LeakSanitizer, and the Windows tests.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
zirm_setup

if command -v clang-format >/dev/null; then
    clang-format --dry-run --Werror src/*.cpp src/*.h posix/*.cpp posix/*.h posix/include/*.h tests/unit/*.cpp tests/unit/*.h
fi

for preset in native sanitize windows windows-x86; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
done

ctest --preset sanitize
ctest --preset native
ctest --preset windows
