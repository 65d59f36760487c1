#!/usr/bin/env bash
# Builds everything and runs every test: the native tests (unit, end to
# end, Samba's parser, conformance with Wine, a live Samba server,
# concurrency), the unit tests again under AddressSanitizer and
# LeakSanitizer, a bounded fuzz run, the Windows programs' tests under 64-
# and 32-bit Wine, and the packages.
#
# Every preset runs, whatever the ones before it did; the end shows each
# one's result and names every one that failed, and the status is 1 when any
# did. Its last line counts the tests of all presets; a check that ctest does
# not run (the formatting, a build that failed) counts as one.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
zirm_setup

logs=$(mktemp -d /tmp/zirm-test-XXXXXX)
trap 'rm -rf "$logs"' EXIT
names=()
failed=()
tests_passed=0
tests_failed=0
tests_skipped=0

formatting() {
    if ! command -v clang-format >/dev/null; then
        echo "skipped: clang-format is not installed"
        return 0
    fi
    clang-format --dry-run --Werror src/*.cpp src/*.h posix/*.cpp posix/*.h posix/store/*.cpp posix/include/*.h \
        tests/unit/*.cpp tests/unit/*.h tests/conformance/*.cpp tests/conformance/*.h tests/wine/*.cpp fuzz/*.cpp
}

# A test preset, after its configure preset (the test preset's name unless
# given) is configured and built.
preset() {
    local configure=${2:-$1}
    cmake --preset "$configure" >/dev/null &&
        cmake --build --preset "$configure" -j "$(nproc)" &&
        ctest --preset "$1"
}

# Runs one check with its output shown as it comes, and keeps its summary:
# ctest's count and the tests that failed, or why there is none.
check() {
    local name=$1 status=0 start=$SECONDS summary counts
    shift
    echo "=== $name"
    "$@" 2>&1 | tee "$logs/$name.log" || status=$?
    counts=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' \
        "$logs/$name.log" | tail -n 1)
    if [ -n "$counts" ]; then
        set -- $counts
        tests_failed=$((tests_failed + $1))
        tests_passed=$((tests_passed + $2 - $1))
        summary="$(($2 - $1)) of $2 tests passed"
    elif [ "$status" = 0 ] && grep -q '^skipped: ' "$logs/$name.log"; then
        tests_skipped=$((tests_skipped + 1))
        summary=$(grep -m 1 '^skipped: ' "$logs/$name.log")
        printf '%s\n' "$summary" >"$logs/$name.summary"
        names+=("$name")
        echo "=== $name: $summary"
        return 0
    elif [ "$status" = 0 ]; then
        tests_passed=$((tests_passed + 1))
        summary=""
    else
        tests_failed=$((tests_failed + 1))
        summary="no tests ran"
    fi
    if [ "$status" = 0 ]; then
        summary="passed${summary:+: $summary}"
    else
        summary="FAILED (status $status): $summary"
        failed+=("$name")
    fi
    summary="$summary, $((SECONDS - start)) s"
    # ctest's list of the tests that failed, one a line.
    local line
    while IFS= read -r line; do
        summary="$summary
    $(echo $line)"
    done < <(sed -n '/^The following tests FAILED:/,/^Errors while running CTest/{/^[[:space:]]/p}' "$logs/$name.log")
    names+=("$name")
    printf '%s\n' "$summary" >"$logs/$name.summary"
    echo "=== $name: $summary"
}

check clang-format formatting
check native preset native
check sanitize preset sanitize
check fuzz preset fuzz
check windows preset windows
check windows-x86 preset windows-x86
# The packages, built and checked as an administrator would install them.
check package preset package native

echo
echo "=== summary"
for name in "${names[@]}"; do
    printf '%-13s %s\n' "$name" "$(cat "$logs/$name.summary")"
done
if [ "${#failed[@]}" -gt 0 ]; then
    echo "failed: ${failed[*]}"
fi
skipped=""
[ "$tests_skipped" = 0 ] || skipped=", $tests_skipped skipped"
echo "tests: $tests_passed passed, $tests_failed failed$skipped"
[ "${#failed[@]}" = 0 ]
