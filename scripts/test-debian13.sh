#!/usr/bin/env bash
# Runs the README's test command (scripts/test.sh) on Debian 13, as on a
# fresh machine: a clean clone of this checkout's commit, in a Debian 13 root
# made from Debian's archive with debootstrap, entered as the root mount of
# mount, PID, IPC and UTS namespaces of its own (pivot_root, not chroot: the
# shared engine joins its caller's mount namespace, which would undo a
# chroot), with /proc, /sys, /dev, /dev/pts, /dev/shm and /run mounted and /tmp
# a tmpfs, as Debian 13 has it.
#
# The set-up (scripts/setup.sh, from Debian's archive) runs with this
# machine's network; the tests run in a network namespace of their own with
# loopback alone. When the run ends, however it ends, the PID namespace's end
# stops every process it started and the mount namespace's end undoes every
# mount; then the run's copy of the root is removed. Run as root:
#
#   bash scripts/test-debian13.sh [COMMAND...]
#
# COMMAND, run in the clone after the set-up, takes the place of
# scripts/test.sh, for instance:
#   bash scripts/test-debian13.sh bash -c 'cmake --preset native && cmake --build --preset native && ctest --preset native -R warm_engine'
#
# The root as debootstrap left it is kept for the next run in
# /var/cache/zirm/debian13-ci/, used only when its record of a whole build
# matches it, and built again otherwise; each run works on a copy. Debian's
# packages downloaded by the set-up are kept beside it.
#   ZIRM_DEBIAN13_TIMEOUT   seconds the set-up and tests may take (default 2400)
#   ZIRM_DEBIAN_SUITE       another release to run them on, as a fresh machine
#                           of it (bookworm: Debian 12, in /var/cache/zirm/debian12-ci/)
set -euo pipefail

suite=${ZIRM_DEBIAN_SUITE:-trixie}
case $suite in
trixie) name=debian13 ;;
bookworm) name=debian12 ;;
*) name=$suite ;;
esac
cache=/var/cache/zirm/$name-ci

# A clean environment for everything inside the root, as a root login has it.
inside_env=(env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
    LANG=C.UTF-8 TERM=dumb "CI=${CI:-}")

say() { echo "$name: $*"; }
fail() {
    echo "$name: $*" >&2
    exit 1
}

# ---------------------------------------------------------------------------
# Inside the namespaces: this script again, as the PID namespace's first
# process, with the run's root and folder.
# ---------------------------------------------------------------------------

# Mounts what a booted system has, in the root, and the kept packages if
# given, then makes it the root mount.
enter_root() {
    local root=$1 debs=$2
    mount --make-rprivate /
    mount --bind "$root" "$root"
    [ -z "$debs" ] || mount --bind "$debs" "$root/var/cache/apt/archives"
    mount -t proc -o nosuid,nodev,noexec proc "$root/proc"
    mount -t sysfs -o nosuid,nodev,noexec sysfs "$root/sys"
    mount -t tmpfs -o nosuid,mode=0755,size=16m dev "$root/dev"
    mknod -m 0666 "$root/dev/null" c 1 3
    mknod -m 0666 "$root/dev/zero" c 1 5
    mknod -m 0666 "$root/dev/full" c 1 7
    mknod -m 0666 "$root/dev/random" c 1 8
    mknod -m 0666 "$root/dev/urandom" c 1 9
    mknod -m 0666 "$root/dev/tty" c 5 0
    ln -s /proc/self/fd "$root/dev/fd"
    ln -s /proc/self/fd/0 "$root/dev/stdin"
    ln -s /proc/self/fd/1 "$root/dev/stdout"
    ln -s /proc/self/fd/2 "$root/dev/stderr"
    mkdir "$root/dev/pts" "$root/dev/shm"
    mount -t devpts -o newinstance,nosuid,noexec,gid=5,mode=0620,ptmxmode=0666 devpts "$root/dev/pts"
    ln -s pts/ptmx "$root/dev/ptmx"
    mount -t tmpfs -o nosuid,nodev,mode=1777 shm "$root/dev/shm"
    mount -t tmpfs -o nosuid,nodev,mode=0755 run "$root/run"
    mount -t tmpfs -o nosuid,nodev,strictatime,mode=1777,size=50% tmp "$root/tmp"
    cd "$root"
    pivot_root . .
    umount -l .
    cd /
}

