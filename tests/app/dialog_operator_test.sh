#!/usr/bin/env bash
# The dialog program the way an operator uses it, under wine in a virtual X
# server, against the router simulator on loopback:
#
#   images and an orvane.ini beside a copy of Orvane.exe -> start it
#   -> layout numbers on the real window -> a second copy leaves one window
#   -> Check: five rows -> Update: closing and Escape refused during the run
#   -> five "Download success(mm:ss)" rows -> close -> a new copy starts
#   -> against a router whose module never answers: the window answering
#      and Escape and closing refused during the check, then five rows
#   -> that router gone: Update ends with the run's warning, Check with the
#      check's warning before its end and the diagnosis's findings in the log
#
#   dialog_operator_test.sh WINDOWS_BUILD NATIVE_BUILD OUT_DIR
#
# WINDOWS_BUILD holds src/app/Orvane.exe and tests/app/orvane-dialog-driver.exe;
# NATIVE_BUILD holds src/cli/orvane and tools/routersim/orvane-routersim.
# OUT_DIR receives the screenshots (after-check.png, after-update.png), the
# download log and the wine prefix (made afresh on every run).
set -euo pipefail

windows_build="$(realpath "$1")"
native_build="$(realpath "$2")"
out="$(realpath -m "$3")"
here="$(cd "$(dirname "$0")" && pwd)"
scale="${TIME_SCALE:-0.05}"
# The silent module's check waits out three handshakes (6 s each on the
# clock): at this scale it lasts long enough to be watched.
silent_scale="${SILENT_TIME_SCALE:-0.3}"

orvane="$native_build/src/cli/orvane"
routersim="$native_build/tools/routersim/orvane-routersim"
exe="$windows_build/src/app/Orvane.exe"
driver_exe="$windows_build/tests/app/orvane-dialog-driver.exe"
for f in "$orvane" "$routersim" "$exe" "$driver_exe"; do
  [ -x "$f" ] || { echo "dialog test: missing $f" >&2; exit 1; }
done

rm -rf "$out"
mkdir -p "$out/app" "$out/payloads"
export WINEPREFIX="$out/wineprefix"
. "$(dirname "$0")/wine_desktop.sh"

sim_pid=""
silent_pid=""
app_pid=""
failures=0
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  [ -n "$silent_pid" ] && kill "$silent_pid" 2>/dev/null && wait "$silent_pid" 2>/dev/null
  [ -d "$WINEPREFIX" ] && "$wineserver" -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  return 0
}
trap cleanup EXIT

pass() { echo "  ok: $*"; }
fail() { echo "  FAILED: $*"; failures=$((failures + 1)); }
expect_eq() {  # expect_eq WHAT ACTUAL EXPECTED
  if [ "$2" = "$3" ]; then pass "$1: $2"; else fail "$1: got '$2', expected '$3'"; fi
}
winpath() { echo "Z:${1//\//\\}"; }
# One call of the driver; its CR LF line ends become LF.
driver() { "$wine" "$driver_exe" "$@" | tr -d '\r'; return "${PIPESTATUS[0]}"; }
# enabled [N]: "1"/"0" for Check, Update and the option (the first N of them).
enabled() { driver state | cut -d' ' -f2 | head -n "${1:-3}" | paste -sd' '; }

# --- an X server of our own and a wine prefix with a virtual desktop -------
echo "== virtual X server and wine prefix"
start_wine_desktop "$out" 1100x700

# The widgets' tests need windows, so a display: they run here as well.
widgets_test="$windows_build/tests/app/widgets_test.exe"
if [ -x "$widgets_test" ]; then
  echo "== widgets on real controls"
  if "$wine" "$widgets_test" --gtest_brief=1 2>&1 | tr -d '\r' | tail -n 3; then
    pass "widgets_test"
  else
    fail "widgets_test"
  fi
fi

# --- images beside the program and the simulator ----------------------------
echo "== sample images, the simulated router and orvane.ini"
python3 - "$out/payloads" <<'PY'
import os, struct, sys
d = sys.argv[1]
for name, size, kind in (("boot", 64 * 1024, 1), ("app", 256 * 1024, 0), ("resource", 128 * 1024, 2)):
    data = bytearray(os.urandom(size))
    word = struct.unpack_from("<I", data, 12)[0]
    struct.pack_into("<I", data, 12, (word & ~6) | (kind << 1))
    open(os.path.join(d, name + ".dat"), "wb").write(data)
for name, size in (("amss", 300 * 1024), ("dsp", 100 * 1024), ("dash1", 60 * 1024), ("dash2", 30 * 1024)):
    open(os.path.join(d, name + ".dat"), "wb").write(os.urandom(size))
