#include "cli/router_commands.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "catalogue/update_item.h"
#include "cli/image_commands.h"
#include "cli/json_writer.h"
#include "cli/run_rendering.h"
#include "cli/terminal_text.h"
#include "cli/worker.h"
#include "engine/run_report.h"
#include "engine/update_session.h"
#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/local_time.h"
#include "platform/utf8_path.h"

namespace orvane::cli {
namespace {

// After an interrupt: how long a run asked to stop at once may take before
// the command stops waiting for it.
constexpr std::uint32_t kStopNowGraceMs = 2000;
// How long a read that ended without an answer waits for the interrupt
// that may have ended it.
constexpr std::uint32_t kInterruptSettleMs = 200;

// Standard error as the check's warnings and the command's notes reach it,
// from the worker and the watching thread alike.
class StreamPrompter : public IPrompter {
 public:
  // `imageFolder`: named in place of the dialog's "current directory".
  StreamPrompter(std::ostream& err, std::string imageFolder) : m_err(err), m_imageFolder(std::move(imageFolder)) {}
  void Warning(const std::string& text) override { Print(text, text); }
  void Warning(StringId id) override { Print(WarningText(id, m_imageFolder), LoadText(id)); }
  void Note(const std::string& text) override {
    if (m_notes) m_notes(text);
  }
  // Where notes go (the live view interjects them between its lines).
  void OnNote(std::function<void(const std::string&)> notes) { m_notes = std::move(notes); }
  void Say(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_err << TerminalText(line) << "\n";
    m_err.flush();
  }
  // Every warning printed so far, the check's and the run's, in order.
  std::vector<std::string> Warnings() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_warnings;
  }

 private:
  // `shown` on the terminal; `kept` (the table's own words) for JSON.
  void Print(std::string shown, const std::string& kept) {
    std::replace(shown.begin(), shown.end(), '\n', ' ');
    std::lock_guard<std::mutex> guard(m_lock);
    m_err << "Warning: " << TerminalText(shown) << "\n";
    m_err.flush();
    m_warnings.push_back(kept);
  }

  mutable std::mutex m_lock;
  std::ostream& m_err;
  std::string m_imageFolder;
  std::vector<std::string> m_warnings;
  std::function<void(const std::string&)> m_notes;
};

// The rows' progress and "Status" cells as the operator watches them. The
// "%" cell (each step's own percentage, back to 0 with every step) is not
// shown: the bar and the percentage printed are the item's whole progress,
// which only moves forward.
class TerminalView : public IItemView {
 public:
  TerminalView(std::ostream& out, bool live, bool quiet) : m_out(out), m_live(live), m_quiet(quiet) {}
  // The rows' display names; set before the first cell is written.
  void SetItems(const UpdateItems* items) { m_items = items; }

  void SetProgressText(int, const std::string&) override {}

  void SetStatus(int row, const std::string& text, StatusKind kind) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_rows[row].status = TerminalText(text);
    m_rows[row].kind = kind;
    if (m_quiet || m_finished) return;
    if (m_live) {
      Draw(row);
    } else {
      m_out << (*m_items)[row].m_strName << ": " << m_rows[row].status << "\n";
    }
    m_out.flush();
  }

  void SetItemProgress(int row, int percent) override {
    std::lock_guard<std::mutex> guard(m_lock);
    Row& r = m_rows[row];
    r.progress = std::clamp(percent, 0, 100);
    if (m_quiet || m_finished) return;
    if (m_live) {
      Draw(row);
    } else if (r.progress / 10 != r.lastTen) {
      r.lastTen = r.progress / 10;
      m_out << (*m_items)[row].m_strName << ": " << r.progress << "%\n";
    }
    m_out.flush();
  }

  // Ends the live line of the row being drawn (after its result); nothing
  // is drawn after it, whatever a worker still writes.
  void Finish() {
    std::lock_guard<std::mutex> guard(m_lock);
    EndLiveLine();
    m_finished = true;
    m_out.flush();
  }
  // Ends the live line, so that `say` (a note on another stream) starts on
  // a line of its own; the next drawing starts a new one.
  void Interject(const std::function<void()>& say) {
    std::lock_guard<std::mutex> guard(m_lock);
    EndLiveLine();
    m_out.flush();
    say();
  }

 private:
  struct Row {
    int progress = 0;
    std::string status;
    StatusKind kind = StatusKind::Progress;
    int lastTen = -1;
  };

