// A line of the run history as `orvane history` reads it: any bytes. What
// the reader takes for a record must come out of the writer as a line the
// reader takes for the same record again; nothing is read outside the line.
// A record shows an outcome whether or not its line recorded one.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "log/run_history.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);  // exact size: ASan sees any overread
  const std::optional<orvane::RunRecord> record = orvane::ParseRunRecordLine(line);
  if (!record) return 0;
  if (record->items.size() > orvane::kMaxRunRecordItems) std::abort();
  const std::string again = orvane::BuildRunRecordLine(*record);
  if (again.find('\n') != std::string::npos) std::abort();
  const std::optional<orvane::RunRecord> back = orvane::ParseRunRecordLine(again);
  if (!back || !(*back == *record)) std::abort();
  const std::string shown = orvane::RunOutcomeShown(*record);
  if (shown.empty() || (record->OutcomeRecorded() && shown != record->outcome)) std::abort();
  return 0;
}
