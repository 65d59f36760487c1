#!/usr/bin/env bash
# Builds zirm in release mode and runs the benchmark: bash bench/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
ZIRM_PACKAGES="$ZIRM_PACKAGES valgrind strace"
zirm_setup
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
mkdir -p build/bench
cc -O2 -static -o build/bench/floor bench/floor.c
# Static, so that its own pages, which a spawned child starts out sharing,
# weigh as little as possible in the peak resident sizes.
cc -O2 -Wall -static -o build/bench/spawn_timer bench/spawn_timer.c
exec /usr/bin/python3 bench/run.py