PY
p="$out/payloads"
"$orvane" image pack --type boot --version "1.0.4.2.1" -o "$out/app/router_boot.bin" "$p/boot.dat" >/dev/null
"$orvane" image pack --type app --version "2.1.10.3.7" -o "$out/app/router_app.bin" "$p/app.dat" >/dev/null
"$orvane" image pack --type resource --version "2.1.10.3.7" -o "$out/app/router_res.bin" "$p/resource.dat" >/dev/null
"$orvane" image pack --type firmware --version "11.608.13.02.00" --unlock 3132333435363738 \
  --target 0x00100000 -o "$out/app/module_fw.bin" "$p/amss.dat" "$p/dsp.dat" >/dev/null
"$orvane" image pack --type dashboard --version "11.002.03.05.00" --unlock 3132333435363738 \
  -o "$out/app/module_dash.bin" "$p/dash1.dat" "$p/dash2.dat" >/dev/null
cp "$exe" "$out/app/Orvane.exe"

# start_sim NAME [FLAGS...]: a simulator on loopback whose ports go to
# $out/NAME.ports and its log to $out/NAME.log; its process id in $last_pid.
start_sim() {
  local name="$1"
  shift
  "$routersim" "$@" >"$out/$name.ports" 2>"$out/$name.log" &
  last_pid=$!
  for _ in $(seq 100); do [ "$(wc -l <"$out/$name.ports")" -ge 3 ] && break; sleep 0.1; done
}
# write_ini NAME SCALE: orvane.ini for the simulator NAME at time scale SCALE.
write_ini() {
  local ports="$out/$1.ports"
  port_of() { grep "^$1 " "$ports" | sed 's/.*://'; }
  printf '[network]\nbroadcast=127.0.0.1\nrelay_port=%s\ncontrol_port=%s\ntelnet_port=%s\n[timing]\ntime_scale=%s\n' \
    "$(port_of relay)" "$(port_of control)" "$(port_of telnet)" "$2" | tee "$out/app/orvane.ini"
}
start_sim routersim --time-scale "$scale" --unlock 3132333435363738
sim_pid=$last_pid
write_ini routersim "$scale"

start_app() {
  (cd "$out/app" && exec "$wine" Orvane.exe) >>"$out/orvane.out" 2>&1 &
  app_pid=$!
}

echo "== start"
start_app
title="$(driver find 30000 | sed -n 's/^title: //p')"
# The build's full version (with its commit when built from a checkout).
version_full="$(sed -n 's/^#define ORVANE_VERSION_FULL "\(.*\)"$/\1/p' "$windows_build/generated/orvane_version.h")"
expect_eq "title from the version block" "$title" "Orvane - $version_full"
state="$(driver state)"
expect_eq "Check enabled, Update disabled, option hidden and disabled" "$(echo $state)" "1000 1 1 1013 0 1 1012 0 0"

echo "== layout"
layout_line() { driver layout | grep "^$1 " | cut -d' ' -f2-; }
read -r W H <<<"$(layout_line client)"
gap=$(( (W - 400) / 3 ))
expect_eq "Check at its size ${W}x${H}" "$(layout_line 1000)" "$gap 6 200 50"
expect_eq "Update at its size ${W}x${H}" "$(layout_line 1013)" "$((2 * gap + 200)) 6 200 50"
expect_eq "list at its size ${W}x${H}" "$(layout_line 1011)" "10 88 $((W - 20)) $((H - 94))"
driver resize 520 144
expect_eq "client 520 x 144" "$(layout_line client)" "520 144"
expect_eq "Check at 520 x 144" "$(layout_line 1000)" "40 6 200 50"
expect_eq "Update at 520 x 144" "$(layout_line 1013)" "280 6 200 50"
expect_eq "option at 520 x 144" "$(layout_line 1012)" "10 62 500 20"
expect_eq "list at 520 x 144" "$(layout_line 1011)" "10 88 500 50"
driver resize 400 100
small="$(layout_line client)"
expect_eq "Check below the minimum ($small)" "$(layout_line 1000)" "40 6 200 50"
expect_eq "Update below the minimum ($small)" "$(layout_line 1013)" "280 6 200 50"
expect_eq "list below the minimum ($small)" "$(layout_line 1011)" "10 88 500 50"
driver resize "$W" "$H"
expect_eq "Check back at ${W}x${H}" "$(layout_line 1000)" "$gap 6 200 50"

echo "== a second copy while the first is minimised"
driver minimize
sleep 1
expect_eq "first copy minimised" "$(driver iconic)" "1"
second_status=0
(cd "$out/app" && timeout 60 "$wine" Orvane.exe) >>"$out/orvane.out" 2>&1 || second_status=$?
expect_eq "second copy ended by itself" "$second_status" "0"
expect_eq "dialog windows" "$(driver count)" "1"
sleep 1
expect_eq "first copy restored" "$(driver iconic)" "0"

