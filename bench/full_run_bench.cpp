// A whole check and a whole update of all five items against the simulated
// router at time scale 1, beside the protocol's floor: the sum of the fixed
// pauses and waits that the protocol itself prescribes for them. Everything
// else (the data, the exchanges, the threads) is what the updater adds.
//
// Takes about a minute and a half; bench/run runs it only with --full.
//
// The floor, term by term (ms; CheckFloorMs below and UpdateFloorMs in
// bench/bench_support.cpp add them up):
//   check   telnet: the first read and four commands, each 500 (ReadLines
//           never waits less) = 2500; the telnet receiver's end, a 100 ms
//           pause after the abort that ends its receive; the channel
//           reader's start, 100
//   update  the channel reader's start 100;
//           boot, application, resource: the item pause 1000, the reader's
//             end 100, the pause after the trigger 2500, the reader's start
//             100 (the simulated router answers at once)
//           NVRAM erase: the item pause 1000
//           firmware and dashboard, each: the item pause 1000, the first
//             router probe 2000, the pause after the mode change 100, the
//             pause after the trigger 2500, and two module restarts, each
//             waited for by WaitModuleReady: its first probe answered
//             (2000, or, while the module still restarts, every 4000 more:
//             a probe unanswered for 2000 and the next 2000 later), the
//             pause of 6000, and the second probe 2000
// The channel reader's end after the module's last reply (the end of the
// check and of the update) is not counted: its 100 ms pause follows only
// when the abort finds the reader waiting, and a reader that has just
// queued the reply may see the stop request first and end at once.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "platform/clock.h"

namespace {

using namespace orvane;
using namespace orvane::bench;

constexpr std::uint32_t kRestartMs = 3000;  // the simulated module's restart
constexpr std::size_t kItemBytes = 256 * 1024;

double CheckFloorMs() { return 5 * 500 + 100 + 100; }

void BM_CheckAndUpdate(benchmark::State& state) {
  platform::SetTimeScale(1.0);
  const std::string folder =
      ItemFolder("orvane-bench-full", {{IMAGE_BOOT, kItemBytes}, {IMAGE_APP, kItemBytes}, {IMAGE_RESOURCE, kItemBytes},
                                       {IMAGE_FIRMWARE, kItemBytes}, {IMAGE_DASHBOARD, kItemBytes}});
  double checkSeconds = 0, updateSeconds = 0;
  for (auto _ : state) {
    routersim::ModuleConfig module;
    module.restartMs = kRestartMs;
    EngineOnSim run({}, module);
    if (const std::string failure = CheckAndSelectAll(run, folder, &checkSeconds); !failure.empty()) {
      state.SkipWithError(failure.c_str());
      return;
    }
    const auto updateStart = Clock::now();
    const RunReport report = run.Engine().Run();
    updateSeconds = Seconds(Clock::now() - updateStart);
    if (!report.EveryItemSucceeded() || !report.warnings.empty()) {
      state.SkipWithError("the update did not end with five successes");
      return;
    }
    state.SetIterationTime(checkSeconds + updateSeconds);
  }
  state.counters["check_s"] = checkSeconds;
  state.counters["check_floor_s"] = CheckFloorMs() / 1000;
  state.counters["update_s"] = updateSeconds;
  state.counters["update_floor_s"] = UpdateFloorMs(kRestartMs) / 1000;
  state.SetLabel(MeasureLabel(std::vector<MeasureRow>{
      {
          .name = "whole check, 5 images of 256 KiB (time scale 1)",
          .unit = "s",
          .value = "check_s",
          .reference = "check_floor_s",
          .target = "<= 1.1x the protocol's floor",
          .higherIsBetter = false,
          .maxRatio = 1.1,
          .note = "floor: telnet reads 5 x 500 ms, the telnet receiver's end and the reader's start 2 x 100 ms",
      },
      {
          .name = "whole update, 5 items of 256 KiB (time scale 1, module restart 3 s)",
          .unit = "s",
          .value = "update_s",
          .reference = "update_floor_s",
          .target = "<= 1.1x the protocol's floor",
          .higherIsBetter = false,
          .maxRatio = 1.1,
          .note = "floor: item pauses, trigger pauses, probes, restart waits, reader starts and stops (terms in "
                  "bench/full_run_bench.cpp)",
      },
  }));
}

BENCHMARK(BM_CheckAndUpdate)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
