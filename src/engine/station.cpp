#include "engine/station.h"

#include <optional>
#include <thread>

#include "catalogue/image_signatures.h"
#include "catalogue/string_table.h"
#include "engine/update_session.h"
#include "log/run_history.h"
#include "net/address.h"
#include "net/control_channel.h"
#include "platform/clock.h"
#include "platform/local_time.h"

namespace orvane {
namespace {

std::string AdapterNames(const std::vector<platform::NetworkAdapter>& adapters) {
  std::string names;
  for (const platform::NetworkAdapter& adapter : adapters) names += (names.empty() ? "" : ", ") + adapter.name;
  return names.empty() ? "none" : names;
}

bool OnNetwork(const platform::AdapterAddress& a, const Ipv4Address& broadcast) {
  for (std::size_t i = 0; i < 4; ++i) {
    if ((a.address[i] & a.mask[i]) != (broadcast[i] & a.mask[i])) return false;
  }
  return a.address != Ipv4Address{};
}

std::string UnitVerification(const RunReport& report) {
  if (!report.verifyRequested) return VerifyOutcomeName(VerifyOutcome::NotRequested);
  bool any = false;
  VerifyOutcome worst = VerifyOutcome::Verified;
  for (const ItemReport& item : report.items) {
    const VerifyOutcome v = item.verification.outcome;
    if (v == VerifyOutcome::NotRequested) continue;
    any = true;
    if (v == VerifyOutcome::Mismatch) worst = v;
    if (v == VerifyOutcome::CouldNotVerify && worst == VerifyOutcome::Verified) worst = v;
  }
  return VerifyOutcomeName(any ? worst : VerifyOutcome::NotRequested);
}

}  // namespace

LaneInterface FindLaneInterface(const std::string& wanted, const std::vector<platform::NetworkAdapter>& adapters,
                                const std::string& broadcastAddress) {
  LaneInterface found;
  Ipv4Address broadcast{};
  if (!ParseIpv4(broadcastAddress, &broadcast)) {
    found.error = "the broadcast address \"" + broadcastAddress + "\" is no IPv4 address";
    return found;
  }
  Ipv4Address asAddress{};
  const bool byAddress = ParseIpv4(wanted, &asAddress);
  const platform::NetworkAdapter* adapter = nullptr;
  for (const platform::NetworkAdapter& candidate : adapters) {
    if (candidate.name == wanted) adapter = &candidate;
    for (const platform::AdapterAddress& a : candidate.ipv4) {
      if (adapter == nullptr && byAddress && a.address == asAddress) adapter = &candidate;
    }
  }
  if (adapter == nullptr) {
    found.error = "no interface \"" + wanted + "\" (there are: " + AdapterNames(adapters) + ")";
    return found;
  }
  for (const platform::AdapterAddress& a : adapter->ipv4) {
    // Named by an address: that one, if it is on the network.
    if (byAddress && a.address != asAddress) continue;
    if (OnNetwork(a, broadcast)) {
      found.ok = true;
      found.binding.device = adapter->name;
      found.binding.localAddress = a.address;
      return found;
    }
  }
  found.error = "the interface \"" + adapter->name + "\" has no IPv4 address on the network of " + broadcastAddress;
  return found;
}

const char* UnitResultName(UnitResult result) {
  switch (result) {
    case UnitResult::Passed: return "passed";
    case UnitResult::Failed: return "failed";
    case UnitResult::Blocked: return "blocked";
    case UnitResult::Interrupted: return "interrupted";
  }
  return "failed";
}

const char* LaneStateName(LaneState state) {
  switch (state) {
    case LaneState::WaitingForRouter: return "waiting for a router";
    case LaneState::Checking: return "checking";
    case LaneState::Updating: return "updating";
    case LaneState::Verifying: return "verifying";
    case LaneState::AlreadyDone: return "already done";
    case LaneState::WaitingForUnplug: return "unplug";
    case LaneState::Ended: return "ended";
  }
  return "";
}

// --- One lane ----------------------------------------------------------------

class CStationLane {
 public:
  CStationLane(CStation& station, NetworkProfile profile)
      : m_station(station), m_profile(std::move(profile)) {
    m_status.interfaceName = m_profile.binding.device;
  }

