# Installs what zirm needs to build, test and package, on Debian 12 or 13, as
# root. Sourced by the other scripts; does nothing when everything is there.

# Names that both releases have: no compiler version in any of them (the
# sanitizer runtime comes with the release's default clang through
# libclang-rt-dev). Another group of packages is added with ZIRM_PACKAGES+="..."
# in a block of its own below this one.
ZIRM_PACKAGES="cmake g++ make libgtest-dev python3 samba samba-vfs-modules smbclient samba-common-bin
    python3-samba attr clang libclang-rt-dev g++-mingw-w64-x86-64 g++-mingw-w64-i686-win32 wine64 wine
    wine32:i386 dpkg-dev lintian mandoc man-db zip unzip binutils e2fsprogs ctdb strace iproute2 git
    libnss-extrausers"

# Prints those of the packages named that are not installed; fails, saying
# why, when some are missing and this is not root, who could install them.
zirm_missing() {
    local missing="" package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing="$missing $package"
    done
    if [ -n "$missing" ] && [ "$(id -u)" != 0 ]; then
        echo "zirm: these packages are missing and installing them needs root:$missing" >&2
        return 1
    fi
    echo "$missing"
}

zirm_setup() {
    local missing
    zirm_setup_domain || return 1
    missing=$(zirm_missing $ZIRM_PACKAGES) || return 1
    [ -z "$missing" ] && return 0
    echo "zirm: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    # The x86 program is tested under 32-bit Wine.
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update -qq && apt-get install -y -qq $missing >/dev/null
}

# --- The Active Directory domain of the tests --------------------------------
# A domain controller and a member joined to it, each in namespaces of its
# own, need these. Their install scripts change the host: libnss-winbind adds
# winbind to /etc/nsswitch.conf, krb5-config (a recommendation of krb5-user)
# writes /etc/krb5.conf, libpam-winbind (one of samba-ad-dc) edits
# /etc/pam.d/common-*, and winbind and samba-ad-dc start daemons on the
# host's smb.conf. The tests keep their own copies of all of these and use
# none of the host's, so nothing of it may stay: no recommendations, no
# service started or enabled, and the host's files put back as they were.
# samba-ad-provision (the schema a new domain is made from) is only a
# recommendation of samba, which is installed here without them.
ZIRM_DOMAIN_PACKAGES="samba-ad-dc samba-ad-provision samba-dsdb-modules winbind libnss-winbind krb5-user"
ZIRM_DOMAIN_HOST_FILES="/etc/nsswitch.conf /etc/krb5.conf /etc/pam.d"
ZIRM_DOMAIN_SERVICES="winbind.service samba-ad-dc.service"

zirm_setup_domain() {
    local missing saved file name policy="" status=0
    missing=$(zirm_missing $ZIRM_DOMAIN_PACKAGES) || return 1
    [ -z "$missing" ] && return 0
    echo "zirm: installing$missing (the host's nsswitch.conf, krb5.conf and PAM files are kept as they are)"
    saved=$(mktemp -d /tmp/zirm-host-files-XXXXXX) || return 1
    for file in $ZIRM_DOMAIN_HOST_FILES; do
        if [ -e "$file" ]; then
            mkdir -p "$saved$(dirname "$file")" && cp -a "$file" "$saved$file" || return 1
        fi
    done
    # Debian's way of saying that no service may start: ours only while none is there.
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d && policy=yes
    fi
    DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null ||
        status=1
    [ -n "$policy" ] && rm -f /usr/sbin/policy-rc.d
    if [ -d /run/systemd/system ]; then
        systemctl disable --now --quiet $ZIRM_DOMAIN_SERVICES 2>/dev/null || true
    fi
    # Each file back as it was, one at a time (never a moment without PAM):
    # what was added goes, what was changed is copied back, and a file that
    # was not there (krb5.conf) is removed.
    for file in $ZIRM_DOMAIN_HOST_FILES; do
        if [ -d "$saved$file" ]; then
            for name in "$file"/*; do
                [ -e "$name" ] && [ ! -e "$saved$name" ] && rm -f "$name"
            done
            for name in "$saved$file"/*; do
                cmp -s "$name" "$file/${name##*/}" || cp -a "$name" "$file/" || status=1
            done
        elif [ -e "$saved$file" ]; then
            cmp -s "$saved$file" "$file" || cp -a "$saved$file" "$file" || status=1
        else
            rm -f "$file"
        fi
    done
    rm -rf "$saved"
    return $status
}
