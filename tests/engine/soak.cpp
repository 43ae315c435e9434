// The dialog's life in one process, many times over: one engine, one telnet
// session and one check live for the whole soak, as the dialog keeps them;
// each cycle starts a router (with its module) on the same loopback ports
// with one fault drawn from a seeded shuffle of the simulator's and the
// module's fault switches, runs a check and, when it passes, an update of a
// router image and the module firmware, then stops the router. Each cycle's
// outcome must be the one its fault calls for, and after every cycle the
// process must be back to the threads and descriptors it had before the
// first one, with the heap where the first cycle left it.
//
//   engine_soak [--cycles N] [--seed S] [--scale F]    (defaults 10, 1, 0.02)
//
// Exit status 0 when every cycle matched and nothing leaked, 1 otherwise.
// The heap figure is glibc's bytes in use (mallinfo2), or AddressSanitizer's
// allocator's in a sanitizer build.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "catalogue/string_table.h"
#include "catalogue/update_item.h"
#include "engine/check_procedure.h"
#include "engine/update_session.h"
#include "net/telnet_session.h"
#include "platform/clock.h"
#include "routersim/module_sim.h"
#include "routersim/router_sim.h"
#include "support/image_fixtures.h"
#include "support/temp_dir.h"

#if defined(__SANITIZE_ADDRESS__)
#define ORVANE_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVANE_SOAK_ASAN 1
#endif
#endif
#ifdef ORVANE_SOAK_ASAN
// The sanitizer allocator's bytes in use (its own header is not shipped
// with every compiler).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using namespace orvane;

// A result the cycle must come to: the check's warning (0: the check
// passes), then the result of each item, 0 for "not started".
struct Expected {
  StringId checkWarning = StringId{};
  StringId boot = IDS_DOWNLOAD_SUCCESS;
  StringId firmware = IDS_DOWNLOAD_SUCCESS;
};

struct Fault {
  const char* name;
  std::function<void(routersim::Config&, routersim::ModuleConfig&)> apply;
  Expected expected;
};

constexpr StringId kNotStarted = StringId{};

std::vector<Fault> Faults() {
  using C = routersim::Config;
  using M = routersim::ModuleConfig;
  return {
      {"none", [](C&, M&) {}, {}},
      {"control port silent", [](C& c, M&) { c.faults.silentControl = true; },
       {IDS_DETECT_NONE_ROUTER, kNotStarted, kNotStarted}},
      {"discovery answer corrupted", [](C& c, M&) { c.faults.corruptNextReply = true; },
       {IDS_DETECT_NONE_ROUTER, kNotStarted, kNotStarted}},
      {"discovery flooded", [](C& c, M&) { c.faults.floodDiscovery = true; },
       {IDS_DETECT_NONE_ROUTER, kNotStarted, kNotStarted}},
      {"telnet refused", [](C& c, M&) { c.faults.refuseTelnet = true; }, {}},
      {"telnet floods 1 MB", [](C& c, M&) { c.faults.telnetFloodBytes = 1'000'000; }, {}},
      {"telnet silent", [](C& c, M&) { c.faults.telnetSilent = true; }, {}},
      {"relay refused", [](C& c, M&) { c.faults.refuseRelay = true; },
       {IDS_TCP_CONNECT_FAIL, kNotStarted, kNotStarted}},
      {"relay floods flags", [](C& c, M&) { c.faults.relayFloodByte = 0x7E; },
       {{}, IDS_ROUTER_RESPONSE_TIMEOUT, kNotStarted}},
      {"relay answers with 1 MiB frames", [](C& c, M&) { c.faults.relayHugeFrame = 1 << 20; },
       {{}, IDS_DOWNLOAD_SUCCESS, IDS_HANDSHAKE_FAIL}},
      {"router refuses the image", [](C& c, M&) { c.resultCode = 5; },
       {{}, IDS_ROUTER_RESPONSE_FAIL, kNotStarted}},
      {"router verdict too late", [](C& c, M&) { c.resultDelayMs = 125'000; },
       {{}, IDS_ROUTER_RESPONSE_TIMEOUT, kNotStarted}},
      {"module absent", [](C&, M& m) { m.start = routersim::ModuleStart::kAbsent; },
       {{}, IDS_DOWNLOAD_SUCCESS, IDS_HANDSHAKE_FAIL}},
      {"module refuses the handshake", [](C&, M& m) { m.faults.errorByteTo = 0x26; },
       {{}, IDS_DOWNLOAD_SUCCESS, IDS_HANDSHAKE_FAIL}},
      {"module already in its downloader", [](C&, M& m) { m.start = routersim::ModuleStart::kDownloader; }, {}},
      {"one block write refused", [](C&, M& m) { m.faults.nakWrite = 2; }, {}},
      {"NV backup refused", [](C&, M& m) { m.faults.nvBackupReason = 2; },
       {{}, IDS_DOWNLOAD_SUCCESS, IDS_BACKUP_NV_FAIL}},
      {"unlock refused", [](C&, M& m) { m.faults.failUnlocks = 6; }, {{}, IDS_DOWNLOAD_SUCCESS, IDS_UNLOCK_FAIL}},
      {"module restarts into its downloader", [](C&, M& m) { m.faults.stayInDownloader = true; },
       {{}, IDS_DOWNLOAD_SUCCESS, IDS_READ_VERSION_FAIL}},
      {"NV restore fails", [](C&, M& m) { m.faults.restoreStatusFail = m.faults.restoreFail = true; },
       {{}, IDS_DOWNLOAD_SUCCESS, IDS_QUERY_NV_RESTORE_FAIL}},
  };
}

class SilentView : public IItemView {
 public:
  void SetProgressText(int, const std::string&) override {}
  void SetStatus(int, const std::string&, StatusKind) override {}
};

class RecordingPrompter : public IPrompter {
 public:
  void Warning(const std::string& text) override { warnings.push_back(text); }
  std::vector<std::string> warnings;
};

std::size_t CountEntries(const char* folder) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++n;
  return n;
}

