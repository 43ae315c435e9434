// The update on real-shaped links: the benchmark LAN of bench/lan.sh (two
// network namespaces joined by a veth pair, the PC's side shaped to
// 100 Mbit/s), the simulated router in the router's namespace on its real
// address and ports, a LAN round trip of 300 us added to each module answer
// by the simulator, and the module's link at a real port's rate.
//
//   router images   TransferRouterImage of the three router items' sizes,
//                   beside a plain sender's TCP goodput in the same pair
//   module          DownloadImage at 921,600 bit/s (1 MiB) and 12 Mbit/s
//                   (4 MiB), beside the link's rate
//   whole update    the five items at their real sizes, at time scale 1
//                   (three runs, about two minutes each),
//                   module link 12 Mbit/s, beside the protocol's fixed pauses
//                   plus every byte at its link's rate
//
// Runs only inside the PC's namespace with ORVANE_BENCH_ROUTER_NS naming the
// router's: `bench/run --shaped` (root) sets that up. Every packet stays in
// the two namespaces.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "bench_support.h"
#include "catalogue/string_table.h"
#include "diag/diag_commands.h"
#include "net/router_packets.h"
#include "platform/clock.h"

namespace {

using namespace orvane;
using namespace orvane::bench;

constexpr double kMB = 1e6;
constexpr std::uint32_t kLanRoundTripUs = 300;  // a switched LAN's round trip, PC to router and back
constexpr std::uint32_t kRestartMs = 3000;      // the simulated module's restart
constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * 1024;
// The real images' sizes.
constexpr std::size_t kBootBytes = 256 * kKiB;
constexpr std::size_t kAppBytes = 8 * kMiB;
constexpr std::size_t kResourceBytes = 4 * kMiB;
constexpr std::size_t kFirmwareBytes = 24 * kMiB;
constexpr std::size_t kDashboardBytes = 8 * kMiB;
constexpr std::uint64_t kSlowLink = 921600;
constexpr std::uint64_t kFastLink = 12000000;

bool Ready(benchmark::State& state) {
  if (RouterNamespace().empty()) {
    state.SkipWithError("needs the benchmark LAN: run through `bench/run --shaped`");
    return false;
  }
  return true;
}

// --- The LAN's TCP goodput -----------------------------------------------------

// `bytes` from a plain sender in this namespace, in 7300-byte writes, to a
// reader in the router's namespace that drains them; bytes per second from
// the first write until the reader has the last byte. `bufferBytes` >= 0
// sets the sender's SO_SNDBUF and SO_RCVBUF (0: as the port sets them).
// With `awaitAck`, each write is followed by a wait until the receiver has
// acknowledged every byte of it (the sender's queue, SIOCOUTQ, is empty):
// how a send completes on Windows when the socket's send buffer is 0.
double LanGoodput(std::size_t bytes, int bufferBytes, bool awaitAck = false) {
  int listener = -1;
  sockaddr_in address{};
  InNamespace(RouterNamespace(), [&] {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, kLanRouterAddress, &address.sin_addr);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  });
  if (listener < 0) return 0;
  std::atomic<bool> all{false};
  Clock::time_point end{};
  std::thread reader([&] {
    const int conn = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) return;
    std::vector<std::uint8_t> chunk(65536);
    std::size_t got = 0;
    while (got < bytes) {
      const ssize_t n = ::recv(conn, chunk.data(), chunk.size(), 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    end = Clock::now();
    all = got == bytes;
    ::close(conn);
  });
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (bufferBytes >= 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
  }
  std::vector<std::uint8_t> data(ROUTER_BLOCK_SIZE, 0x5A);
  Clock::time_point start{};
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    start = Clock::now();
    bool ok = true;
    for (std::size_t at = 0; ok && at < bytes;) {
      const std::size_t n = std::min(ROUTER_BLOCK_SIZE, bytes - at);
      const ssize_t sent = ::send(fd, data.data(), n, MSG_NOSIGNAL);
      ok = sent > 0;
      if (ok) at += static_cast<std::size_t>(sent);
      for (int queued = 1; ok && awaitAck && queued > 0;) {
        ok = ::ioctl(fd, SIOCOUTQ, &queued) == 0;
        if (queued > 0) std::this_thread::yield();
      }
    }
  }
  ::shutdown(listener, SHUT_RDWR);
  reader.join();
  ::close(fd);
  ::close(listener);
  return all ? static_cast<double>(bytes) / Seconds(end - start) : 0;
}