  void Run();
  // Asks the unit under way (if any) to stop; `now`: at once.
  void StopUnit(bool now);
  // The unit whose run is under way, abandoned; nothing when none is.
  std::optional<StationUnit> AbandonUnit();

 private:
  // The lane's view of a session's rows: the item under way and its progress.
  class View : public IItemView {
   public:
    explicit View(CStationLane& lane) : m_lane(lane) {}
    void SetItems(const UpdateItems* items) { m_items = items; }
    void SetProgressText(int, const std::string&) override {}
    void SetStatus(int row, const std::string&, StatusKind) override { m_lane.ItemChanged(Name(row), -1); }
    void SetItemProgress(int row, int percent) override { m_lane.ItemChanged(Name(row), percent); }

   private:
    std::string Name(int row) const {
      return m_items != nullptr && row >= 0 && row < kItemCount ? (*m_items)[row].m_strName : std::string();
    }
    CStationLane& m_lane;
    const UpdateItems* m_items = nullptr;
  };

  // The check's and the run's warnings, to the observer.
  class Prompter : public IPrompter {
   public:
    explicit Prompter(CStationLane& lane) : m_lane(lane) {}
    void Warning(const std::string& text) override { m_lane.Warn(text); }

   private:
    CStationLane& m_lane;
  };

  struct Found {
    MacAddress mac{};
    std::string macText;
  };

  // One discovery on the lane's interface, a second from request to
  // request: the router that answered, if one did.
  std::optional<Found> Discover();
  // Until the router `mac` has been silent for kUnplugSilenceMs; false
  // when the station stops first.
  bool WaitForUnplug(const std::string& mac);
  StationUnit RunUnit(int number, const Found& router);
  StationUnit UnitFrom(const CheckReport& check, const RunReport* report, const UpdateItems& items) const;
  bool Stopping() const { return m_station.StopRequest().ShouldStop(); }

  void SetState(LaneState state, const std::string& mac);
  // The session's verification began: the state, the router kept.
  void Verifying();
  void ItemChanged(const std::string& item, int percent);
  void Warn(const std::string& text) { m_station.Observer().LaneWarning(m_status.interfaceName, text); }

  CStation& m_station;
  const NetworkProfile m_profile;
  bool m_bPortWarned = false;

  std::mutex m_statusLock;
  LaneStatus m_status;

