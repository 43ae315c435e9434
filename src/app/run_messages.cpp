#include "app/run_messages.h"

namespace orvane::app {

std::vector<std::string> RunMessages(const RunReport& report, const UpdateItems& items) {
  std::vector<std::string> boxes = report.warnings;
  const Verdict& v = report.verdict;
  if (v.outcome == RunOutcome::VerificationFailed && v.item != IMAGE_NONE) {
    boxes.push_back("Update not verified:\n" + items[v.item].m_strName + ": " + v.detail);
  }
  if (!report.log.Complete()) boxes.push_back("The download log is incomplete:\n" + LogShortfallText(report.log));
  return boxes;
}

}  // namespace orvane::app
