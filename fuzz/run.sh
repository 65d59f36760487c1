#!/usr/bin/env bash
# A longer fuzz run: bash fuzz/run.sh [seconds, default 600] [ntacl|sequences, default ntacl].
# New inputs it finds go to build/fuzz/fuzz/(found-ntacl_fuzz or found-sequences_fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
zirm_setup
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
if [ "${2:-ntacl}" = sequences ]; then
    mkdir -p build/fuzz/fuzz/found-sequences_fuzz
    exec build/fuzz/fuzz/sequences_fuzz -max_total_time="${1:-600}" -max_len=1024 -print_final_stats=1 \
        build/fuzz/fuzz/found-sequences_fuzz fuzz/sequences
fi
mkdir -p build/fuzz/fuzz/found-ntacl_fuzz
exec build/fuzz/fuzz/ntacl_fuzz -max_total_time="${1:-600}" -max_len=65536 -print_final_stats=1 \
    build/fuzz/fuzz/found-ntacl_fuzz fuzz/corpus
