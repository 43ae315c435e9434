#!/usr/bin/env bash
# The Debian package of `orvane` and `orvane-routersim`, built from the
# release build (the one 50-robustness made, so little is compiled here),
# checked with lintian, installed with apt on this machine, then used: its
# `orvane --version`, and its `orvane check` against its own simulator on
# loopback. The package is removed again at the end.
#
#   ORVANE_PACKAGE_BUILD  the release build folder (default build/release)
set -euo pipefail
cd "$(dirname "$0")/../.."

# dpkg-dev and file: CPack reads the programs' library needs with dpkg-shlibdeps.
scripts/setup.sh help2man lintian dpkg-dev file man-db

export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/orvane-ccache}"
jobs="${ORVANE_JOBS:-2}"
build="${ORVANE_PACKAGE_BUILD:-build/release}"

if [ "$build" = build/release ]; then
  cmake --preset release >/dev/null
fi
cmake --build "$build" -j "$jobs" --target deb
version="$(sed -n 's/^#define ORVANE_VERSION_TEXT "\(.*\)"$/\1/p' "$build/generated/orvane_version.h")"
version_full="$(sed -n 's/^#define ORVANE_VERSION_FULL "\(.*\)"$/\1/p' "$build/generated/orvane_version.h")"
deb="$build/orvane_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "package: $deb was not made" >&2; exit 1; }
echo "== lintian $(basename "$deb")"
# No error or warning may remain. Informational remarks (lintian -I) that
# stay, on purpose:
#   binary-has-unneeded-section .comment   the compiler's version note, which
#       stripping keeps; harmless.
#   hardening-no-bindnow, hardening-no-fortify-functions   the release build
#       takes CMake's flags, not dpkg-buildflags' (-z now, _FORTIFY_SOURCE).
#   spelling-error-in-binary "Unknow"   the fallback text for an error code
#       without a message ("Unknow Error Code: %d"), kept word for word.
#   spelling-error-in-binary "openened", "attemp"   not in the program's
#       texts: the optimiser lays "...opened" and "...ned for reading" (or a
#       text ending in "attemp" and the next) over each other in the string
#       pool, and the scan reads across them.
lintian --fail-on error,warning "$deb"

if [ "$(id -u)" -ne 0 ]; then
  echo "installing the package: SKIPPED (needs root for apt-get install)"
  exit 0
fi
echo "== apt-get install ./$deb"
apt_get=(apt-get -y -q -o DPkg::Lock::Timeout=120)
work="$(mktemp -d)"
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  DEBIAN_FRONTEND=noninteractive "${apt_get[@]}" remove orvane >/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
DEBIAN_FRONTEND=noninteractive "${apt_get[@]}" install "./$deb" >/dev/null

# The first line is the version; the next ones the crypto library and the trusted keys.
printed="$(/usr/bin/orvane --version | head -n 1)"
if [ "$printed" != "orvane $version_full" ]; then
  echo "installed orvane --version: got '$printed', expected 'orvane $version_full'" >&2
  exit 1
fi
echo "orvane --version: $printed"
for page in orvane orvane-routersim; do
  man -w "$page" >/dev/null || { echo "man page $page(1) is not installed" >&2; exit 1; }
done

echo "== the installed orvane checks the installed simulator on 127.0.0.1"
scale=0.05
python3 - "$work" <<'PY'
import os, struct, sys
app = bytearray(os.urandom(64 * 1024))
word = struct.unpack_from("<I", app, 12)[0]
struct.pack_into("<I", app, 12, word & ~6)  # router payload kind 0: app
open(os.path.join(sys.argv[1], "app.dat"), "wb").write(app)
PY
mkdir "$work/images"
/usr/bin/orvane image pack --type app --version 2.1.10.3.7 -o "$work/images/router_app.bin" "$work/app.dat" >/dev/null
/usr/bin/orvane-routersim --time-scale "$scale" >"$work/ports" 2>"$work/routersim.log" &
sim_pid=$!
for _ in $(seq 100); do [ "$(wc -l <"$work/ports")" -ge 3 ] && break; sleep 0.1; done
port_of() { grep "^$1 " "$work/ports" | sed 's/.*://'; }
/usr/bin/orvane check --dir "$work/images" --broadcast 127.0.0.1 --port "$(port_of relay)" \
  --control-port "$(port_of control)" --telnet-port "$(port_of telnet)" --time-scale "$scale" \
  --log-dir "$work/logs"