  // The unit under way, for a stop and an abandonment from another thread.
  std::mutex m_unitLock;
  CUpdateSession* m_pSession = nullptr;
  bool m_bUpdating = false;
  bool m_bAbandoned = false;
  int m_nNumber = 0;
  std::string m_unitMac;  // as discovery found it
  std::string m_unitTime;
  std::uint32_t m_unitStart = 0;
};

void CStationLane::SetState(LaneState state, const std::string& mac) {
  LaneStatus copy;
  {
    std::lock_guard<std::mutex> guard(m_statusLock);
    m_status.state = state;
    m_status.mac = mac;
    m_status.item.clear();
    m_status.percent = 0;
    m_status.elapsedSeconds = 0;
    copy = m_status;
  }
  m_station.Observer().LaneChanged(copy);
}

void CStationLane::Verifying() {
  std::string mac;
  {
    std::lock_guard<std::mutex> guard(m_statusLock);
    mac = m_status.mac;
  }
  SetState(LaneState::Verifying, mac);
}

void CStationLane::ItemChanged(const std::string& item, int percent) {
  LaneStatus copy;
  {
    std::lock_guard<std::mutex> guard(m_statusLock);
    if (item != m_status.item) m_status.percent = 0;
    if (percent >= 0) m_status.percent = percent;
    m_status.item = item;
    m_status.elapsedSeconds = (platform::TickCount() - m_unitStart) / 1000.0;
    copy = m_status;
  }
  m_station.Observer().LaneChanged(copy);
}

std::optional<CStationLane::Found> CStationLane::Discover() {
  const std::uint32_t start = platform::TickCount();
  std::optional<Found> found;
  {
    CControlChannel discovery(m_profile.broadcastAddress, m_profile.controlUdpPort, m_profile.binding);
    Ipv4Address ip{};
    Found router;
    if (!discovery.IsOpened()) {
      // The interface went away (an adapter pulled out) or refuses the
      // binding: said once, tried again every second.
      if (!m_bPortWarned) Warn("the interface cannot be used for discovery now; trying again every second");
      m_bPortWarned = true;
    } else if (discovery.Discover(&router.mac, &ip, nullptr)) {
      router.macText = FormatMac(router.mac);
      found = router;
      m_bPortWarned = false;
    }
  }
  const std::uint32_t spent = platform::TickCount() - start;
  if (spent < kLaneDiscoveryIntervalMs) m_station.StopRequest().Pause(kLaneDiscoveryIntervalMs - spent);
  return found;
}

// False when the lane is to end instead: a stop, or the count reached on
// another lane (no unit is left for this one, so its router's unplugging
// would only keep the station from ending).
bool CStationLane::WaitForUnplug(const std::string& mac) {
  std::uint32_t lastHeard = platform::TickCount();
  while (!Stopping() && !m_station.CountReached()) {
    const std::optional<Found> router = Discover();
    if (router && router->macText == mac) lastHeard = platform::TickCount();
    if (platform::TicksElapsed(lastHeard, kUnplugSilenceMs)) return true;
  }
  return false;
}

void CStationLane::Run() {
  const StationOptions& options = m_station.Options();
  for (;;) {
    SetState(LaneState::WaitingForRouter, "");
    std::optional<Found> router;
    while (!router) {
      if (Stopping() || m_station.CountReached()) return SetState(LaneState::Ended, "");
      router = Discover();
    }
    if (!options.again && m_station.IsDone(router->macText)) {
      SetState(LaneState::AlreadyDone, router->macText);
      m_station.Observer().AlreadyDone(
          {m_status.interfaceName, router->macText, RunRecordTime(platform::LocalTimeNow())});
      if (!WaitForUnplug(router->macText)) return SetState(LaneState::Ended, "");
      continue;
    }
    const int number = m_station.TakeUnit();
    if (number == 0) return SetState(LaneState::Ended, "");
    const StationUnit unit = RunUnit(number, *router);
    if (unit.result == UnitResult::Passed) m_station.MarkDone(unit.mac);
    {
      std::lock_guard<std::mutex> guard(m_unitLock);
      // Abandoned: the front end has its report and ends the process.
      if (m_bAbandoned) return;
    }
    m_station.Observer().UnitFinished(unit);
    if (unit.result == UnitResult::Interrupted || Stopping() || m_station.CountReached()) {
      return SetState(LaneState::Ended, "");
    }
    SetState(LaneState::WaitingForUnplug, unit.mac);
    if (!WaitForUnplug(unit.mac)) return SetState(LaneState::Ended, "");
  }
}

StationUnit CStationLane::RunUnit(int number, const Found& router) {
  const StationOptions& options = m_station.Options();
  SessionOptions so;
  so.profile = m_profile;
  so.logFolder = options.logFolder;
  so.imageDirectory = options.imageDirectory;
  so.frontEnd = kFrontEndStation;
  so.verify = options.verify;
  so.verificationBegins = [this] { Verifying(); };
  so.trustedKeys = options.trustedKeys;
  so.allowUnsigned = options.allowUnsigned;
  View view(*this);
  Prompter prompter(*this);
  CUpdateSession session(so, view, prompter);
  session.Log().SetLineTag(m_status.interfaceName);
  view.SetItems(&session.Items());
  {
    std::lock_guard<std::mutex> guard(m_unitLock);
    m_pSession = &session;
    m_nNumber = number;
    m_unitMac = router.macText;
    m_unitTime = RunRecordTime(platform::LocalTimeNow());
    m_unitStart = platform::TickCount();
    // A stop asked before the session was known here reaches it now.
    if (Stopping()) session.Stop().Request();
    if (m_station.StopNowRequested()) session.Stop().RequestNow();
  }
  SetState(LaneState::Checking, router.macText);
  session.Log().AddLine("Station unit %d on %s", number, m_status.interfaceName.c_str());

  const CheckReport check = session.Check(m_station.Images());
  StationUnit unit;
  if (!check.ok || !check.evaluation.updateEnabled || check.SelectedCount() == 0 || Stopping()) {
    unit = UnitFrom(check, nullptr, session.Items());
    const LogBlockReport log = session.CloseLog();
    if (!log.files.empty()) unit.logFile = log.files.front();
    unit.logShortfall = LogShortfallText(log);
  } else {
    SetState(LaneState::Updating, check.router.mac);
    {
      std::lock_guard<std::mutex> guard(m_unitLock);
      m_bUpdating = true;
    }
    const RunReport report = session.Update();
    unit = UnitFrom(check, &report, session.Items());
  }
  std::lock_guard<std::mutex> guard(m_unitLock);
  m_pSession = nullptr;
  m_bUpdating = false;
  return unit;
}

StationUnit CStationLane::UnitFrom(const CheckReport& check, const RunReport* report, const UpdateItems& items) const {
  StationUnit unit;
  unit.number = m_nNumber;
  unit.interfaceName = m_status.interfaceName;
  unit.time = m_unitTime;
  unit.mac = check.facts.routerFound ? check.router.mac : m_unitMac;
  unit.ip = check.router.ip;
  unit.elapsedSeconds = (platform::TickCount() - m_unitStart) / 1000.0;
  for (int i = 0; i < kItemCount; ++i) {
    StationUnitItem& item = unit.items[i];
    const CheckRow& row = check.rows[i];
    item.name = row.name;
    item.before = row.installed;
    item.after = row.installed;
    item.outcome = ItemOutcomeName(row.selected ? ItemOutcome::NotStarted : ItemOutcome::NotSelected);
    item.verification = VerifyOutcomeName(VerifyOutcome::NotRequested);
    if (report == nullptr) continue;
    const ItemReport& ran = report->items[i];
    item.outcome = ItemOutcomeName(ran.outcome);
    item.verification = VerifyOutcomeName(ran.verification.outcome);
    if (ran.outcome == ItemOutcome::Succeeded) {
      const bool reported = ran.verification.outcome == VerifyOutcome::Verified ||
                            ran.verification.outcome == VerifyOutcome::Mismatch;
      item.after = reported ? ran.verification.actual : items[i].GetUpdateVersion();
    }
  }
  if (report == nullptr) {
    unit.verification = VerifyOutcomeName(VerifyOutcome::NotRequested);
    if (!check.ok) {
      unit.result = UnitResult::Failed;
      unit.reason = std::string("check: ") + LoadText(check.Warning());
    } else if (!check.evaluation.updateEnabled) {
      unit.result = UnitResult::Blocked;
      for (const CheckRow& row : check.rows) {
        if (row.kind != StatusKind::Blocked) continue;
        unit.reason += (unit.reason.empty() ? "" : "; ") + row.name + ": " + LoadText(row.status);
      }
      if (unit.reason.empty()) unit.reason = LoadText(IDS_VERSION_UNMATCHED);
    } else if (Stopping()) {
      unit.result = UnitResult::Interrupted;
      unit.reason = "stopped before the update; nothing was changed";
    } else {
      unit.result = UnitResult::Passed;
      unit.reason = "nothing to update: every item is current";
    }
    return unit;
  }
  unit.verification = UnitVerification(*report);
  unit.logFile = report->log.files.empty() ? std::string() : report->log.files.front();
  unit.recorded = report->recorded;
  if (!report->recorded) unit.historyError = report->historyError;
  unit.logShortfall = LogShortfallText(report->log);
  const Verdict& verdict = report->verdict;
  if (verdict.ok()) {
    unit.result = UnitResult::Passed;
  } else {
    unit.result = verdict.outcome == RunOutcome::Interrupted ? UnitResult::Interrupted : UnitResult::Failed;
    const std::string where = VerdictPlace(verdict, items);
    unit.reason = std::string(RunOutcomeName(verdict.outcome)) + (where.empty() ? "" : " at " + where);
  }
  return unit;
}

void CStationLane::StopUnit(bool now) {
  std::lock_guard<std::mutex> guard(m_unitLock);
  if (m_pSession == nullptr) return;
  if (now) {
    m_pSession->Stop().RequestNow();
  } else {
    m_pSession->Stop().Request();
  }
}

std::optional<StationUnit> CStationLane::AbandonUnit() {
  std::lock_guard<std::mutex> guard(m_unitLock);
  if (m_pSession == nullptr || !m_bUpdating) return std::nullopt;
  m_bAbandoned = true;
  const RunReport report = m_pSession->Abandon();
  return UnitFrom(m_pSession->LastCheck(), &report, m_pSession->Items());
}

// --- The station -----------------------------------------------------------------

CStation::CStation(StationOptions options, IStationObserver& observer)
    : m_options(std::move(options)), m_observer(observer) {
  for (const NetworkProfile& profile : m_options.lanes) {
    m_lanes.push_back(std::make_unique<CStationLane>(*this, profile));
  }
}

CStation::~CStation() = default;

void CStation::Run() {
  m_images = CImageSet::Scan(m_options.imageDirectory);
  // Judged once for every unit, before any lane sends its first discovery.
  const SignatureCheck signatures =
      CheckImageSignatures(*m_images, m_options.trustedKeys, m_options.allowUnsigned);
  if (signatures.verdict == SignatureVerdict::Refused) {
    m_refusal = signatures.RefusalText();
    return;
  }
  std::vector<std::thread> threads;
  threads.reserve(m_lanes.size());
  for (const std::unique_ptr<CStationLane>& lane : m_lanes) threads.emplace_back([&lane] { lane->Run(); });
  for (std::thread& thread : threads) thread.join();
}

void CStation::Stop() {
  // The request first: a lane that makes a session after this looks at it.
  m_stop.Request();
  for (const std::unique_ptr<CStationLane>& lane : m_lanes) lane->StopUnit(false);
}

void CStation::StopNow() {
  m_bStopNow = true;
  m_stop.RequestNow();
  for (const std::unique_ptr<CStationLane>& lane : m_lanes) lane->StopUnit(true);
}

std::vector<StationUnit> CStation::Abandon() {
  std::vector<StationUnit> units;
  for (const std::unique_ptr<CStationLane>& lane : m_lanes) {
    if (std::optional<StationUnit> unit = lane->AbandonUnit()) units.push_back(std::move(*unit));
  }
  return units;
}

int CStation::TakeUnit() {
  int begun = m_nUnitsBegun.load();
  for (;;) {
    if (m_options.count > 0 && begun >= m_options.count) return 0;
    if (m_nUnitsBegun.compare_exchange_weak(begun, begun + 1)) return begun + 1;
  }
}

bool CStation::CountReached() const { return m_options.count > 0 && m_nUnitsBegun.load() >= m_options.count; }

bool CStation::IsDone(const std::string& mac) const {
  std::lock_guard<std::mutex> guard(m_doneLock);
  return m_done.count(mac) != 0;
}

void CStation::MarkDone(const std::string& mac) {
  std::lock_guard<std::mutex> guard(m_doneLock);
  m_done.insert(mac);
}

}  // namespace orvane
