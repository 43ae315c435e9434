#include "cli/station_command.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "catalogue/image_type.h"
#include "catalogue/string_table.h"
#include "cli/image_commands.h"
#include "cli/json_writer.h"
#include "cli/run_rendering.h"
#include "cli/terminal_text.h"
#include "cli/worker.h"
#include "log/error_text.h"
#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/network_adapters.h"
#include "platform/socket.h"
#include "platform/utf8_path.h"

namespace orvane::cli {
namespace {

// After the second interrupt: how long the lanes' runs may take to stop
// before the station stops waiting for them.
constexpr std::uint32_t kStopNowGraceMs = 2000;

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

// "1m02s", "41s".
std::string Duration(double seconds) {
  const long whole = static_cast<long>(seconds + 0.5);
  char text[32];
  if (whole >= 60) {
    std::snprintf(text, sizeof text, "%ldm%02lds", whole / 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%lds", whole);
  }
  return text;
}

void WriteUnitJson(std::ostream& out, const StationUnit& unit) {
  JsonWriter json;
  json.BeginObject()
      .Key("unit").Number(unit.number)
      .Key("time").String(unit.time)
      .Key("interface").String(unit.interfaceName)
      .Key("mac").String(unit.mac)
      .Key("ip").String(unit.ip)
      .Key("result").String(UnitResultName(unit.result))
      .Key("reason").String(unit.reason)
      .Key("items").BeginArray();
  for (const StationUnitItem& item : unit.items) {
    json.BeginObject()
        .Key("name").String(item.name)
        .Key("before").String(item.before)
        .Key("after").String(item.after)
        .Key("outcome").String(item.outcome)
        .Key("verification").String(item.verification)
        .EndObject();
  }
  json.EndArray()
      .Key("verification").String(unit.verification)
      .Key("elapsed_ms").Number(static_cast<std::int64_t>(unit.elapsedSeconds * 1000.0 + 0.5))
      .Key("log_file").String(unit.logFile)
      .Key("recorded").Bool(unit.recorded)
      .EndObject();
  out << json.Text() << "\n";
}

void WriteSummaryJson(std::ostream& out, const StationTally& tally, bool interrupted) {
  JsonWriter json;
  json.BeginObject().Key("summary").BeginObject()
      .Key("units").Number(tally.Units())
      .Key("passed").Number(tally.passed)
      .Key("failed").Number(tally.failed)
      .Key("blocked").Number(tally.blocked)
      .Key("interrupted").Number(tally.interrupted)
      .Key("already_done").Number(tally.alreadyDone)
      .Key("slowest_unit").Number(tally.slowest)
      .Key("slowest_interface").String(tally.slowestInterface)
      .Key("slowest_elapsed_ms").Number(static_cast<std::int64_t>(tally.slowestSeconds * 1000.0 + 0.5))
      .EndObject()
      .Key("operator_interrupted").Bool(interrupted)
      .EndObject();
  out << json.Text() << "\n";
}

// Keyed apart from a unit's object (its first key "unit") and the summary's.
void WriteAlreadyDoneJson(std::ostream& out, const StationAlreadyDone& router) {
  JsonWriter json;
  json.BeginObject().Key("already_done").BeginObject()
      .Key("time").String(router.time)
      .Key("interface").String(router.interfaceName)
      .Key("mac").String(router.mac)
      .EndObject()
      .EndObject();
  out << json.Text() << "\n";
}

// The station's screen and report file. Every lane's thread calls it; one
// lock keeps its lines whole and in order.
class StationScreen : public IStationObserver {
 public:
  StationScreen(const StationCommandOptions& options, std::ostream& out, std::ostream& err, bool live,
                std::ofstream* csv)
      : m_options(options), m_out(out), m_err(err), m_live(live), m_csv(csv) {
    for (const std::string& name : options.interfaces) m_lanes.push_back({name, LaneStatus{}});
  }

  void LaneChanged(const LaneStatus& status) override {
    std::lock_guard<std::mutex> guard(m_lock);
    Lane* lane = Find(status.interfaceName);
    if (lane == nullptr) return;
    const LaneStatus before = lane->status;
    const bool first = !lane->shown;
    lane->status = status;
    lane->shown = true;
    if (m_options.json) return;
    if (m_live) {
      if (first || before.state != status.state || before.item != status.item || before.percent != status.percent) Redraw({});
      return;
    }
    // Without a terminal: a line per event (a new state, a new item).
    if (!first && before.state == status.state && before.item == status.item) return;
    std::string line = status.interfaceName + ": " + LaneStateName(status.state);
    if (!status.mac.empty()) line += " " + status.mac;
    if (!status.item.empty()) line += ": " + status.item;
    m_out << TerminalText(line) << "\n";
    m_out.flush();
  }

  void UnitFinished(const StationUnit& unit) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_tally.Add(unit);
    if (!unit.historyError.empty()) {
      Warn(unit.interfaceName, "unit " + std::to_string(unit.number) +
                                   " was not added to the run history: " + unit.historyError);
    }
    if (!unit.logShortfall.empty()) Warn(unit.interfaceName, unit.logShortfall);
    if (m_csv != nullptr) {
      *m_csv << StationCsvRow(unit) << "\n";
      m_csv->flush();
    }
    if (m_options.json) {
      WriteUnitJson(m_out, unit);
      m_out.flush();
      return;
    }
    const bool pass = unit.result == UnitResult::Passed;
    std::string line = std::string(pass ? (m_live ? "\033[32mPASS\033[0m" : "PASS")
                                        : (m_live ? "\033[31mFAIL\033[0m" : "FAIL")) +
                       "  unit " + std::to_string(unit.number) + "  " + unit.interfaceName + "  " +
                       (unit.mac.empty() ? "-" : unit.mac) + "  " + Duration(unit.elapsedSeconds);
    if (unit.result != UnitResult::Passed) line += "  " + std::string(UnitResultName(unit.result));
    if (!unit.reason.empty()) line += ": " + TerminalText(unit.reason);
    if (m_live && !m_options.quiet) line += "\a";
    Say(line);
  }

  void AlreadyDone(const StationAlreadyDone& router) override {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_tally.alreadyDone;
    if (m_options.json) {
      WriteAlreadyDoneJson(m_out, router);
      m_out.flush();
      return;
    }
    Say(router.interfaceName + ": " + router.mac + " already done; unplug it");
  }

  void LaneWarning(const std::string& interfaceName, const std::string& text) override {
    std::lock_guard<std::mutex> guard(m_lock);
    Warn(interfaceName, text);
  }

  // A note of the station's own (a stop asked) between the lanes' lines.
  void Note(const std::string& text) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_live) EraseBlock();
    m_err << "orvane station: " << text << "\n";
    m_err.flush();
    if (m_live) Redraw({});
  }

