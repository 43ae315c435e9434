#include "cli/router_commands.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "catalogue/update_item.h"
#include "cli/image_commands.h"
#include "cli/json_writer.h"
#include "engine/check_procedure.h"
#include "engine/run_record.h"
#include "engine/run_report.h"
#include "engine/run_verify.h"
#include "engine/update_engine.h"
#include "log/run_history.h"
#include "net/telnet_session.h"
#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/local_time.h"
#include "platform/utf8_path.h"

namespace orvane::cli {
namespace {

// After an interrupt: how long a run asked to stop at once may take before
// the command stops waiting for it.
constexpr std::uint32_t kStopNowGraceMs = 2000;
// The longest a watching thread sleeps between two looks at its worker.
constexpr std::uint32_t kWatchSliceMs = 1000;
// How long a read that ended without an answer waits for the interrupt
// that may have ended it.
constexpr std::uint32_t kInterruptSettleMs = 200;

// Standard error as the check's warnings and the command's notes reach it,
// from the worker and the watching thread alike.
class StreamPrompter : public IPrompter {
 public:
  // `imageFolder`: named in place of the dialog's "current directory".
  StreamPrompter(std::ostream& err, std::string imageFolder) : m_err(err), m_imageFolder(std::move(imageFolder)) {}
  void Warning(const std::string& text) override {
    std::string shown = WarningText(text, m_imageFolder);
    std::replace(shown.begin(), shown.end(), '\n', ' ');
    std::lock_guard<std::mutex> guard(m_lock);
    m_err << "Warning: " << shown << "\n";
    m_err.flush();
    m_warnings.push_back(text);
  }
  void Say(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_err << line << "\n";
    m_err.flush();
  }
  // Every warning printed so far, the check's and the run's, in order.
  std::vector<std::string> Warnings() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_warnings;
  }
  std::string FirstWarning() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_warnings.empty() ? std::string() : m_warnings.front();
  }

 private:
  mutable std::mutex m_lock;
  std::ostream& m_err;
  std::string m_imageFolder;
  std::vector<std::string> m_warnings;
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

  void SetCellText(int row, int column, const std::string& text) override {
    if (column != COLUMN_STATUS) return;
    std::lock_guard<std::mutex> guard(m_lock);
    m_rows[row].status = text;
    if (m_quiet || m_finished) return;
    if (m_live) {
      Draw(row);
    } else {
      m_out << (*m_items)[row].m_strName << ": " << text << "\n";
    }
    m_out.flush();
  }

