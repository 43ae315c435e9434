#!/usr/bin/env bash
# fuzz/run.sh BUILD_DIR SECONDS [TARGET...]: runs every fuzz target (or the
# ones named) for SECONDS each on a copy of its committed corpus, and prints
# libFuzzer's last line: executions, coverage (cov: edges, ft: features),
# corpus and peak resident size. A crash, a read outside the input, an
# allocation above 64 MB or a resident size above 512 MB fails the run; the
# input is left in fuzz/findings/ to be kept as a test once fixed.
set -euo pipefail
build="$1"
seconds="$2"
shift 2
here="$(cd "$(dirname "$0")" && pwd)"
mkdir -p "$here/findings"

# target:corpus folder
pairs=(
  fuzz_image_load:image
  fuzz_frame_decode:frame
  fuzz_frame_stream:stream
  fuzz_control_packet:control
  fuzz_telnet_text:telnet
  fuzz_diag_replies:diag
  fuzz_router_verdict:verdict
  fuzz_app_settings:ini
  fuzz_run_history:history
  fuzz_signature_file:signature
  fuzz_nvram_store:nvram
  fuzz_ping_reply:ping
)
if [ "$#" -gt 0 ]; then
  wanted=" $* "
  selected=()
  for pair in "${pairs[@]}"; do
    [[ "$wanted" == *" ${pair%%:*} "* ]] && selected+=("$pair")
  done
  pairs=("${selected[@]}")
fi

# AddressSanitizer keeps freed memory in quarantine (256 MB by default),
# which would count against the resident limit meant for the code under
# test; a smaller quarantine still catches a use after free.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=64}"
status=0
for pair in "${pairs[@]}"; do
  target="${pair%%:*}"
  corpus="${pair##*:}"
  work="$(mktemp -d)"
  cp -r "$here/corpus/$corpus/." "$work/"
  echo "-- $target (${seconds} s)"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
        -rss_limit_mb=512 -malloc_limit_mb=64 \
        -artifact_prefix="$here/findings/" -print_final_stats=0 "$work" >"$work.log" 2>&1; then
    tail -n 40 "$work.log"
    echo "FAIL: $target failed (input in fuzz/findings/)"
    status=1
  else
    grep -E '^#[0-9]+.*DONE' "$work.log" | tail -n 1 || tail -n 1 "$work.log"
  fi
  rm -rf "$work" "$work.log"
done
exit $status
