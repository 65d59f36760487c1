#!/usr/bin/env bash
# A longer fuzz run of the store: bash fuzz/run.sh [seconds, default 600].
# New inputs it finds go to build/fuzz/fuzz/found.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
zirm_setup
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
mkdir -p build/fuzz/fuzz/found
exec build/fuzz/fuzz/ntacl_fuzz -max_total_time="${1:-600}" -max_len=65536 -print_final_stats=1 \
    build/fuzz/fuzz/found fuzz/corpus
