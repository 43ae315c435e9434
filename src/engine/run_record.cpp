#include "engine/run_record.h"

namespace orvane {

RunRecord MakeRunRecord(const RunReport& report, const UpdateItems& items, const RunRouter& router,
                        const std::string& frontEnd, const std::vector<std::string>& logFiles,
                        const platform::LocalTime& time) {
  RunRecord record;
  record.time = RunRecordTime(time);
  record.frontEnd = frontEnd;
  record.mac = router.mac;
  record.ip = router.ip;
  record.discoveryVersion = router.discoveryVersion;
  record.logFile = logFiles.empty() ? std::string() : logFiles.front();
  record.logFiles = logFiles;
  const Verdict& verdict = report.verdict;
  record.outcome = RunOutcomeName(verdict.outcome);
  record.failedItem = verdict.item == IMAGE_NONE ? "" : items[verdict.item].m_strName;
  record.failedStep = RunStepName(verdict.step);
  record.detail = verdict.detail;
  for (int i = 0; i < kItemCount; ++i) {
    const ItemReport& item = report.items[i];
    if (item.outcome == ItemOutcome::NotSelected) continue;
    const bool ended = item.outcome == ItemOutcome::Succeeded || item.outcome == ItemOutcome::Failed;
    RunRecordItem entry;
    entry.name = items[i].m_strName;
    entry.original = items[i].m_strOriginalVersion;
    entry.update = items[i].GetUpdateVersion();
    entry.outcome = ItemOutcomeName(item.outcome);
    entry.result = ended ? RunReport::ResultText(item) : "";
    entry.elapsedSeconds = ended ? item.elapsedSeconds : 0;
    entry.verification = VerifyOutcomeName(item.verification.outcome);
    entry.verificationDetail = item.verification.Detail();
    record.items.push_back(std::move(entry));
  }
  return record;
}

}  // namespace orvane
