#pragma once
// A run's line of the run history (log/run_history.h), from its report and
// the items it ran; the front ends append it after every run.
#include <string>
#include <vector>

#include "catalogue/update_item.h"
#include "engine/run_report.h"
#include "log/run_history.h"

namespace orvane {

// Who ran it, as the history names the front ends.
inline constexpr const char* kFrontEndCli = "cli";
inline constexpr const char* kFrontEndDialog = "dialog";
inline constexpr const char* kFrontEndStation = "station";

struct RunRouter {
  std::string mac;
  std::string ip;
  std::string discoveryVersion;
};

// Every item the run selected, with the versions the check found before it
// and its images' versions, and the run's verdict (report.verdict, judged
// already). `logFiles`: the day's download logs the run's lines went to,
// the first where they began. `time` is the record's local time.
RunRecord MakeRunRecord(const RunReport& report, const UpdateItems& items, const RunRouter& router,
                        const std::string& frontEnd, const std::vector<std::string>& logFiles,
                        const platform::LocalTime& time);

}  // namespace orvane