  void EndLiveLine() {
    if (m_live && m_liveRow >= 0) m_out << "\n";
    m_liveRow = -1;
  }

  // One live line per item: a bar, the item's percentage and the current
  // step. A new row starts a new line; the finished one stays on screen.
  void Draw(int row) {
    if (m_liveRow != row) {
      if (m_liveRow >= 0) m_out << "\n";
      m_liveRow = row;
    }
    const Row& r = m_rows[row];
    constexpr int kBarWidth = 24;
    const int filled = r.progress * kBarWidth / 100;
    std::string bar = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                      std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "]";
    char line[160];
    std::snprintf(line, sizeof line, "\r\033[K%-18s %s %3d%%  ", (*m_items)[row].m_strName.c_str(), bar.c_str(),
                  r.progress);
    const char* colour = AnsiColour(r.kind);
    m_out << line << colour << r.status << (colour[0] ? "\033[0m" : "");
  }

  // The status text's colour: results and failures stand out, steps under
  // way and absent items take the terminal's own.
  static const char* AnsiColour(StatusKind kind) {
    switch (kind) {
      case StatusKind::Failed:
      case StatusKind::Blocked:
        return "\033[31m";
      case StatusKind::Succeeded:
      case StatusKind::Waiting:
      case StatusKind::Skipped:
        return "\033[34m";
      case StatusKind::Progress:
      case StatusKind::Absent:
        break;
    }
    return "";
  }

  std::mutex m_lock;
  const UpdateItems* m_items = nullptr;
  std::ostream& m_out;
  bool m_live;
  bool m_quiet;
  std::array<Row, kItemCount> m_rows;
  int m_liveRow = -1;
  bool m_finished = false;
};

const char* ColumnText(const std::string& text) { return text.empty() ? "-" : text.c_str(); }

// The check's table: one line per row whatever the versions hold (a
// version longer than its column is shortened with "...", the JSON keeps
// it whole).
constexpr std::size_t kNameColumn = 18;
constexpr std::size_t kVersionColumn = 20;

void PrintRow(std::ostream& out, std::string_view name, std::string_view installed, std::string_view update,
              std::string_view status) {
  out << Cell(name, kNameColumn) << " " << Cell(installed, kVersionColumn) << " " << Cell(update, kVersionColumn)
      << " " << TerminalText(status) << "\n";
}

void PrintRows(std::ostream& out, const CheckReport& check) {
  PrintRow(out, "Type", "Original version", "Update version", "Status");
  for (const CheckRow& row : check.rows) {
    PrintRow(out, row.name, ColumnText(row.installed), ColumnText(row.update), LoadText(row.status));
  }
}

// Everything a command needs, alive for the whole command.
struct Command {
  Command(const RouterOptions& options, trust::TrustedKeys keys, IItemView& view, std::ostream& err)
      : prompter(err, platform::AbsolutePathText(options.directory)),
        session(SessionFor(options, std::move(keys)), view, prompter) {}
  static SessionOptions SessionFor(const RouterOptions& options, trust::TrustedKeys keys) {
    SessionOptions s;
    s.profile = options.profile;
    s.logFolder = options.logFolder;
    s.imageDirectory = options.directory;
    s.frontEnd = kFrontEndCli;
    s.verify = options.verify;
    s.trustedKeys = std::move(keys);
    s.allowUnsigned = options.trust.allowUnsigned;
    return s;
  }
  StreamPrompter prompter;
  CUpdateSession session;
};

// A view that ignores everything: the check itself writes no cells.
class NullView : public IItemView {
 public:
  void SetProgressText(int, const std::string&) override {}
  void SetStatus(int, const std::string&, StatusKind) override {}
};

bool ApplyTimeScale(const RouterOptions& options, std::ostream& err) {
  if (!platform::SetTimeScale(options.timeScale)) {
    err << "orvane: --time-scale must be above 0 and at most 1000\n";
    return false;
  }
  if (options.timeScale != 1.0 && !options.json) {
    char note[120];
    std::snprintf(note, sizeof note, "(time scale %g: every pause and time-out runs at %g%% of its real length)\n",
                  options.timeScale, options.timeScale * 100.0);
    err << note;
  }
  return true;
}

void PrintNotes(std::ostream& out, const std::vector<std::string>& notes) {
  for (const std::string& note : notes) out << "Note: " << TerminalText(note) << "\n";
}

