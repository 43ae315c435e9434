#!/usr/bin/env bash
# The Windows build: cross-compiles the portable libraries, orvane-cli.exe and
# the portable tests for 64-bit Windows (MinGW-w64, static; preset windows)
# and runs the tests under wine, in a wine prefix made afresh inside
# build/windows for this run and whose server is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/setup.sh g++-mingw-w64-x86-64-posix wine64 googletest

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
