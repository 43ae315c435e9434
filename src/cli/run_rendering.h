#pragma once
// How `orvane check` and `orvane update` render the session's reports: the
// check's facts in JSON, the run's JSON object, the run's text below the
// rows and the exit status. Every one of them renders the run's verdict as
// the session judged it; none looks at the items to decide on its own.
#include <ostream>
#include <string>
#include <vector>

#include "catalogue/update_item.h"
#include "cli/json_writer.h"
#include "engine/run_report.h"
#include "engine/update_session.h"

namespace orvane::cli {

// Exit status of a run whose verdict is an interruption (128 + SIGINT, as a
// shell reports a command that Ctrl-C ended).
inline constexpr int kExitInterrupted = 130;

// The check's facts and notes as the "facts" and "notes" members.
void WriteFactsJson(JsonWriter& json, const CheckReport& check);
void WriteStrings(JsonWriter& json, const std::vector<std::string>& texts);

// The log's members: "log_file" (where the lines began), "log_files" (every
// day's file), "log_complete", "log_missing_lines" and "log_kept_at".
void WriteLogJson(JsonWriter& json, const LogBlockReport& log);
// The day's files, ", " between them.
std::string LogFilesText(const LogBlockReport& log);

// The run as one JSON object on a line: "ok" and "verdict" from the verdict,
// then every selected item, the warnings shown, the log, the module's state,
// the check's facts and the run's "signatures" (as `check --json` writes
// its own, from the report).
void WriteRunJson(std::ostream& out, const RunReport& report, const UpdateItems& items,
                  const std::vector<std::string>& warnings, const CheckReport& check);

// What the rows could not show, then the log file, then the verdict's line
// (the text's last line).
void PrintRunReport(std::ostream& out, const RunReport& report, const UpdateItems& items);

// "Update finished: every selected item succeeded.", "Update failed at
// Router's APP: router result: result code 3.", ...
std::string VerdictLine(const Verdict& verdict, const UpdateItems& items);

// 0 for a success, kExitInterrupted for an interruption, 1 otherwise.
int ExitStatus(const Verdict& verdict);

}  // namespace orvane::cli