  void SetRowColour(int row, std::uint32_t colour) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_rows[row].colour = colour;
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
    std::uint32_t colour = 0;
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
    const char* colour = r.colour == kColourRed ? "\033[31m" : r.colour == kColourBlue ? "\033[34m" : "";
    m_out << line << colour << r.status << (colour[0] ? "\033[0m" : "");
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

void PrintRows(std::ostream& out, const UpdateItems& items, const Evaluation& evaluation) {
  char line[256];
  std::snprintf(line, sizeof line, "%-18s %-20s %-20s %s\n", "Type", "Original version", "Update version", "Status");
  out << line;
  for (int i = 0; i < kItemCount; ++i) {
    std::snprintf(line, sizeof line, "%-18s %-20s %-20s %s\n", items[i].m_strName.c_str(),
                  ColumnText(items[i].m_strOriginalVersion), ColumnText(items[i].GetUpdateVersion()),
                  LoadText(evaluation.rows[i].status));
    out << line;
  }
}

// Everything a check needs, alive for the whole command.
struct Session {
  Session(const RouterOptions& options, IItemView& view, std::ostream& err)
      : prompter(err, platform::AbsolutePathText(options.directory)),
        engine(items, view, options.profile, options.logFolder),
        telnet(options.profile),
        check(items, engine.Link(), telnet, prompter) {
    LoadItemNames(items);
  }
  UpdateItems items;
  StreamPrompter prompter;
  CUpdateEngine engine;
  CTelnetSession telnet;
  CCheckProcedure check;
};

// A view that ignores everything: the check itself writes no cells.
class NullView : public IItemView {
 public:
  void SetCellText(int, int, const std::string&) override {}
  void SetRowColour(int, std::uint32_t) override {}
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

// What the check could not find out, in the operator's words: each a line
// below the rows. Empty when the check had it all.
std::vector<std::string> CheckNotes(const Session& s) {
  const CheckFacts& facts = s.check.Facts();
  std::vector<std::string> notes;
  if (!facts.routerFound) return notes;
  if (!facts.shellReached) {
    notes.push_back("the router's shell could not be reached (" + facts.shellProblem +
                    "); the router versions shown are the one discovery reported");
  } else if (facts.routerVersionsFromDiscovery) {
    notes.push_back("the router's shell gave no boot loader or application version; the router versions shown "
                    "are the one discovery reported");
  }
  if (facts.relayConnected && !facts.moduleAnswered) {
    notes.push_back("the wireless module did not answer; its versions are unknown, and the Firmware and "
                    "Dashboard items will likely fail");
  } else if (facts.moduleInDownloader) {
    notes.push_back("the wireless module runs its downloader (a download was broken off); its versions are "
                    "not read, and an update starts its download again");
  }
  return notes;
}

void PrintNotes(std::ostream& out, const std::vector<std::string>& notes) {
  for (const std::string& note : notes) out << "Note: " << note << "\n";
}

// The check's facts as a JSON object.
void WriteFactsJson(JsonWriter& json, const Session& s) {
  const CheckFacts& facts = s.check.Facts();
  const char* module = !facts.relayConnected       ? ""
                       : !facts.moduleAnswered     ? "silent"
                       : facts.moduleInDownloader  ? "downloader"
                                                   : "answered";
  json.Key("facts").BeginObject()
      .Key("shell_reached").Bool(facts.shellReached)
      .Key("shell_problem").String(facts.shellProblem)
      .Key("router_versions_from").String(!facts.routerFound ? ""
                                          : facts.routerVersionsFromDiscovery ? "discovery" : "shell")
      .Key("module").String(module)
      .EndObject();
  json.Key("notes").BeginArray();
  for (const std::string& note : CheckNotes(s)) json.String(note);
  json.EndArray();
}

void WriteCheckJson(std::ostream& out, bool ok, const std::string& message, const Session& s,
                    const Evaluation* evaluation) {
  const CRouterLink& link = s.engine.Link();
  // A check that failed before discovery has no router address.
  const bool found = ok || link.Ip() != Ipv4Address{};
  JsonWriter json;
  json.BeginObject().Key("ok").Bool(ok).Key("message").String(message);
  json.Key("router").BeginObject()
      .Key("ip").String(found ? link.AddressText() : "")
      .Key("mac").String(link.MacText())
      .Key("version").String(s.check.DiscoveryVersion())
      .EndObject();
  json.Key("items").BeginArray();
  for (int i = 0; i < kItemCount; ++i) {
    const CUpdateItem& item = s.items[i];
    json.BeginObject()
        .Key("name").String(item.m_strName)
        .Key("original").String(item.m_strOriginalVersion)
        .Key("update").String(item.GetUpdateVersion())
        .Key("status").String(evaluation ? LoadText(evaluation->rows[i].status) : "")
        .Key("selected").Bool(evaluation ? item.m_bSelected == 1 && !item.m_image.Path().empty() : false)
        .Key("file").String(item.m_image.Path())
        .EndObject();
  }
  json.EndArray().Key("update_enabled").Bool(evaluation ? evaluation->updateEnabled : false);
  WriteFactsJson(json, s);
  json.EndObject();
  out << json.Text() << "\n";
}

// Runs the check; fills `evaluation` and applies the selection on success.
bool RunCheckStep(Session& s, const RouterOptions& options, Evaluation& evaluation) {
  if (!s.check.RunCheck(options.directory)) return false;
  evaluation = EvaluateItems(s.items, false);
  ApplySelection(evaluation, s.items);
  return true;
}

// A piece of work on a thread of its own that never takes the operator's
// interrupts, while the thread that started it watches for them.
class Worker {
 public:
  explicit Worker(std::function<void()> work) {
    platform::InterruptsBlocked blocked;  // inherited by the worker and every thread it starts
    m_thread = std::thread([this, work = std::move(work)] {
      work();
      m_bDone = true;
      platform::WakeInterruptWait();
    });
  }
  ~Worker() {
    if (m_thread.joinable()) m_thread.join();
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Waits for the work's end. Each new interrupt is handed to
  // `onInterrupt` (with the count so far); when it returns false, or when a
  // `deadline` it set passes, Wait gives up and returns false: the worker
  // still runs and the caller must end the process.
  bool Wait(const std::function<bool(int count, std::uint32_t* deadlineMs)>& onInterrupt) {
    int seen = platform::InterruptCount();
    std::uint32_t deadline = platform::kInfinite;
    std::uint32_t deadlineStart = 0;
    while (!m_bDone) {
      std::uint32_t slice = kWatchSliceMs;
      if (deadline != platform::kInfinite) {
        const std::uint32_t spent = platform::TickCount() - deadlineStart;
        if (spent >= deadline) return false;
        slice = std::min(slice, deadline - spent);
      }
      if (!platform::WaitForInterrupt(seen, slice)) continue;
      seen = platform::InterruptCount();
      std::uint32_t wanted = platform::kInfinite;
      if (!onInterrupt(seen, &wanted)) return false;
      if (wanted != platform::kInfinite && deadline == platform::kInfinite) {
        deadline = wanted;
        deadlineStart = platform::TickCount();
      }
    }
    m_thread.join();
    return true;
  }

 private:
  std::atomic<bool> m_bDone{false};
  std::thread m_thread;
};

// Catches the operator's interrupts for as long as it lives.
class InterruptScope {
 public:
  InterruptScope() { platform::CatchInterrupts(); }
  ~InterruptScope() { platform::ReleaseInterrupts(); }
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
};

// Ends the command after an interrupt that came during the check (which
// only reads, so it is not waited for).
[[noreturn]] void EndInterruptedCheck(Session& s, const RouterOptions& options, std::ostream& out,
                                      const char* command) {
  s.engine.Log().AddLine("Check interrupted by the operator");
  s.prompter.Say(std::string("orvane ") + command + ": interrupted during the check; nothing was changed.");
  if (options.json) {
    JsonWriter json;
    json.BeginObject().Key("ok").Bool(false).Key("message").String("interrupted").Key("interrupted").Bool(true)
        .EndObject();
    out << json.Text() << "\n";
  }
  out.flush();
  platform::ExitNow(kExitInterrupted);
}

// The check on a worker while this thread watches; an interrupt ends the
// command (EndInterruptedCheck).
bool CheckWatched(Session& s, const RouterOptions& options, Evaluation& evaluation, std::ostream& out,
                  const char* command) {
  std::atomic<bool> ok{false};
  Worker worker([&] { ok = RunCheckStep(s, options, evaluation); });
  if (!worker.Wait([](int, std::uint32_t*) { return false; })) EndInterruptedCheck(s, options, out, command);
  return ok;
}

void WriteStrings(JsonWriter& json, const std::vector<std::string>& texts) {
  json.BeginArray();
  for (const std::string& text : texts) json.String(text);
  json.EndArray();
}

void WriteRunJson(std::ostream& out, const Session& s, const RunReport& report, const std::string& logFile) {
  JsonWriter json;
  json.BeginObject().Key("ok").Bool(report.AllSucceeded() && !report.interrupted).Key("items").BeginArray();
  for (int i = 0; i < kItemCount; ++i) {
    const ItemReport& item = report.items[i];
    if (item.outcome == ItemOutcome::NotSelected) continue;
    const bool ended = item.outcome == ItemOutcome::Succeeded || item.outcome == ItemOutcome::Failed;
    json.BeginObject()
        .Key("name").String(s.items[i].m_strName)
        .Key("result").String(ended ? LoadText(item.resultId) : "")
        .Key("elapsed_s").Number(ended ? item.elapsedSeconds : 0)
        .Key("outcome").String(ItemOutcomeName(item.outcome))
        .Key("failed_step").String(RunStepName(item.failedStep))
        .Key("detail").String(item.detail)
        .Key("verification").String(VerifyOutcomeName(item.verification.outcome))
        .Key("expected_version").String(item.verification.expected)
        .Key("reported_version").String(item.verification.actual)
        .Key("verification_reason").String(item.verification.reason)
        .EndObject();
  }
  json.EndArray().Key("warnings");
  WriteStrings(json, s.prompter.Warnings());
  json.Key("log_file").String(logFile);
  json.Key("interrupted").Bool(report.interrupted).Key("module").String(ModuleConditionName(report.moduleLeft));
  WriteFactsJson(json, s);
  json.EndObject();
  out << json.Text() << "\n";
}

// "write: unit 1 block 3: no reply after 3 attempts" (plain ASCII: a
// Windows console shows it whatever its code page).
std::string StepAndDetail(RunStep step, const std::string& detail) {
  std::string text = RunStepName(step);
  if (!detail.empty()) text += (text.empty() ? "" : ": ") + detail;
  return text;
}

// Where the run left the wireless module, when that is not its normal
// firmware, and what brings it back.
const char* ModuleNote(ModuleCondition condition) {
  switch (condition) {
    case ModuleCondition::Normal: return nullptr;
    case ModuleCondition::Offline:
      return "the wireless module may still be in offline mode; the next Check and Update bring it back.";
    case ModuleCondition::Downloader:
      return "the wireless module may still run its downloader; the next Check and Update recover it (the "
             "download starts again).";
    case ModuleCondition::Restarting:
      return "the wireless module was restarting into its new image; the next Check shows whether it came back, "
             "and the next Update finishes what is left.";
  }
  return nullptr;
}

// What the rows could not show, below them: the failed item's step and
// detail (its result is the last row line, as the run stops there), the
// item an interrupt stopped, the items the run did not reach, and the step
// that stopped a run outside the items. Each item's result line itself is
// the row's, so it is printed once.
void PrintRunReport(std::ostream& out, const Session& s, const RunReport& report, const std::string& logFile) {
  for (int i = 0; i < kItemCount; ++i) {
    const ItemReport& item = report.items[i];
    if (item.outcome == ItemOutcome::Failed) {
      out << "  failed at: " << StepAndDetail(item.failedStep, item.detail) << "\n";
    } else if (item.outcome == ItemOutcome::Interrupted) {
      out << s.items[i].m_strName << ": interrupted at: " << StepAndDetail(item.failedStep, item.detail) << "\n";
    } else if (item.outcome == ItemOutcome::NotStarted) {
      out << s.items[i].m_strName << ": " << ItemOutcomeName(item.outcome) << "\n";
    }
  }
  if (report.failedRunStep != RunStep::None) {
    out << "Run stopped at: " << StepAndDetail(report.failedRunStep, report.runDetail) << "\n";
  }
  if (report.interrupted) {
    out << "Update interrupted by the operator: see the rows above and the log.\n";
  } else {
    out << (report.AllSucceeded() ? "Update finished: every selected item succeeded.\n"
                                  : "Update failed: see the rows above and the log.\n");
  }
  // The verification, when it was asked for: one line per item.
  for (int i = 0; i < kItemCount; ++i) {
    const ItemVerification& v = report.items[i].verification;
    if (v.outcome == VerifyOutcome::NotRequested) continue;
    out << "Verify " << s.items[i].m_strName << ": " << VerifyOutcomeName(v.outcome) << " (" << v.Detail() << ")\n";
  }
  if (const char* note = ModuleNote(report.moduleLeft)) {
    out << "Note: " << note << "\n";
  } else if (report.interrupted) {
    out << "Note: the wireless module runs its normal firmware; the next Check and Update take up what is left.\n";
  }
  out << "Log: " << logFile << "\n";
}

// Whether every item the run was asked to verify was verified.
bool AllVerified(const RunReport& report) {
  for (const ItemReport& item : report.items) {
    if (item.outcome != ItemOutcome::NotSelected && item.verification.outcome != VerifyOutcome::Verified) return false;
  }
  return true;
}

// The run's line in the run history; a history that cannot take it costs a
// note, never the command.
void RecordRun(Session& s, const RunReport& report, const RunRouter& router, const platform::LocalTime& startTime) {
  const RunRecord record =
      MakeRunRecord(report, s.items, router, kFrontEndCli, s.engine.Log().CurrentFilePath(), startTime);
  std::string error;
  if (!AppendRunRecord(s.engine.Log().Folder(), record, &error)) {
    s.prompter.Say("orvane update: the run was not added to the run history: " + error);
  }
}

void PrintReport(std::ostream& out, const Session& s, const RunReport& report, const RouterOptions& options) {
  const std::string logFile = s.engine.Log().CurrentFilePath();
  if (options.json) {
    WriteRunJson(out, s, report, logFile);
  } else {
    PrintRunReport(out, s, report, logFile);
  }
  out.flush();
}

}  // namespace

int CheckRouter(const RouterOptions& options, std::ostream& out, std::ostream& err) {
  if (!ApplyTimeScale(options, err)) return kExitUsage;
  NullView view;
  Session s(options, view, err);
  InterruptScope interrupts;
  Evaluation evaluation{};
  const bool ok = CheckWatched(s, options, evaluation, out, "check");
  if (options.json) {
    WriteCheckJson(out, ok, s.prompter.FirstWarning(), s, ok ? &evaluation : nullptr);
  } else if (ok) {
    out << "Router " << s.engine.Link().AddressText() << " (" << s.engine.Link().MacText() << "), version \""
        << s.check.DiscoveryVersion() << "\"\n";
    PrintRows(out, s.items, evaluation);
    PrintNotes(out, CheckNotes(s));
    out << (evaluation.updateEnabled ? "Update is enabled.\n" : "Update is disabled: an image does not match.\n");
  }
  if (!ok) return kExitFailed;
  return evaluation.updateEnabled ? kExitOk : kExitBlocked;
}

int UpdateRouter(const RouterOptions& options, std::istream& in, std::ostream& out, std::ostream& err,
                 TerminalState terminal) {
  if (!ApplyTimeScale(options, err)) return kExitUsage;
  TerminalView view(out, terminal.outputIsTerminal && !options.json, options.json);
  Session s(options, view, err);
  view.SetItems(&s.items);
  InterruptScope interrupts;

  Evaluation evaluation{};
  if (!CheckWatched(s, options, evaluation, out, "update")) {
    if (options.json) {
      JsonWriter json;
      json.BeginObject().Key("ok").Bool(false).Key("message").String(s.prompter.FirstWarning());
      json.Key("items").BeginArray().EndArray().Key("warnings");
      WriteStrings(json, s.prompter.Warnings());
      json.Key("log_file").String("").EndObject();
      out << json.Text() << "\n";
    }
    return kExitFailed;
  }
  if (!options.json) {
    PrintRows(out, s.items, evaluation);
    PrintNotes(out, CheckNotes(s));
  }
  if (!evaluation.updateEnabled) {
    err << "orvane update: refused: " << LoadText(IDS_VERSION_UNMATCHED)
        << " (the image's first two version numbers differ from the device's)\n";
    return kExitBlocked;
  }

  int selected = 0;
  for (int i = 0; i < kItemCount; ++i) {
    if (IsSelected(s.items, static_cast<ImageType>(i))) ++selected;
  }
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
      s.prompter.Say("orvane update: interrupted; nothing was updated.");
      return kExitInterrupted;
    }
    if (answer != "y" && answer != "Y" && answer != "yes") {
      ask << "Nothing updated.\n";
      return kExitFailed;
    }
  }