echo "== Check"
driver click 1000
if driver wait-enabled 1013 90000; then pass "Update enabled after the check"; else fail "Update not enabled after the check"; fi
driver rows | tee "$out/rows-after-check.txt" | sed 's/^/    /'
expect_eq "rows after the check" "$(wc -l <"$out/rows-after-check.txt")" "5"
expect_eq "types" "$(cut -f1 "$out/rows-after-check.txt" | paste -sd'|')" \
  "Router's BOOT|Router's APP|Router's Resource|Firmware|Dashboard"
expect_eq "update versions" "$(cut -f3 "$out/rows-after-check.txt" | paste -sd'|')" \
  "1.0.4.2.1|2.1.10.3.7|2.1.10.3.7|11.608.13.02.00|11.002.03.05.00"
expect_eq "status texts" "$(cut -f5 "$out/rows-after-check.txt" | paste -sd'|')" \
  "Waiting update|Waiting update|Waiting update|Waiting update|Waiting update"
expect_eq "status colour (blue, 0x00BBGGRR)" "$(cut -f6 "$out/rows-after-check.txt" | sort -u)" "ff0000"
originals="$(cut -f2 "$out/rows-after-check.txt" | paste -sd'|')"
case "$originals" in
  *"||"* | "|"* | *"|") fail "original versions incomplete: $originals" ;;
  *) pass "original versions read from router and module: $originals" ;;
esac
expect_eq "Check disabled, Update enabled" "$(enabled 2)" "0 1"
driver screenshot "$(winpath "$out/after-check.bmp")" >/dev/null && python3 "$here/bmp_to_png.py" "$out/after-check.bmp" "$out/after-check.png"

echo "== Update"
driver click 1013
sleep 0.5
if [ "$(enabled)" = "0 0 0" ]; then
  pass "all three controls disabled during the run"
  driver close
  refused="$(driver warning 10000 || true)"
  expect_eq "closing during the run" "$refused" "warning: Download is still running!|Please wait!"
  driver escape
  sleep 1
  expect_eq "dialog windows after close box and Escape" "$(driver count)" "1"
else
  fail "the run was over before closing could be tried"
fi
if driver wait-enabled 1000 300000; then pass "Check enabled again after the run"; else fail "the run did not end"; fi
sleep 1
driver rows | tee "$out/rows-after-update.txt" | sed 's/^/    /'
successes="$(cut -f5 "$out/rows-after-update.txt" | grep -cE '^Download success\([0-9]{2}:[0-9]{2}\)$' || true)"
expect_eq "rows showing \"Download success(mm:ss)\"" "$successes" "5"
expect_eq "Check enabled, Update disabled after the run" "$(enabled 2)" "1 0"
driver screenshot "$(winpath "$out/after-update.bmp")" >/dev/null && python3 "$here/bmp_to_png.py" "$out/after-update.bmp" "$out/after-update.png"
cp "$WINEPREFIX"/drive_c/DownloadLog/*/LumtarLog.txt "$out/" 2>/dev/null || true
# The run's line in the run history beside the dated logs, read back by
# the command line's reader.
history="$("$orvane" history --log-dir "$WINEPREFIX/drive_c/DownloadLog" --json 2>&1 || true)"
# Six successes: the run's own verdict, then each of its five items.
expect_eq "the run in the run history (front end, verdict and succeeded items)" \
  "$(grep -o '"front_end":"dialog"' <<<"$history" | wc -l) $(grep -o '"outcome":"succeeded"' <<<"$history" | wc -l)" "1 6"

echo "== close, then a new copy starts (against a router whose module never answers)"
driver close
if driver gone 10000; then pass "closed after the run"; else fail "dialog still open after close"; fi
wait "$app_pid" 2>/dev/null || true
app_pid=""
start_sim silent --time-scale "$silent_scale" --module none
silent_pid=$last_pid
write_ini silent "$silent_scale"
start_app
if driver find 30000 >/dev/null; then pass "a new copy starts after the first closed"; else fail "no new copy"; fi

echo "== Check with the module silent: refusals, and the window answers while it runs"
started=$SECONDS
driver click 1000
answered="$(driver responsive 1500)" && pass "during the check: $answered" || fail "during the check: $answered"
driver escape
driver close
refused="$(driver warning 10000 || true)"
expect_eq "closing during the check" "$refused" "warning: Download is still running!|Please wait!"
expect_eq "dialog windows after Escape and close box during the check" "$(driver count)" "1"
expect_eq "Check and Update still disabled: the check goes on" "$(enabled 2)" "0 0"
if driver wait-enabled 1013 60000; then pass "Update enabled after the check"; else fail "the check did not end"; fi
echo "    the check took about $((SECONDS - started)) s"
driver rows | tee "$out/rows-silent.txt" | sed 's/^/    /'
expect_eq "rows after the silent check" "$(wc -l <"$out/rows-silent.txt")" "5"
expect_eq "module rows without a version" "$(cut -f2 "$out/rows-silent.txt" | tail -n 2 | paste -sd'|')" "|"
expect_eq "router rows with a version" "$(cut -f2 "$out/rows-silent.txt" | head -n 3 | grep -c .)" "3"
expect_eq "status texts" "$(cut -f5 "$out/rows-silent.txt" | sort -u)" "Waiting update"
expect_eq "Check disabled, Update enabled" "$(enabled 2)" "0 1"

echo "== Update with the router gone: the run's warning"
kill "$silent_pid" && wait "$silent_pid" 2>/dev/null || true
silent_pid=""
driver click 1013
expect_eq "warning after a run that could not connect" "$(driver warning 30000 || true)" "warning: Create TCP connect fail"
expect_eq "Check enabled, Update disabled after the run" "$(enabled 2)" "1 0"

echo "== Check with the router gone: the check's warning comes before its end"
driver click 1000
expect_eq "the check's warning" "$(driver warning 30000 open || true)" "warning: Detect none router"
sleep 0.5
expect_eq "controls while the warning is open" "$(enabled)" "0 0 0"
driver warning 1000 >/dev/null
# The worker goes on with the diagnosis after the warning; Check comes back at its end.
driver wait-enabled 1000 30000 || true
expect_eq "after OK: Check alone enabled" "$(enabled)" "1 0 0"
expect_eq "rows after the failed check" "$(driver rows | wc -l)" "0"
log="$(ls -t "$WINEPREFIX"/drive_c/DownloadLog/*/LumtarLog.txt | head -n 1)"
cp "$log" "$out/LumtarLog-failed-check.txt"
if grep -q "Diagnosis: fault: no router answered discovery" "$log"; then
  pass "the failed check's findings are in the log"
