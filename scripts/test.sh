#!/usr/bin/env bash
# The test command: installs what is missing, builds the sanitizer build,
# runs every test, gives each fuzz target a short bounded run, then runs the
# further stages in scripts/ci.d/ (one file per stage, run in name order).
#
#   scripts/test.sh                 everything
#   FUZZ_SECONDS=0 scripts/test.sh  skip the fuzz runs
#   FUZZ_SECONDS=60 scripts/test.sh a deeper fuzz run (60 s per target)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/orvane-ccache}"
export ORVANE_JOBS="${ORVANE_JOBS:-$(nproc)}"

echo "== native debug build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$ORVANE_JOBS"
ctest --preset dev
echo "== native debug build and its tests: $SECONDS s"

# Twelve targets: about 80 s in all by default; FUZZ_SECONDS=60 for a deeper run.
fuzz_seconds="${FUZZ_SECONDS:-6}"
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== fuzzing, ${fuzz_seconds} s per target"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$ORVANE_JOBS" --target fuzz_targets
  fuzz/run.sh build/fuzz "$fuzz_seconds"
fi

# Each stage's time is printed after it, so that a slow stage shows in the
# log of a run that stays within its time.
for stage in scripts/ci.d/*.sh; do
  [ -e "$stage" ] || continue
  echo "== stage $(basename "$stage" .sh)"
  stage_start=$SECONDS
  bash "$stage"
  echo "== stage $(basename "$stage" .sh): $((SECONDS - stage_start)) s"
done
echo "== all tests passed in $SECONDS s"
