#include "cli/history_command.h"

#include <cctype>
#include <cstdio>

#include "cli/json_writer.h"
#include "log/run_history.h"
#include "platform/system_files.h"

namespace orvane::cli {
namespace {

constexpr int kExitOk = 0;
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

void PrintTable(std::ostream& out, const std::vector<const RunRecord*>& runs) {
  char line[512];
  std::snprintf(line, sizeof line, "%-19s  %-9s  %-17s  %-15s  %s\n", "Time", "Front end", "Router MAC", "IP",
                "Version");
  out << line;
  for (const RunRecord* run : runs) {
    std::snprintf(line, sizeof line, "%-19s  %-9s  %-17s  %-15s  %s\n", run->time.c_str(), Shown(run->frontEnd),
                  Shown(run->mac), Shown(run->ip), Shown(run->discoveryVersion));
    out << line;
    for (const RunRecordItem& item : run->items) {
      const std::string versions = std::string(Shown(item.original)) + " -> " + Shown(item.update);
      std::snprintf(line, sizeof line, "  %-18s %-34s %-11s %-32s %s", item.name.c_str(), versions.c_str(),
                    item.outcome.c_str(), Shown(item.result), item.verification.c_str());
      out << line;
      if (!item.verificationDetail.empty()) out << " (" << item.verificationDetail << ")";
      out << "\n";
    }
    if (!run->logFile.empty()) out << "  log: " << run->logFile << "\n";
  }
}

void WriteJson(std::ostream& out, const std::vector<const RunRecord*>& runs) {
  // Each record as the history holds it, in one array.
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
