// Memory of loaded images and of a module download.
//
// Loading: the five images at their real sizes (boot 256 KiB, application
// 8 MiB, resource 4 MiB, firmware 24 MiB, dashboard 8 MiB), each loaded as
// the check loads it. Every loaded image keeps a frozen copy of its file
// (platform/file_mapping.h: a sealed memory file), so the process's resident
// memory grows by the images' size while they are loaded, and gives it back
// when they are released.
//
//   resident  RssAnon + RssShmem in /proc/self/status (the copy is shared
//             memory; anonymous memory where the system has no memory
//             files), after the five loads minus before them; and what is
//             left of it once the five images are released
//
// Download: a 4 MiB and a 16 MiB firmware image. The image is loaded (its
// copy taken) before the download starts and written block by block from
// that copy, so nothing may grow with its size during the download.
//
// The simulated router runs as its own process (orvane-routersim, started
// here and ended by its id): the simulated module keeps every byte it is
// given, and that memory is not the updater's. This process holds only the
// engine, its channel and reader, and the loaded image.
//
//   heap      bytes held through operator new (alloc_counter), peak during
//             DownloadImage minus what was held before it
//   resident  anonymous resident memory (RssAnon in /proc/self/status),
//             sampled every millisecond during DownloadImage; and the
//             process's peak resident size (VmHWM), which also counts the
//             image's frozen copy (16 MiB of shared memory)
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <thread>

#include "alloc_counter.h"
#include "bench_support.h"

extern char** environ;

namespace {

using namespace orvane;
using namespace orvane::bench;

// orvane-routersim with its module in the downloader, on 127.0.0.1 with
// ports the system picks.
class SimulatorProcess {
 public:
  SimulatorProcess() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::string program = ORVANE_ROUTERSIM_PROGRAM;
    std::vector<std::string> args = {program, "--bind", "127.0.0.1", "--module", "downloader"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    m_out = fds[0];
    // "telnet ADDR:PORT", "relay ADDR:PORT", "control ADDR:PORT"
    std::string text;
    const std::regex line("(telnet|relay|control) 127\\.0\\.0\\.1:([0-9]+)");
    while (m_pid > 0 && (m_relay == 0 || m_control == 0)) {
      pollfd p{m_out, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) break;
      char buffer[256];
      const ssize_t n = ::read(m_out, buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = text.find('\n')) != std::string::npos; text.erase(0, end + 1)) {
        std::smatch match;
        const std::string one = text.substr(0, end);
        if (!std::regex_match(one, match, line)) continue;
        const auto port = static_cast<std::uint16_t>(std::stoi(match[2]));
        if (match[1] == "relay") m_relay = port;
        if (match[1] == "control") m_control = port;
      }
    }
  }
  ~SimulatorProcess() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGTERM);
      ::waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) ::close(m_out);
  }
  bool Ready() const { return m_relay != 0 && m_control != 0; }
  std::uint16_t Relay() const { return m_relay; }
  std::uint16_t Control() const { return m_control; }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
  std::uint16_t m_relay = 0;
  std::uint16_t m_control = 0;
};

// A field of /proc/self/status in bytes ("RssAnon:    1234 kB").
std::size_t StatusBytes(const std::string& field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1)) * 1024;
  }
  return 0;
}

struct DownloadMemory {
  std::size_t heapGrowth = 0;
  std::size_t anonGrowth = 0;
  bool ok = false;
};

DownloadMemory MeasureDownload(std::size_t bytes) {
  DownloadMemory result;
  SimulatorProcess sim;
  if (!sim.Ready()) return result;
  UpdateItems items;
  TimingView view;
  NetworkProfile profile;
  profile.broadcastAddress = "127.0.0.1";
  profile.relayTcpPort = sim.Relay();
  profile.controlUdpPort = sim.Control();
  CUpdateEngine engine(items, view, profile, (std::filesystem::temp_directory_path() / "orvane-bench-logs").string());
  engine.Link().SetRouter({}, {127, 0, 0, 1});
  CFirmwareImage image;
  image.SetPath(ImageFile(IMAGE_FIRMWARE, bytes));
  if (!image.LoadImage() || !engine.ConnectRouter() || !engine.ModuleHandShake()) return result;

  std::atomic<bool> sampling{true};
  std::atomic<std::size_t> peakAnon{0};
  const std::size_t anonBefore = StatusBytes("RssAnon");
  std::thread sampler([&] {
    while (sampling) {
      const std::size_t now = StatusBytes("RssAnon");
      if (now > peakAnon) peakAnon = now;
      ::usleep(1000);
    }
  });
  const std::size_t heapBefore = CurrentHeapBytes();
  ResetPeakHeap();
  result.ok = engine.Module().DownloadImage(image).ok();
  result.heapGrowth = PeakHeapBytes() - heapBefore;
  sampling = false;
  sampler.join();
  result.anonGrowth = peakAnon > anonBefore ? peakAnon - anonBefore : 0;
  engine.DisconnectRouter();
  return result;
}