  // Units the station stopped waiting for (after a stop at once).
  void Abandoned(const std::vector<StationUnit>& units) {
    for (const StationUnit& unit : units) UnitFinished(unit);
  }

  void Summary(bool interrupted) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_live) EraseBlock();
    m_drawn = 0;
    m_ended = true;
    if (m_options.json) {
      WriteSummaryJson(m_out, m_tally, interrupted);
    } else {
      m_out << "Station: " << m_tally.Units() << (m_tally.Units() == 1 ? " unit" : " units") << ": "
            << m_tally.passed << " passed, " << m_tally.failed << " failed, " << m_tally.blocked << " blocked";
      if (m_tally.interrupted > 0) m_out << ", " << m_tally.interrupted << " interrupted";
      if (m_tally.alreadyDone > 0) m_out << ", " << m_tally.alreadyDone << " already done";
      if (m_tally.slowest > 0) {
        m_out << "; slowest: unit " << m_tally.slowest << " on " << m_tally.slowestInterface << ", "
              << Duration(m_tally.slowestSeconds);
      }
      m_out << (interrupted ? " (interrupted)" : "") << "\n";
    }
    m_out.flush();
  }

  const StationTally& Tally() const { return m_tally; }

 private:
  struct Lane {
    std::string name;
    LaneStatus status;
    bool shown = false;
  };

  // A warning line on standard error, above the live block. Lock held.
  void Warn(const std::string& interfaceName, const std::string& text) {
    std::string shown = text;
    for (char& c : shown) c = c == '\n' ? ' ' : c;
    if (m_live) EraseBlock();
    m_err << "Warning: " << interfaceName << ": " << TerminalText(shown) << "\n";
    m_err.flush();
    if (m_live) Redraw({});
  }

  Lane* Find(const std::string& name) {
    for (Lane& lane : m_lanes) {
      if (lane.name == name) return &lane;
    }
    return nullptr;
  }

  // A line of its own: above the live block on a terminal.
  void Say(const std::string& line) {
    if (m_live) {
      Redraw(line);
    } else {
      m_out << line << "\n";
      m_out.flush();
    }
  }

  // Moves to the live block's first line and clears it down to the end.
  void EraseBlock() {
    if (m_drawn > 0) m_out << "\033[" << m_drawn << "A\r\033[J";
    m_drawn = 0;
    m_out.flush();  // before a line on the other stream
  }

  // The block of live lines again, `above` (if any) first.
  void Redraw(const std::string& above) {
    if (m_ended) return;
    EraseBlock();
    if (!above.empty()) m_out << above << "\n";
    for (const Lane& lane : m_lanes) {
      const LaneStatus& s = lane.status;
      std::string line = Cell(lane.name, 10) + " " + Cell(LaneStateName(s.state), 20);
      if (!s.mac.empty()) line += " " + s.mac;
      if (!s.item.empty()) {
        line += "  " + Cell(s.item, 18) + " " + std::to_string(s.percent) + "%  " + Duration(s.elapsedSeconds);
      }
      m_out << "\r\033[K" << line << "\n";
    }
    m_drawn = static_cast<int>(m_lanes.size());
    m_out.flush();
  }

  const StationCommandOptions& m_options;
  std::ostream& m_out;
  std::ostream& m_err;
  const bool m_live;
  std::ofstream* m_csv;
  std::mutex m_lock;
  std::vector<Lane> m_lanes;
  StationTally m_tally;
  int m_drawn = 0;  // live lines on the screen below the last line said
  bool m_ended = false;
};