  // The run goes on a worker; this thread watches for the operator's
  // interrupts: the first asks the run to stop at its next safe point, the
  // second to stop at once.
  RunReport report;
  const platform::LocalTime startTime = platform::LocalTimeNow();
  // The router as the check found it, taken before the worker may check again.
  const RunRouter router{s.engine.Link().MacText(), s.engine.Link().AddressText(), s.check.DiscoveryVersion()};
  Worker run([&] {
    report = s.engine.Run();
    if (options.verify) {
      if (!options.json && report.AllSucceeded() && !report.interrupted) {
        view.Interject([&] {
          s.prompter.Say("orvane update: verifying: waiting for the router to answer again (at most " +
                         std::to_string(kRouterRestartLimitMs / 1000) + " s), then checking its versions");
        });
      }
      CRunVerifier(s.items, s.engine.Link(), s.telnet, s.engine.Stop(), options.directory).Verify(report);
    }
  });
  const bool ended = run.Wait([&](int count, std::uint32_t* deadlineMs) {
    if (count == 1) {
      s.engine.Stop().Request();
      s.engine.Log().AddLine("Stop requested by the operator");
      view.Interject([&] {
        s.prompter.Say("orvane update: stopping at the next safe point (a module's download in progress is "
                       "finished first); interrupt again to stop at once.");
      });
    } else if (count == 2) {
      s.engine.Stop().RequestNow();
      s.engine.Log().AddLine("Stop at once requested by the operator");
      view.Interject([&] { s.prompter.Say("orvane update: stopping at once."); });
      *deadlineMs = kStopNowGraceMs;
    }
    return true;
  });
  if (!ended) {
    // The run did not reach a point where it could stop: its report so far,
    // and the process ends without waiting for it.
    view.Finish();
    const RunReport sofar = s.engine.RunSnapshot();
    s.engine.Log().AddLine("Update stopped at once by the operator; the run was not waited for");
    RecordRun(s, sofar, router, startTime);
    PrintReport(out, s, sofar, options);
    platform::ExitNow(kExitInterrupted);
  }
  view.Finish();
  // Failures without a row (relay refused, NVRAM erase refused) are shown
  // as the check's failures are.
  for (const std::string& warning : report.warnings) s.prompter.Warning(warning);
  RecordRun(s, report, router, startTime);
  PrintReport(out, s, report, options);
  if (report.interrupted || platform::InterruptCount() > 0) return kExitInterrupted;
  if (options.verify && !AllVerified(report)) return kExitFailed;
  return report.AllSucceeded() ? kExitOk : kExitFailed;
}

}  // namespace orvane::cli
