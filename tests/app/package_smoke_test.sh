#!/usr/bin/env bash
# The operator's zip as the operator gets it: unpacked into an empty folder,
# used from a wine prefix made afresh, in a virtual X server. It must hold
# the two programs, the example orvane.ini, the README, the licences and the
# relinking kit, and nothing else at its top; the
# command-line program must print the build's version, and the dialog must
# open (its title naming that version) and close. Nothing here presses
# Check, so nothing is sent on the network.
#
#   package_smoke_test.sh ZIP DRIVER_EXE VERSION OUT_DIR
#
# DRIVER_EXE is the test build's orvane-dialog-driver.exe; VERSION the
# build's full version ("0.1.0 (commit 1a2b3c4)"); OUT_DIR receives the
# unpacked folder and the wine prefix, which is removed again (about 700 MB)
# when every check passed.
set -euo pipefail

zip="$(realpath "$1")"
driver_exe="$(realpath "$2")"
version="$3"
out="$(realpath -m "$4")"

rm -rf "$out"
mkdir -p "$out/unpacked"
export WINEPREFIX="$out/wineprefix"
. "$(dirname "$0")/wine_desktop.sh"

app_pid=""
failures=0
passed=0
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  [ -d "$WINEPREFIX" ] && "$wineserver" -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  [ "$passed" = 1 ] && rm -rf "$WINEPREFIX"
  return 0
}
trap cleanup EXIT
pass() { echo "  ok: $*"; }
fail() { echo "  FAILED: $*"; failures=$((failures + 1)); }
expect_eq() {  # expect_eq WHAT ACTUAL EXPECTED
  if [ "$2" = "$3" ]; then pass "$1: $2"; else fail "$1: got '$2', expected '$3'"; fi
}

echo "== unpacking $(basename "$zip")"
(cd "$out/unpacked" && cmake -E tar xf "$zip")
top="$out/unpacked/$(basename "$zip" .zip)"
expect_eq "contents" "$(cd "$top" && find . -maxdepth 1 | sort | paste -sd' ')" \
  ". ./LGPL-2.1.txt ./LICENSE.txt ./Orvane.exe ./README.txt ./orvane-cli.exe ./orvane.ini ./relink"
expect_eq "relinking kit" "$(cd "$top/relink" && find . -type f -name '*.txt' -o -type f -name '*.obj' | sort | paste -sd' ')" \
  "./Orvane/main.cpp.obj ./README.txt ./orvane-cli/main.cpp.obj"
if grep -q "GNU Lesser General Public License" "$top/README.txt" && grep -q "relink" "$top/README.txt"; then
  pass "README says what the LGPL gives and how to relink"
else
  fail "README lacks the licences section"
fi
if grep -q "orvane-cli.exe doctor" "$top/README.txt"; then pass "README names the diagnosis"; else fail "README lacks 'orvane-cli.exe doctor'"; fi
cr=$'\r'
if grep -qv "^\(;.*\|\[[a-z]*\]\|\)$cr\$" "$top/orvane.ini"; then
  fail "orvane.ini has a line that is neither a comment, a section nor empty (or lacks CR LF)"
else
  pass "orvane.ini: every key commented out, CR LF line ends"
fi

echo "== a fresh wine prefix in a virtual X server"
start_wine_desktop "$out" 1000x700

echo "== orvane-cli.exe --version"
printed="$(cd "$top" && "$wine" orvane-cli.exe --version | tr -d '\r')"
expect_eq "orvane-cli.exe --version" "$(head -n 1 <<<"$printed")" "orvane $version"
expect_eq "trusted keys without a keys folder" "$(sed -n 's/^trusted keys: //p' <<<"$printed")" "none"
echo "== a key in keys\\ beside the programs is trusted"
mkdir "$top/keys"
(cd "$top" && "$wine" orvane-cli.exe image keygen 'keys\release' | tr -d '\r') >"$out/keygen.out"
number="$(sed -n 's/.*: key \([0-9a-f]\{16\}\) .*/\1/p' "$out/keygen.out")"
printed="$(cd "$top" && "$wine" orvane-cli.exe --version | tr -d '\r')"
if [ -n "$number" ] && grep -q "^trusted keys: $number (.*keys.release\.pub)" <<<"$printed"; then
  pass "orvane-cli.exe --version names the key $number of keys\\release.pub"
else
  fail "the key in keys\\ is not named: $(cat "$out/keygen.out") / $printed"
fi
rm -rf "$top/keys"

echo "== Orvane.exe opens and closes"
driver() { "$wine" "$driver_exe" "$@" | tr -d '\r'; return "${PIPESTATUS[0]}"; }
(cd "$top" && exec "$wine" Orvane.exe) >"$out/orvane.out" 2>&1 &
app_pid=$!
expect_eq "dialog title" "$(driver find 30000 | sed -n 's/^title: //p')" "Orvane - $version"
driver close >/dev/null
if driver gone 10000; then pass "dialog closed"; else fail "dialog still open after close"; fi
wait "$app_pid" 2>/dev/null || true
app_pid=""

if [ "$failures" -ne 0 ]; then
  echo "package smoke test: $failures FAILED" >&2
  exit 1
fi
passed=1
echo "package smoke test: all passed"