void BM_DownloadMemory(benchmark::State& state) {
  DownloadMemory small, large;
  for (auto _ : state) {
    small = MeasureDownload(4 << 20);
    large = MeasureDownload(16 << 20);
    if (!small.ok || !large.ok) {
      state.SkipWithError("download against orvane-routersim failed");
      return;
    }
  }
  state.counters["heap_growth_4MiB_bytes"] = static_cast<double>(small.heapGrowth);
  state.counters["heap_growth_16MiB_bytes"] = static_cast<double>(large.heapGrowth);
  state.counters["anon_growth_4MiB_KiB"] = static_cast<double>(small.anonGrowth) / 1024;
  state.counters["anon_growth_16MiB_KiB"] = static_cast<double>(large.anonGrowth) / 1024;
  state.counters["peak_rss_MiB"] = static_cast<double>(StatusBytes("VmHWM")) / (1024.0 * 1024.0);
  state.SetLabel(MeasureLabel(std::vector<MeasureRow>{
      {
          .name = "peak heap growth during the 16 MiB download",
          .unit = "bytes",
          .value = "heap_growth_16MiB_bytes",
          .reference = "heap_growth_4MiB_bytes",
          .target = "no growth with size (16 MiB vs 4 MiB)",
          .higherIsBetter = false,
          .maxExcess = 4096,
          .note = "reference: the same for a 4 MiB image; simulator in its own process",
      },
      {
          .name = "peak anonymous resident growth during the 16 MiB download",
          .unit = "KiB",
          .value = "anon_growth_16MiB_KiB",
          .reference = "anon_growth_4MiB_KiB",
          .target = "no growth with size (16 MiB vs 4 MiB)",
          .higherIsBetter = false,
          .maxExcess = 1024,
          .note = "RssAnon sampled every ms; reference: the same for a 4 MiB image",
      },
      {
          .name = "peak resident size of the download process",
          .unit = "MiB",
          .value = "peak_rss_MiB",
          .note = "VmHWM; counts the 16 MiB image's frozen copy, taken when it was loaded",
      },
  }));
}

BENCHMARK(BM_DownloadMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Resident memory that a loaded image's copy can take: anonymous or shared.
std::size_t CopyResidentBytes() { return StatusBytes("RssAnon") + StatusBytes("RssShmem"); }

void BM_LoadedImagesMemory(benchmark::State& state) {
  const std::pair<ImageType, std::size_t> sizes[] = {{IMAGE_BOOT, 256 * 1024},    {IMAGE_APP, 8 * kMiB},
                                                     {IMAGE_RESOURCE, 4 * kMiB},  {IMAGE_FIRMWARE, 24 * kMiB},
                                                     {IMAGE_DASHBOARD, 8 * kMiB}};
  std::string paths[kItemCount];
  for (const auto& [type, bytes] : sizes) paths[type] = ImageFile(type, bytes);  // written before measuring
  std::size_t imageBytes = 0, growth = 0, shmemGrowth = 0, left = 0;
  for (auto _ : state) {
    const std::size_t before = CopyResidentBytes();
    const std::size_t shmemBefore = StatusBytes("RssShmem");
    {
      ImageSlots images;
      imageBytes = 0;
      for (const auto& [type, bytes] : sizes) {
        CFirmwareImage& image = images[type];
        image.SetPath(paths[type]);
        if (!image.LoadImage()) {
          state.SkipWithError(image.FailureReason().c_str());
          return;
        }
        imageBytes += image.ViewSize();
      }
      const std::size_t loaded = CopyResidentBytes();
      growth = loaded > before ? loaded - before : 0;
      const std::size_t shmem = StatusBytes("RssShmem");
      shmemGrowth = shmem > shmemBefore ? shmem - shmemBefore : 0;
    }
    const std::size_t after = CopyResidentBytes();
    left = after > before ? after - before : 0;
  }
  state.counters["images_MiB"] = static_cast<double>(imageBytes) / kMiB;
  state.counters["loaded_growth_MiB"] = static_cast<double>(growth) / kMiB;
  state.counters["loaded_shmem_growth_MiB"] = static_cast<double>(shmemGrowth) / kMiB;
  state.counters["released_left_MiB"] = static_cast<double>(left) / kMiB;
  state.SetLabel(MeasureLabel(std::vector<MeasureRow>{
      {
          .name = "resident growth, the five images loaded (frozen copies)",
          .unit = "MiB",
          .value = "loaded_growth_MiB",
          .reference = "images_MiB",
          .target = "<= 1.02x the images' size",
          .maxRatio = 1.02,
          .note = "RssAnon + RssShmem after loading boot 256 KiB, application 8 MiB, resource 4 MiB, firmware "
                  "24 MiB and dashboard 8 MiB, minus before; reference: the five files' size",
      },
      {
          .name = "  of it shared memory (the sealed copies)",
          .unit = "MiB",
          .value = "loaded_shmem_growth_MiB",
          .note = "RssShmem; 0 where the system has no memory files and the copies are anonymous memory",
      },
      {
          .name = "  left after the five images are released",
          .unit = "MiB",
          .value = "released_left_MiB",
          .note = "RssAnon + RssShmem after the images are destroyed, minus before they were loaded",
      },
  }));
}

BENCHMARK(BM_LoadedImagesMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
