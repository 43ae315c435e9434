#!/usr/bin/env bash
# The router's start-up script with a stand-in daemon that, like netvigil,
# detaches at once and ends its pass a little later: the loop must start a
# pass only while none runs (one already running when the loop starts
# included), start the next after each one ends, and `stop` must end both
# the loop and the pass. It runs in a PID namespace of its own (root), so
# that only its own processes count as running passes.
#
#   startup_script_test.sh SCRIPT
set -euo pipefail

script="$(realpath "$1")"
if [ "$(id -u)" -ne 0 ] || ! unshare --pid --fork --mount-proc true 2>/dev/null; then
  echo "start-up script test: SKIPPED (needs root and PID namespaces)"
  exit 0
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The stand-in: records "start", or "overlap" when a pass is still running,
# detaches, and ends its pass 0.3 s (STANDIN_PASS_MS) later with "end".
cc -O -o "$work/netvigil" -x c - <<'C'
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
static void record(const char *dir, const char *event) {
  char path[4096];
  snprintf(path, sizeof path, "%s/events", dir);
  FILE *f = fopen(path, "a");
  if (f) { fprintf(f, "%s\n", event); fclose(f); }
}
int main(void) {
  const char *dir = getenv("STANDIN_DIR");
  char running[4096];
  snprintf(running, sizeof running, "%s/running", dir);
  int fd = open(running, O_CREAT | O_EXCL | O_WRONLY, 0644);
  record(dir, fd < 0 ? "overlap" : "start");
  if (fork() != 0) _exit(0);
  setsid();
  const char *ms = getenv("STANDIN_PASS_MS");
  usleep(1000 * (ms ? atoi(ms) : 300));
  if (fd >= 0) unlink(running);
  record(dir, "end");
  return 0;
}
C

export NETVIGIL="$work/netvigil" NETVIGIL_RESTART_GAP=0 NETVIGIL_LOOP_PIDFILE="$work/loop.pid" STANDIN_DIR="$work"
unshare --pid --fork --mount-proc sh -c '
  "$NETVIGIL"                       # a pass started by hand, still running
  sh "$1" start
  sh "$1" start                     # a second start leaves the one loop
  sleep 4
  sh "$1" stop
  wc -l <"$STANDIN_DIR/events" >"$STANDIN_DIR/at-stop"
  sleep 1.5                         # a loop left running would start more
  wc -l <"$STANDIN_DIR/events" >"$STANDIN_DIR/later"
  STANDIN_PASS_MS=5000 "$NETVIGIL"  # a long pass, which stop must end
  sh "$1" stop
  sleep 0.3
  pidof netvigil >"$STANDIN_DIR/after" || true
' sh "$script"

starts="$(grep -c '^start$' "$work/events" || true)"
overlaps="$(grep -c '^overlap$' "$work/events" || true)"
failures=0
if [ "$overlaps" -ne 0 ]; then
  echo "  FAILED: $overlaps passes started while one was running"; failures=1
fi
# 4 s of loop at one pass per second (0.3 s pass, 1 s poll, no gap).
if [ "$starts" -lt 3 ]; then
  echo "  FAILED: $starts passes in 4 s, expected at least 3"; failures=1
fi
if [ -e "$work/loop.pid" ] || ! cmp -s "$work/at-stop" "$work/later"; then
  echo "  FAILED: stop left the loop running"; failures=1
fi
if [ -s "$work/after" ]; then
  echo "  FAILED: stop left a pass running ($(cat "$work/after"))"; failures=1
fi
if [ "$failures" -ne 0 ]; then
  cat "$work/events"
  exit 1
fi
echo "start-up script: $starts passes one after the other, none overlapping; stop ended the loop"
