#!/usr/bin/env bash
# The package netvigil-<version>-mipsel.tar.gz as the firmware's engineer
# gets it: exactly the daemon, its start-up script, its nvram defaults and
# its man page, laid out as in the router's root file system; the daemon a
# stripped, static 32-bit MIPS little-endian program that prints the build's
# version under qemu-mipsel; the man page free of roff warnings; and the
# defaults, stored through the project's nvram program, read by the daemon's
# dry runs without a settings fault.
#
#   router_package_test.sh PACKAGE VERSION NVRAM_PROGRAM
set -euo pipefail

package="$(realpath "$1")"
version="$2"
nvram_tool="$(realpath "$3")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
pass() { echo "  ok: $*"; }
fail() { echo "  FAILED: $*"; failures=$((failures + 1)); }
expect_eq() {  # expect_eq WHAT ACTUAL EXPECTED
  if [ "$2" = "$3" ]; then pass "$1: $2"; else fail "$1: got '$2', expected '$3'"; fi
}

echo "== $(basename "$package")"
top="$(basename "$package" .tar.gz)"
tar -xzf "$package" -C "$work"
root="$work/$top"
expect_eq "files" "$(cd "$work" && find . -type f -printf '%m %p\n' | sort | paste -sd' ')" \
  "644 ./$top/usr/share/man/man8/netvigil.8 755 ./$top/etc/init.d/S90netvigil 755 ./$top/usr/sbin/netvigil 755 ./$top/usr/share/netvigil/nvram-defaults.sh"

daemon="$root/usr/sbin/netvigil"
header="$(mipsel-linux-gnu-readelf -h "$daemon")"
expect_eq "ELF class, byte order, machine" \
  "$(sed -n 's/^ *\(Class\|Data\|Machine\): *//p' <<<"$header" | paste -sd',')" \
  "ELF32,2's complement, little endian,MIPS R3000"
if mipsel-linux-gnu-readelf -S "$daemon" | grep -q '\.symtab'; then fail "the daemon is not stripped"; else pass "stripped"; fi
if mipsel-linux-gnu-readelf -l "$daemon" | grep -q 'INTERP'; then fail "the daemon is linked dynamically"; else pass "static"; fi
expect_eq "netvigil --version" "$(qemu-mipsel "$daemon" --version)" "netvigil $version"

warnings="$(groff -man -ww -z "$root/usr/share/man/man8/netvigil.8" 2>&1)"
if [ -z "$warnings" ]; then pass "netvigil(8) formats without warnings"; else fail "netvigil(8): $warnings"; fi

defaults="$root/usr/share/netvigil/nvram-defaults.sh"
if grep -v '^#' "$defaults" | grep -v '^$' | grep -qv '^nvram set [a-z_0-9]*=[^ ]*$'; then
  fail "nvram-defaults.sh holds a line other than comments and 'nvram set KEY=VALUE'"
else
  pass "nvram-defaults.sh: comments and 'nvram set' lines only"
fi
mkdir "$work/bin"
ln -s "$nvram_tool" "$work/bin/nvram"
touch "$work/link.ppp0"
export NVRAM_FILE="$work/nvram.txt"
PATH="$work/bin:$PATH" sh "$defaults"
# Two dry runs: the defaults as shipped (no server: the link wait), then with
# one server configured but not named, whose ping fails at once without a
# packet, so that the failure path reads its settings too.
dry_run() {  # dry_run WHAT
  local status=0
  env -i PATH="$work/bin" NVRAM_FILE="$NVRAM_FILE" NETVIGIL_LOG_FILE="$work/netvigil.log" \
    NETVIGIL_LINK_MARKER="$work/link.ppp0" "$(command -v qemu-mipsel)" "$daemon" --dry-run \
    >"$work/dry-run.txt" 2>&1 || status=$?
  if [ "$status" -le 1 ] && grep -q '^dry-run: counters after' "$work/dry-run.txt" &&
     ! grep -q 'Settings fault' "$work/dry-run.txt"; then
    pass "a dry run on $1: no settings fault"
  else
    fail "a dry run on $1 (status $status):"
    sed 's/^/    /' "$work/dry-run.txt"
  fi
}
dry_run "the defaults"
"$nvram_tool" set remote_server_number=1
dry_run "the defaults with one server"

if [ "$failures" -ne 0 ]; then
  echo "router package test: $failures FAILED" >&2
  exit 1
fi
echo "router package test: all passed"
