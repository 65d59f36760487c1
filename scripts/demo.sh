#!/usr/bin/env bash
# Builds zirm and runs it on a scratch file and directory, showing their NT
# ACLs (as Samba's samba-tool reads them) before and after.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
zirm_setup

cmake --preset native >/dev/null
cmake --build --preset native --target zirm >/dev/null

scratch=$(mktemp -d /tmp/zirm-demo-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch"/samba/{private,lock,state,cache}
conf="$scratch/samba/smb.conf"
cat >"$conf" <<CONF
[global]
    workgroup = ZDEMO
    netbios name = ZDEMO
    server role = standalone server
    private dir = $scratch/samba/private
    lock directory = $scratch/samba/lock
    state directory = $scratch/samba/state
    cache directory = $scratch/samba/cache
CONF
net -s "$conf" getlocalsid >/dev/null

sddl() { samba-tool ntacl get "$1" --as-sddl --use-ntvfs -s "$conf"; }
set_sddl() { samba-tool ntacl set "$2" "$1" --use-ntvfs -s "$conf" 2>/dev/null; }

file="$scratch/report.txt"
dir="$scratch/shared"
touch "$file"
mkdir "$dir"
set_sddl "$file" 'O:BAG:SYD:(A;;0x001f01ff;;;BA)(A;;0x001200a9;;;WD)'
set_sddl "$dir" 'O:BAG:SYD:P(A;OICI;0x001f01ff;;;BA)(A;CI;0x001200a9;;;WD)(A;OIIO;GR;;;WD)(A;;0x001200a9;;;WD)'

for target in "$file" "$dir"; do
    echo "$target"
    echo "  before: $(sddl "$target")"
    echo "  \$ zirm rw $target"
    status=0
    build/native/zirm rw "$target" || status=$?
    echo "  exit status $status"
    echo "  after:  $(sddl "$target")"
done
