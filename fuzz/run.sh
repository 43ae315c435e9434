#!/usr/bin/env bash
# fuzz/run.sh BUILD_DIR SECONDS: runs every fuzz target for SECONDS on a copy
# of its committed corpus. A crash fails the run; its input is left in
# fuzz/findings/ to be kept as a test once fixed.
set -euo pipefail
build="$1"
seconds="$2"
here="$(cd "$(dirname "$0")" && pwd)"
mkdir -p "$here/findings"
status=0
for pair in "fuzz_image_load:image" "fuzz_frame_decode:frame"; do
  target="${pair%%:*}"
  corpus="${pair##*:}"
  work="$(mktemp -d)"
  cp -r "$here/corpus/$corpus/." "$work/"
  echo "-- $target (${seconds} s)"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
        -artifact_prefix="$here/findings/" -print_final_stats=0 "$work" >"$work.log" 2>&1; then
    tail -n 40 "$work.log"
    echo "FAIL: $target found a crash (input in fuzz/findings/)"
    status=1
  else
    grep -E '^#[0-9]+.*DONE' "$work.log" | tail -n 1 || tail -n 1 "$work.log"
  fi
  rm -rf "$work" "$work.log"
done
exit $status