// Whether a socket can be bound to `binding`; the operator's words when not.
std::string BindingProblem(const platform::SocketBinding& binding) {
  std::uint32_t error = 0;
  const platform::SocketHandle probe = platform::OpenDatagramSocket(&error);
  if (probe == platform::kInvalidSocket) return "no socket could be opened: " + FormatErrorText(error);
  const bool bound = platform::BindToInterface(probe, binding, &error);
  std::uint32_t ignored = 0;
  platform::CloseSocket(probe, &ignored);
  if (bound) return "";
  if (error == platform::kErrNotPermitted) {
    return "binding a socket to the interface \"" + binding.device +
           "\" was refused: it needs root or the CAP_NET_RAW capability";
  }
  std::string text = FormatErrorText(error);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return "a socket cannot be bound to the interface \"" + binding.device + "\": " + text;
}

}  // namespace

std::string StationCsvHeader() {
  std::string header = "time,interface,mac,ip,result,reason";
  for (int i = 0; i < kItemCount; ++i) {
    const std::string item = ImageTypeName(static_cast<ImageType>(i));
    header += "," + item + "_before," + item + "_after," + item + "_outcome";
  }
  return header + ",verification,elapsed_s,log_file";
}

std::string StationCsvRow(const StationUnit& unit) {
  std::string row = CsvField(unit.time) + "," + CsvField(unit.interfaceName) + "," + CsvField(unit.mac) + "," +
                    CsvField(unit.ip) + "," + UnitResultName(unit.result) + "," + CsvField(unit.reason);
  for (const StationUnitItem& item : unit.items) {
    row += "," + CsvField(item.before) + "," + CsvField(item.after) + "," + CsvField(item.outcome);
  }
  return row + "," + CsvField(unit.verification) + "," + Seconds(unit.elapsedSeconds) + "," + CsvField(unit.logFile);
}

void StationTally::Add(const StationUnit& unit) {
  switch (unit.result) {
    case UnitResult::Passed: ++passed; break;
    case UnitResult::Failed: ++failed; break;
    case UnitResult::Blocked: ++blocked; break;
    case UnitResult::Interrupted: ++interrupted; break;
  }
  if (slowest == 0 || unit.elapsedSeconds > slowestSeconds) {
    slowest = unit.number;
    slowestInterface = unit.interfaceName;
    slowestSeconds = unit.elapsedSeconds;
  }
}

int StationTally::ExitStatus(bool interrupted) const {
  if (interrupted || this->interrupted > 0) return kExitInterrupted;
  return failed + blocked > 0 ? kExitFailed : kExitOk;
}

