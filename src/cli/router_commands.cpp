#include "cli/router_commands.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <mutex>
#include <vector>

#include "catalogue/check_procedure.h"
#include "catalogue/update_item.h"
#include "cli/image_commands.h"
#include "cli/json_writer.h"
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
    if (m_first.empty()) m_first = text;
  }
  const std::string& FirstWarning() const { return m_first; }

 private:
  std::ostream& m_err;
  std::string m_first;
};

// The rows' "%" and "Status" cells, and the progress the operator watches.
class TerminalView : public IItemView {
 public:
  TerminalView(std::ostream& out, bool live, bool quiet) : m_out(out), m_live(live), m_quiet(quiet) {}
  // The rows' display names; set before the first cell is written.
  void SetItems(const UpdateItems* items) { m_items = items; }

  void SetCellText(int row, int column, const std::string& text) override {
    std::lock_guard<std::mutex> guard(m_lock);
    Row& r = m_rows[row];
    if (column == COLUMN_PERCENT) {
      r.percent = text;
      const int value = std::atoi(text.c_str());
      if (m_quiet) return;
      if (m_live) {
        Draw(row);
      } else if (value / 10 != r.lastTen) {
        r.lastTen = value / 10;
        m_out << (*m_items)[row].m_strName << ": " << text << "\n";
      }
    } else {
      r.status = text;
      r.touched = true;
      if (m_quiet) return;
      if (m_live) {
        Draw(row);
      } else {
        m_out << (*m_items)[row].m_strName << ": " << text << "\n";
      }
    }
    m_out.flush();
  }

  void SetRowColour(int row, std::uint32_t colour) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_rows[row].colour = colour;
  }

  // Ends the live line of the row being drawn (after its result).
  void Finish() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_live && m_liveRow >= 0) m_out << "\n";
    m_liveRow = -1;
  }

  std::string Status(int row) {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_rows[row].status;
  }
  bool Touched(int row) {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_rows[row].touched;
  }

 private:
  struct Row {
    std::string percent;
    std::string status;
    std::uint32_t colour = 0;
    int lastTen = -1;
    bool touched = false;
  };

  // One live line per item: a bar, the percentage and the current step. A
  // new row starts a new line; the finished one stays on screen.
  void Draw(int row) {
    if (m_liveRow != row) {
      if (m_liveRow >= 0) m_out << "\n";
      m_liveRow = row;
    }
    const Row& r = m_rows[row];
    const int value = std::clamp(std::atoi(r.percent.c_str()), 0, 100);
    constexpr int kBarWidth = 24;
    const int filled = value * kBarWidth / 100;
    std::string bar = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                      std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "]";
    char line[160];
    std::snprintf(line, sizeof line, "\r\033[K%-18s %s %4s  ", (*m_items)[row].m_strName.c_str(), bar.c_str(),
                  r.percent.c_str());
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
        check(items, engine, telnet, prompter, options.profile) {
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
  JsonWriter json;
  json.BeginObject().Key("ok").Bool(ok).Key("message").String(message);
  json.Key("router").BeginObject()
      .Key("ip").String(ok || s.engine.m_ip != std::array<std::uint8_t, 4>{} ? s.engine.RouterAddressText() : "")
      .Key("mac").String(s.engine.FormatMac())
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

// "Download success(01:05)" -> result "Download success", 65 seconds.
void SplitResult(const std::string& status, std::string& result, int& seconds) {
  result = status;
  seconds = 0;
  const std::size_t open = status.rfind('(');
  int minutes = 0, secs = 0;
  if (open != std::string::npos && std::sscanf(status.c_str() + open, "(%d:%d)", &minutes, &secs) == 2) {
    result = status.substr(0, open);
    seconds = minutes * 60 + secs;
  }
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
    out << "Router " << s.engine.RouterAddressText() << " (" << s.engine.FormatMac() << "), version \""
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
      json.Key("items").BeginArray().EndArray().Key("log_file").String("").EndObject();
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

  std::vector<int> selected;
  for (int i = 0; i < kItemCount; ++i) {
    if (s.engine.IsSelected(static_cast<ImageType>(i))) selected.push_back(i);
  }
  if (!options.yes && interactive) {
    out << "Update " << selected.size() << (selected.size() == 1 ? " item" : " items") << "? [y/N] ";
    out.flush();
    std::string answer;
    std::getline(in, answer);
    if (answer != "y" && answer != "Y" && answer != "yes") {
      out << "Nothing updated.\n";
      return kExitFailed;
    }
  }

  // A failure that has no row (relay refused, NVRAM erase refused) comes
  // back as a warning after the run.
  s.engine.SetPrompter(&s.prompter);
  s.engine.Run();
  view.Finish();

  struct Outcome {
    int row;
    std::string result;
    int seconds = 0;
  };
  std::vector<Outcome> outcomes;
  bool allSucceeded = !selected.empty();
  for (const int row : selected) {
    Outcome o{row, {}};
    if (view.Touched(row)) SplitResult(view.Status(row), o.result, o.seconds);
    allSucceeded = allSucceeded && o.result == LoadText(IDS_DOWNLOAD_SUCCESS);
    outcomes.push_back(std::move(o));
  }
  const std::string logFile = s.engine.Log().CurrentFilePath();
  if (options.json) {
    JsonWriter json;
    json.BeginObject().Key("ok").Bool(allSucceeded).Key("items").BeginArray();
    for (const Outcome& o : outcomes) {
      json.BeginObject()
          .Key("name").String(s.items[o.row].m_strName)
          .Key("result").String(o.result)
          .Key("elapsed_s").Number(o.seconds)
          .EndObject();
    }
    json.EndArray().Key("log_file").String(logFile).EndObject();
    out << json.Text() << "\n";
  } else {
    out << (allSucceeded ? "Update finished: every selected item succeeded.\n"
                         : "Update failed: see the rows above and the log.\n");
    out << "Log: " << logFile << "\n";
  }
  return allSucceeded ? kExitOk : kExitFailed;
}

}  // namespace orvane::cli
