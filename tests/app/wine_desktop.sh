# Sourced by the tests that run the Windows programs under wine: where wine
# is, and an X server of the test's own with a fresh wine prefix that has one
# virtual desktop. The sourcing script exports WINEPREFIX first and ends
# the X server ($xvfb_pid) and the prefix's wineserver in its clean-up.

wine="$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)"
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver="$(command -v wineserver)"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
xvfb_pid=""

# start_wine_desktop FOLDER WIDTHxHEIGHT: Xvfb (its log and display number in
# FOLDER), DISPLAY set, the prefix made, and the desktop of that size.
start_wine_desktop() {
  local folder="$1" size="$2"
  # Xvfb picks a free display number and writes it to descriptor 3.
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$folder/display" >"$folder/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$folder/display" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$folder/display")"
  "$wine" wineboot -i >/dev/null 2>&1
  "$wineserver" -w
  # Debian's wine does not find its own fonts ("Fixedsys", "MS Shell Dlg").
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
  # Every program of the prefix shares one virtual desktop, which draws the
  # window captions (there is no window manager) and lets the driver find
  # the dialog.
  "$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  "$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$size" /f >/dev/null 2>&1
  "$wineserver" -w
}
