#!/usr/bin/env bash
# The dialog program the way an operator uses it, under wine in a virtual X
# server, against the router simulator on loopback:
#
#   images and an orvane.ini beside a copy of Orvane.exe -> start it
#   -> layout numbers on the real window -> a second copy leaves one window
#   -> Check: five rows -> Update: closing and Escape refused during the run
#   -> five "Download success(mm:ss)" rows -> close -> a new copy starts
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

orvane="$native_build/src/cli/orvane"
routersim="$native_build/tools/routersim/orvane-routersim"
exe="$windows_build/src/app/Orvane.exe"
driver_exe="$windows_build/tests/app/orvane-dialog-driver.exe"
for f in "$orvane" "$routersim" "$exe" "$driver_exe"; do
  [ -x "$f" ] || { echo "dialog test: missing $f" >&2; exit 1; }
done

wine="$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)"
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver="$(command -v wineserver)"

rm -rf "$out"
mkdir -p "$out/app" "$out/payloads"
export WINEPREFIX="$out/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

xvfb_pid=""
sim_pid=""
app_pid=""
failures=0
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
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

# --- an X server of our own and a wine prefix with a virtual desktop -------
echo "== virtual X server and wine prefix"
# Xvfb picks a free display number and writes it to descriptor 3.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$out/display" >"$out/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$out/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$out/display")"
"$wine" wineboot -i >/dev/null 2>&1
"$wineserver" -w
# Debian's wine does not find its own fonts ("Fixedsys", "MS Shell Dlg").
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
# Every program of the prefix shares one virtual desktop, which draws the
# window captions (there is no window manager) and lets the driver find
# the dialog.
"$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1100x700 /f >/dev/null 2>&1
"$wineserver" -w

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

"$routersim" --time-scale "$scale" --unlock 3132333435363738 >"$out/ports" 2>"$out/routersim.log" &
sim_pid=$!
for _ in $(seq 100); do [ "$(wc -l <"$out/ports")" -ge 3 ] && break; sleep 0.1; done
port_of() { grep "^$1 " "$out/ports" | sed 's/.*://'; }
cat >"$out/app/orvane.ini" <<EOF
[network]
broadcast=127.0.0.1
relay_port=$(port_of relay)
control_port=$(port_of control)
telnet_port=$(port_of telnet)
[timing]
time_scale=$scale
EOF
cat "$out/app/orvane.ini"

start_app() {
  (cd "$out/app" && exec "$wine" Orvane.exe) >>"$out/orvane.out" 2>&1 &
  app_pid=$!
}

echo "== start"
start_app
title="$(driver find 30000 | sed -n 's/^title: //p')"
expect_eq "title from the version block" "$title" "Orvane - $(sed -n 's/^project(Orvane VERSION \([0-9.]*\).*/\1/p' "$here/../../CMakeLists.txt")"
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
expect_eq "Check disabled, Update enabled" "$(driver state | head -2 | cut -d' ' -f2 | paste -sd' ')" "0 1"
driver screenshot "$(winpath "$out/after-check.bmp")" >/dev/null && python3 "$here/bmp_to_png.py" "$out/after-check.bmp" "$out/after-check.png"

echo "== Update"
driver click 1013
sleep 0.5
if [ "$(driver state | cut -d' ' -f2 | paste -sd' ')" = "0 0 0" ]; then
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
expect_eq "Check enabled, Update disabled after the run" "$(driver state | head -2 | cut -d' ' -f2 | paste -sd' ')" "1 0"
driver screenshot "$(winpath "$out/after-update.bmp")" >/dev/null && python3 "$here/bmp_to_png.py" "$out/after-update.bmp" "$out/after-update.png"
cp "$WINEPREFIX"/drive_c/DownloadLog/*/LumtarLog.txt "$out/" 2>/dev/null || true

echo "== close, then a new copy starts"
driver close
if driver gone 10000; then pass "closed after the run"; else fail "dialog still open after close"; fi
wait "$app_pid" 2>/dev/null || true
app_pid=""
start_app
if driver find 30000 >/dev/null; then pass "a new copy starts after the first closed"; else fail "no new copy"; fi
driver escape
if driver gone 10000; then pass "Escape closes the dialog when no run is on"; else fail "Escape did not close"; fi
wait "$app_pid" 2>/dev/null || true
app_pid=""

echo "== screenshots: $out/after-check.png $out/after-update.png"
if [ "$failures" -ne 0 ]; then
  echo "dialog test: $failures check(s) failed"
  exit 1
fi
echo "dialog test: all checks passed"
