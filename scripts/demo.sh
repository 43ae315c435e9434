#!/usr/bin/env bash
# The main job: builds `orvane` and the router simulator, packs a sample
# image for each of the five update items into a folder (plus a damaged copy
# and an unrelated .bin file), inspects them, starts the simulated router and
# module on loopback, and runs a check and a full update against it.
#
#   scripts/demo.sh              in a new temporary folder, removed at the end
#   scripts/demo.sh --keep       the same, but the folder (images, log) is kept
#   scripts/demo.sh FOLDER       in FOLDER, which is kept
#   TIME_SCALE=1 scripts/demo.sh at the real router's pace (several minutes)
set -euo pipefail
cd "$(dirname "$0")/.."

keep=0
demo=""
for arg in "$@"; do
  case "$arg" in
    --keep) keep=1 ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "demo: unknown option $arg (see --help)" >&2; exit 2 ;;
    *) demo="$arg"; keep=1 ;;
  esac
done

scripts/setup.sh
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/orvane-ccache}"
# fail WHAT: the last line when the build fails; the compiler's or CMake's
# own messages are just above it.
fail() {
  echo >&2
  echo "demo: $1 failed (its errors are above); nothing was run." >&2
  exit 1
}
echo "== configuring the release build in build/release"
cmake --preset release >/dev/null || fail "configuring the build (cmake --preset release)"
echo "== building orvane and orvane-routersim (the first build takes a few minutes)"
cmake --build --preset release --target orvane orvane-routersim -j "$(nproc)" ||
  fail "the build (cmake --build --preset release --target orvane orvane-routersim)"
orvane="$PWD/build/release/src/cli/orvane"
routersim="$PWD/build/release/tools/routersim/orvane-routersim"
scale="${TIME_SCALE:-0.1}"

[ -n "$demo" ] || demo="$(mktemp -d -t orvane-demo.XXXXXX)"
mkdir -p "$demo"
payloads="$(mktemp -d -t orvane-demo-payloads.XXXXXX)"
ports="$(mktemp -t orvane-demo-ports.XXXXXX)"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  fi
  rm -rf "$payloads" "$ports"
  if [ "$keep" = 1 ]; then
    echo "Images and the download log are in $demo"
  else
    rm -rf "$demo"
    echo "Removed $demo (scripts/demo.sh --keep keeps it)"
  fi
}
trap cleanup EXIT

# Payloads: random bytes; router payloads carry their kind in bits 1-2 of
# the little-endian word at offset 12 (0 app, 1 boot, 2 resource) and the
# version the new software reports in the 32 bytes from offset 16 (the
# simulated router reports it once it accepted the image).
python3 - "$payloads" <<'PY'
import os, struct, sys
d = sys.argv[1]
for name, size, kind, version in (("boot", 64 * 1024, 1, b"1.0.4.2.1"), ("app", 512 * 1024, 0, b"2.1.10.3.7"),
                                  ("resource", 256 * 1024, 2, b"2.1.10.3.7")):
    data = bytearray(os.urandom(size))
    word = struct.unpack_from("<I", data, 12)[0]
    struct.pack_into("<I", data, 12, (word & ~6) | (kind << 1))
    data[16:48] = version.ljust(32, b"\0")
    open(os.path.join(d, name + ".dat"), "wb").write(data)
for name, size in (("amss", 700 * 1024), ("dsp", 300 * 1024), ("dash1", 90 * 1024), ("dash2", 40 * 1024)):
    open(os.path.join(d, name + ".dat"), "wb").write(os.urandom(size))
PY

echo "== packing sample images into $demo"
"$orvane" image pack --type boot --version "1.0.4.2.1" -o "$demo/router_boot.bin" "$payloads/boot.dat"
"$orvane" image pack --type app --version "2.1.10.3.7" -o "$demo/router_app.bin" "$payloads/app.dat"
"$orvane" image pack --type resource --version "2.1.10.3.7" -o "$demo/router_res.bin" "$payloads/resource.dat"
"$orvane" image pack --type firmware --version "11.608.13.02.00" --unlock 3132333435363738 \
  --target 0x00100000 -o "$demo/module_fw.bin" "$payloads/amss.dat" "$payloads/dsp.dat"
"$orvane" image pack --type dashboard --version "11.002.03.05.00" --unlock 3132333435363738 \
  -o "$demo/module_dash.bin" "$payloads/dash1.dat" "$payloads/dash2.dat"

# A damaged copy (one byte flipped inside the firmware's data) and a file
# that only shares the extension.
python3 - "$demo" <<'PY'
import sys
d = sys.argv[1]
data = bytearray(open(d + "/module_fw.bin", "rb").read())
data[50000] ^= 0x01
open(d + "/module_fw_damaged.bin.old", "wb").write(data)
open(d + "/readme.bin", "wb").write(b"not an image\n" * 20)
PY
mv "$demo/module_fw_damaged.bin.old" "$demo/zz_damaged.bin"

echo
echo "== orvane image inspect"
"$orvane" image inspect "$demo"/*.bin || true
echo
echo "== orvane image scan (the discovery a Check runs)"
"$orvane" image scan "$demo"

# The simulated router on loopback, with its module running the "before"
# versions and the unlock code the images carry.
echo
echo "== starting the simulated router on 127.0.0.1 (time scale $scale)"
"$routersim" --time-scale "$scale" --unlock 3132333435363738 >"$ports" &
sim_pid=$!
for _ in $(seq 100); do [ "$(wc -l <"$ports")" -ge 3 ] && break; sleep 0.1; done
cat "$ports"
port_of() { grep "^$1 " "$ports" | sed 's/.*://'; }
net=(--broadcast 127.0.0.1 --port "$(port_of relay)" --control-port "$(port_of control)"
     --telnet-port "$(port_of telnet)" --time-scale "$scale" --log-dir "$demo/logs")

echo
echo "== orvane check"
"$orvane" check --dir "$demo" "${net[@]}"
echo
echo "== orvane update --yes --verify"
status=0
"$orvane" update --yes --verify --dir "$demo" "${net[@]}" || status=$?
echo
echo "== orvane history"
"$orvane" history --log-dir "$demo/logs"
echo
exit $status
