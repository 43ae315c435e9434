#pragma once
// What the dialog says in "Warning" boxes when a run has ended, from the
// session's run report: the rows show each item's result themselves, so a
// box is only for what no row can show (the relay connection or the NVRAM
// erase refused, an update that was not verified, a download log that
// lacks some of the run's lines). Portable, so that its
// agreement with the verdict is tested without a window.
#include <string>
#include <vector>

#include "catalogue/update_item.h"
#include "engine/run_report.h"

namespace orvane::app {

// The boxes in the order they are shown (UTF-8; "\n" breaks a line).
std::vector<std::string> RunMessages(const RunReport& report, const UpdateItems& items);

}  // namespace orvane::app