// --- Router images ---------------------------------------------------------------

void BM_ShapedRouterImages(benchmark::State& state) {
  if (!Ready(state)) return;
  platform::SetTimeScale(1.0);
  const std::pair<ImageType, std::size_t> images[] = {
      {IMAGE_BOOT, kBootBytes}, {IMAGE_APP, kAppBytes}, {IMAGE_RESOURCE, kResourceBytes}};
  std::vector<double> goodput, shortGoodput, portBuffers, acked, rates[3];
  for (auto _ : state) {
    goodput.push_back(LanGoodput(kAppBytes, -1));
    acked.push_back(LanGoodput(kAppBytes, 0, true));
    shortGoodput.push_back(LanGoodput(kBootBytes, -1));
    portBuffers.push_back(LanGoodput(kAppBytes, 0));
    for (int i = 0; i < 3; ++i) {
      std::string failure;
      const auto [type, bytes] = images[i];
      const double rate = RouterTransferRate(type, ImageFile(type, bytes), RouterNamespace(), false, &failure);
      if (rate == 0) {
        state.SkipWithError(failure.c_str());
        return;
      }
      rates[i].push_back(rate);
    }
    state.SetIterationTime(static_cast<double>(kAppBytes) / rates[1].back());
  }
  state.counters["goodput_MBps"] = Median(goodput) / kMB;
  state.counters["goodput_buffers0_MBps"] = Median(portBuffers) / kMB;
  state.counters["goodput_256k_MBps"] = Median(shortGoodput) / kMB;
  state.counters["acked_blocks_MBps"] = Median(acked) / kMB;
  // What waiting for each block's acknowledgement adds per block.
  state.counters["ack_wait_per_block_ms"] =
      (static_cast<double>(kAppBytes) / Median(acked) - static_cast<double>(kAppBytes) / Median(goodput)) * 1000 /
      std::ceil(static_cast<double>(kAppBytes) / ROUTER_BLOCK_SIZE);
  state.counters["line_MBps"] = 100e6 / 8 / kMB;
  state.counters["boot_MBps"] = Median(rates[0]) / kMB;
  state.counters["app_MBps"] = Median(rates[1]) / kMB;
  state.counters["resource_MBps"] = Median(rates[2]) / kMB;
  // A row beside the plain sender's 8 MiB.
  const auto besideGoodput = [](const char* name, const char* counter, const char* note) {
    return MeasureRow{.name = name, .unit = "MB/s", .value = counter, .reference = "goodput_MBps", .note = note};
  };
  const auto row = [&](const char* name, const char* counter) {
    MeasureRow r = besideGoodput(name, counter,
                                 "timed from \"Sending router module's update data \" to the router holding the last "
                                 "byte; reference: a plain sender's 8 MiB in the same namespace pair");
    r.target = ">= 0.95x the LAN's TCP goodput";
    r.minRatio = 0.95;
    r.limit = "a plain sender on a fresh connection moves 256 KiB at {goodput_256k_MBps:.2f} MB/s, and with "
              "the port's socket buffers (0) 8 MiB at {goodput_buffers0_MBps:.2f} MB/s; a transfer timed from "
              "one status text to the router's last byte carries a thread's wake-up or two, which on this "
              "shared machine are a few percent of the 22 ms that the boot image takes";
    return r;
  };
  state.SetLabel(MeasureLabel(std::vector<MeasureRow>{
      {
          .name = "shaped LAN: plain sender's TCP goodput, 8 MiB",
          .unit = "MB/s",
          .value = "goodput_MBps",
          .reference = "line_MBps",
          .note = "100 Mbit/s token bucket on the PC's side of a veth pair; ratio: goodput over the line's rate "
                  "(TCP/IP headers and the Ethernet framing that the bucket counts take the rest)",
      },
      besideGoodput("  the same with the sender's socket buffers 0 (as the port sets them)", "goodput_buffers0_MBps",
                    "Linux's least send buffer (about 4.6 KB) for buffers 0"),
      besideGoodput("  the same, each 7300-byte write waiting for the router's acknowledgement", "acked_blocks_MBps",
                    "how a send completes on Windows with the send buffer 0; the router's side is Linux's TCP "
                    "(its delayed acknowledgements as this kernel makes them)"),
      {
          .name = "    time a block waits for its acknowledgement, beyond its time on the line",
          .unit = "ms",
          .value = "ack_wait_per_block_ms",
          .note = "difference of the two rows above, per 7300-byte block",
      },
      besideGoodput("  plain sender, 256 KiB on a fresh connection", "goodput_256k_MBps",
                    "the LAN's goodput for a transfer as short as the boot image"),
      row("shaped LAN: router boot image, 256 KiB", "boot_MBps"),
      row("shaped LAN: router application image, 8 MiB", "app_MBps"),
      row("shaped LAN: router resource image, 4 MiB", "resource_MBps"),
  }));
}

