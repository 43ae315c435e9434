#!/usr/bin/env bash
# Robustness, in a build without sanitizers (so that memory can be judged):
#   * `orvane` against hostile peers on loopback (discovery flood, telnet
#     flood and silence, relay floods of flags and escapes, megabyte frames):
#     each command ends by its time-outs with its failure, within 64 MiB;
#   * kill and resume: `orvane update` killed with SIGKILL during a router
#     image and during a module download, then checked and updated again,
#     the download log holding every line the killed run printed;
#   * a soak: one engine, telnet session and check through many cycles of
#     seeded faults, each outcome as its fault says, no thread, descriptor
#     or heap left behind.
#
#   ROBUSTNESS_SEED=N   seed of the kills and the soak's faults (default 1)
#   ROBUSTNESS_FULL=1   the full form: 100 soak cycles and 20 kills
#   ROBUSTNESS_BUILD=DIR  build folder (default build/release, preset release)
set -euo pipefail
cd "$(dirname "$0")/../.."

export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/orvane-ccache}"
jobs="${ORVANE_JOBS:-2}"
build="${ROBUSTNESS_BUILD:-build/release}"
seed="${ROBUSTNESS_SEED:-1}"
cycles=10
kills=4
if [ "${ROBUSTNESS_FULL:-0}" = 1 ]; then
  cycles=100
  kills=20
fi

if [ "$build" = build/release ]; then
  cmake --preset release >/dev/null
elif [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j "$jobs" --target orvane orvane-routersim cli_hostile_lan_test engine_soak

echo "-- hostile peers"
"$build/tests/cli/cli_hostile_lan_test" --gtest_brief=1
echo "-- kill and resume ($kills kills, seed $seed)"
python3 scripts/kill_resume.py --build "$build" --kills "$kills" --seed "$seed"
echo "-- soak ($cycles cycles, seed $seed)"
"$build/tests/engine/engine_soak" --cycles "$cycles" --seed "$seed"
