#include "cli/history_command.h"

#include <cctype>
#include <cstdio>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

#include "catalogue/image_signatures.h"
#include "cli/json_writer.h"
#include "cli/terminal_text.h"
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

// The listing's columns, in characters. Every cell is the file's text as
// TerminalText shows it (a line end or an escape sequence in a router's
// words cannot break a run's line or reach the terminal), shortened to its
// column; the last cells of a line to kLongestTailText.
constexpr std::size_t kTimeColumn = 19;
constexpr std::size_t kFrontEndColumn = 9;
constexpr std::size_t kMacColumn = 17;
constexpr std::size_t kIpColumn = 15;
constexpr std::size_t kVersionColumn = 11;
constexpr std::size_t kItemNameColumn = 18;
constexpr std::size_t kItemVersionColumn = 16;  // each of the two in "original -> update"
constexpr std::size_t kItemOutcomeColumn = 11;
constexpr std::size_t kItemResultColumn = 32;

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
  return cell;
}

// What the run's check did about the images' signatures, for the run's
// "signatures:" line; "" for a line written before runs recorded it.
//   "verified, signed by key 8e5a3b1c2d4f6a70"
//   "UNSIGNED (allowed): Router's APP; signed by key 8e5a3b1c2d4f6a70: Firmware"
//   "not checked (no key was trusted)"
// The items are named by who signed them, the unsigned ones first, and
// only when the items differ: one signer for all is said once.
std::string SignaturesNote(const RunRecord& run) {
  if (run.signatures.empty()) return {};
  if (run.signatures == SignatureVerdictName(SignatureVerdict::NotChecked)) return "not checked (no key was trusted)";
  const bool allowed = run.signatures == SignatureVerdictName(SignatureVerdict::AllowedUnsigned);
  // Each signing key ("" for none) with its items, the unsigned first.
  std::vector<std::pair<std::string, std::vector<std::string>>> bySigner{{"", {}}};
  for (const RunRecordItem& item : run.items) {
    auto group = bySigner.begin();
    while (group != bySigner.end() && group->first != item.signingKey) ++group;
    if (group == bySigner.end()) {
      bySigner.emplace_back(item.signingKey, std::vector<std::string>{});
      group = std::prev(bySigner.end());
    }
    group->second.push_back(item.name);
  }
  if (bySigner.front().second.empty()) bySigner.erase(bySigner.begin());
  std::string note = allowed ? "UNSIGNED (allowed)" : run.signatures;
  if (bySigner.size() == 1 && !bySigner.front().first.empty()) {
    return note + ", signed by key " + bySigner.front().first;
  }
  for (std::size_t i = 0; i < bySigner.size(); ++i) {
    const auto& [signer, names] = bySigner[i];
    note += i == 0 ? ": " : "; ";
    if (!signer.empty()) {
      note += "signed by key " + signer + ": ";
    } else if (!allowed) {
      note += "not signed: ";
    }
    for (std::size_t n = 0; n < names.size(); ++n) note += (n == 0 ? "" : ", ") + names[n];
  }
  return note;
}

void PrintRunLine(std::ostream& out, std::string_view time, std::string_view frontEnd, std::string_view mac,
                  std::string_view ip, std::string_view version, std::string_view outcome) {
  out << Cell(time, kTimeColumn) << "  " << Cell(frontEnd, kFrontEndColumn) << "  " << Cell(mac, kMacColumn) << "  "
      << Cell(ip, kIpColumn) << "  " << Cell(version, kVersionColumn) << "  " << Shortened(outcome, kLongestTailText)
      << "\n";
}

void PrintTable(std::ostream& out, const std::vector<const RunRecord*>& runs) {
  PrintRunLine(out, "Time", "Front end", "Router MAC", "IP", "Version", "Outcome");
  for (const RunRecord* run : runs) {
    PrintRunLine(out, run->time, Shown(run->frontEnd), Shown(run->mac), Shown(run->ip), Shown(run->discoveryVersion),
                 OutcomeCell(*run));
    for (const RunRecordItem& item : run->items) {
      const std::string versions = Shortened(Shown(item.original), kItemVersionColumn) + " -> " +
                                   Shortened(Shown(item.update), kItemVersionColumn);
      std::string verification = item.verification;
      if (!item.verificationDetail.empty()) verification += " (" + item.verificationDetail + ")";
      out << "  " << Cell(item.name, kItemNameColumn) << " " << Cell(versions, 2 * kItemVersionColumn + 4) << " "
          << Cell(item.outcome, kItemOutcomeColumn) << " " << Cell(Shown(item.result), kItemResultColumn) << " "
          << Shortened(verification, kLongestTailText) << "\n";
    }
    const std::string signatures = SignaturesNote(*run);
    if (!signatures.empty()) out << "  signatures: " << Shortened(signatures, kLongestTailText) << "\n";
    // Every day's file of the run; a line from before runs named them all
    // has its first only.
    std::string logs;
    for (const std::string& file : run->logFiles) logs += (logs.empty() ? "" : ", ") + file;
    if (logs.empty()) logs = run->logFile;
    if (!logs.empty()) out << "  log: " << TerminalText(logs) << "\n";
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
