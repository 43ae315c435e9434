#pragma once
// `orvane history`: the runs recorded in the run history, as a table (a line
// per run ending in its outcome, a line per item) or JSON.
#include <ostream>
#include <string>

namespace orvane::cli {

struct HistoryOptions {
  std::string logFolder;  // empty = the default per-user folder
  std::string mac;        // only this router ("02:00:5e:10:00:01" or "02-00-5E-10-00-01")
  std::string since;      // only runs on or after this date, YYYY-MM-DD
  bool json = false;
};

// Exit 0 (skipped lines are noted on `err`), 2 for a bad --mac or --since.
int ListHistory(const HistoryOptions& options, std::ostream& out, std::ostream& err);

}  // namespace orvane::cli
