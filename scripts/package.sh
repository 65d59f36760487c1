#!/usr/bin/env bash
# Builds what is shipped, in build/dist/:
#   zirm_VERSION_amd64.deb       the native program, its man page and docs
#   zirm-VERSION-win64.zip       zirm.exe (x64), README.txt, LICENSE.txt
#   zirm-VERSION-win32.zip       zirm.exe (x86), README.txt, LICENSE.txt
#   SHA256SUMS                   for the three
# The version is the one in CMakeLists.txt's project().
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
zirm_setup

full_version=$(sed -n 's/^project(zirm VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
version=${full_version%.*} # 3.7.0.0 -> 3.7.0
maintainer="The zirm authors <authors@zirm.org>"
dist=build/dist
rm -rf "$dist"
mkdir -p "$dist"

# The Debian package: the dynamic native build, installed into a staging
# tree as Debian lays it out.
# Debian's own build flags, with every hardening feature.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
rm -rf build/package
cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build build/package -j "$(nproc)" >/dev/null
stage=build/package/stage
rm -rf "$stage"
DESTDIR="$PWD/$stage" cmake --install build/package --strip >/dev/null
strip --remove-section=.comment --remove-section=.note "$stage/usr/bin/zirm"
doc=$stage/usr/share/doc/zirm
rm "$doc/LICENSE" # in Debian, the copyright file holds the licence
gzip -9n "$stage/usr/share/man/man1/zirm.1"
{
    echo "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
    echo "Upstream-Name: zirm"
    echo
    echo "Files: *"
    echo "Copyright: 2026 the zirm authors"
    echo "License: Expat"
    sed -e '1,4d' -e 's/^$/./' -e 's/^/ /' LICENSE
} >"$doc/copyright"
{
    echo "zirm ($version) unstable; urgency=medium"
    echo
    echo "  * Release $version: Everyone's entries in an NT ACL kept where Samba keeps it,"
    echo "    through Samba's own ACL engine for the files its shares serve, elsewhere"
    echo "    stored as smbd stores them and read only as Samba's own parser reads them."
    echo
    echo " -- $maintainer  $(date -R -u -d @"$(git log -1 --format=%ct 2>/dev/null || date +%s)")"
} | gzip -9n >"$doc/changelog.gz"
find "$stage" -type d -exec chmod 0755 {} +
find "$stage" -type f -exec chmod 0644 {} +
chmod 0755 "$stage/usr/bin/zirm"

# The shared libraries the program needs, as dpkg-shlibdeps finds them.
shlibs=build/package/shlibs
rm -rf "$shlibs"
mkdir -p "$shlibs/debian"
printf 'Source: zirm\n\nPackage: zirm\nArchitecture: amd64\n' >"$shlibs/debian/control"
depends=$(cd "$shlibs" && dpkg-shlibdeps -O -e"$PWD/../stage/usr/bin/zirm" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')

mkdir -p "$stage/DEBIAN"
(cd "$stage" && find usr -type f -exec md5sum {} + | sort -k2) >"$stage/DEBIAN/md5sums"
chmod 0644 "$stage/DEBIAN/md5sums"
cat >"$stage/DEBIAN/control" <<CONTROL
Package: zirm
Version: $version
Architecture: amd64
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Depends: $depends
Recommends: python3-samba
Section: admin
Priority: optional
Homepage: https://zirm.org/
Description: change the access of the Everyone entries in an NT ACL
 zirm gives every Everyone (S-1-1-0) entry in the DACL of one file or
 directory a new access mask built from the letters r, w and x, keeps every
 other entry byte for byte and in order, and writes the DACL back. Owner,
 group and SACL are never touched.
 .
 On Linux, for an object in a share of the local Samba server, it reads and
 writes the NT ACL through Samba's own ACL engine (python3-samba) with the
 share's parameters, so that the POSIX ACLs and mode follow as smbd would make
 them for a Windows client. Elsewhere it edits the NT ACL kept in the
 extended attribute security.NTACL in place, storing exactly what smbd would
 store for the same request.
 .
 A share's files also need the VFS modules that the share names (acl_xattr,
 acl_tdb, ...: installed with Samba's server packages, samba and
 samba-vfs-modules); zirm refuses a share whose module is not installed.
CONTROL
dpkg-deb --root-owner-group -Zxz --build "$stage" "$dist/zirm_${version}_amd64.deb" >/dev/null

# The Windows archives: the program without its debug sections, and the
# texts with the line ends Windows' own tools expect.
for arch in win64:windows:x86_64-w64-mingw32 win32:windows-x86:i686-w64-mingw32; do
    IFS=: read -r name preset triple <<<"$arch"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target zirm >/dev/null
    folder=build/package/$name
    rm -rf "$folder"
    mkdir -p "$folder"
    "$triple-objcopy" --strip-debug "build/$preset/zirm.exe" "$folder/zirm.exe"
    sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' windows/README.txt >"$folder/README.txt"
    sed -e 's/$/\r/' LICENSE >"$folder/LICENSE.txt"
    touch -d @"$(git log -1 --format=%ct 2>/dev/null || date +%s)" "$folder"/*
    (cd "$folder" && zip -q -X -9 "../../../$dist/zirm-$version-$name.zip" zirm.exe README.txt LICENSE.txt)
done

(cd "$dist" && sha256sum "zirm_${version}_amd64.deb" "zirm-$version-win64.zip" "zirm-$version-win32.zip" >SHA256SUMS)
ls -l "$dist"
