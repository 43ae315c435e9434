#!/usr/bin/env bash
# Runs a Windows program under wine for CTest and GoogleTest's test
# discovery:  wine-run.sh DEFAULT_PREFIX PROGRAM.exe [ARGS...]
#
# The wine prefix is $WINEPREFIX when set, else DEFAULT_PREFIX (inside the
# build folder); it is made on first use, once, even when several programs
# start at the same moment. Wine's own diagnostics stay off unless WINEDEBUG
# says otherwise, and the CR LF line ends of the programs' console output
# become LF so that their output reads like a native program's.
set -uo pipefail
default_prefix="$(realpath -m "$1")"
shift
export WINEPREFIX="${WINEPREFIX:-$default_prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No .NET or HTML engine: their install prompts would block a headless run.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Debian's package wine64 keeps its loader in /usr/lib/wine.
wine="$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot -i >/dev/null 2>&1
      "$(dirname "$wine")/wineserver" -w
    fi
  ) 9>"$WINEPREFIX.lock"
fi

"$wine" "$@" | tr -d '\r'
exit "${PIPESTATUS[0]}"
