#!/usr/bin/env bash
# ThreadSanitizer build of the threaded parts (the framed channel's reader,
# the telnet receiver, the ports' abort, the station's lanes), and their tests.
set -euo pipefail
cd "$(dirname "$0")/../.."

jobs="${ORVANE_JOBS:-$(nproc)}"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target platform_socket_test net_test net_threaded_test net_routersim_test \
  engine_run_test check_test log_test routersim_service_test cli_station_test

# Some kernels randomise mmap addresses beyond what this compiler's
# ThreadSanitizer accepts; run without address randomisation where needed.
run=()
if ! build/tsan/tests/platform/platform_socket_test --gtest_list_tests >/dev/null 2>&1; then
  run=(setarch "$(uname -m)" -R)
fi
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "${run[@]}" ctest --preset tsan -L threaded
