#!/usr/bin/env bash
# The test command: installs what is missing, builds the sanitizer build,
# runs every test, gives each fuzz target a short bounded run, then runs the
# further stages in scripts/ci.d/ (one file per stage, run in name order).
#
#   scripts/test.sh                everything
#   FUZZ_SECONDS=0 scripts/test.sh skip the fuzz runs
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/orvane-ccache}"
export ORVANE_JOBS="${ORVANE_JOBS:-$(nproc)}"

echo "== native debug build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$ORVANE_JOBS"
ctest --preset dev

fuzz_seconds="${FUZZ_SECONDS:-20}"
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== fuzzing, ${fuzz_seconds} s per target"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$ORVANE_JOBS" --target fuzz_image_load fuzz_frame_decode
  fuzz/run.sh build/fuzz "$fuzz_seconds"
fi

for stage in scripts/ci.d/*.sh; do
  [ -e "$stage" ] || continue
  echo "== stage $(basename "$stage" .sh)"
  bash "$stage"
done
echo "== all tests passed"