// --- Module downloads ---------------------------------------------------------

// The bytes that a download of `path` puts on the module's link: every
// block's frame as the engine builds it, and the module's acknowledgement of
// each.
double ModuleWireBytes(const std::string& path) {
  CFirmwareImage image;
  image.SetPath(path);
  if (!image.LoadImage()) return 0;
  const auto frames = DownloadFrames(image);
  const std::size_t ackBytes = AckFrame().size();
  double total = 0;
  for (std::size_t i = 1; i < frames.size(); ++i) total += static_cast<double>(frames[i].size() + ackBytes);
  return total;
}

// The module's link at `bitsPerSecond` behind the router of the LAN.
ModuleLink LanModule(std::uint64_t bitsPerSecond) {
  return {.bitsPerSecond = bitsPerSecond, .lanRoundTripUs = kLanRoundTripUs, .routerNamespace = RouterNamespace()};
}

void BM_ShapedModuleDownload(benchmark::State& state) {
  if (!Ready(state)) return;
  platform::SetTimeScale(1.0);
  const auto bitsPerSecond = static_cast<std::uint64_t>(state.range(0));
  const std::size_t bytes = static_cast<std::size_t>(state.range(1)) * kKiB;
  std::vector<double> rates, plain;
  for (auto _ : state) {
    std::string failure;
    const double rate = DownloadRate(bytes, LanModule(bitsPerSecond), &failure);
    if (rate == 0) {
      state.SkipWithError(failure.c_str());
      return;
    }
    rates.push_back(rate);
    plain.push_back(PlainClientRate(bytes, LanModule(bitsPerSecond)));
    state.SetIterationTime(static_cast<double>(bytes) / rate);
  }
  const double link = static_cast<double>(bitsPerSecond) / 8;
  const double wire = ModuleWireBytes(ImageFile(IMAGE_FIRMWARE, bytes));
  const double blocks = static_cast<double>((bytes + DOWNLOAD_BLOCK_SIZE - 1) / DOWNLOAD_BLOCK_SIZE);
  state.counters["download_MBps"] = Median(rates) / kMB;
  state.counters["plain_client_MBps"] = Median(plain) / kMB;
  // The updater's own time per block: beyond what the plain client needs.
  state.counters["updater_per_block_us"] =
      (static_cast<double>(bytes) / Median(rates) - static_cast<double>(bytes) / Median(plain)) * 1e6 / blocks;
  state.counters["link_MBps"] = link / kMB;
  // Every byte of the frames and acknowledgements at the link's rate.
  state.counters["wire_limit_MBps"] = static_cast<double>(bytes) / (wire / link) / kMB;
  // The same plus the LAN's round trip once per block: stop-and-wait's own limit.
  state.counters["stop_and_wait_limit_MBps"] =
      static_cast<double>(bytes) / (wire / link + blocks * kLanRoundTripUs * 1e-6) / kMB;
  const std::string rate = std::to_string(bitsPerSecond) + " bit/s";
  state.SetLabel(MeasureLabel(std::vector<MeasureRow>{
      {
          .name = "shaped LAN: module download at " + rate + ", " + std::to_string(bytes / kKiB) + " KiB",
          .unit = "MB/s",
          .value = "download_MBps",
          .reference = "link_MBps",
          .target = ">= 0.95x link rate",
          .minRatio = 0.95,
          .note = "reference: the link's rate, 8 bits a byte; LAN round trip 300 us",
          .limit = "every frame and acknowledgement at the link's rate allows {wire_limit_MBps:.3f} MB/s (the "
                   "frames' write headers, check bytes, flags and stuffing, and one acknowledgement per 4 KiB "
                   "block), and stop-and-wait pays the LAN's 300 us round trip once per block on top: "
                   "{stop_and_wait_limit_MBps:.3f} MB/s is the most that one block at a time can reach here. A "
                   "plain client without the updater reaches {plain_client_MBps:.3f} MB/s on the same link and "
                   "LAN (the simulator's timer and the client's wake-ups on this shared machine), and the "
                   "updater's time per block beyond the plain client's is {updater_per_block_us:.0f} us (noise "
                   "when near 0)",
      },
      {
          .name = "  plain client, same frames, same link and LAN",
          .unit = "MB/s",
          .value = "download_MBps",
          .reference = "plain_client_MBps",
          .note = "reference: a client that reads each acknowledgement itself (no reader thread, no queue)",
      },
      {
          .name = "    the updater's own time per 4 KiB block",
          .unit = "us",
          .value = "updater_per_block_us",
          .note = "the download's time per block beyond the plain client's",
      },
      {
          .name = "  every frame and acknowledgement at the link's rate",
          .unit = "MB/s",
          .value = "download_MBps",
          .reference = "wire_limit_MBps",
          .note = "reference: data bytes over the time of every byte on the link",
      },
      {
          .name = "  the same plus the LAN's round trip once per block",
          .unit = "MB/s",
          .value = "download_MBps",
          .reference = "stop_and_wait_limit_MBps",
          .note = "reference: stop-and-wait's limit on this link and LAN",
      },
  }));
}

