#pragma once
// CStation: a bench that updates several routers at once, one per network
// interface of the PC (a lane), unit after unit.
//
// Every router answers at the same address, so each lane keeps all of its
// traffic to its own interface (the lane's NetworkProfile carries the
// interface's binding). A lane loops:
//
//   wait for a router   discovery on the lane's interface, one request a second
//   (already done)      a MAC this station brought to success before: shown,
//                       not updated again (unless `again`), its unplugging awaited
//   check               a new CUpdateSession over the one shared image set
//   update              the selected items, nobody asked; a row that blocks the
//                       update ends the unit "blocked"
//   verify, record      in the session (history front end "station" and the
//                       interface); the lane shows "verifying" from the
//                       session's verificationBegins on
//   show                IStationObserver::UnitFinished
//   wait for unplugging the router silent for kUnplugSilenceMs
//
// The image set is scanned, validated and frozen once, before the lanes
// start, and shared by every session. Each session's download log writes the
// same day's file (whole lines under its lock) with the lane's interface as
// the line tag.
//
// Threads: Run() starts one thread per lane and returns when every lane has
// ended. Stop(), StopNow() and Abandon() may be called from any other thread
// while Run() goes on. The observer is called from the lanes' threads.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "catalogue/image_set.h"
#include "catalogue/image_type.h"
#include "engine/run_stop.h"
#include "net/network_profile.h"
#include "platform/network_adapters.h"
#include "trust/trusted_keys.h"

namespace orvane {

// A router that stays silent this long (system milliseconds) has been
// unplugged: its lane waits for the next unit.
inline constexpr std::uint32_t kUnplugSilenceMs = 5000;
// A lane's discovery sends one request per this many system milliseconds.
inline constexpr std::uint32_t kLaneDiscoveryIntervalMs = 1000;

// --- A lane's interface ------------------------------------------------------

// What the operator named as a lane's interface, found among the PC's
// adapters: its binding (its name and its address on the broadcast's
// network), or why it cannot serve.
struct LaneInterface {
  bool ok = false;
  platform::SocketBinding binding;
  std::string error;  // "no interface \"eth9\" (there are: lo, eth0)", ...
};

// `wanted`: an interface's name, or one of its IPv4 addresses (dotted text).
// It must have an IPv4 address on the network of `broadcastAddress`.
LaneInterface FindLaneInterface(const std::string& wanted, const std::vector<platform::NetworkAdapter>& adapters,
                                const std::string& broadcastAddress);

// --- A unit --------------------------------------------------------------------

enum class UnitResult { Passed, Failed, Blocked, Interrupted };

// "passed", "failed", "blocked", "interrupted".
const char* UnitResultName(UnitResult result);

struct StationUnitItem {
  std::string name;          // the item's display name
  std::string before;        // the version the check found; "" unknown
  std::string after;         // the version the router runs now, as far as the station knows
  std::string outcome;       // ItemOutcomeName: "succeeded", "failed", "not selected", ...
  std::string verification;  // VerifyOutcomeName
};

struct StationUnit {
  int number = 0;  // 1, 2, ... in the order the units began, over all lanes
  std::string interfaceName;
  std::string time;  // local time of its start, "YYYY-MM-DD HH:MM:SS"
  std::string mac;
  std::string ip;
  UnitResult result = UnitResult::Failed;
  // Why it did not pass, in words; for a pass "" or a note ("nothing to
  // update: every item is current").
  std::string reason;
  std::array<StationUnitItem, kItemCount> items{};
  // The unit's verification as a whole: "verified", "mismatch", "could not
  // verify" or "not requested" (also when no update ran).
  std::string verification;
  double elapsedSeconds = 0;  // on the clock's scale, from its check to its end
  std::string logFile;        // the day's download log its lines began in
  bool recorded = false;      // its line reached the run history (a unit without a run has none)
  std::string historyError;   // why a run's line did not reach it
  std::string logShortfall;   // LogShortfallText of its log lines; "" when every one is in the day's file
};

// --- The lanes' state ------------------------------------------------------------

enum class LaneState { WaitingForRouter, Checking, Updating, Verifying, AlreadyDone, WaitingForUnplug, Ended };

// "waiting for a router", "checking", "updating", "verifying", "already done",
// "unplug", "ended".
const char* LaneStateName(LaneState state);

struct LaneStatus {
  std::string interfaceName;
  LaneState state = LaneState::WaitingForRouter;
  std::string mac;     // the router on the lane; "" while none
  std::string item;    // the item under way; "" while none
  int percent = 0;     // that item's whole progress
  double elapsedSeconds = 0;  // of the unit under way
};

// A router this station already brought to success, come on a lane again:
// shown, not updated (without `again`).
struct StationAlreadyDone {
  std::string interfaceName;
  std::string mac;   // as discovery found it
  std::string time;  // local time it came, "YYYY-MM-DD HH:MM:SS"
};

// What a station's front end is told. Called from the lanes' threads.
class IStationObserver {
 public:
  virtual ~IStationObserver() = default;
  // A lane's state, its item or the item's progress changed.
  virtual void LaneChanged(const LaneStatus& status) = 0;
  virtual void UnitFinished(const StationUnit& unit) = 0;
  // A router this station already brought to success came on a lane.
  virtual void AlreadyDone(const StationAlreadyDone& router) = 0;
  // A warning of a lane's check or run (the prompter's), or of the lane
  // itself (its interface cannot be used).
  virtual void LaneWarning(const std::string& interfaceName, const std::string& text) = 0;
};

struct StationOptions {
  // One profile per lane, each with its interface's binding.
  std::vector<NetworkProfile> lanes;
  std::string imageDirectory;
  std::string logFolder;  // empty = the platform's default log folder
  bool verify = true;
  // The keys every unit's check holds the images to, as a check's own
  // (none: images are not signature-checked).
  trust::TrustedKeys trustedKeys;
  bool allowUnsigned = false;
  bool again = false;  // update a router already brought to success again
  int count = 0;       // the station ends after this many units in all; 0: no end
};

class CStationLane;

class CStation {
 public:
  CStation(StationOptions options, IStationObserver& observer);
  ~CStation();
  CStation(const CStation&) = delete;
  CStation& operator=(const CStation&) = delete;