int RunStation(const StationCommandOptions& options, std::ostream& out, std::ostream& err, TerminalState terminal) {
  if (!platform::SetTimeScale(options.timeScale)) {
    err << "orvane: --time-scale must be above 0 and at most 1000\n";
    return kExitUsage;
  }
  if (options.interfaces.empty()) {
    err << "orvane station: name at least one --interface\n";
    return kExitUsage;
  }
  std::vector<platform::NetworkAdapter> adapters;
  std::string listError;
  if (!platform::ListNetworkAdapters(&adapters, &listError)) {
    err << "orvane station: the network interfaces cannot be listed: " << listError << "\n";
    return kExitUsage;
  }
  StationOptions station;
  station.imageDirectory = options.directory;
  station.logFolder = options.logFolder;
  station.verify = !options.noVerify;
  if (!LoadTrustedKeys(options.trust, station.trustedKeys, err, "station")) return kExitUsage;
  station.allowUnsigned = options.trust.allowUnsigned;
  station.again = options.again;
  station.count = options.count;
  std::set<std::string> seen;
  for (const std::string& wanted : options.interfaces) {
    const LaneInterface lane = FindLaneInterface(wanted, adapters, options.profile.broadcastAddress);
    if (!lane.ok) {
      err << "orvane station: " << lane.error << "\n";
      return kExitUsage;
    }
    if (!seen.insert(lane.binding.device).second) {
      err << "orvane station: the interface \"" << lane.binding.device << "\" is named twice\n";
      return kExitUsage;
    }
    if (const std::string problem = BindingProblem(lane.binding); !problem.empty()) {
      err << "orvane station: " << problem << "\n";
      return kExitUsage;
    }
    NetworkProfile profile = options.profile;
    profile.binding = lane.binding;
    station.lanes.push_back(profile);
  }
  // The lanes are known by their interface's name from here on.
  StationCommandOptions shown = options;
  shown.interfaces.clear();
  for (const NetworkProfile& lane : station.lanes) shown.interfaces.push_back(lane.binding.device);

  std::ofstream csv;
  if (!options.reportFile.empty()) {
    std::error_code error;
    const auto size = std::filesystem::file_size(platform::Utf8Path(options.reportFile), error);
    const bool fresh = error || size == 0;
    csv.open(platform::Utf8Path(options.reportFile), std::ios::binary | std::ios::app);
    if (!csv) {
      err << "orvane station: the report file \"" << options.reportFile << "\" cannot be written\n";
      return kExitUsage;
    }
    if (fresh) csv << StationCsvHeader() << "\n";
    csv.flush();
  }
  if (options.timeScale != 1.0 && !options.json) {
    char note[120];
    std::snprintf(note, sizeof note, "(time scale %g: every pause and time-out runs at %g%% of its real length)\n",
                  options.timeScale, options.timeScale * 100.0);
    err << note;
  }

  StationScreen screen(shown, out, err, terminal.outputIsTerminal && !options.json,
                       options.reportFile.empty() ? nullptr : &csv);
  CStation bench(station, screen);
  platform::CatchInterrupts();
  Worker lanes([&] { bench.Run(); });
  bool stopAsked = false;
  bool stopNowAsked = false;
  const bool ended = lanes.Wait([&](int count, std::uint32_t* deadlineMs) {
    if (count >= 1 && !stopAsked) {
      stopAsked = true;
      bench.Stop();
      screen.Note("stopping every lane at its next safe point (a module's download in progress is finished "
                  "first); interrupt again to stop at once.");
    }
    if (count >= 2 && !stopNowAsked) {
      stopNowAsked = true;
      bench.StopNow();
      screen.Note("stopping every lane at once.");
      *deadlineMs = kStopNowGraceMs;
    }
    return true;
  });
  if (!ended) {
    // Runs that did not reach a point where they could stop: their reports
    // so far, and the process ends without waiting for the lanes.
    screen.Abandoned(bench.Abandon());
    screen.Summary(true);
    platform::ExitNow(kExitInterrupted);
  }
  platform::ReleaseInterrupts();
  if (!bench.Refusal().empty()) {
    err << "orvane station: refused: " << LoadText(IDS_IMAGE_NOT_SIGNED) << ": " << TerminalText(bench.Refusal())
        << "\n";
    return kExitFailed;
  }
  screen.Summary(stopAsked);
  return screen.Tally().ExitStatus(stopAsked);
}

}  // namespace orvane::cli
