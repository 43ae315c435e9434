#pragma once
// What the loopback and engine benchmarks share: image files, a view that
// only notes times, the simulated router with an engine connected to it,
// the references written for the benchmarks (plain loopback TCP, nothing of
// the updater in them), and the label through which a benchmark hands its
// measure to bench/report.py.
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
#include <vector>

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
std::string ImageFile(ImageType type, std::size_t dataBytes);

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
// status text or a percentage is shown (called on the engine's thread).
class TimingView : public IItemView {
 public:
  using Hook = std::function<void(int row, int column, const std::string& text)>;
  void SetCellText(int row, int column, const std::string& text) override;
  void SetRowColour(int, std::uint32_t) override {}
  void OnCell(Hook hook);

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
  TimingView& View() { return m_view; }
  // Assigns and loads the image file for `type` and selects the item.
  const CFirmwareImage* LoadItem(ImageType type, const std::string& path);

 private:
  UpdateItems m_items;
  TimingView m_view;
  std::unique_ptr<routersim::SimModule> m_module;
  std::unique_ptr<routersim::RouterSim> m_sim;
  std::unique_ptr<CUpdateEngine> m_engine;
  std::string m_logFolder;
};

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
