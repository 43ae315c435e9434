#include "engine/update_run.h"

#include <cstdio>

namespace orvane {

bool IsSelected(const UpdateItems& items, ImageType item) {
  return items[item].HasImage() && items[item].m_bSelected == 1;
}

void CUpdateRun::ShowResult(ImageType item, const StepOutcome& outcome, RunReport& report) {
  ItemReport& r = report.items[item];
  r.outcome = outcome ? ItemOutcome::Succeeded : ItemOutcome::Failed;
  r.resultId = outcome.resultId;
  r.elapsedSeconds = static_cast<long>(std::time(nullptr) - m_tStart);
  r.failedStep = outcome.failedStep;
  r.detail = outcome.detail;
  if (outcome) m_display.CompleteItem();
  m_display.SetStatusText(RunReport::ResultText(r), outcome ? StatusKind::Succeeded : StatusKind::Failed);
  if (!outcome && !outcome.detail.empty()) {
    m_log.AddLine("%s: %s", RunStepName(outcome.failedStep), outcome.detail.c_str());
  }
  m_tStart = std::time(nullptr);
}

bool CUpdateRun::EndItem(ImageType item, const StepOutcome& outcome, RunReport& report) {
  if (!outcome.interrupted) {
    ShowResult(item, outcome, report);
    return outcome.ok();
  }
  ItemReport& r = report.items[item];
  r.outcome = ItemOutcome::Interrupted;
  r.elapsedSeconds = static_cast<long>(std::time(nullptr) - m_tStart);
  r.failedStep = outcome.failedStep;
  r.detail = outcome.detail;
  report.interrupted = true;
  m_log.AddLine("Interrupted by the operator at %s: %s", RunStepName(outcome.failedStep), outcome.detail.c_str());
  return false;
}

void CUpdateRun::Publish(const RunReport& report, int current) {
  std::lock_guard<std::mutex> guard(m_snapshotLock);
  m_snapshot = report;
  m_nCurrent = current;
}

RunReport CUpdateRun::Snapshot() const {
  std::lock_guard<std::mutex> guard(m_snapshotLock);
  RunReport report = m_snapshot;
  if (m_nCurrent >= 0 && report.items[m_nCurrent].outcome == ItemOutcome::NotStarted) {
    report.items[m_nCurrent].outcome = ItemOutcome::Interrupted;
    report.items[m_nCurrent].detail = "stopped at once while it ran";
  }
  report.interrupted = true;
  report.moduleLeft = m_module.Condition();
  return report;
}

bool CUpdateRun::StopsBefore(std::uint32_t pauseMs, RunReport& report) {
  if (m_stop.Pause(pauseMs)) return false;
  report.interrupted = true;
  m_log.AddLine("Interrupted by the operator before the next step");
  return true;
}

void CUpdateRun::Sequence(RunReport& report) {
  // Two failures end the run before any row could show them; the operator
  // learns of them through the report's warnings, and the log.
  auto warn = [&](RunStep step, const std::string& text, const std::string& detail) {
    report.warnings.push_back(text);
    report.failedRunStep = step;
    report.runDetail = detail;
    m_log.AddLine("%s", text.c_str());
    Publish(report, -1);
  };

  m_display.SetRow(ROW_NONE);
  if (!m_link.Connect()) {
    warn(RunStep::Connect, LoadText(IDS_TCP_CONNECT_FAIL),
         "no connection to " + m_link.AddressText() + " port " + std::to_string(m_link.Profile().relayTcpPort));
    return;
  }
  // Runs one item's step; false when the run ends with it.
  const auto item = [&](ImageType type, auto step) {
    Publish(report, type);
    const bool goOn = EndItem(type, step(), report);
    Publish(report, -1);
    return goOn;
  };
  for (const ImageType type : {IMAGE_BOOT, IMAGE_APP, IMAGE_RESOURCE}) {
    if (!IsSelected(m_items, type)) continue;
    if (StopsBefore(kItemPauseMs, report)) return;
    if (!item(type, [&] { return m_router.TransferRouterImage(type); })) return;
  }
  if (IsSelected(m_items, IMAGE_APP) || IsSelected(m_items, IMAGE_RESOURCE)) {
    if (StopsBefore(kItemPauseMs, report)) return;
    if (const ControlOutcome erase = m_router.EraseRouterNvram(); !erase) {
      warn(RunStep::EraseNvram, kEraseNvramFailText, erase.Detail());
      m_log.AddLine("%s: %s", RunStepName(RunStep::EraseNvram), erase.Detail().c_str());
      return;
    }
  }
  if (IsSelected(m_items, IMAGE_FIRMWARE)) {
    if (StopsBefore(kItemPauseMs, report)) return;
    m_link.EnsureReader();
    if (!item(IMAGE_FIRMWARE, [&] { return m_module.UpdateFirmware(); })) return;
  }
  if (IsSelected(m_items, IMAGE_DASHBOARD)) {
    if (StopsBefore(kItemPauseMs, report)) return;
    m_link.EnsureReader();
    item(IMAGE_DASHBOARD, [&] { return m_module.UpdateDashboard(); });
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
  m_module.ResetCondition();
  m_router.ResetAccepted();
  Publish(report, -1);
  Sequence(report);
  report.moduleLeft = m_module.Condition();

  m_bBusy = false;
  m_link.Disconnect();
  m_log.SaveToFile();  // every line is in the file already; this ends the block
  return report;
}

}  // namespace orvane
