#include "engine/update_run.h"

#include <cstdio>

#include "platform/clock.h"

namespace orvane {

bool IsSelected(const UpdateItems& items, ImageType item) {
  return !items[item].m_image.Path().empty() && items[item].m_bSelected == 1;
}

void CUpdateRun::ShowResult(ImageType item, const StepOutcome& outcome, RunReport& report) {
  ItemReport& r = report.items[item];
  r.outcome = outcome ? ItemOutcome::Succeeded : ItemOutcome::Failed;
  r.resultId = outcome.resultId;
  r.elapsedSeconds = static_cast<long>(std::time(nullptr) - m_tStart);
  r.failedStep = outcome.failedStep;
  r.detail = outcome.detail;
  if (outcome) m_display.CompleteItem();
  m_display.SetStatusText(RunReport::ResultText(r), outcome ? kColourBlue : kColourRed);
  if (!outcome && !outcome.detail.empty()) {
    m_log.AddLine("%s: %s", RunStepName(outcome.failedStep), outcome.detail.c_str());
  }
  m_tStart = std::time(nullptr);
}

void CUpdateRun::Sequence(RunReport& report) {
  // Two failures end the run before any row could show them; the operator
  // learns of them through the report's warnings, and the log.
  auto warn = [&](RunStep step, const std::string& text, const std::string& detail) {
    report.warnings.push_back(text);
    report.failedRunStep = step;
    report.runDetail = detail;
    m_log.AddLine("%s", text.c_str());
  };

  m_display.SetRow(ROW_NONE);
  if (!m_link.Connect()) {
    warn(RunStep::Connect, LoadText(IDS_TCP_CONNECT_FAIL),
         "no connection to " + m_link.AddressText() + " port " + std::to_string(m_link.Profile().relayTcpPort));
    return;
  }
  for (const ImageType item : {IMAGE_BOOT, IMAGE_APP, IMAGE_RESOURCE}) {
    if (!IsSelected(m_items, item)) continue;
    platform::Sleep(kItemPauseMs);
    const StepOutcome outcome = m_router.TransferRouterImage(item);
    ShowResult(item, outcome, report);
    if (!outcome) return;
  }
  if (IsSelected(m_items, IMAGE_APP) || IsSelected(m_items, IMAGE_RESOURCE)) {
    platform::Sleep(kItemPauseMs);
    if (!m_router.EraseRouterNvram()) {
      warn(RunStep::EraseNvram, kEraseNvramFailText, "no echo after 3 attempts");
      return;
    }
  }
  if (IsSelected(m_items, IMAGE_FIRMWARE)) {
    platform::Sleep(kItemPauseMs);
    m_link.EnsureReader();
    const StepOutcome outcome = m_module.UpdateFirmware();
    ShowResult(IMAGE_FIRMWARE, outcome, report);
    if (!outcome) return;
  }
  if (IsSelected(m_items, IMAGE_DASHBOARD)) {
    platform::Sleep(kItemPauseMs);
    m_link.EnsureReader();
    ShowResult(IMAGE_DASHBOARD, m_module.UpdateDashboard(), report);
  }
}

RunReport CUpdateRun::Run() {
  m_tStart = std::time(nullptr);
  m_log.AddLine(CDownloadLog::kSeparator);
  m_log.AddLine("%s", m_link.MacText().c_str());
  m_bBusy = true;

  RunReport report;
  for (int i = 0; i < kItemCount; ++i) {
    if (IsSelected(m_items, static_cast<ImageType>(i))) report.items[i].outcome = ItemOutcome::NotStarted;
  }
  Sequence(report);

  m_bBusy = false;
  m_link.Disconnect();
  m_log.SaveToFile();
  return report;
}

}  // namespace orvane