inside() {
    local root=$1 run=$2 debs=$3
    shift 3
    local command=("$@")
    [ "${#command[@]}" -gt 0 ] || command=(bash scripts/test.sh)
    readlink /proc/self/ns/pid >"$run/pid-namespace"
    enter_root "$root" "$debs"
    cd /root/zirm

    local start status=0
    say "$(cat /etc/debian_version), commit $(git log -1 --format='%h %s')"
    say "set-up (scripts/setup.sh) with this machine's network"
    start=$SECONDS
    "${inside_env[@]}" bash -c '. scripts/setup.sh && zirm_setup' || status=$?
    say "set-up took $((SECONDS - start)) s"
    [ "$status" = 0 ] || fail "the set-up failed (status $status)"
    # Nothing the set-up installed may keep running into the tests.
    local pid left=""
    for pid in /proc/[0-9]*; do
        pid=${pid#/proc/}
        [ "$pid" = 1 ] || [ "$pid" = "$$" ] || [ "$pid" = "$BASHPID" ] ||
            left="$left $pid($(cat "/proc/$pid/comm" 2>/dev/null))"
    done
    [ -z "$left" ] || say "still running after the set-up:$left"

    say "tests (${command[*]}) in a network namespace of their own"
    start=$SECONDS
    "${inside_env[@]}" unshare --net -- bash -c 'ip link set lo up && exec "$@"' tests "${command[@]}" || status=$?
    say "tests took $((SECONDS - start)) s, status $status"
    return "$status"
}

if [ "${1:-}" = --inside ]; then
    shift
    inside "$@"
    exit
fi

# ---------------------------------------------------------------------------
# On this machine.
# ---------------------------------------------------------------------------

[ "$(id -u)" = 0 ] || fail "needs root (namespaces, mounts, debootstrap)"
self=$(realpath "$0")
checkout=$(git -C "$(dirname "$self")" rev-parse --show-toplevel)
commit=$(git -C "$checkout" rev-parse HEAD)
[ -z "$(git -C "$checkout" status --porcelain --untracked-files=no)" ] ||
    say "the checkout has uncommitted changes: they are not tested, commit $commit is"
timeout_seconds=${ZIRM_DEBIAN13_TIMEOUT:-2400}

# Debian's archive as this machine's apt sources name it.
archive() {
    apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 2>/dev/null |
        awk -v release="$1" '$1 == release { print $2; exit }'
}
host_release=$(. /etc/os-release && echo "$VERSION_CODENAME")
mirror=$(archive "$host_release")
mirror=${mirror:-http://deb.debian.org/debian/}
security=$(archive "$host_release-security")
security=${security:-http://deb.debian.org/debian-security/}

if ! command -v debootstrap >/dev/null || [ ! -e /usr/share/keyrings/debian-archive-keyring.gpg ]; then
    say "installing debootstrap"
    DEBIAN_FRONTEND=noninteractive timeout 900 apt-get update -qq
    DEBIAN_FRONTEND=noninteractive timeout 900 apt-get install -y -qq debootstrap debian-archive-keyring >/dev/null
fi

# What the root holds, to tell a whole root from one that changed or was cut
# short.
root_manifest() {
    (cd "$1" && find . -xdev -printf '%p %y %s %m %T@ %l\n' | LC_ALL=C sort | sha256sum | cut -d' ' -f1)
}

root_is_whole() {
    [ -f "$cache/complete" ] && [ -d "$cache/root" ] || return 1
    [ "$(sed -n 1p "$cache/complete")" = "$recipe" ] || return 1
    [ "$(sed -n 2p "$cache/complete")" = "$(root_manifest "$cache/root")" ]
}

build_root() {
    local fresh
    say "building the $suite root from $mirror"
    rm -f "$cache/complete"
    rm -rf --one-file-system "$cache/root" "$cache"/root.*
    fresh=$(mktemp -d "$cache/root.XXXXXX")
    chmod 0755 "$fresh"
    local start=$SECONDS
    timeout 900 debootstrap --variant=minbase --include=ca-certificates,git "$suite" "$fresh" "$mirror" \
        >"$cache/debootstrap.log" 2>&1 || {
        tail -n 20 "$cache/debootstrap.log" >&2
        fail "debootstrap failed (the whole log: $cache/debootstrap.log)"
    }
    rm -f "$fresh"/var/cache/apt/archives/*.deb
    rm -f "$fresh/etc/apt/sources.list"
    cat >"$fresh/etc/apt/sources.list.d/debian.sources" <<SOURCES
Types: deb
URIs: $mirror
Suites: $suite $suite-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: $security
Suites: $suite-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    # The set-up runs with this machine's network: no service that a package
    # installs may start then.
    printf '#!/bin/sh\nexit 101\n' >"$fresh/usr/sbin/policy-rc.d"
    chmod 0755 "$fresh/usr/sbin/policy-rc.d"
    mv "$fresh" "$cache/root"
    printf '%s\n%s\n' "$recipe" "$(root_manifest "$cache/root")" >"$cache/complete.new"
    mv "$cache/complete.new" "$cache/complete"
    say "debootstrap took $((SECONDS - start)) s"
}

# How the cached root is made: a root made otherwise is built again.
recipe="$(declare -f build_root | sha256sum | cut -d' ' -f1) $mirror $security"

mkdir -p "$cache/runs" "$cache/debs"

# Runs that were killed before they could remove their copy of the root.
for stale in "$cache"/runs/*/; do
    [ -d "$stale" ] || continue
    stale=${stale%/}
    pid=$(cat "$stale/owner" 2>/dev/null || true)
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && continue
    grep -q " $stale/" /proc/mounts && continue
    rm -rf --one-file-system "$stale" || true
done

run=$(mktemp -d "$cache/runs/XXXXXX")
echo $$ >"$run/owner"
root=$run/root
unshare_pid=""

# The processes of the run's PID namespace, as "PID (NAME)".
namespace_processes() {
    local namespace process
    [ -s "$run/pid-namespace" ] || return 0
    namespace=$(cat "$run/pid-namespace")
    for process in /proc/[0-9]*; do
        [ "$(readlink "$process/ns/pid" 2>/dev/null)" = "$namespace" ] &&
            echo "${process#/proc/} ($(cat "$process/comm" 2>/dev/null))"
    done
    return 0
}

# Stops the run if it still goes, waits until its PID namespace is empty,
# checks that nothing of it is left, and only then removes its copy of the
# root.
finish() {
    local status=$? left="" tries
    trap - EXIT INT TERM
    if [ -n "$unshare_pid" ]; then
        # timeout leads the group of unshare and the namespace's first process.
        kill -KILL -- "-$unshare_pid" 2>/dev/null || true
        wait "$unshare_pid" 2>/dev/null || true
    fi
    for tries in $(seq 60); do
        [ -z "$(namespace_processes)" ] && break
        namespace_processes | cut -d' ' -f1 | xargs -r kill -KILL 2>/dev/null || true
        sleep 1
    done
    left=$(namespace_processes | tr '\n' ' ')
    [ -z "$left" ] || left=" processes: $left;"
    grep -q " $run/" /proc/mounts && left="$left mounts: $(grep " $run/" /proc/mounts | cut -d' ' -f2 | tr '\n' ' ');"
    losetup -a 2>/dev/null | grep -q "$run/" && left="$left loop devices: $(losetup -a | grep "$run/" | tr '\n' ' ');"
    if [ -n "$left" ]; then
        say "left behind by the run, so $run is kept:$left"
        [ "$status" = 0 ] && status=1
    else
        rm -rf --one-file-system "$run"
        say "nothing of the run is left (no process, mount or loop device); $SECONDS s in all"
    fi
    exit "$status"
}
trap finish EXIT
trap 'say "interrupted"; exit 130' INT
trap 'say "stopped by a signal"; exit 143' TERM

exec 9>"$cache/lock"
flock 9
root_is_whole || build_root
say "copying the root"
cp -a "$cache/root" "$root"
flock -u 9
cp /etc/resolv.conf "$root/etc/resolv.conf"

git clone --quiet --no-local "$checkout" "$root/root/zirm"
git -C "$root/root/zirm" checkout --quiet --detach "$commit"

# Downloaded packages are kept for the next run, by one run at a time.
debs=""
exec 8>"$cache/debs.lock"
flock -n 8 && debs=$cache/debs

start=$SECONDS
status=0
timeout --kill-after=10 "$timeout_seconds" unshare --mount --pid --ipc --uts --fork --kill-child -- \
    bash "$self" --inside "$root" "$run" "$debs" "$@" 8>&- 9>&- &
unshare_pid=$!
wait "$unshare_pid" || status=$?
unshare_pid=""
case $status in
0) say "passed in $((SECONDS - start)) s" ;;
124 | 137) say "stopped: timed out after $timeout_seconds s, or killed" ;;
*) say "FAILED (status $status) in $((SECONDS - start)) s" ;;
esac
exit "$status"
