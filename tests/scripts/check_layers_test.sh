#!/usr/bin/env bash
# scripts/check-layers.sh against small trees made here: every planted
# violation must be reported at its file and line, nothing else may be, a
# clean tree must pass, and a tree without a readable subsystem list must
# fail rather than pass as clean.
set -euo pipefail
checker="$(cd "$(dirname "$0")/../.." && pwd)/scripts/check-layers.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

put() {  # put FILE LINE... : writes the lines into $work/tree/FILE
  local file="$work/tree/$1"
  shift
  mkdir -p "$(dirname "$file")"
  printf '%s\n' "$@" >"$file"
}

put src/CMakeLists.txt \
  '# lowest first' \
  'foreach(subsystem platform base  # a comment inside the list' \
  '        mid top)' \
  '  add_subdirectory(${subsystem})' \
  'endforeach()'
put src/platform/sock.cpp '#include <sys/socket.h>' '#include <Windows.h>' '#include "platform/sock.h"'
put src/platform/sock.h '#pragma once'
put src/base/a.h '#pragma once' '#include "platform/sock.h"' '#include "mid/b.h"'
put src/base/d.cpp '#include <cstdint>' '#include <top/t.h>'
put src/mid/b.h '#pragma once'
put src/mid/b.cpp \
  '#include "base/a.h"' \
  '#include "mid/b.h"' \
  '#include "local.h"' \
  '#include <csignal>' \
  '#include <stdio.h>' \
  '#include <sys/socket.h>' \
  '// #include "top/t.h"' \
  '/* the old way:' \
  '#include "top/t.h"' \
  '*/ #include <net/if.h>' \
  '  #  include   <WinSock2.h>'
put src/mid/sub/e.cpp '#include "../b.h"' '#include "../../top/t.h"' '#include "../../../outside.h"'
put src/top/t.h '#pragma once' '#include "mid/b.h"' '#include "base/a.h"' '#include <pthread.h>'
put src/extra/x.cpp '#include "top/t.h"'

expected="src/base/a.h:3
src/base/d.cpp:2
src/extra
src/mid/b.cpp:6
src/mid/b.cpp:10
src/mid/b.cpp:11
src/mid/sub/e.cpp:2
src/mid/sub/e.cpp:3
src/top/t.h:4"

status=0
output="$("$checker" "$work/tree" 2>/dev/null)" || status=$?
[ "$status" -eq 1 ] || fail "planted violations: exit status $status, expected 1"
reported="$(printf '%s\n' "$output" | sed -E 's/^([^:]*(:[0-9]+)?):.*/\1/')"
if [ "$reported" != "$expected" ]; then
  fail "planted violations: reported (left) and expected (right) differ"
  diff <(printf '%s\n' "$reported") <(printf '%s\n' "$expected") >&2 || true
fi
grep -q '^src/base/a.h:3: .*"mid/b.h"' <<<"$output" || fail "upward include not named in its line"
grep -q '^src/mid/b.cpp:6: .*<sys/socket.h>' <<<"$output" || fail "system header not named in its line"

# The same tree without its violations passes, with one summary line.
rm -rf "$work/tree/src/extra" "$work/tree/src/mid/sub" "$work/tree/src/base/d.cpp"
put src/base/a.h '#pragma once' '#include "platform/sock.h"'
put src/mid/b.cpp '#include "base/a.h"' '#include <csignal>' '// #include "top/t.h"'
put src/top/t.h '#pragma once' '#include "mid/b.h"'
status=0
output="$("$checker" "$work/tree" 2>&1)" || status=$?
[ "$status" -eq 0 ] || fail "clean tree: exit status $status: $output"
[ "$(printf '%s\n' "$output" | wc -l)" -eq 1 ] || fail "clean tree: expected one summary line, got: $output"

# Without the subsystem list nothing can be judged: that is an error.
put src/CMakeLists.txt 'add_subdirectory(base)'
status=0
"$checker" "$work/tree" >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "tree without a subsystem list: exit status $status, expected 2"

if [ "$failures" -ne 0 ]; then
  echo "check_layers_test: $failures failure(s)" >&2
  exit 1
fi
echo "check_layers_test: passed"