void WriteCheckJson(std::ostream& out, const CheckReport& check, const UpdateItems& items,
                    const std::string& message) {
  JsonWriter json;
  json.BeginObject().Key("ok").Bool(check.ok).Key("message").String(message);
  json.Key("router").BeginObject()
      .Key("ip").String(check.router.ip)
      .Key("mac").String(check.facts.routerFound ? check.router.mac : "00-00-00-00-00-00")
      .Key("version").String(check.router.discoveryVersion)
      .EndObject();
  json.Key("items").BeginArray();
  for (const CheckRow& row : check.rows) {
    json.BeginObject()
        .Key("name").String(row.name)
        .Key("original").String(row.installed)
        .Key("update").String(row.update)
        .Key("status").String(check.ok ? LoadText(row.status) : "")
        .Key("selected").Bool(row.selected)
        .Key("file").String(row.file)
        .Key("original_from").String(VersionSourceName(row.installedFrom))
        .EndObject();
  }
  json.EndArray().Key("update_enabled").Bool(check.ok && check.evaluation.updateEnabled);
  WriteFactsJson(json, check);
  WriteSignaturesJson(json, check.signatures, items);
  json.EndObject();
  out << json.Text() << "\n";
}

// Says that the check was interrupted and ends the process: the check's
// worker still holds the session.
[[noreturn]] void EndInterruptedCheck(Command& c, const RouterOptions& options, std::ostream& out,
                                      const char* command) {
  c.session.Log().AddLine("Check interrupted by the operator");
  c.prompter.Say(std::string("orvane ") + command + ": interrupted during the check; nothing was changed.");
  if (options.json) {
    JsonWriter json;
    json.BeginObject().Key("ok").Bool(false).Key("message").String("interrupted").Key("interrupted").Bool(true)
        .EndObject();
    out << json.Text() << "\n";
  }
  out.flush();
  platform::ExitNow(kExitInterrupted);
}

// The check on a worker while this thread watches. An interrupt ends the
// command at once (EndInterruptedCheck, while the worker still runs: the
// check only reads, so it is not waited for).
CheckReport CheckWatched(Command& c, const RouterOptions& options, std::ostream& out, const char* command) {
  CheckReport check;
  Worker worker([&] { check = c.session.Check(); });
  if (!worker.Wait([](int, std::uint32_t*) { return false; })) EndInterruptedCheck(c, options, out, command);
  return check;
}

// The lines of a command that ends without a run go out (or elsewhere);
// a shortfall is said as a warning.
LogBlockReport CloseLog(Command& c) {
  const LogBlockReport log = c.session.CloseLog();
  if (!log.Complete()) c.prompter.Warning(LogShortfallText(log));
  return log;
}

void PrintReport(std::ostream& out, Command& c, const RunReport& report, const RouterOptions& options) {
  // Failures without a row (relay refused, NVRAM erase refused) are shown
  // as the check's failures are, and so is a log that lacks lines.
  for (const std::string& warning : report.warnings) c.prompter.Warning(warning);
  if (!report.log.Complete()) c.prompter.Warning(LogShortfallText(report.log));
  if (!report.recorded) c.prompter.Say("orvane update: the run was not added to the run history: " + report.historyError);
  if (options.json) {
    WriteRunJson(out, report, c.session.Items(), c.prompter.Warnings(), c.session.LastCheck());
  } else {
    PrintRunReport(out, report, c.session.Items());
  }
  out.flush();
}

}  // namespace

int CheckRouter(const RouterOptions& options, std::ostream& out, std::ostream& err) {
  if (!ApplyTimeScale(options, err)) return kExitUsage;
  trust::TrustedKeys keys;
  if (!LoadTrustedKeys(options.trust, keys, err, "check")) return kExitUsage;
  NullView view;
  Command c(options, std::move(keys), view, err);
  InterruptScope interrupts;
  const CheckReport check = CheckWatched(c, options, out, "check");
  CloseLog(c);
  if (options.json) {
    WriteCheckJson(out, check, c.session.Items(), check.ok ? "" : LoadText(check.Warning()));
  } else if (check.ok) {
    out << "Router " << check.router.ip << " (" << check.router.mac << "), version \""
        << Shortened(check.router.discoveryVersion, kLongestTailText) << "\"\n";
    PrintRows(out, check);
    PrintNotes(out, check.notes);
    PrintSignatures(out, check.signatures);
    out << (check.evaluation.updateEnabled ? "Update is enabled.\n" : "Update is disabled: an image does not match.\n");
  }
  if (!check.ok) return kExitFailed;
  return check.evaluation.updateEnabled ? kExitOk : kExitBlocked;
}

