#include "engine/module_steps.h"

#include <algorithm>

#include "diag/diag_commands.h"
#include "diag/framing.h"

namespace orvane {
namespace {

constexpr std::uint32_t kRestartSettlePauseMs = 6000;
constexpr int kReadyHandShakes = 3;
constexpr std::uint32_t kModeChangePauseMs = 100;
constexpr std::uint32_t kWakeSendTimeoutMs = 1000;
// Puts a module whose serial side runs AT commands back into DIAG mode;
// ends with a flag so that the next frame starts clean.
constexpr std::uint8_t kWakeUp[] = {'A', 'T', '$', 'Q', 'C', 'D', 'M', 'G', '\r', FRAME_FLAG};
constexpr int kNvRestoreRounds = 2;
constexpr int kNvStatusQueriesPerRound = 2;

// The "%" cell's marks while the module restarts.
constexpr int kReadyFirstProbeDone = 30;
constexpr int kReadySettled = 50;
constexpr int kReadySecondProbeDone = 70;

}  // namespace

StepOutcome CModuleSteps::StopPoint(RunStep step, const char* where) const {
  if (!m_stop.ShouldStop()) return StepOutcome::Success();
  return StepOutcome::Interrupted(step, where);
}

StepOutcome CModuleSteps::UpdateFirmware() {
  m_display.SetRow(IMAGE_FIRMWARE);
  m_display.SetProgress(0);
  m_display.EnterStep(RunStep::Handshake);
  // The router may still be busy after its own update; whatever the wait
  // came to, the handshake tells whether the module can be reached.
  m_router.WaitRouterAlive(kRouterProbeLimitMs);
  if (StepOutcome o = StopPoint(RunStep::Handshake, "before the handshake"); !o) return o;
  const DiagResult handshake = m_link.HandShake(true);
  if (!handshake) return StepOutcome::Failure(IDS_HANDSHAKE_FAIL, RunStep::Handshake, DescribeDiagResult(handshake));
  CDiagCaller& diag = m_link.Diag();
  if (!m_link.ModuleState().inDownloader) {
    m_display.EnterStep(RunStep::BackupNv);
    if (StepOutcome o = StopPoint(RunStep::BackupNv, "before the NV backup"); !o) return o;
    diag.DIAG_QueryBoardVersion(nullptr);  // logs the version being replaced
    m_display.ShowStatus(IDS_BACKUP_NV);
    const DiagResult backup = diag.DIAG_NV_BackupRestore(true);
    if (!backup) return StepOutcome::Failure(IDS_BACKUP_NV_FAIL, RunStep::BackupNv, DescribeDiagResult(backup));
  } else {
    // A download broken off earlier: the NV settings can't be read now.
    m_condition = ModuleCondition::Downloader;
    m_log.AddLine("Have Enter Downloader Mode");
  }
  if (StepOutcome o = DownloadAndRestart(IMAGE_FIRMWARE); !o) return o;
  m_display.EnterStep(RunStep::NvRestore);
  if (StepOutcome o = StopPoint(RunStep::NvRestore, "before the NV restore was checked"); !o) return o;
  if (StepOutcome o = CheckNvRestore(); !o) return o;
  m_display.EnterStep(RunStep::ReadVersion);
  if (StepOutcome o = StopPoint(RunStep::ReadVersion, "before the new version was read"); !o) return o;
  const DiagResult version = diag.DIAG_QueryBoardVersion(nullptr);  // logs the new version
  if (version) return StepOutcome::Success();
  return StepOutcome::Failure(IDS_READ_VERSION_FAIL, RunStep::ReadVersion, DescribeDiagResult(version));
}

StepOutcome CModuleSteps::UpdateDashboard() {
  m_display.SetRow(IMAGE_DASHBOARD);  // the "%" cell is not reset here
  m_display.EnterStep(RunStep::Handshake);
  m_router.WaitRouterAlive(kRouterProbeLimitMs);
  if (StepOutcome o = StopPoint(RunStep::Handshake, "before the handshake"); !o) return o;
  const DiagResult handshake = m_link.HandShake(true);
  if (!handshake) return StepOutcome::Failure(IDS_HANDSHAKE_FAIL, RunStep::Handshake, DescribeDiagResult(handshake));
  if (m_link.ModuleState().inDownloader) m_condition = ModuleCondition::Downloader;
  if (StepOutcome o = DownloadAndRestart(IMAGE_DASHBOARD); !o) return o;
  m_display.EnterStep(RunStep::ReadVersion);
  if (StepOutcome o = StopPoint(RunStep::ReadVersion, "before the new version was read"); !o) return o;
  const DiagResult version = m_link.Diag().DIAG_QueryISOVersion(nullptr);
  if (version) return StepOutcome::Success();
  return StepOutcome::Failure(IDS_READ_VERSION_FAIL, RunStep::ReadVersion, DescribeDiagResult(version));
}

StepOutcome CModuleSteps::DownloadAndRestart(ImageType item) {
  m_display.EnterStep(RunStep::EnterDownloader);
  if (StepOutcome o = StopPoint(RunStep::EnterDownloader, "before the module was sent to its downloader"); !o) {
    return o;
  }
  // From here until the reset went through, only a stop at once ends the
  // item: the module would be left in its downloader.
  CRunStop::Protection protection(m_stop);
  if (StepOutcome o = EnterDownloadMode(); !o) return o;
  if (StepOutcome o = DownloadImage(*m_items[item].m_pImage); !o) return o;
  m_display.EnterStep(RunStep::Reset);
  if (StepOutcome o = RebootModule(); !o) return o;
  protection.End();
  m_condition = ModuleCondition::Restarting;
  m_display.EnterStep(RunStep::WaitModule);
  if (StepOutcome o = WaitModuleReady(); !o) return o;
  if (m_link.ModuleState().inDownloader) {  // the new image did not start
    m_condition = ModuleCondition::Downloader;
    return StepOutcome::Failure(IDS_READ_VERSION_FAIL, RunStep::ReadVersion,
                                "the module came back in its downloader");
  }
  m_condition = ModuleCondition::Normal;
  return StepOutcome::Success();
}

StepOutcome CModuleSteps::EnterDownloadMode() {
  CDiagCaller& diag = m_link.Diag();
  const bool inDownloader = m_link.ModuleState().inDownloader;
  if (!m_link.ModuleState().offline) {
    m_display.ShowStatus(IDS_ENTER_OFFLINE);
    // A module that refuses to go offline may still switch; not an error.
    if (diag.DIAG_ChangeMode(MODE_OFFLINE_DIGITAL)) {
      if (!inDownloader) m_condition = ModuleCondition::Offline;
      m_stop.Pause(kModeChangePauseMs);
    }
  }
  if (StepOutcome o = StopPoint(RunStep::EnterDownloader, "before the download trigger"); !o) return o;
  if (const TriggerOutcome trigger = m_router.SendTrigger(inDownloader ? TRIGGER_FWT_FORCE : TRIGGER_FWT_BEGIN, 0);
      !trigger) {
    return StepOutcome::Failure(IDS_TCP_DOWNLOAD_CMD_FAIL, RunStep::EnterDownloader,
                                "download trigger " + trigger.Detail());
  }
  m_condition = ModuleCondition::Downloader;
  if (StepOutcome o = StopPoint(RunStep::EnterDownloader, "after the download trigger"); !o) return o;
  if (inDownloader) return StepOutcome::Success();
  m_display.ShowStatus(IDS_SWITCH_DOWNLOADER);
  const DiagResult sw = diag.DIAG_SwitchToDownloader();
  if (!sw) return StepOutcome::Failure(IDS_SWITCH_DOWNLOADER_FAIL, RunStep::EnterDownloader, DescribeDiagResult(sw));
  // The module restarts into its downloader.
  StepOutcome ready = WaitModuleReady();
  if (!ready) ready.failedStep = RunStep::EnterDownloader;
  return ready;
}

StepOutcome CModuleSteps::DownloadImage(const CFirmwareImage& image) {
  if (image.View() == nullptr || image.Units().empty() || image.Extents().size() != image.Units().size()) {
    m_log.AddLine("Module image not loaded: %s", image.Path().c_str());
    return StepOutcome::Failure(IDS_MIDWAY_DOWNLOAD_FAIL, RunStep::Write, "image not loaded");
  }
  m_display.EnterStep(RunStep::Unlock);
  if (StepOutcome o = UnlockModule(image.Units().front().UnlockCode()); !o) return o;
  m_display.EnterStep(RunStep::Write);
  m_display.ShowStatus(image.Type() == IMAGE_FIRMWARE ? IDS_DOWNLOAD_FIRMWARE : IDS_DOWNLOAD_DASHBOARD);
  m_log.AddLine("File Path: %s", image.Path().c_str());

  std::uint64_t total = 0;
  for (const UnitHeader& unit : image.Units()) total += unit.DataLength();
  std::uint64_t written = 0;
  CDiagCaller& diag = m_link.Diag();
  for (std::size_t u = 0; u < image.Units().size(); ++u) {
    std::uint32_t address = image.Units()[u].TargetAddress();
    const UnitExtent extent = image.Extents()[u];
    const std::uint8_t* data = image.View() + extent.offset;
    std::size_t remaining = extent.length;
    for (int block = 1; remaining > 0; ++block) {
      if (m_stop.ShouldStop()) {
        return StepOutcome::Interrupted(RunStep::Write, "before unit " + std::to_string(u + 1) + " block " +
                                                            std::to_string(block) + " of the download");
      }
      const std::size_t n = std::min(remaining, DOWNLOAD_BLOCK_SIZE);
      const DiagResult write = diag.DIAG_Write(address, data, n);
      if (!write) {
        m_log.AddLine("Unit%d Block%d: Download Fail", static_cast<int>(u + 1), block);
        return StepOutcome::Failure(
            IDS_MIDWAY_DOWNLOAD_FAIL, RunStep::Write,
            "unit " + std::to_string(u + 1) + " block " + std::to_string(block) + ": " + DescribeDiagResult(write));
      }
      written += n;
      address += static_cast<std::uint32_t>(n);
      data += n;
      remaining -= n;
      m_display.SetProgress(static_cast<int>(written * 100 / total));
    }
  }
  return StepOutcome::Success();
}

StepOutcome CModuleSteps::UnlockModule(const std::uint8_t code[8]) {
  CDiagCaller& diag = m_link.Diag();
  m_display.ShowStatus(IDS_UNLOCK_MODULE);
  if (diag.DIAG_Unlock(code)) return StepOutcome::Success();
  // Second chance: the router puts its module into forced download mode.
  if (const ControlOutcome forced = m_router.EnterForcedDownload(); !forced) {
    return StepOutcome::Failure(IDS_UNLOCK_FAIL, RunStep::Unlock,
                                "unlock refused; forced download mode: " + forced.Detail());
  }
  m_router.WaitRouterAlive(kRouterProbeLimitMs);  // the stop point and the second unlock tell
  if (StepOutcome o = StopPoint(RunStep::Unlock, "before the second unlock"); !o) return o;
  m_display.ShowStatus(IDS_UNLOCK_MODULE);
  const DiagResult second = diag.DIAG_Unlock(code);
  if (second) return StepOutcome::Success();
  return StepOutcome::Failure(IDS_UNLOCK_FAIL, RunStep::Unlock,
                              "after forced download mode: " + DescribeDiagResult(second));
}

StepOutcome CModuleSteps::CheckNvRestore() {
  CDiagCaller& diag = m_link.Diag();
  m_display.ShowStatus(IDS_CHECK_NV_RESTORE);
  DiagResult last;
  for (int round = 0; round < kNvRestoreRounds; ++round) {
    for (int attempt = 1; attempt <= kNvStatusQueriesPerRound; ++attempt) {
      m_log.AddLine("  Try%d: Reading restored status ...", attempt);
      last = diag.DIAG_NV_QueryRestoreStatus();
      if (last) return StepOutcome::Success();
    }
    last = diag.DIAG_NV_BackupRestore(false);
    if (last) return StepOutcome::Success();
  }
  return StepOutcome::Failure(IDS_QUERY_NV_RESTORE_FAIL, RunStep::NvRestore,
                              "restore: " + DescribeDiagResult(last));
}

StepOutcome CModuleSteps::RebootModule() {
  m_display.ShowStatus(IDS_REBOOTING_DATACARD);
  const DiagResult reset = m_link.Diag().DIAG_Reset();
  if (reset) return StepOutcome::Success();
  return StepOutcome::Failure(IDS_REBOOT_MODULE_FAIL, RunStep::Reset, DescribeDiagResult(reset));
}

StepOutcome CModuleSteps::WaitModuleReady() {
  m_display.ShowStatus(IDS_WAIT_MODULE_READY);
  m_display.SetProgress(0);
  const auto stopped = [] {
    return StepOutcome::Interrupted(RunStep::WaitModule, "while the module restarted");
  };
  // While the module restarts the router does not answer its probe. A stop
  // that came during the wait's last probe counts as much as one the wait
  // gave way to.
  if (const ControlOutcome first = m_router.WaitRouterAlive(kRestartProbeLimitMs); !first) {
    if (first.result == ControlResult::Stopped || m_stop.ShouldStop()) return stopped();
    m_log.AddLine("Waiting: First Check Fail");
    return StepOutcome::Failure(IDS_MODULE_REBOOT_TIMEOUT, RunStep::WaitModule, first.Detail() + " (first check)");
  }
  m_display.SetProgress(kReadyFirstProbeDone);
  if (!m_stop.Pause(kRestartSettlePauseMs)) return stopped();
  m_display.SetProgress(kReadySettled);
  if (const ControlOutcome second = m_router.WaitRouterAlive(kRestartProbeLimitMs); !second) {
    if (second.result == ControlResult::Stopped || m_stop.ShouldStop()) return stopped();
    m_log.AddLine("Waiting: Second Check Fail");
    return StepOutcome::Failure(IDS_MODULE_REBOOT_TIMEOUT, RunStep::WaitModule,
                                second.Detail() + " (second check)");
  }
  m_display.SetProgress(kReadySecondProbeDone);
  m_link.Channel().Send(true, kWakeUp, sizeof kWakeUp, false, kWakeSendTimeoutMs);
  // The caller reads what came back from the module state (both flags set
  // when no handshake succeeded).
  for (int i = 0; i < kReadyHandShakes; ++i) {
    if (m_link.HandShake(false)) break;
  }
  m_display.SetProgress(100);
  return StepOutcome::Success();
}

}  // namespace orvane
