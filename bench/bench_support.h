#pragma once
// What the loopback and engine benchmarks share: image files, a view that
// only notes times, the simulated router with an engine connected to it,
// the router transfer, the module download and its plain client, the whole
// check and update, the references written for the benchmarks (plain
// loopback TCP, nothing of the updater in them), and the label through which
// a benchmark hands its measure to bench/report.py.
//
// The references use the operating system's sockets directly: they are the
// limit the updater is held against, not a part of it.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/image_set.h"
#include "catalogue/image_type.h"
#include "catalogue/update_item.h"
#include "engine/item_view.h"
#include "engine/update_engine.h"
#include "routersim/module_sim.h"
#include "routersim/router_sim.h"

namespace orvane::bench {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d);
double Median(std::vector<double> samples);

// An image file of `type` with one unit of `dataBytes` pseudo-random bytes
// (the module images carry the simulated module's unlock code), written once
// into the temporary folder and kept for later runs.
// With `carryVersion` a router image's payload also names its version, so
// that the simulated router reports it once it has taken the image (what a
// verification reads back).
std::string ImageFile(ImageType type, std::size_t dataBytes, bool carryVersion = false);

// The label by which bench/report.py finds a measure: "measure:" and a JSON
// object naming the counters that hold the value and its reference.
struct MeasureRow {
  std::string name{};
  std::string unit{};
  std::string value{};      // counter name
  std::string reference{};  // counter name; empty: none
  std::string target{};     // text for the table; empty: none
  double minRatio = 0;    // ratio (value / reference, or reference / value) that meets the target; 0: none
  bool higherIsBetter = true;
  double maxRatio = 0;    // for "at most" targets: the ratio must stay at or below it; 0: none
  double maxExcess = -1;  // for "no growth" targets: value may exceed the reference by this much; <0: none
  std::string note{};
  // What limits the measure when it misses its target; "{counter:.1f}"
  // places are filled from the benchmark's counters by the report.
  std::string limit{};
};
std::string MeasureLabel(const MeasureRow& row);
// Several measures from one benchmark's counters: "measure:[{...}, ...]".
std::string MeasureLabel(const std::vector<MeasureRow>& specs);

// A view that writes nothing anywhere but lets a benchmark note when a
// status text is shown (called on the engine's thread).
class TimingView : public IItemView {
 public:
  using Hook = std::function<void(int row, const std::string& text)>;
  void SetProgressText(int, const std::string&) override {}
  void SetStatus(int row, const std::string& text, StatusKind kind) override;
  void OnStatus(Hook hook);

 private:
  std::mutex m_lock;
  Hook m_hook;
};

// Runs `work` on a thread of its own that has entered the network
// namespace `name` (as `ip netns` names it): sockets made there, and threads
// started there, belong to that namespace. False when it cannot be entered.
bool InNamespace(const std::string& name, const std::function<void()>& work);

// The namespace pair of bench/lan.sh: the benchmark runs in the PC's, and
// ORVANE_BENCH_ROUTER_NS names the router's (empty when not set).
std::string RouterNamespace();
inline constexpr const char* kLanRouterAddress = "192.168.1.1";

// The simulated router and its module on 127.0.0.1 (ports the system
// picks), and an engine whose profile points at it, connected (reader
// running) when Connect() returned true. With `routerNamespace` given, the
// simulator serves inside that namespace on every address it has there
// (192.168.1.1) and on the real ports, and the engine, in this process's
// namespace, uses the real router's profile.
class EngineOnSim {
 public:
  EngineOnSim(routersim::Config config, routersim::ModuleConfig module, const std::string& routerNamespace = "");
  ~EngineOnSim();
  bool Connect();
  CUpdateEngine& Engine() { return *m_engine; }
  routersim::RouterSim& Sim() { return *m_sim; }
  routersim::SimModule& Module() { return *m_module; }
  UpdateItems& Items() { return m_items; }
  // Keeps a scanned image set alive for as long as the items point into it.
  void HoldImages(ImageSetPtr images) { m_imageSet = std::move(images); }
  TimingView& View() { return m_view; }
  // Assigns and loads the image file for `type` and selects the item.
  const CFirmwareImage* LoadItem(ImageType type, const std::string& path);

 private:
  ImageSlots m_images;  // the items point into it (or into m_imageSet)
  ImageSetPtr m_imageSet;
  UpdateItems m_items;
  TimingView m_view;
  std::unique_ptr<routersim::SimModule> m_module;
  std::unique_ptr<routersim::RouterSim> m_sim;
  std::unique_ptr<CUpdateEngine> m_engine;
  std::string m_logFolder;
};