int UpdateRouter(const RouterOptions& options, std::istream& in, std::ostream& out, std::ostream& err,
                 TerminalState terminal) {
  if (!ApplyTimeScale(options, err)) return kExitUsage;
  trust::TrustedKeys keys;
  if (!LoadTrustedKeys(options.trust, keys, err, "update")) return kExitUsage;
  TerminalView view(out, terminal.outputIsTerminal && !options.json, options.json);
  Command c(options, std::move(keys), view, err);
  view.SetItems(&c.session.Items());
  c.prompter.OnNote([&](const std::string& note) {
    if (!options.json) view.Interject([&] { c.prompter.Say("orvane update: " + note); });
  });
  InterruptScope interrupts;

  const CheckReport check = CheckWatched(c, options, out, "update");
  if (!check.ok) {
    const LogBlockReport log = CloseLog(c);
    if (options.json) {
      JsonWriter json;
      json.BeginObject().Key("ok").Bool(false).Key("message").String(LoadText(check.Warning()));
      json.Key("items").BeginArray().EndArray().Key("warnings");
      WriteStrings(json, c.prompter.Warnings());
      WriteLogJson(json, log);
      WriteSignaturesJson(json, check.signatures, c.session.Items());
      json.EndObject();
      out << json.Text() << "\n";
    }
    return kExitFailed;
  }
  if (!options.json) {
    PrintRows(out, check);
    PrintNotes(out, check.notes);
    PrintSignatures(out, check.signatures);
  }
  if (!check.evaluation.updateEnabled) {
    CloseLog(c);
    err << "orvane update: refused: " << LoadText(IDS_VERSION_UNMATCHED)
        << " (the image's first two version numbers differ from the device's)\n";
    return kExitBlocked;
  }

  const int selected = check.SelectedCount();
  // The question needs someone to answer it: a terminal on the input. It
  // goes where the operator sees it even when the output is piped.
  if (!options.yes && terminal.inputIsTerminal) {
    std::ostream& ask = terminal.outputIsTerminal ? out : err;
    ask << "Update " << selected << (selected == 1 ? " item" : " items") << "? [y/N] ";
    ask.flush();
    std::string answer;
    // An interrupt breaks the read off; on Windows its count may follow
    // the read's end by a moment.
    if (!std::getline(in, answer)) platform::WaitForInterrupt(0, kInterruptSettleMs);
    if (platform::InterruptCount() > 0) {
      ask << "\n";
      CloseLog(c);
      c.prompter.Say("orvane update: interrupted; nothing was updated.");
      return kExitInterrupted;
    }
    if (answer != "y" && answer != "Y" && answer != "yes") {
      CloseLog(c);
      ask << "Nothing updated.\n";
      return kExitFailed;
    }
  }

  // The run goes on a worker; this thread watches for the operator's
  // interrupts: the first asks the run to stop at its next safe point, any
  // later one to stop at once. Signals that come together raise the count
  // by more than one (SIGINT and SIGTERM, a closed console window), so each
  // request is made once the count reaches it, not at an exact count.
  RunReport report;
  Worker run([&] { report = c.session.Update(); });
  bool stopAsked = false;
  bool stopNowAsked = false;
  const bool ended = run.Wait([&](int count, std::uint32_t* deadlineMs) {
    if (count >= 1 && !stopAsked) {
      stopAsked = true;
      c.session.Stop().Request();
      c.session.Log().AddLine("Stop requested by the operator");
      view.Interject([&] {
        c.prompter.Say("orvane update: stopping at the next safe point (a module's download in progress is "
                       "finished first); interrupt again to stop at once.");
      });
    }
    if (count >= 2 && !stopNowAsked) {
      stopNowAsked = true;
      c.session.Stop().RequestNow();
      c.session.Log().AddLine("Stop at once requested by the operator");
      view.Interject([&] { c.prompter.Say("orvane update: stopping at once."); });
      *deadlineMs = kStopNowGraceMs;
    }
    return true;
  });
  view.Finish();
  if (!ended) {
    // The run did not reach a point where it could stop: its report so far,
    // and the process ends without waiting for the worker, which still
    // holds the session.
    const RunReport sofar = c.session.Abandon();
    PrintReport(out, c, sofar, options);
    platform::ExitNow(ExitStatus(sofar.verdict));
  }
  PrintReport(out, c, report, options);
  return ExitStatus(report.verdict);
}

}  // namespace orvane::cli
