#pragma once
// The run history: one JSON line per update run in `history.jsonl` beside
// the dated download logs, so that it can be told later which router got
// what, when, and how it went.
//
// Line (one object, no line break inside; keys in this order):
//   {"time":"2026-12-08 13:45:02","front_end":"cli","mac":"02-00-5E-10-00-01",
//    "ip":"192.168.1.1","discovery_version":"2.1.0.3.7",
//    "log_file":".../2026-12-08/LumtarLog.txt",
//    "outcome":"failed","failed_item":"","failed_step":"erase router NVRAM",
//    "detail":"the router refused the erase",
//    "items":[{"name":"Router's APP","original":"2.1.0.3.7","update":"2.1.9.0.1",
//              "outcome":"succeeded","result":"Download success(00:42)","elapsed_s":42,
//              "verification":"verified","verification_detail":"",
//              "sha256":"<64 hex digits>","signing_key":"<16 hex digits>"}],
//    "signatures":"verified","log_files":[".../2026-12-08/LumtarLog.txt"]}
//
// "log_file" is the day's download log where the run's lines began;
// "log_files" names every day's file they went to (two for a run that
// passed midnight), first that one. Lines written before runs named them
// all lack it; a reader that does not know it passes over it.
// "interface" (after "log_files", only in a station's lines) names the
// PC's interface of the station's lane that ran it.
// "outcome" .. "detail" are the run's own verdict: a run can fail outside
// every item (the relay connection refused, the NVRAM erase after the
// application image refused) while each of its items reads "succeeded".
// Lines written before the verdict was recorded lack these keys; they read
// with the four fields empty, and RunOutcomeShown derives an outcome from
// their items for display. "signatures" (what the check did about the
// images' signatures), "sha256" and "signing_key" came later still; older
// lines read with them empty.
//
// Appending: each line goes out in one write of the whole line and its line
// end, flushed to the disk before the file is released
// (platform::AppendToFileExclusive; another program that holds the file is
// waited for, a write the disk cuts short is taken back). A power cut can
// therefore only cut the last line short; a line cut so is ended by the
// next append before it writes its own, so a new line never joins a torn
// one. A named pipe or a device in the file's place is refused, never
// waited on.
//
// Reading: lines are parsed by a small, bounded parser for exactly these
// fields (unknown keys are passed over); a line that is not a record is
// skipped with a note, the torn last line with a note of its own. Nothing
// read is ever fatal.
//
// Standard library only; the file is UTF-8 on every system.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/local_time.h"
#include "platform/system_files.h"

namespace orvane {

inline constexpr const char* kRunHistoryFileName = "history.jsonl";
// A line longer than this is no record of ours: it is skipped unparsed.
inline constexpr std::size_t kMaxRunRecordBytes = 64 * 1024;
// More items than this in a line is no record of ours.
inline constexpr std::size_t kMaxRunRecordItems = 16;
// More day's log files than this in a line is no record of ours.
inline constexpr std::size_t kMaxRunRecordLogFiles = 16;
// How long an append waits for another program that holds the file, and a
// read (on Windows) for an append under way: system milliseconds.
inline constexpr std::uint32_t kRunHistoryLockWaitMs = 5000;

struct RunRecordItem {
  std::string name;
  std::string original;      // the version the check found before the run
  std::string update;        // the image's version
  std::string outcome;       // "succeeded", "failed", "interrupted", "not started"
  std::string result;        // the row's result text, "" when the item did not end
  std::int64_t elapsedSeconds = 0;
  std::string verification;  // "verified", "mismatch", "could not verify", "not requested"
  std::string verificationDetail;
  std::string sha256;      // of the image's bytes that the run sent
  std::string signingKey;  // the number of the trusted key that signed it; "" when none did

  bool operator==(const RunRecordItem&) const = default;
};

struct RunRecord {
  std::string time;  // local time, "YYYY-MM-DD HH:MM:SS"
  std::string frontEnd;  // "cli", "dialog" or "station"
  std::string mac;
  std::string ip;
  std::string discoveryVersion;
  std::string logFile;  // the day's download log where the run's lines began
  // The run's verdict as the engine recorded it; all "" in a line written
  // before runs recorded one.
  std::string outcome;     // "succeeded", "failed", "verification failed", "interrupted"
  std::string failedItem;  // the display name of the item the run failed at; "" for a run step or none
  std::string failedStep;  // an item's step ("write", "router result") or a run step ("connect",
                           // "erase router NVRAM"); "" when none
  std::string detail;      // in words: "no echo after 3 attempts"
  // "not checked" (no trusted key), "verified", "unsigned allowed" (the
  // operator let images through that no trusted key signed).
  std::string signatures;
  std::vector<RunRecordItem> items;
  // Every day's download log the run's lines went to, `logFile` first;
  // empty in a line written before runs named them all.
  std::vector<std::string> logFiles;
  // A station's lane: the PC's interface the router was on; "" otherwise.
  std::string interfaceName;

  // Whether the line carries the run's own verdict (see RunOutcomeShown
  // for a line that does not).
  bool OutcomeRecorded() const { return !outcome.empty(); }

  bool operator==(const RunRecord&) const = default;
};

// A best-effort outcome for a line without a recorded one, from its items
// alone: "succeeded" when it lists items and every one succeeded,
// "interrupted" when one was interrupted, otherwise "failed". It cannot see
// a failure outside the items.
std::string DerivedRunOutcome(const RunRecord& record);

// The outcome to show: the recorded one, else DerivedRunOutcome.
std::string RunOutcomeShown(const RunRecord& record);

// "2026-12-08 13:45:02".
std::string RunRecordTime(const platform::LocalTime& t);

// The record as one line of JSON, without its line end.
std::string BuildRunRecordLine(const RunRecord& record);

// Parses one line (without its line end). Nothing when it is not a record:
// `why` (may be null) then says where it went wrong.
std::optional<RunRecord> ParseRunRecordLine(std::string_view line, std::string* why = nullptr);

// <logFolder>/history.jsonl (UTF-8 path text).
std::string RunHistoryPath(const std::string& logFolder);

// Appends the record's line to the history in `logFolder` (made when
// missing), waiting up to `lockWaitMs` for another program that holds it.
// Not ok when the line did not reach the file (the folder cannot be made,
// the file is held by another program past the wait, the disk is full, a
// named pipe stands there): the reason then names the file and the cause.
platform::FileResult AppendRunRecord(const std::string& logFolder, const RunRecord& record,
                                     std::uint32_t lockWaitMs = kRunHistoryLockWaitMs);

struct RunHistory {
  bool found = false;               // the file exists (and could be read)
  std::vector<RunRecord> records;   // in file order
  std::vector<std::string> notes;   // one per line skipped, and why
  // Why the file could not be read: None when it was, or is missing;
  // `error` names the file and the cause ("not a regular file: a named pipe").
  platform::FileProblem problem = platform::FileProblem::None;
  std::string error;
};

// Reads the history file at `path`. A missing file is an empty history.
RunHistory ReadRunHistory(const std::string& path);

}  // namespace orvane