else
  fail "no finding of the diagnosis in $log"
fi

driver escape
if driver gone 10000; then pass "Escape closes the dialog when no run is on"; else fail "Escape did not close"; fi
wait "$app_pid" 2>/dev/null || true
app_pid=""

echo "== a trusted key in keys\\ and an image changed after signing: the Warning box, nothing sent"
mkdir -p "$out/app/keys"
key_number="$("$orvane" image keygen "$out/release" | sed -n 's/.*: key \([0-9a-f]\{16\}\) .*/\1/p')"
cp "$out/release.pub" "$out/app/keys/release.pub"
"$orvane" image sign --key "$out/release.sec" "$out/app" >/dev/null
# The file header's unused word: the image stays valid, but is not the one signed.
python3 - "$out/app/router_app.bin" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[4] ^= 1
open(sys.argv[1], "wb").write(data)
PY
changed_hash="$(sha256sum "$out/app/router_app.bin" | cut -d' ' -f1)"
start_app
driver find 30000 >/dev/null
driver click 1000
expect_eq "the refusal's warning" "$(driver warning 30000 || true)" \
  "warning: Image not signed by a trusted key:|router_app.bin: hash differs (the image's SHA-256 is $changed_hash)"
driver wait-enabled 1000 30000 || true
expect_eq "after OK: Check alone enabled, Update disabled" "$(enabled)" "1 0 0"
log="$(ls -t "$WINEPREFIX"/drive_c/DownloadLog/*/LumtarLog.txt | head -n 1)"
cp "$log" "$out/LumtarLog-unsigned.txt"
if grep -q "Trusted keys: $key_number (.*keys.release\.pub)" "$log"; then
  pass "the log names the trusted key $key_number"
else
  fail "the log does not name the trusted key '$key_number'"
fi
# The refused check's block: its lines after the last separator.
refused_block="$(tac "$log" | sed '/++++++++++/q' | tac)"
if grep -q "Check: Image not signed by a trusted key: router_app.bin: hash differs" <<<"$refused_block" &&
   ! grep -q "Router \|Diagnosis:" <<<"$refused_block"; then
  pass "the log says why, and neither discovery nor the diagnosis ran"
else
  fail "the refused check's log block: $refused_block"
fi
driver escape
driver gone 10000 || fail "the dialog did not close"
wait "$app_pid" 2>/dev/null || true
app_pid=""

echo "== screenshots: $out/after-check.png $out/after-update.png"
if [ "$failures" -ne 0 ]; then
  echo "dialog test: $failures check(s) failed"
  exit 1
fi
echo "dialog test: all checks passed"