  // Scans the images once, then runs every lane until each has ended (the
  // count reached, or a stop). With trusted keys, images that the signature
  // rule refuses start no lane at all: nothing is sent (Refusal() says why).
  void Run();
  // Why the images were refused before any lane started; "" when they were not.
  const std::string& Refusal() const { return m_refusal; }

  // Every lane stops at its next safe point: a lane that waits ends, a
  // unit's run at its next safe point (CRunStop).
  void Stop();
  // Every lane stops at once, a run inside a module's download too.
  void StopNow();
  // For a front end that stops waiting after StopNow(): every unit whose run
  // is still under way, its report so far judged and recorded by its session.
  std::vector<StationUnit> Abandon();

  const ImageSetPtr& Images() const { return m_images; }

  // Shared by the lanes.
  const StationOptions& Options() const { return m_options; }
  IStationObserver& Observer() { return m_observer; }
  CRunStop& StopRequest() { return m_stop; }
  bool StopNowRequested() const { return m_bStopNow.load(); }
  // The next unit's number, or 0 when the count has been reached.
  int TakeUnit();
  bool CountReached() const;
  bool IsDone(const std::string& mac) const;
  void MarkDone(const std::string& mac);

 private:
  StationOptions m_options;
  IStationObserver& m_observer;
  std::string m_refusal;
  ImageSetPtr m_images;
  std::vector<std::unique_ptr<CStationLane>> m_lanes;
  CRunStop m_stop;
  std::atomic<bool> m_bStopNow{false};
  std::atomic<int> m_nUnitsBegun{0};
  mutable std::mutex m_doneLock;
  std::set<std::string> m_done;  // MACs brought to success
};

}  // namespace orvane
