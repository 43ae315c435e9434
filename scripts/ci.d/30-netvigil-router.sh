#!/usr/bin/env bash
# netvigil for the router's CPU (32-bit MIPS little-endian): the daemon linked
# statically against musl with the `command` settings store, its unit tests
# and the settings stores' tests (glibc, static) under qemu-mipsel; the size
# of the stripped daemon against its limit; then one pass of the musl daemon
# itself under qemu-mipsel, against loopback in a network namespace of its
# own, with the project's native `nvram` program as the firmware's. Between
# the two, the package netvigil-<version>-mipsel.tar.gz is made and its
# contents checked, and the start-up script it holds is tried.
#
#   ORVANE_ROUTER_BUILD_DIR  the router build (default build/router)
#   ORVANE_NATIVE_BUILD_DIR  the native build that gives `nvram` (default build/dev)
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/setup.sh g++-mipsel-linux-gnu qemu-user googletest musl-dev:mipsel iproute2 groff-base sysvinit-utils

export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/orvane-ccache}"
jobs="${ORVANE_JOBS:-2}"
build="${ORVANE_ROUTER_BUILD_DIR:-build/router}"
native="${ORVANE_NATIVE_BUILD_DIR:-build/dev}"
# The stripped daemon may not grow past this (bytes): 80 KiB, the room it
# has on the router.
size_limit=81920

cmake --preset router -B "$build" >/dev/null
cmake --build "$build" -j "$jobs"

# The `command` store's tests run the native nvram program from the emulated
# test process.
if [ ! -f "$native/build.ninja" ]; then
  cmake --preset dev -B "$native" >/dev/null
fi
cmake --build "$native" -j "$jobs" --target nvram
nvram_tool="$(cd "$native/tools/nvram" && pwd)/nvram"
NETVIGIL_TEST_NVRAM_PROGRAM="$nvram_tool" \
  ctest --test-dir "$build" --output-on-failure -j "$jobs"

daemon="$build/src/watchdog/netvigil"
mipsel-linux-gnu-strip -o "$build/netvigil.stripped" "$daemon"
size=$(stat -c %s "$build/netvigil.stripped")
echo "netvigil for mipsel, static musl, stripped: $size bytes (limit $size_limit)"
if [ "$size" -gt "$size_limit" ]; then
  echo "netvigil: the stripped daemon is larger than $size_limit bytes" >&2
  exit 1
fi

# ---- the package for the firmware's build -----------------------------------
version="$(sed -n 's/^#define ORVANE_VERSION_TEXT "\(.*\)"$/\1/p' "$build/generated/orvane_version.h")"
version_full="$(sed -n 's/^#define ORVANE_VERSION_FULL "\(.*\)"$/\1/p' "$build/generated/orvane_version.h")"
cmake --build "$build" -j "$jobs" --target package
package="$build/netvigil-$version-mipsel.tar.gz"
bash tests/watchdog/router_package_test.sh "$package" "$version_full" "$nvram_tool"
bash tests/watchdog/startup_script_test.sh packaging/router/S90netvigil

# ---- one pass of the musl daemon under qemu-mipsel ---------------------------
if [ "$(id -u)" -ne 0 ]; then
  echo "netvigil pass under qemu-mipsel: SKIPPED (needs root for a network namespace and the raw socket)"
  exit 0
fi
ns="nvrouter-$$"
if ! ip netns add "$ns" 2>/dev/null; then
  echo "netvigil pass under qemu-mipsel: SKIPPED (ip netns add failed: no network namespaces here)"
  exit 0
fi
work="$(mktemp -d)"
cleanup() {
  # The daemon detaches: whatever still runs in the namespace is its.
  for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null || true; done
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip -n "$ns" link set lo up

mkdir "$work/bin"
ln -s "$nvram_tool" "$work/bin/nvram"
printf '#!/bin/sh\necho reboot >> "%s/reboots"\n' "$work" > "$work/bin/reboot"
chmod +x "$work/bin/reboot"
store="$work/nvram.txt"
for kv in remote_server_number=1 remote_server1=127.0.0.1 ping_address_index=1 ping_times=3 \
          ping_out_times=5 success_interval=1 reboot_interval=30; do
  NVRAM_FILE="$store" "$nvram_tool" set "$kv"
done
touch "$work/link.ppp0"

# PATH holds only the stand-in reboot and nvram; the starting process ends
# once the daemon has detached.
ip netns exec "$ns" env -i PATH="$work/bin" NVRAM_FILE="$store" \
  NETVIGIL_LOG_FILE="$work/netvigil.log" NETVIGIL_LINK_MARKER="$work/link.ppp0" \
  NETVIGIL_TIME_SCALE=0.01 "$(command -v qemu-mipsel)" "$daemon"
for _ in $(seq 200); do  # 20 s at most for the pass to end
  [ -z "$(ip netns pids "$ns")" ] && break
  sleep 0.1
done

counters="$(NVRAM_FILE="$store" "$nvram_tool" get ping_address_index),$(NVRAM_FILE="$store" "$nvram_tool" get ping_times)"
log="$(cat "$work/netvigil.log" 2>/dev/null || true)"
if [ -n "$(ip netns pids "$ns")" ] || [ "$counters" != "1,1" ] || [ -e "$work/reboots" ] ||
   ! grep -qF ']:ping 127.0.0.1 success' <<<"$log"; then
  echo "netvigil pass under qemu-mipsel: FAILED (counters $counters, expected 1,1)" >&2
  echo "$log" >&2
  exit 1
fi
echo "netvigil pass under qemu-mipsel: ping 127.0.0.1 success, counters written through nvram (1,1):"
sed 's/^/  /' <<<"$log"
