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
  std::vector<double> goodput, shortGoodput, resourceGoodput, portBuffers, acked, rates[3];
  for (auto _ : state) {
    goodput.push_back(LanGoodput(kAppBytes, -1));
    acked.push_back(LanGoodput(kAppBytes, 0, true));
    shortGoodput.push_back(LanGoodput(kBootBytes, -1));
    resourceGoodput.push_back(LanGoodput(kResourceBytes, -1));
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
  state.counters["goodput_4m_MBps"] = Median(resourceGoodput) / kMB;
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
  // Each image beside a plain sender's fresh connection of the same size:
  // TCP's window opens during the first milliseconds of either.
  const auto row = [&](const char* name, const char* counter, const char* reference) {
    MeasureRow r{.name = name,
                 .unit = "MB/s",
                 .value = counter,
                 .reference = reference,
                 .note = "timed from \"Sending router module's update data \" to the router holding the last byte; "
                         "reference: a plain sender's fresh connection of the same size in the same namespace pair"};
    r.target = ">= 0.97x the LAN's goodput, same size";
    r.minRatio = 0.97;
    r.limit = "with the port's socket buffers (0) a plain sender moves 8 MiB at {goodput_buffers0_MBps:.2f} MB/s "
              "against {goodput_MBps:.2f} MB/s with the system's; a transfer timed from one status text to the "
              "router's last byte carries a thread's wake-up or two, which on this shared machine are a few "
              "percent of the 22 ms that the boot image takes";
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
      besideGoodput("  plain sender, 4 MiB on a fresh connection", "goodput_4m_MBps",
                    "the LAN's goodput for a transfer the size of the resource image"),
      row("shaped LAN: router boot image, 256 KiB", "boot_MBps", "goodput_256k_MBps"),
      row("shaped LAN: router application image, 8 MiB", "app_MBps", "goodput_MBps"),
      row("shaped LAN: router resource image, 4 MiB", "resource_MBps", "goodput_4m_MBps"),
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

// The data rate of stop-and-wait on `link` for `bytes` whose frames and
// acknowledgements put `wire` bytes on it: every byte at the link's rate
// plus the LAN's round trip once per block.
double StopAndWaitFloor(double bytes, double wire, double link) {
  const double blocks = std::ceil(bytes / static_cast<double>(DOWNLOAD_BLOCK_SIZE));
  return bytes / (wire / link + blocks * kLanRoundTripUs * 1e-6);
}

void BM_ShapedModuleDownload(benchmark::State& state) {
  if (!Ready(state)) return;
  platform::SetTimeScale(1.0);
  const auto bitsPerSecond = static_cast<std::uint64_t>(state.range(0));
  const std::size_t bytes = static_cast<std::size_t>(state.range(1)) * kKiB;
  const double blocks = static_cast<double>((bytes + DOWNLOAD_BLOCK_SIZE - 1) / DOWNLOAD_BLOCK_SIZE);
  // The ways the updater can wait for each acknowledgement, the first the
  // one it uses; each run measures all of them and the plain client as
  // neighbours, in an order that turns from run to run.
  const ArrivalWait waits[] = {ArrivalWait::kBlock, ArrivalWait::kWakeEarly, ArrivalWait::kSpinFirst};
  constexpr int kWays = 5;  // the three waits, the plain client, the plain client on the former link model
  constexpr int kPlain = kWays - 2;
  constexpr int kFormerLink = kWays - 1;
  std::vector<double> rates[kWays];
  std::vector<double> perBlockUs[kPlain];
  int turn = 0;
  for (auto _ : state) {
    double rate[kWays] = {};
    for (int k = 0; k < kWays; ++k) {
      const int way = (k + turn) % kWays;
      if (way >= kPlain) {
        ModuleLink link = LanModule(bitsPerSecond);
        link.exactLinkTime = way == kPlain;
        rate[way] = PlainClientRate(bytes, link);
        continue;
      }
      std::string failure;
      rate[way] = DownloadRate(bytes, LanModule(bitsPerSecond), &failure, waits[way]);
      if (rate[way] == 0) {
        state.SkipWithError(failure.c_str());
        return;
      }
    }
    ++turn;
    if (rate[kPlain] == 0 || rate[kFormerLink] == 0) {
      state.SkipWithError("the plain client's download failed");
      return;
    }
    for (int way = 0; way < kWays; ++way) rates[way].push_back(rate[way]);
    // The updater's own time per block in this run: beyond its neighbour,
    // the plain client.
    for (int way = 0; way < kPlain; ++way) {
      perBlockUs[way].push_back((static_cast<double>(bytes) / rate[way] - static_cast<double>(bytes) / rate[kPlain]) *
                                1e6 / blocks);
    }
    state.SetIterationTime(static_cast<double>(bytes) / rate[0]);
  }
  const double link = static_cast<double>(bitsPerSecond) / 8;
  const double wire = ModuleWireBytes(ImageFile(IMAGE_FIRMWARE, bytes));
  state.counters["download_MBps"] = Median(rates[0]) / kMB;
  state.counters["wake_early_MBps"] = Median(rates[1]) / kMB;
  state.counters["spin_first_MBps"] = Median(rates[2]) / kMB;
  state.counters["plain_client_MBps"] = Median(rates[kPlain]) / kMB;
  state.counters["former_link_MBps"] = Median(rates[kFormerLink]) / kMB;
  const auto spread = [&](const char* name, const std::vector<double>& values) {
    state.counters[std::string(name) + "_us"] = Median(values);
    state.counters[std::string(name) + "_min_us"] = *std::min_element(values.begin(), values.end());
    state.counters[std::string(name) + "_max_us"] = *std::max_element(values.begin(), values.end());
  };
  spread("updater_per_block", perBlockUs[0]);
  spread("wake_early_per_block", perBlockUs[1]);
  spread("spin_first_per_block", perBlockUs[2]);
  state.counters["link_MBps"] = link / kMB;
  // Every byte of the frames and acknowledgements at the link's rate.
  state.counters["wire_limit_MBps"] = static_cast<double>(bytes) / (wire / link) / kMB;
  // The same plus the LAN's round trip once per block: stop-and-wait's floor.
  const double floor = StopAndWaitFloor(static_cast<double>(bytes), wire, link);
  state.counters["stop_and_wait_limit_MBps"] = floor / kMB;
  // The plain client's time per block beyond the floor: the simulated
  // line's and the machine's own share.
  state.counters["plain_beyond_floor_us"] =
      (static_cast<double>(bytes) / Median(rates[kPlain]) - static_cast<double>(bytes) / floor) * 1e6 / blocks;
  state.counters["former_beyond_floor_us"] =
      (static_cast<double>(bytes) / Median(rates[kFormerLink]) - static_cast<double>(bytes) / floor) * 1e6 / blocks;
  state.counters["block_on_floor_us"] = static_cast<double>(bytes) / floor * 1e6 / blocks;
  const std::string rate = std::to_string(bitsPerSecond) + " bit/s";
  const auto beside = [](std::string name, const char* value, const char* note) {
    return MeasureRow{.name = std::move(name), .unit = "MB/s", .value = value, .reference = "plain_client_MBps",
                      .note = note};
  };
  const auto perBlock = [](std::string name, const char* value, const char* note) {
    return MeasureRow{.name = std::move(name), .unit = "us", .value = value, .note = note};
  };
  state.SetLabel(MeasureLabel(std::vector<MeasureRow>{
      {
          .name = "shaped LAN: module download at " + rate + ", " + std::to_string(bytes / kKiB) + " KiB",
          .unit = "MB/s",
          .value = "download_MBps",
          .reference = "stop_and_wait_limit_MBps",
          .target = ">= 0.97x the stop-and-wait floor",
          .minRatio = 0.97,
          .note = "reference: the stop-and-wait floor, every frame and acknowledgement at the link's rate (8 bits a "
                  "byte) plus the LAN's round trip of 300 us once per 4 KiB block",
          .limit = "a block on the floor takes {block_on_floor_us:.0f} us. The plain client without the updater "
                   "reaches {plain_client_MBps:.3f} MB/s on the same link and LAN, {plain_beyond_floor_us:.0f} us a "
                   "block beyond the floor (the simulator's and the client's wake-ups, the veth pair's own round "
                   "trip, on this shared machine); the updater's own time per block beyond the plain client's is "
                   "{updater_per_block_us:.0f} us (three runs: {updater_per_block_min_us:.0f} to "
                   "{updater_per_block_max_us:.0f} us)",
      },
      beside("  plain client, same frames, same link and LAN", "download_MBps",
             "reference: a client that reads each acknowledgement itself (no reader thread, no queue)"),
      {
          .name = "    plain client against the floor",
          .unit = "MB/s",
          .value = "plain_client_MBps",
          .reference = "stop_and_wait_limit_MBps",
          .note = "how close the simulated line and this machine let stop-and-wait come",
      },
      {
          .name = "    the same on the former link model",
          .unit = "MB/s",
          .value = "former_link_MBps",
          .reference = "stop_and_wait_limit_MBps",
          .note = "the simulator's link timed from its own reads and woken by its timed wait alone "
                  "(routersim::Config::exactLinkTime false), in the same runs",
      },
      perBlock("    plain client's time per block beyond the floor", "plain_beyond_floor_us",
               "the simulated line's and this machine's share, median of three"),
      perBlock("      on the former link model", "former_beyond_floor_us", ""),
      perBlock("    the updater's own time per 4 KiB block", "updater_per_block_us",
               "the download's time per block beyond the plain client's, median of three runs (each beside its "
               "own plain client)"),
      perBlock("      fewest in the three runs", "updater_per_block_min_us", ""),
      perBlock("      most in the three runs", "updater_per_block_max_us", ""),
      beside("  tried: the caller waking 150 us before the predicted answer and spinning", "wake_early_MBps",
             "the wait blocks until 150 us before the moment the last answer took, then watches the event for up "
             "to 300 us without sleeping (ArrivalWait::kWakeEarly)"),
      perBlock("    its own time per 4 KiB block", "wake_early_per_block_us",
               "beyond the plain client's, median of three"),
      beside("  tried: the caller spinning 150 us before it blocks", "spin_first_MBps",
             "a spin at the start of every wait, then the arrival event (ArrivalWait::kSpinFirst)"),
      perBlock("    its own time per 4 KiB block", "spin_first_per_block_us",
               "beyond the plain client's, median of three"),
      {
          .name = "  every frame and acknowledgement at the link's rate",
          .unit = "MB/s",
          .value = "download_MBps",
          .reference = "wire_limit_MBps",
          .note = "reference: data bytes over the time of every byte on the link, without the LAN's round trip",
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
  state.counters["floor_excess_s"] = Median(updates) - state.counters["reference_with_round_trips_s"];
  state.counters["floor_excess_per_block_us"] = state.counters["floor_excess_s"] * 1e6 / moduleBlocks;
  state.SetLabel(MeasureLabel(std::vector<MeasureRow>{
      {
          .name = "shaped LAN: whole update, real sizes (time scale 1, module link 12 Mbit/s)",
          .unit = "s",
          .value = "update_s",
          .reference = "reference_with_round_trips_s",
          .target = "<= 1.01x its floor",
          .higherIsBetter = false,
          .maxRatio = 1.01,
          .note = "boot 256 KiB, application 8 MiB, resource 4 MiB, firmware 24 MiB, dashboard 8 MiB; module "
                  "restart 3 s; LAN round trip 300 us; reference (the floor): the protocol's fixed pauses, the "
                  "router images at the LAN's measured goodput, the module's frames and acknowledgements at the "
                  "link's rate, and the LAN's round trip once per module block",
          .limit = "{floor_excess_s:.2f} s above the floor (three runs: {update_min_s:.1f} to {update_max_s:.1f} s), "
                   "{floor_excess_per_block_us:.0f} us for each of the 8,192 module blocks: the module downloads' "
                   "time per block beyond the floor, which the 12 Mbit/s download rows take apart into the plain "
                   "client's (the simulated line and this shared machine) and the updater's own",
      },
      {
          .name = "  pauses plus every byte at its link's rate, without the round trips",
          .unit = "s",
          .value = "update_s",
          .reference = "reference_s",
          .note = "the former reference; the LAN's round trip once per module block (8,192 x 300 us = 2.46 s) "
                  "is the difference, which no updater can save without a second block in flight",
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
