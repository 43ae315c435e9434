#!/usr/bin/env bash
# netvigil for the router's CPU: cross-compiles the daemon, the settings
# store and their unit tests for 32-bit MIPS little-endian (static), runs the
# unit tests under qemu-mipsel and reports the size of the stripped daemon.
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/setup.sh g++-mipsel-linux-gnu qemu-user googletest

export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/orvane-ccache}"
build=build/router
cmake --preset router >/dev/null
cmake --build "$build" -j "${ORVANE_JOBS:-2}"
ctest --test-dir "$build" --output-on-failure -j "${ORVANE_JOBS:-2}"

mipsel-linux-gnu-strip -o "$build/netvigil.stripped" "$build/src/watchdog/netvigil"
echo "netvigil for mipsel, static, stripped: $(stat -c %s "$build/netvigil.stripped") bytes"