// --- The whole update -----------------------------------------------------------

void BM_ShapedWholeUpdate(benchmark::State& state) {
  if (!Ready(state)) return;
  platform::SetTimeScale(1.0);
  const std::string folder = ItemFolder("orvane-bench-shaped", {{IMAGE_BOOT, kBootBytes},
                                                                {IMAGE_APP, kAppBytes},
                                                                {IMAGE_RESOURCE, kResourceBytes},
                                                                {IMAGE_FIRMWARE, kFirmwareBytes},
                                                                {IMAGE_DASHBOARD, kDashboardBytes}});
  const double moduleWire =
      ModuleWireBytes(ImageFile(IMAGE_FIRMWARE, kFirmwareBytes)) + ModuleWireBytes(ImageFile(IMAGE_DASHBOARD, kDashboardBytes));
  const double routerBytes = static_cast<double>(kBootBytes + kAppBytes + kResourceBytes);
  std::vector<double> updates, references, goodputs;
  for (auto _ : state) {
    const double goodput = LanGoodput(kAppBytes, -1);
    routersim::Config config;
    config.moduleLinkBitsPerSecond = kFastLink;
    config.lanRoundTripUs = kLanRoundTripUs;
    config.keepImageData = false;
    routersim::ModuleConfig module;
    module.restartMs = kRestartMs;
    EngineOnSim run(config, module, RouterNamespace());
    if (const std::string failure = CheckAndSelectAll(run, folder); !failure.empty()) {
      state.SkipWithError(failure.c_str());
      return;
    }
    const auto start = Clock::now();
    const RunReport report = run.Engine().Run();
    const double seconds = Seconds(Clock::now() - start);
    if (!report.EveryItemSucceeded() || !report.warnings.empty()) {
      state.SkipWithError("the update did not end with five successes");
      return;
    }
    updates.push_back(seconds);
    goodputs.push_back(goodput);
    references.push_back(UpdateFloorMs(kRestartMs) / 1000 + routerBytes / goodput +
                         moduleWire * 8 / static_cast<double>(kFastLink));
    state.SetIterationTime(seconds);
  }
  state.counters["update_s"] = Median(updates);
  state.counters["reference_s"] = Median(references);
  state.counters["pauses_s"] = UpdateFloorMs(kRestartMs) / 1000;
  state.counters["router_bytes_s"] = routerBytes / Median(goodputs);
  state.counters["module_bytes_s"] = moduleWire * 8 / static_cast<double>(kFastLink);
  state.counters["excess_s"] = Median(updates) - Median(references);
  state.counters["update_min_s"] = *std::min_element(updates.begin(), updates.end());
  state.counters["update_max_s"] = *std::max_element(updates.begin(), updates.end());
  // The LAN's round trip, once per module block: what stop-and-wait adds to
  // the reference even without any cost of its own.
  const double moduleBlocks =
      static_cast<double>((kFirmwareBytes + kDashboardBytes) / DOWNLOAD_BLOCK_SIZE);
  state.counters["round_trips_s"] = moduleBlocks * kLanRoundTripUs * 1e-6;
  state.counters["reference_with_round_trips_s"] = Median(references) + moduleBlocks * kLanRoundTripUs * 1e-6;
  state.SetLabel(MeasureLabel(std::vector<MeasureRow>{
      {
          .name = "shaped LAN: whole update, real sizes (time scale 1, module link 12 Mbit/s)",
          .unit = "s",
          .value = "update_s",
          .reference = "reference_s",
          .target = "<= 1.03x pauses plus every byte at its link's rate",
          .higherIsBetter = false,
          .maxRatio = 1.03,
          .note = "boot 256 KiB, application 8 MiB, resource 4 MiB, firmware 24 MiB, dashboard 8 MiB; module "
                  "restart 3 s; LAN round trip 300 us; reference: the protocol's fixed pauses, the router images "
                  "at the LAN's measured goodput, the module's frames and acknowledgements at the link's rate",
          .limit = "{excess_s:.2f} s above the reference (three runs: {update_min_s:.1f} to {update_max_s:.1f} s). "
                   "The module's stop-and-wait pays the LAN's round trip once per 4 KiB block: 8,192 blocks x "
                   "300 us = {round_trips_s:.2f} s, which no updater can save without a second block in flight "
                   "(the reference plus them is {reference_with_round_trips_s:.1f} s, already 1.024x); the rest "
                   "is the wake-ups of stop-and-wait per block on this shared 2-CPU machine, which a plain client "
                   "without the updater pays as well (the 12 Mbit/s download rows)",
      },
      {
          .name = "  the reference plus the LAN's round trip once per module block",
          .unit = "s",
          .value = "update_s",
          .reference = "reference_with_round_trips_s",
          .note = "stop-and-wait's own floor on this LAN",
      },
      {.name = "  the protocol's fixed pauses", .unit = "s", .value = "pauses_s", .note = "terms in bench/full_run_bench.cpp"},
      {.name = "  the router images at the LAN's goodput", .unit = "s", .value = "router_bytes_s"},
      {.name = "  the module's frames and acknowledgements at 12 Mbit/s", .unit = "s", .value = "module_bytes_s"},
  }));
}

BENCHMARK(BM_ShapedRouterImages)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShapedModuleDownload)
    ->Args({kSlowLink, 1024})
    ->Args({kFastLink, 4096})
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShapedWholeUpdate)->Iterations(3)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
