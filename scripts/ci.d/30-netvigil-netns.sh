#!/usr/bin/env bash
# netvigil as a program: real ICMP and TCP in network namespaces that the
# tests make themselves (root), with a firewall rule (nftables) inside one,
# the stand-in reboot and recovery, the nvram command. The same tests run in
# the main ctest pass; this stage makes sure `ip` and `nft` are there and
# runs them again, so a machine that lacked iproute2 or nftables before still
# tests them.
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/setup.sh iproute2 nftables

export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/orvane-ccache}"
build=build/dev
if [ ! -f "$build/build.ninja" ]; then
  cmake --preset dev >/dev/null
fi
cmake --build "$build" -j "${ORVANE_JOBS:-2}" --target watchdog_process_tests netvigil nvram

"$build/tests/watchdog/watchdog_process_tests" --gtest_brief=1
