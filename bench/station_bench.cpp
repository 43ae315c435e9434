// The station at scale: `orvane station` with 1, 2, 4 and 8 lanes on a bench
// of network namespaces (the PC's namespace with one port per lane, each a
// veth pair shaped to 100 Mbit/s to a router namespace of its own, every
// router at 192.168.1.1 with its own MAC), the simulator on the real ports,
// the same five images at their real sizes, at time scale 1, with the module
// link at 12 Mbit/s and a LAN round trip of 300 us as the shaped whole update
// has them. Each station updates as many units as it has lanes, one per lane,
// and verifies them.
//
// Measured for each lane count: the station's time from its start until it
// ends (its units all passed), the program's CPU time and peak resident size
// (its resource use when it is reaped), and its peak threads and open
// descriptors (sampled from /proc while it runs); beside them, the
// simulators' CPU time, since on this bench they share the machine with the
// updater (a real bench's routers do not).
//
// Root only (the namespaces): `bench/run --station`. Every packet stays
// inside the namespaces the bench makes and removes.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bench_support.h"
#include "support/virtual_lan.h"

namespace {

using namespace orvane;
using namespace orvane::bench;
using orvane::test::LanProcess;
using orvane::test::VirtualBench;

constexpr int kMaxLanes = 8;
constexpr const char* kPortRate = "100mbit";  // a USB adapter's link
constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::uint64_t kModuleLink = 12000000;
constexpr std::uint32_t kLanRoundTripUs = 300;
constexpr std::uint32_t kModuleRestartMs = 3000;
// A station of eight units at time scale 1: a unit takes about two minutes.
constexpr std::uint32_t kStationLimitMs = 15 * 60 * 1000;

// Port N's router's MAC.
std::string Mac(int port) { return "02:00:5e:30:00:0" + std::to_string(port); }

// A process's CPU time (user and system) from /proc/PID/stat, in seconds.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');  // the command's name may hold spaces
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  // Fields from the third (state): utime and stime are the 14th and 15th.
  for (int n = 3; n <= 15 && fields >> field; ++n) {
    if (n == 14) user = std::stoull(field);
    if (n == 15) system = std::stoull(field);
  }
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// "Threads:" of /proc/PID/status; 0 when it is gone.
int ThreadCount(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return 0;
}

int OpenDescriptors(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return 0;
  int count = 0;
  while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
  closedir(dir);
  return count;
}

struct StationRun {
  double seconds = 0;
  double cpuSeconds = 0;
  double peakResidentMiB = 0;
  int peakThreads = 0;
  int peakDescriptors = 0;
  double slowestUnitSeconds = 0;
  double simulatorCpuSeconds = 0;
  std::string failure;  // empty when every unit passed
};

// The value of "key": in a JSON line, as a number; -1 without it.
double JsonNumber(const std::string& line, const std::string& key) {
  const std::size_t at = line.find("\"" + key + "\":");
  return at == std::string::npos ? -1 : std::stod(line.substr(at + key.size() + 3));
}

// One station over the first `lanes` ports, a fresh simulator behind each.
StationRun RunStation(VirtualBench& bench, int lanes, const std::string& images) {
  StationRun run;
  std::vector<LanProcess*> routers;
  for (int port = 0; port < lanes; ++port) {
    LanProcess* router = bench.StartRouterSim(
        port, ORVANE_ROUTERSIM, 1.0, Mac(port),
        {"--rate", std::to_string(kModuleLink), "--lan-round-trip-us", std::to_string(kLanRoundTripUs),
         "--restart-ms", std::to_string(kModuleRestartMs)});
    if (router == nullptr) {
      run.failure = "the simulator on " + VirtualBench::PortName(port) + " did not come up";
      bench.StopPrograms();
      return run;
    }
    routers.push_back(router);
  }
  const auto logs = std::filesystem::temp_directory_path() / ("orvane-bench-station-" + std::to_string(getpid()));
  const auto keys = logs / "no-keys";  // no trusted key: the images are not signature-checked
  std::filesystem::remove_all(logs);
  std::filesystem::create_directories(keys);
  std::vector<std::string> argv = {ORVANE_PROGRAM, "station"};
  for (int port = 0; port < lanes; ++port) argv.insert(argv.end(), {"--interface", VirtualBench::PortName(port)});
  argv.insert(argv.end(), {"--count", std::to_string(lanes), "--dir", images, "--log-dir", logs.string(),
                           "--keys-dir", keys.string(), "--json", "--quiet"});

  const auto start = Clock::now();
  LanProcess* station = bench.StartOnPc(argv);
  if (station == nullptr) {
    run.failure = "the station did not start";
    bench.StopPrograms();
    return run;
  }
  rusage usage{};
  const int status = station->WaitForExit(kStationLimitMs, &usage, [&](pid_t pid) {
    run.peakThreads = std::max(run.peakThreads, ThreadCount(pid));
    run.peakDescriptors = std::max(run.peakDescriptors, OpenDescriptors(pid));
  });
  run.seconds = Seconds(Clock::now() - start);
  for (LanProcess* router : routers) {
    if (router->Pid() > 0) run.simulatorCpuSeconds += ProcessCpuSeconds(router->Pid());
  }
  run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  run.peakResidentMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB

  int passed = -1;
  for (std::size_t from = 0, end; (end = station->Output().find('\n', from)) != std::string::npos; from = end + 1) {
    const std::string line = station->Output().substr(from, end - from);
    if (line.find("\"unit\":") != std::string::npos) {
      run.slowestUnitSeconds = std::max(run.slowestUnitSeconds, JsonNumber(line, "elapsed_ms") / 1000.0);
    }
    if (line.find("\"summary\":") != std::string::npos) passed = static_cast<int>(JsonNumber(line, "passed"));
  }
  if (status != 0 || passed != lanes) {
    run.failure = std::to_string(lanes) + " lanes: exit status " + std::to_string(status) + ", " +
                  std::to_string(passed) + " units passed; its output:\n" + station->Output();
  }
  bench.StopPrograms();
  std::filesystem::remove_all(logs);
  return run;
}

void BM_StationScale(benchmark::State& state) {
  if (geteuid() != 0) {
    state.SkipWithError("needs root for the bench's network namespaces: run through `bench/run --station`");
    return;
  }
  const std::string images = ItemFolder("orvane-bench-station", {{IMAGE_BOOT, 256 * kKiB},
                                                                  {IMAGE_APP, 8 * kMiB},
                                                                  {IMAGE_RESOURCE, 4 * kMiB},
                                                                  {IMAGE_FIRMWARE, 24 * kMiB},
                                                                  {IMAGE_DASHBOARD, 8 * kMiB}},
                                        true);
  VirtualBench bench(kMaxLanes, {}, kPortRate);
  if (!bench.ok()) {
    state.SkipWithError(("the bench's namespaces cannot be made: " + bench.Error()).c_str());
    return;
  }
  const int laneCounts[] = {1, 2, 4, 8};
  for (auto _ : state) {
    double total = 0;
    for (const int lanes : laneCounts) {
      const StationRun run = RunStation(bench, lanes, images);
      if (!run.failure.empty()) {
        state.SkipWithError(run.failure.c_str());
        return;
      }
      total += run.seconds;
      const std::string n = std::to_string(lanes);
      state.counters["lanes" + n + "_s"] = run.seconds;
      state.counters["cpu" + n + "_s"] = run.cpuSeconds;
      state.counters["cpu_per_unit" + n + "_s"] = run.cpuSeconds / lanes;
      state.counters["rss" + n + "_mib"] = run.peakResidentMiB;
      state.counters["threads" + n] = run.peakThreads;
      state.counters["fds" + n] = run.peakDescriptors;
      state.counters["slowest" + n + "_s"] = run.slowestUnitSeconds;
      state.counters["sim_cpu" + n + "_s"] = run.simulatorCpuSeconds;
    }
    state.SetIterationTime(total);
  }
  // The references: one lane's figures, and for the CPU time that many
  // times one lane's (linear growth).
  for (const int lanes : laneCounts) {
    const std::string n = std::to_string(lanes);
    state.counters["cpu_linear" + n + "_s"] = state.counters["cpu1_s"] * lanes;
  }
  // What each lane beyond the first adds, from one lane to eight.
  const auto perLane = [&](const std::string& one, const std::string& eight) {
    return (state.counters[eight] - state.counters[one]) / (kMaxLanes - 1);
  };
  state.counters["cpu_per_lane_s"] = perLane("cpu1_s", "cpu8_s");
  state.counters["rss_per_lane_mib"] = perLane("rss1_mib", "rss8_mib");
  state.counters["threads_per_lane"] = perLane("threads1", "threads8");
  state.counters["fds_per_lane"] = perLane("fds1", "fds8");
  const std::string sizes =
      "boot 256 KiB, application 8 MiB, resource 4 MiB, firmware 24 MiB, dashboard 8 MiB, each unit verified; each "
      "port a veth pair shaped to 100 Mbit/s; module link 12 Mbit/s, LAN round trip 300 us, module restart 3 s; "
      "from the program's start to its end, one run";
  std::vector<MeasureRow> rows = {
      {
          .name = "station: 4 lanes, 4 units (real sizes, time scale 1)",
          .unit = "s",
          .value = "lanes4_s",
          .reference = "lanes1_s",
          .target = "<= 1.15x one lane's one unit",
          .higherIsBetter = false,
          .maxRatio = 1.15,
          .note = sizes + "; reference: the same station with one lane and one unit",
          .limit = "the slowest of the four units took {slowest4_s:.1f} s against {slowest1_s:.1f} s alone; the "
                   "updater used {cpu4_s:.1f} s of CPU and the four simulators {sim_cpu4_s:.1f} s on this machine's "
                   "two CPUs",
      },
      {.name = "  1 lane, 1 unit", .unit = "s", .value = "lanes1_s"},
      {.name = "  2 lanes, 2 units", .unit = "s", .value = "lanes2_s", .reference = "lanes1_s"},
      {.name = "  8 lanes, 8 units", .unit = "s", .value = "lanes8_s", .reference = "lanes1_s",
       .note = "eight simulators beside the updater on two CPUs: the bench's own limit, not a real bench's"},
      {
          .name = "station: updater's CPU time, 4 lanes",
          .unit = "s",
          .value = "cpu4_s",
          .reference = "cpu_linear4_s",
          .target = "<= 1.15x four times one lane's (linear)",
          .higherIsBetter = false,
          .maxRatio = 1.15,
          .note = "user and system time of the program, from its resource use when it ended; reference: four times "
                  "the one-lane station's (growth in proportion to the lanes); below it, since the start (the "
                  "images scanned, validated and frozen once) is paid once whatever the lanes",
          .limit = "one lane used {cpu1_s:.2f} s, four {cpu4_s:.2f} s",
      },
      {.name = "  1 lane", .unit = "s", .value = "cpu1_s"},
      {.name = "  2 lanes, against twice one lane's", .unit = "s", .value = "cpu2_s", .reference = "cpu_linear2_s"},
      {.name = "  8 lanes, against eight times one lane's", .unit = "s", .value = "cpu8_s", .reference = "cpu_linear8_s"},
      {.name = "  each lane beyond the first, 1 to 8 lanes", .unit = "s", .value = "cpu_per_lane_s"},
      {.name = "  the simulators' CPU time, 8 lanes", .unit = "s", .value = "sim_cpu8_s",
       .note = "the eight simulated routers together, on the same two CPUs as the updater"},
      {.name = "station: peak resident size, 1 lane", .unit = "MiB", .value = "rss1_mib",
       .note = "the five frozen images (44 MiB, shared by every lane) are most of it"},
      {.name = "  8 lanes", .unit = "MiB", .value = "rss8_mib", .reference = "rss1_mib"},
      {.name = "  each lane beyond the first", .unit = "MiB", .value = "rss_per_lane_mib"},
      {.name = "station: peak threads, 1 lane", .unit = "-", .value = "threads1"},
      {.name = "  8 lanes", .unit = "-", .value = "threads8"},
      {.name = "  each lane beyond the first", .unit = "-", .value = "threads_per_lane"},
      {.name = "station: peak open descriptors, 1 lane", .unit = "-", .value = "fds1"},
      {.name = "  8 lanes", .unit = "-", .value = "fds8"},
      {.name = "  each lane beyond the first", .unit = "-", .value = "fds_per_lane"},
  };
  state.SetLabel(MeasureLabel(rows));
}

BENCHMARK(BM_StationScale)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
