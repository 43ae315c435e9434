#include "cli/router_commands.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <mutex>
#include <vector>

#include "catalogue/update_item.h"
#include "cli/image_commands.h"
#include "cli/json_writer.h"
#include "engine/check_procedure.h"
#include "engine/run_report.h"
#include "engine/update_engine.h"
#include "net/telnet_session.h"
#include "platform/clock.h"

namespace orvane::cli {
namespace {

class StreamPrompter : public IPrompter {
 public:
  explicit StreamPrompter(std::ostream& err) : m_err(err) {}
  void Warning(const std::string& text) override {
    std::string oneLine = text;
    std::replace(oneLine.begin(), oneLine.end(), '\n', ' ');
    m_err << "Warning: " << oneLine << "\n";
    m_err.flush();
    m_warnings.push_back(text);
  }
  // Every warning printed so far, the check's and the run's, in order.
  const std::vector<std::string>& Warnings() const { return m_warnings; }
  std::string FirstWarning() const { return m_warnings.empty() ? std::string() : m_warnings.front(); }

 private:
  std::ostream& m_err;
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
    if (m_quiet) return;
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
    if (m_quiet) return;
    if (m_live) {
      Draw(row);
    } else if (r.progress / 10 != r.lastTen) {
      r.lastTen = r.progress / 10;
      m_out << (*m_items)[row].m_strName << ": " << r.progress << "%\n";
    }
    m_out.flush();
  }

  // Ends the live line of the row being drawn (after its result).
  void Finish() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_live && m_liveRow >= 0) m_out << "\n";
    m_liveRow = -1;
  }

 private:
  struct Row {
    int progress = 0;
    std::string status;
    std::uint32_t colour = 0;
    int lastTen = -1;
  };

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
      : prompter(err),
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
  json.EndArray().Key("update_enabled").Bool(evaluation ? evaluation->updateEnabled : false).EndObject();
  out << json.Text() << "\n";
}

// Runs the check; fills `evaluation` and applies the selection on success.
bool RunCheckStep(Session& s, const RouterOptions& options, Evaluation& evaluation) {
  if (!s.check.RunCheck(options.directory)) return false;
  evaluation = EvaluateItems(s.items, false);
  ApplySelection(evaluation, s.items);
  return true;
}

void WriteStrings(JsonWriter& json, const std::vector<std::string>& texts) {
  json.BeginArray();
  for (const std::string& text : texts) json.String(text);
  json.EndArray();
}

void WriteRunJson(std::ostream& out, const Session& s, const RunReport& report, const std::string& logFile) {
  JsonWriter json;
  json.BeginObject().Key("ok").Bool(report.AllSucceeded()).Key("items").BeginArray();
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
        .EndObject();
  }
  json.EndArray().Key("warnings");
  WriteStrings(json, s.prompter.Warnings());
  json.Key("log_file").String(logFile).EndObject();
  out << json.Text() << "\n";
}

// "write: unit 1 block 3: no reply after 3 attempts" (plain ASCII: a
// Windows console shows it whatever its code page).
std::string StepAndDetail(RunStep step, const std::string& detail) {
  std::string text = RunStepName(step);
  if (!detail.empty()) text += (text.empty() ? "" : ": ") + detail;
  return text;
}

// What the rows could not show, below them: the failed item's step and
// detail (its result is the last row line, as the run stops there), the
// items the run did not reach, and the step that stopped a run outside the
// items. Each item's result line itself is the row's, so it is printed once.
void PrintRunReport(std::ostream& out, const Session& s, const RunReport& report, const std::string& logFile) {
  for (int i = 0; i < kItemCount; ++i) {
    const ItemReport& item = report.items[i];
    if (item.outcome == ItemOutcome::Failed) {
      out << "  failed at: " << StepAndDetail(item.failedStep, item.detail) << "\n";
    } else if (item.outcome == ItemOutcome::NotStarted) {
      out << s.items[i].m_strName << ": " << ItemOutcomeName(item.outcome) << "\n";
    }
  }
  if (report.failedRunStep != RunStep::None) {
    out << "Run stopped at: " << StepAndDetail(report.failedRunStep, report.runDetail) << "\n";
  }
  out << (report.AllSucceeded() ? "Update finished: every selected item succeeded.\n"
                                : "Update failed: see the rows above and the log.\n");
  out << "Log: " << logFile << "\n";
}

}  // namespace

int CheckRouter(const RouterOptions& options, std::ostream& out, std::ostream& err) {
  if (!ApplyTimeScale(options, err)) return kExitUsage;
  NullView view;
  Session s(options, view, err);
  Evaluation evaluation{};
  const bool ok = RunCheckStep(s, options, evaluation);
  if (options.json) {
    WriteCheckJson(out, ok, s.prompter.FirstWarning(), s, ok ? &evaluation : nullptr);
  } else if (ok) {
    out << "Router " << s.engine.Link().AddressText() << " (" << s.engine.Link().MacText() << "), version \""
        << s.check.DiscoveryVersion() << "\"\n";
    PrintRows(out, s.items, evaluation);
    out << (evaluation.updateEnabled ? "Update is enabled.\n" : "Update is disabled: an image does not match.\n");
  }
  if (!ok) return kExitFailed;
  return evaluation.updateEnabled ? kExitOk : kExitBlocked;
}

int UpdateRouter(const RouterOptions& options, std::istream& in, std::ostream& out, std::ostream& err,
                 bool interactive) {
  if (!ApplyTimeScale(options, err)) return kExitUsage;
  TerminalView view(out, interactive && !options.json, options.json);
  Session s(options, view, err);
  view.SetItems(&s.items);

  Evaluation evaluation{};
  if (!RunCheckStep(s, options, evaluation)) {
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
  if (!options.json) PrintRows(out, s.items, evaluation);
  if (!evaluation.updateEnabled) {
    err << "orvane update: refused: " << LoadText(IDS_VERSION_UNMATCHED)
        << " (the image's first two version numbers differ from the device's)\n";
    return kExitBlocked;
  }

  int selected = 0;
  for (int i = 0; i < kItemCount; ++i) {
    if (IsSelected(s.items, static_cast<ImageType>(i))) ++selected;
  }
  if (!options.yes && interactive) {
    out << "Update " << selected << (selected == 1 ? " item" : " items") << "? [y/N] ";
    out.flush();
    std::string answer;
    std::getline(in, answer);
    if (answer != "y" && answer != "Y" && answer != "yes") {
      out << "Nothing updated.\n";
      return kExitFailed;
    }
  }

  const RunReport report = s.engine.Run();
  view.Finish();
  // Failures without a row (relay refused, NVRAM erase refused) are shown
  // as the check's failures are.
  for (const std::string& warning : report.warnings) s.prompter.Warning(warning);

  const std::string logFile = s.engine.Log().CurrentFilePath();
  if (options.json) {
    WriteRunJson(out, s, report, logFile);
  } else {
    PrintRunReport(out, s, report, logFile);
  }
  return report.AllSucceeded() ? kExitOk : kExitFailed;
}

}  // namespace orvane::cli
