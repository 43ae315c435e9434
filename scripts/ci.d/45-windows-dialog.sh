#!/usr/bin/env bash
# The dialog program Orvane.exe used like an operator would: cross-built,
# started under wine in a virtual X server beside sample images and an
# orvane.ini that points at the router simulator on loopback, then Check,
# Update, the layout numbers and the refusals checked on the real window, and
# a check against a silent module during which the window must keep answering.
# Screenshots and the run's log stay in build/windows/dialog-test/. Then the
# operator's zip (target package), unpacked into a fresh wine prefix: the
# command-line program's version, and the dialog opening and closing.
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/setup.sh mingw-w64 g++-mingw-w64-x86-64-posix wine64 googletest xvfb fonts-wine libgcrypt-mingw-w64-dev

export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/orvane-ccache}"
jobs="${ORVANE_JOBS:-2}"

# The simulator and the image tool run natively (the main build has them).
cmake --preset dev >/dev/null
cmake --build --preset dev --target orvane orvane-routersim -j "$jobs"

cmake --preset windows >/dev/null
cmake --build --preset windows --target Orvane orvane-dialog-driver widgets_test -j "$jobs"

tests/app/dialog_operator_test.sh build/windows build/dev build/windows/dialog-test

cmake --build --preset windows --target package -j "$jobs"
header=build/windows/generated/orvane_version.h
version="$(sed -n 's/^#define ORVANE_VERSION_TEXT "\(.*\)"$/\1/p' "$header")"
version_full="$(sed -n 's/^#define ORVANE_VERSION_FULL "\(.*\)"$/\1/p' "$header")"
tests/app/package_smoke_test.sh "build/windows/Orvane-$version-win64.zip" \
  build/windows/tests/app/orvane-dialog-driver.exe "$version_full" build/windows/package-test