// The descriptors and threads of the process, for a leak's report.
std::string Describe() {
  std::string text;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    text += " fd " + entry.path().filename().string() + " -> " +
            std::filesystem::read_symlink(entry.path(), ignored).string() + ";";
  }
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::FILE* f = std::fopen((entry.path() / "comm").c_str(), "r");
    char name[64] = "";
    if (f) {
      if (!std::fgets(name, sizeof name, f)) name[0] = '\0';
      std::fclose(f);
    }
    name[std::strcspn(name, "\n")] = '\0';
    text += " thread " + entry.path().filename().string() + " " + name + ";";
  }
  return text;
}

std::size_t HeapInUse() {
#ifdef ORVANE_SOAK_ASAN
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

std::string ResultName(StringId id) { return id == kNotStarted ? "not started" : LoadText(id); }

StringId ItemResult(const RunReport& report, ImageType item) {
  const ItemReport& r = report.items[item];
  return r.outcome == ItemOutcome::Succeeded || r.outcome == ItemOutcome::Failed ? r.resultId : kNotStarted;
}

}  // namespace

int main(int argc, char** argv) {
  int cycles = 10;
  unsigned seed = 1;
  double scale = 0.02;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--cycles") == 0) cycles = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--seed") == 0) seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
    else if (std::strcmp(argv[i], "--scale") == 0) scale = std::atof(argv[i + 1]);
    else {
      std::fprintf(stderr, "usage: engine_soak [--cycles N] [--seed S] [--scale F]\n");
      return 2;
    }
  }
  if (cycles < 1 || !platform::SetTimeScale(scale)) {
    std::fprintf(stderr, "engine_soak: bad --cycles or --scale\n");
    return 2;
  }

  test::TempDir images;
  test::TempDir logs;
  images.Write("boot.bin", test::MakeImage(IMAGE_BOOT, "2.1.1.0.0"));
  images.Write("fw.bin", test::MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00", {6000, 3000}));

  // The first router picks the ports; every later one takes the same.
  routersim::Config base;
  base.settings["cfe_version"] = "2.1.0.2.5";  // boot and discovery's version both match the boot image
  routersim::Ports ports;
  {
    routersim::RouterSim probe(base);
    std::string error;
    if (!probe.Start(&error)) {
      std::fprintf(stderr, "engine_soak: %s\n", error.c_str());
      return 1;
    }
    ports = probe.BoundPorts();
    probe.Stop();
  }
  base.telnetPort = ports.telnet;
  base.relayPort = ports.relay;
  base.controlPort = ports.control;
  NetworkProfile profile;
  profile.broadcastAddress = "127.0.0.1";
  profile.relayTcpPort = ports.relay;
  profile.controlUdpPort = ports.control;
  profile.telnetPort = ports.telnet;

  // The dialog's session, for the whole soak.
  SilentView view;
  RecordingPrompter prompter;
  SessionOptions options;
  options.profile = profile;
  options.logFolder = logs.Str();
  options.imageDirectory = images.Str();
  options.frontEnd = kFrontEndDialog;
  CUpdateSession session(options, view, prompter);

  const std::size_t threads0 = CountEntries("/proc/self/task");
  const std::size_t fds0 = CountEntries("/proc/self/fd");
  const std::size_t heap0 = HeapInUse();
  std::size_t heapAfterFirst = 0;
  std::size_t heapPeakCycle = 0;

  const std::vector<Fault> faults = Faults();
  std::mt19937 random(seed);
  std::vector<std::size_t> deck;
  int mismatches = 0;
  int leaks = 0;
  const auto soakStart = std::chrono::steady_clock::now();
  std::printf("soak: %d cycles, seed %u, time scale %g, %zu faults\n", cycles, seed, scale, faults.size());

  for (int cycle = 1; cycle <= cycles; ++cycle) {
    if (deck.empty()) {
      for (std::size_t i = 0; i < faults.size(); ++i) deck.push_back(i);
      std::shuffle(deck.begin(), deck.end(), random);
    }
    const Fault& fault = faults[deck.back()];
    deck.pop_back();
    const auto start = std::chrono::steady_clock::now();

    routersim::Config config = base;
    routersim::ModuleConfig moduleConfig;
    moduleConfig.unlockCode = {1, 2, 3, 4, 5, 6, 7, 8};  // as the test images carry it
    fault.apply(config, moduleConfig);
    auto module = std::make_unique<routersim::SimModule>(moduleConfig);
    auto sim = std::make_unique<routersim::RouterSim>(config, module.get());
    std::string error;
    if (!sim->Start(&error)) {
      std::fprintf(stderr, "cycle %d: router: %s\n", cycle, error.c_str());
      return 1;
    }

    prompter.warnings.clear();
    const CheckReport check = session.Check();
    const bool checked = check.ok;
    StringId warning = kNotStarted;
    RunReport report;
    if (checked) {
      if (check.evaluation.updateEnabled) report = session.Update();
    } else if (check.Warning() == IDS_DETECT_NONE_ROUTER || check.Warning() == IDS_TCP_CONNECT_FAIL) {
      warning = check.Warning();
    }
    sim->Stop();
    sim.reset();
    module.reset();

    const StringId boot = ItemResult(report, IMAGE_BOOT);
    const StringId firmware = ItemResult(report, IMAGE_FIRMWARE);
    const Expected& want = fault.expected;
    const bool matched = checked == (want.checkWarning == kNotStarted) && warning == want.checkWarning &&
                         boot == (checked ? want.boot : kNotStarted) &&
                         firmware == (checked ? want.firmware : kNotStarted);
    const std::size_t threads = CountEntries("/proc/self/task");
    const std::size_t fds = CountEntries("/proc/self/fd");
    const std::size_t heap = HeapInUse();
    if (cycle == 1) heapAfterFirst = heap;
    heapPeakCycle = std::max(heapPeakCycle, heap);
    const bool leaked = threads != threads0 || fds != fds0;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("cycle %3d  %-36s %-6s boot: %-32s firmware: %-32s %5.2f s  threads %zu fds %zu heap %zu%s%s\n", cycle,
                fault.name, checked ? "check" : "no run", ResultName(boot).c_str(), ResultName(firmware).c_str(),
                seconds, threads, fds, heap, matched ? "" : "  MISMATCH", leaked ? "  LEAK" : "");
    if (!matched) {
      ++mismatches;
      std::printf("           expected: check %s, boot: %s, firmware: %s\n",
                  want.checkWarning == kNotStarted ? "passes" : LoadText(want.checkWarning),
                  ResultName(want.boot).c_str(), ResultName(want.firmware).c_str());
    }
    if (leaked) {
      ++leaks;
      std::printf("           now:%s\n", Describe().c_str());
      platform::Sleep(1000);
      std::printf("           a second later: threads %zu fds %zu\n", CountEntries("/proc/self/task"),
                  CountEntries("/proc/self/fd"));
    }
    std::fflush(stdout);
  }

  const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - soakStart).count();
  const std::size_t heapEnd = HeapInUse();
  // What one cycle may leave behind for good (the log's lines of a check
  // that no run saved, the allocator's own rounding): a little, never a
  // growth with the number of cycles.
  constexpr std::size_t kHeapSlack = 64 * 1024;
  const bool heapBack = heapEnd <= heapAfterFirst + kHeapSlack;
  std::printf("soak: %d cycles in %.1f s; %d mismatched, %d leaked threads or descriptors\n", cycles, total, mismatches,
              leaks);
  std::printf("soak: threads %zu, descriptors %zu before and after every cycle\n", threads0, fds0);
  std::printf("soak: heap in use %zu before, %zu after the first cycle, %zu at the end (highest between cycles %zu)%s\n",
              heap0, heapAfterFirst, heapEnd, heapPeakCycle, heapBack ? "" : "  GROWTH");
  return mismatches == 0 && leaks == 0 && heapBack ? 0 : 1;
}
