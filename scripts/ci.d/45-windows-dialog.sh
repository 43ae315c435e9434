#!/usr/bin/env bash
# The dialog program Orvane.exe used like an operator would: cross-built,
# started under wine in a virtual X server beside sample images and an
# orvane.ini that points at the router simulator on loopback, then Check,
# Update, the layout numbers and the refusals checked on the real window, and
# a check against a silent module during which the window must keep answering.
# Screenshots and the run's log stay in build/windows/dialog-test/.
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/setup.sh mingw-w64 g++-mingw-w64-x86-64-posix wine64 googletest xvfb fonts-wine

export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/orvane-ccache}"
jobs="${ORVANE_JOBS:-2}"

# The simulator and the image tool run natively (the main build has them).
cmake --preset dev >/dev/null
cmake --build --preset dev --target orvane orvane-routersim -j "$jobs"

cmake --preset windows >/dev/null
cmake --build --preset windows --target Orvane orvane-dialog-driver widgets_test -j "$jobs"

tests/app/dialog_operator_test.sh build/windows build/dev build/windows/dialog-test
