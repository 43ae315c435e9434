#include "cli/history_command.h"

#include <cctype>
#include <cstdio>

#include "cli/json_writer.h"
#include "log/run_history.h"
#include "platform/system_files.h"

namespace orvane::cli {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kMacDigits = 12;

// The twelve hex digits of a MAC address in upper case; "" when `text` is
// none.
std::string MacDigits(const std::string& text) {
  std::string digits;
  for (const char c : text) {
    if (c == ':' || c == '-') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
    digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return digits.size() == kMacDigits ? digits : std::string();
}

bool IsDate(const std::string& text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (const std::size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u}) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  const int month = std::stoi(text.substr(5, 2));
  const int day = std::stoi(text.substr(8, 2));
  return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

const char* Shown(const std::string& text) { return text.empty() ? "-" : text.c_str(); }

// `text` with each control character (a line end in a router's words) as a
// blank, so that a run stays on its line; none at its end.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// The run's outcome cell: "succeeded", or "failed: Router's APP, write: no
// echo after 3 attempts" (item and step, then the detail, each when known).
// A line without a recorded verdict shows the one derived from its items,
// marked so.
std::string OutcomeCell(const RunRecord& run) {
  if (!run.OutcomeRecorded()) return DerivedRunOutcome(run) + " (from its items)";
  std::string where = run.failedItem;
  if (!run.failedStep.empty()) where += (where.empty() ? "" : ", ") + run.failedStep;
  std::string cell = run.outcome;
  if (!where.empty()) cell += ": " + where;
  if (!run.detail.empty()) cell += ": " + run.detail;
  return OneLine(std::move(cell));
}

void PrintTable(std::ostream& out, const std::vector<const RunRecord*>& runs) {
  char line[512];
  std::snprintf(line, sizeof line, "%-19s  %-9s  %-17s  %-15s  %-11s  %s\n", "Time", "Front end", "Router MAC", "IP",
                "Version", "Outcome");
  out << line;
  for (const RunRecord* run : runs) {
    // The outcome cell goes out whole after the fixed columns: a detail
    // may be longer than the buffer.
    std::snprintf(line, sizeof line, "%-19s  %-9s  %-17s  %-15s  %-11s  ", run->time.c_str(), Shown(run->frontEnd),
                  Shown(run->mac), Shown(run->ip), Shown(run->discoveryVersion));
    out << line << OutcomeCell(*run) << "\n";
    for (const RunRecordItem& item : run->items) {
      const std::string versions = std::string(Shown(item.original)) + " -> " + Shown(item.update);
      std::snprintf(line, sizeof line, "  %-18s %-34s %-11s %-32s %s", item.name.c_str(), versions.c_str(),
                    item.outcome.c_str(), Shown(item.result), item.verification.c_str());
      out << line;
      if (!item.verificationDetail.empty()) out << " (" << item.verificationDetail << ")";
      out << "\n";
    }
    // Every day's file of the run; a line from before runs named them all
    // has its first only.
    std::string logs;
    for (const std::string& file : run->logFiles) logs += (logs.empty() ? "" : ", ") + file;
    if (logs.empty()) logs = run->logFile;
    if (!logs.empty()) out << "  log: " << logs << "\n";
  }
}

void WriteJson(std::ostream& out, const std::vector<const RunRecord*>& runs) {
  // Each record as the history holds it, in one array: the run's verdict
  // as recorded, "" in a line that has none.
  out << "[";
  for (std::size_t i = 0; i < runs.size(); ++i) out << (i ? "," : "") << BuildRunRecordLine(*runs[i]);
  out << "]\n";
}

}  // namespace

int ListHistory(const HistoryOptions& options, std::ostream& out, std::ostream& err) {
  const std::string wantedMac = options.mac.empty() ? std::string() : MacDigits(options.mac);
  if (!options.mac.empty() && wantedMac.empty()) {
    err << "orvane history: --mac: not a MAC address: \"" << options.mac << "\"\n";
    return kExitUsage;
  }
  if (!options.since.empty() && !IsDate(options.since)) {
    err << "orvane history: --since: not a date YYYY-MM-DD: \"" << options.since << "\"\n";
    return kExitUsage;
  }
  const std::string folder = options.logFolder.empty() ? platform::DefaultLogFolder() : options.logFolder;
  const std::string path = RunHistoryPath(folder);
  const RunHistory history = ReadRunHistory(path);
  if (history.problem != platform::FileProblem::None) {
    err << "orvane history: " << history.error << "\n";
    return kExitFailed;
  }
  for (const std::string& note : history.notes) err << "Note: " << note << "\n";

  std::vector<const RunRecord*> runs;
  for (const RunRecord& run : history.records) {
    if (!wantedMac.empty() && MacDigits(run.mac) != wantedMac) continue;
    // The time begins with its date, so text order is date order.
    if (!options.since.empty() && run.time.compare(0, options.since.size(), options.since) < 0) continue;
    runs.push_back(&run);
  }
  if (options.json) {
    WriteJson(out, runs);
  } else if (!history.found) {
    out << "No run recorded yet (" << path << " does not exist).\n";
  } else if (runs.empty()) {
    out << "No recorded run matches (" << history.records.size() << " in " << path << ").\n";
  } else {
    PrintTable(out, runs);
  }
  return kExitOk;
}

}  // namespace orvane::cli
