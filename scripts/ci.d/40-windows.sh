#!/usr/bin/env bash
# The Windows build: cross-compiles the portable libraries, orvane-cli.exe and
# the portable tests for 64-bit Windows (MinGW-w64, static; preset windows)
# and runs the tests under wine, in a wine prefix made afresh inside
# build/windows for this run and whose server is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/setup.sh g++-mingw-w64-x86-64-posix wine64 googletest libgcrypt-mingw-w64-dev

export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/orvane-ccache}"
build=build/windows
cmake --preset windows >/dev/null
cmake --build --preset windows -j "${ORVANE_JOBS:-2}"

# Debian's package wine64 keeps its programs in /usr/lib/wine.
wineserver="$(command -v wineserver || echo /usr/lib/wine/wineserver)"
export WINEPREFIX="$PWD/$build/wineprefix"
export WINEDEBUG=-all
"$wineserver" -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
trap '"$wineserver" -k 2>/dev/null || true' EXIT
ctest --preset windows

# The Windows build of the updater against the simulated router, which runs
# natively on loopback: a check, then an update of a router image and the
# module's firmware, with images packed and signed by the Windows build
# itself and its key trusted.
echo "== orvane-cli.exe under wine against the simulator on loopback"
cmake --preset dev >/dev/null
cmake --build --preset dev --target orvane-routersim -j "${ORVANE_JOBS:-2}" >/dev/null
work="$PWD/$build/cli-loopback"
rm -rf "$work"
mkdir -p "$work/images"
cli() { cmake/toolchains/wine-run.sh "$WINEPREFIX" "$PWD/$build/src/cli/orvane-cli.exe" "$@"; }
# A path as the Windows program sees it (drive Z: is the root); a path that
# starts with "/" would read as a Windows-style option there.
win() { printf 'Z:%s' "${1//\//\\}"; }
python3 - "$work" <<'PY'
import os, struct, sys
d = sys.argv[1]
app = bytearray(os.urandom(256 * 1024))
word = struct.unpack_from("<I", app, 12)[0]
struct.pack_into("<I", app, 12, word & ~6)  # router payload kind 0: app
open(os.path.join(d, "app.dat"), "wb").write(app)
for name, size in (("amss", 200 * 1024), ("dsp", 100 * 1024)):
    open(os.path.join(d, name + ".dat"), "wb").write(os.urandom(size))
PY
cli image pack --type app --version 2.1.10.3.7 -o "$(win "$work/images/router_app.bin")" "$(win "$work/app.dat")"
cli image pack --type firmware --version 11.608.13.02.00 --unlock 3132333435363738 --target 0x00100000 \
  -o "$(win "$work/images/module_fw.bin")" "$(win "$work/amss.dat")" "$(win "$work/dsp.dat")"

scale=0.05
build/dev/tools/routersim/orvane-routersim --time-scale "$scale" >"$work/ports" &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; "$wineserver" -k 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ "$(wc -l <"$work/ports")" -ge 3 ] && break; sleep 0.1; done
port_of() { grep "^$1 " "$work/ports" | sed 's/.*://'; }
net=(--dir "$(win "$work/images")" --broadcast 127.0.0.1 --port "$(port_of relay)" --control-port "$(port_of control)"
     --telnet-port "$(port_of telnet)" --time-scale "$scale" --log-dir "$(win "$work/logs")")
# Signed by the Windows build itself, and checked by it with the key trusted.
cli image keygen "$(win "$work/release")"
cli image sign --key "$(win "$work/release.sec")" "$(win "$work/images")"
cli check "${net[@]}" --trusted-key "$(win "$work/release.pub")" | tee "$work/check.txt"
grep -q "^Signatures: verified" "$work/check.txt" || { echo "the check did not verify the signatures" >&2; exit 1; }
cli update --yes "${net[@]}" --trusted-key "$(win "$work/release.pub")" | tee "$work/update.txt"
successes="$(grep -c "Download success" "$work/update.txt" || true)"
if [ "$successes" -ne 2 ]; then
  echo "expected 2 items with \"Download success\", saw $successes" >&2
  exit 1
fi
kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true

# The relinking kit of the operator's zip (what the LGPL asks beside programs
# linked statically with libgcrypt): orvane-cli.exe linked again from it by
# the command its README gives, against Debian's libgcrypt.a, runs.
echo "== orvane-cli.exe relinked from the zip's relink folder"
cmake --build --preset windows --target package -j "${ORVANE_JOBS:-2}" >/dev/null
version="$(sed -n 's/^#define ORVANE_VERSION_TEXT "\(.*\)"$/\1/p' "$build/generated/orvane_version.h")"
version_full="$(sed -n 's/^#define ORVANE_VERSION_FULL "\(.*\)"$/\1/p' "$build/generated/orvane_version.h")"
rm -rf "$work/zip"
mkdir -p "$work/zip"
zip="$PWD/$build/Orvane-$version-win64.zip"
(cd "$work/zip" && cmake -E tar xf "$zip")
kit="$work/zip/Orvane-$version-win64/relink"
command="$(tr -d '\r' <"$kit/README.txt" | sed -n '/-o orvane-cli.exe/,/^$/p' | sed 's/\\$//' | tr '\n' ' ')"
[ -n "$command" ] || { echo "relink/README.txt gives no command for orvane-cli.exe" >&2; exit 1; }
(cd "$kit" && LIBS=/usr/x86_64-w64-mingw32/lib && eval "$command")
relinked="$(cmake/toolchains/wine-run.sh "$WINEPREFIX" "$kit/orvane-cli.exe" --version | head -n 1)"
if [ "$relinked" != "orvane $version_full" ]; then
  echo "the relinked orvane-cli.exe says '$relinked', expected 'orvane $version_full'" >&2
  exit 1
fi
echo "relinked orvane-cli.exe --version: $relinked"
