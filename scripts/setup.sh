# Installs what zirm needs to build, test and package, on Debian 12, as root.
# Sourced by the other scripts; does nothing when everything is there.

ZIRM_PACKAGES="cmake g++ make libgtest-dev python3 samba samba-vfs-modules smbclient samba-common-bin
    python3-samba attr clang libclang-rt-14-dev g++-mingw-w64-x86-64 g++-mingw-w64-i686-win32 wine64 wine
    wine32:i386 dpkg-dev lintian mandoc man-db zip unzip binutils e2fsprogs ctdb strace libnss-extrausers"

zirm_setup() {
    local missing=""
    local package
    for package in $ZIRM_PACKAGES; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing="$missing $package"
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "zirm: these packages are missing and installing them needs root:$missing" >&2
        return 1
    fi
    echo "zirm: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    # The x86 program is tested under 32-bit Wine.
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update -qq && apt-get install -y -qq $missing >/dev/null
}