// --- The router transfer ----------------------------------------------------

// True once the simulated router has taken one whole image (within `waitMs`).
bool ImageTaken(routersim::RouterSim& sim, std::uint32_t waitMs);

// TransferRouterImage of the image file `path` of `type` to a fresh
// simulated router (in `routerNamespace` as in EngineOnSim): bytes per
// second from the moment it shows "Sending router module's update data "
// (the trigger and its pause are behind it) until the router holds the last
// byte; 0 with `failure` said. With `compareBytes` the router keeps the
// bytes and they must equal the image's; otherwise it keeps only their count.
double RouterTransferRate(ImageType type, const std::string& path, const std::string& routerNamespace,
                          bool compareBytes, std::string* failure);

// --- The module download ---------------------------------------------------

// Where a module download runs: the module's link and the LAN's round trip
// as the simulator makes them, and the namespace it serves in (as in
// EngineOnSim; empty: 127.0.0.1).
struct ModuleLink {
  std::uint64_t bitsPerSecond = 0;  // 0: as fast as the simulator goes
  std::uint32_t lanRoundTripUs = 0;
  std::string routerNamespace{};
  // The simulator's link paced to its deadlines and started at each piece's
  // arrival (routersim::Config::exactLinkTime); false: as it was before.
  bool exactLinkTime = true;
};

// One DownloadImage of a firmware image of `bytes` data bytes to a fresh
// simulated module already in its downloader (a module's memory keeps what
// it was given): the payload rate in bytes per second, or 0 with `failure`
// said when the download failed or the module does not hold the image.
// `wait`: how the channel's caller waits for each acknowledgement
// (net/frame_queue.h), so that the ways can be compared in one run.
double DownloadRate(std::size_t bytes, const ModuleLink& link, std::string* failure,
                    ArrivalWait wait = ArrivalWait::kBlock);

// The frames of a download of `image` as the engine sends them: the unlock
// with the image's code first, then every unit's blocks.
std::vector<std::vector<std::uint8_t>> DownloadFrames(const CFirmwareImage& image);
// The module's acknowledgement as it comes on the wire.
std::vector<std::uint8_t> AckFrame();

// A plain client that writes the same frames to a fresh simulated module one
// at a time and reads each acknowledgement itself (no reader thread, no
// queue): stop-and-wait without the updater. Bytes per second from the
// first block (after the unlock), 0 on failure.
double PlainClientRate(std::size_t bytes, const ModuleLink& link);

// --- The whole check and update ----------------------------------------------

// The protocol's fixed pauses and waits of an update of all five items with
// a module restart of `restartMs` (the terms are those listed in
// bench/full_run_bench.cpp).
double UpdateFloorMs(std::uint32_t restartMs);

// The temporary folder `name` holding ImageFile(type, bytes) of each item
// under the name that a check looks for.
std::string ItemFolder(const std::string& name, const std::vector<std::pair<ImageType, std::size_t>>& items,
                       bool carryVersion = false);

// The check on `folder`, then every item selected: what went wrong, empty
// when all five items matched. `checkSeconds` (when given) gets the check's
// own time.
std::string CheckAndSelectAll(EngineOnSim& run, const std::string& folder, double* checkSeconds = nullptr);

// --- References over plain loopback TCP ------------------------------------

struct SocketOptions {
  bool noDelay = true;           // TCP_NODELAY on both ends
  int bufferBytes = -1;          // SO_SNDBUF/SO_RCVBUF on the sending side; -1: the system's default
  int segmentBytes = 0;          // the largest segment the receiver announces (1460: Ethernet's); 0: loopback's
};

// Stop-and-wait: `blocks` blocks of `blockBytes`, each answered by a
// `ackBytes` acknowledgement before the next goes; payload bytes per second.
double StopAndWaitRate(std::size_t blocks, std::size_t blockBytes, std::size_t ackBytes, SocketOptions options);

// `size` bytes sent in writes of `writeBytes` to a receiver that drains
// them; bytes per second from the first write until the receiver has the
// last byte.
double RawSendRate(const std::uint8_t* data, std::size_t size, std::size_t writeBytes, SocketOptions options);

// --- CPU time of a thread ---------------------------------------------------

// The kernel's thread ids of this process now.
std::vector<int> ThreadIds();
// CPU time used by thread `tid` of this process so far, in nanoseconds, from
// /proc/self/task/<tid>/schedstat (-1 when it cannot be read).
std::int64_t ThreadCpuNs(int tid);

}  // namespace orvane::bench
