// Update runs of the module items against the simulated module behind the
// simulated router: each failure text provoked by one module fault, the
// downloader already running, the unlock's second chance.
#include "engine/engine_fixture.h"

namespace orvane::test {
namespace {

using routersim::ModuleStart;
using routersim::TriggerKind;

std::size_t ForcedDownloads(const routersim::Received& seen) { return ControlsOfType(seen, CTRL_FORCE_DOWNLOAD); }

class ModuleRunTest : public EngineRunTest {
 protected:
  // A firmware image of two units at their own addresses.
  void AddFirmware() { AddItem(IMAGE_FIRMWARE, {{5000, 0x00100000}, {3000, 0x00300000}}); }
};

TEST_F(ModuleRunTest, FirmwareGoesThroughBackupDownloaderResetAndRestore) {
  AddFirmware();
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_DOWNLOAD_SUCCESS);
  EXPECT_TRUE(ModuleHolds(IMAGE_FIRMWARE));
  EXPECT_EQ(1u, module->Resets());
  EXPECT_TRUE(module->NvBackedUp());
  EXPECT_TRUE(module->NvRestored());
  EXPECT_EQ(routersim::ModuleMode::kNormal, module->Mode());
  // The steps as the row showed them.
  const std::vector<std::string> expected{LoadText(IDS_BACKUP_NV),        LoadText(IDS_ENTER_OFFLINE),
                                          LoadText(IDS_SWITCH_DOWNLOADER), LoadText(IDS_WAIT_MODULE_READY),
                                          LoadText(IDS_UNLOCK_MODULE),     LoadText(IDS_DOWNLOAD_FIRMWARE),
                                          LoadText(IDS_REBOOTING_DATACARD), LoadText(IDS_WAIT_MODULE_READY),
                                          LoadText(IDS_CHECK_NV_RESTORE)};
  auto shown = view.Statuses(IMAGE_FIRMWARE);
  ASSERT_FALSE(shown.empty());
  shown.pop_back();  // the result
  EXPECT_EQ(expected, shown);
  auto kinds = view.Kinds(IMAGE_FIRMWARE);
  kinds.pop_back();
  EXPECT_EQ(std::vector<StatusKind>(expected.size(), StatusKind::Progress), kinds) << "each a step under way";
  const std::string log = LogFiles();
  EXPECT_TRUE(Contains(log, "Firmware Version: " + moduleConfig.firmwareVersion));
  EXPECT_TRUE(Contains(log, "Firmware Version: " + moduleConfig.firmwareVersionAfter));
  EXPECT_TRUE(Contains(log, ": File Path: " + items[IMAGE_FIRMWARE].ImagePath() + "\n"));
  // The wake-up goes out raw before each handshake after a restart.
  std::size_t wakeUps = 0;
  for (const auto& piece : sim->Snapshot().modulePieces) {
    wakeUps += std::string(piece.begin(), piece.end()) == "AT$QCDMG\r~";
  }
  EXPECT_EQ(2u, wakeUps);
}

TEST_F(ModuleRunTest, ModuleInItsDownloaderSkipsBackupAndSwitch) {
  AddFirmware();
  moduleConfig.start = ModuleStart::kDownloader;
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_DOWNLOAD_SUCCESS);
  EXPECT_TRUE(ModuleHolds(IMAGE_FIRMWARE));
  EXPECT_FALSE(module->NvBackedUp()) << "no backup from a downloader";
  const auto seen = sim->Snapshot();
  ASSERT_EQ(1u, seen.triggers.size());
  EXPECT_EQ(TriggerKind::kModuleForce, seen.triggers[0].kind);
  EXPECT_EQ(0u, view.Count(IMAGE_FIRMWARE, LoadText(IDS_BACKUP_NV)));
  EXPECT_EQ(0u, view.Count(IMAGE_FIRMWARE, LoadText(IDS_SWITCH_DOWNLOADER)));
  EXPECT_EQ(0u, view.Count(IMAGE_FIRMWARE, LoadText(IDS_ENTER_OFFLINE))) << "it reported offline too";
  EXPECT_EQ(1u, view.Count(IMAGE_FIRMWARE, LoadText(IDS_WAIT_MODULE_READY))) << "only after the reset";
  EXPECT_TRUE(Contains(LogFiles(), ": Have Enter Downloader Mode\n"));
}

TEST_F(ModuleRunTest, UnlockSecondChanceThroughForcedDownloadOncePerProcess) {
  AddFirmware();
  moduleConfig.faults.failUnlocks = 3;  // the whole first unlock (three attempts) is refused
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_DOWNLOAD_SUCCESS);
  EXPECT_EQ(2u, view.Count(IMAGE_FIRMWARE, LoadText(IDS_UNLOCK_MODULE)));
  EXPECT_EQ(1u, view.Count(IMAGE_FIRMWARE, LoadText(IDS_ENTER_FORCED_DOWNLOAD)));
  EXPECT_EQ(1u, ForcedDownloads(sim->Snapshot()));

  // A later run of the same engine sends no second forced-download packet.
  RestartRouter();
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_DOWNLOAD_SUCCESS);
  EXPECT_EQ(4u, view.Count(IMAGE_FIRMWARE, LoadText(IDS_UNLOCK_MODULE)));
  EXPECT_EQ(1u, view.Count(IMAGE_FIRMWARE, LoadText(IDS_ENTER_FORCED_DOWNLOAD)));
  EXPECT_EQ(0u, ForcedDownloads(sim->Snapshot()));
}

TEST_F(ModuleRunTest, RefusedBlockIsSentAgain) {
  AddFirmware();
  moduleConfig.faults.nakWrite = 2;
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_DOWNLOAD_SUCCESS);
  EXPECT_TRUE(ModuleHolds(IMAGE_FIRMWARE));
  EXPECT_EQ(1u, Occurrences(LogFiles(), ": DIAG_Write#1> (03 00 05)\n"));
}

// One fault each, and the row's failure text.
TEST_F(ModuleRunTest, SilentModuleIsAHandshakeFailure) {
  AddFirmware();
  moduleConfig.start = ModuleStart::kAbsent;
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_HANDSHAKE_FAIL);
  ExpectFailedStep(IMAGE_FIRMWARE, RunStep::Handshake, "no reply after 3 attempts");
  EXPECT_TRUE(sim->Snapshot().triggers.empty());
  ExpectEndStep();
}

TEST_F(ModuleRunTest, BackupRefusedIsABackupFailure) {
  AddFirmware();
  AddItem(IMAGE_DASHBOARD, {{1000, 0x2000}});
  moduleConfig.faults.nvBackupReason = 3;
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_BACKUP_NV_FAIL);
  EXPECT_FALSE(view.RowTouched(IMAGE_DASHBOARD)) << "the dashboard is not started after a failed firmware";
  EXPECT_EQ(ItemOutcome::NotStarted, report.items[IMAGE_DASHBOARD].outcome);
  ExpectFailedStep(IMAGE_FIRMWARE, RunStep::BackupNv, "status 3");
  EXPECT_TRUE(sim->Snapshot().triggers.empty());
}

TEST_F(ModuleRunTest, RefusedSwitchIsASwitchFailure) {
  AddFirmware();
  moduleConfig.faults.errorByteTo = 0x3A;
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_SWITCH_DOWNLOADER_FAIL);
  ExpectFailedStep(IMAGE_FIRMWARE, RunStep::EnterDownloader, "no reply after 3 attempts");
  ASSERT_EQ(1u, sim->Snapshot().triggers.size());
  EXPECT_EQ(TriggerKind::kModuleBegin, sim->Snapshot().triggers[0].kind);
}

TEST_F(ModuleRunTest, ModuleTriggerNotSentFailsTheItem) {
  AddFirmware();
  StartRouter();
  view.OnStatus([&](int row, const std::string& text) {
    if (row == IMAGE_FIRMWARE && text == LoadText(IDS_ENTER_OFFLINE)) sim->DropRelay();
  });
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_TCP_DOWNLOAD_CMD_FAIL);
  // The trigger's own words, then the relay port's error.
  ExpectFailedStep(IMAGE_FIRMWARE, RunStep::EnterDownloader,
                   TriggerOutcome::NotSent(CRouterSteps::kTriggerAttempts, {}).Detail() + ": ");
  EXPECT_TRUE(sim->Snapshot().triggers.empty());
  ExpectEndStep();
}

TEST_F(ModuleRunTest, ModuleNotBackFromItsRestartIsARebootTimeout) {
  ASSERT_TRUE(platform::SetTimeScale(0.01));  // a 60 s wait
  AddFirmware();
  moduleConfig.restartMs = 200000;
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_MODULE_REBOOT_TIMEOUT);
  ExpectFailedStep(IMAGE_FIRMWARE, RunStep::EnterDownloader, "first check");
  EXPECT_TRUE(Contains(LogFiles(), ": Waiting: First Check Fail\n"));
  // The module still restarts: the same wait, asked again, ends as the
  // run's did, and its words are the report's.
  const ControlOutcome probe = RouterSteps().WaitRouterAlive(CModuleSteps::kRestartProbeLimitMs);
  EXPECT_EQ(ControlResult::NoEcho, probe.result);
  EXPECT_EQ(CModuleSteps::kRestartProbeLimitMs, probe.limitMs);
  EXPECT_EQ(0u, report.items[IMAGE_FIRMWARE].detail.rfind(probe.Detail(), 0)) << report.items[IMAGE_FIRMWARE].detail;
}

// The router steps' outcomes inside the module's steps: each failure's
// detail is the outcome's, asked of the same step under the same fault.
TEST_F(ModuleRunTest, ARestartWaitWhoseProbesCannotBeSentIsARebootTimeoutWithTheSocketsError) {
  ASSERT_TRUE(platform::SetTimeScale(0.01));  // two 60 s waits
  AddFirmware();
  StartRouter([](NetworkProfile& profile) { profile.controlUdpPort = 0; });
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_MODULE_REBOOT_TIMEOUT);
  const ControlOutcome probe = RouterSteps().WaitRouterAlive(CModuleSteps::kRestartProbeLimitMs);
  EXPECT_EQ(ControlResult::NotSent, probe.result);
  EXPECT_FALSE(probe.error.empty());
  const std::string& detail = report.items[IMAGE_FIRMWARE].detail;
  EXPECT_EQ(0u, detail.rfind(probe.Detail(), 0)) << detail;
  ExpectFailedStep(IMAGE_FIRMWARE, RunStep::EnterDownloader, "first check");
  EXPECT_TRUE(sim->Snapshot().controls.empty());
}

TEST_F(ModuleRunTest, ForcedDownloadUnansweredAfterARefusedUnlockIsAnUnlockFailure) {
  AddFirmware();
  moduleConfig.faults.failUnlocks = 3;  // the whole first unlock
  StartRouter();
  // The router goes silent once the module is in its downloader.
  view.OnStatus([&](int row, const std::string& text) {
    if (row == IMAGE_FIRMWARE && text == LoadText(IDS_UNLOCK_MODULE)) {
      sim->SetControlSilent(true);
    }
  });
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_UNLOCK_FAIL);
  EXPECT_EQ(1u, view.Count(IMAGE_FIRMWARE, LoadText(IDS_UNLOCK_MODULE))) << "no second unlock";
  const std::size_t attempts = static_cast<std::size_t>(CRouterSteps::kForceAttempts);
  EXPECT_EQ(attempts, ForcedDownloads(sim->Snapshot()));

  const ControlOutcome forced = RouterSteps().EnterForcedDownload();
  EXPECT_EQ(ControlResult::NoEcho, forced.result);
  EXPECT_EQ(CRouterSteps::kForceAttempts, forced.attempts);
  EXPECT_EQ(2 * attempts, ForcedDownloads(sim->Snapshot()));
  ExpectFailedStep(IMAGE_FIRMWARE, RunStep::Unlock, forced.Detail());
  EXPECT_EQ(0u, module->WritesAccepted());
}

TEST_F(ModuleRunTest, ForcedDownloadThatCannotBeSentIsAnUnlockFailureWithTheReason) {
  AddFirmware();
  moduleConfig.faults.failUnlocks = 3;
  StartRouter([](NetworkProfile& profile) { profile.broadcastAddress = "every-router.lan"; });
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_UNLOCK_FAIL);
  const ControlOutcome forced = RouterSteps().EnterForcedDownload();
  EXPECT_EQ(ControlResult::NotSent, forced.result);
  EXPECT_EQ(CRouterSteps::kForceAttempts, forced.attempts);
  EXPECT_FALSE(forced.error.empty());
  ExpectFailedStep(IMAGE_FIRMWARE, RunStep::Unlock, forced.Detail());
  EXPECT_EQ(0u, ForcedDownloads(sim->Snapshot()));
}

TEST_F(ModuleRunTest, WrongUnlockCodeIsAnUnlockFailure) {
  AddFirmware();
  moduleConfig.unlockCode = {9, 9, 9, 9, 9, 9, 9, 9};
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_UNLOCK_FAIL);
  EXPECT_EQ(2u, view.Count(IMAGE_FIRMWARE, LoadText(IDS_UNLOCK_MODULE)));
  EXPECT_EQ(1u, ForcedDownloads(sim->Snapshot()));
  EXPECT_EQ(0u, module->WritesAccepted());
}

TEST_F(ModuleRunTest, UnansweredBlockIsAMidwayFailure) {
  AddFirmware();
  moduleConfig.faults.errorByteTo = 0x0F;  // every write gets an error echo, which is no acknowledgement
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_MIDWAY_DOWNLOAD_FAIL);
  ExpectFailedStep(IMAGE_FIRMWARE, RunStep::Write, "unit 1 block 1: no reply after 3 attempts");
  const std::string log = LogFiles();
  for (const char* line : {": DIAG_Write#1> Read Fail\n", ": DIAG_Write#2> Read Fail\n", ": DIAG_Write#3> Read Fail\n",
                           ": Unit1 Block1: Download Fail\n"}) {
    EXPECT_TRUE(Contains(log, line)) << line;
  }
  EXPECT_EQ(0u, module->Resets()) << "no reset after a broken download";
}

TEST_F(ModuleRunTest, RefusedResetIsARebootFailure) {
  AddFirmware();
  moduleConfig.faults.errorByteTo = 0x0A;
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_REBOOT_MODULE_FAIL);
  EXPECT_TRUE(ModuleHolds(IMAGE_FIRMWARE));
}

TEST_F(ModuleRunTest, NvNeitherRestoredNorRestorableIsARestoreFailure) {
  AddFirmware();
  moduleConfig.faults.restoreStatusFail = true;
  moduleConfig.faults.restoreFail = true;
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_QUERY_NV_RESTORE_FAIL);
  const std::string log = LogFiles();
  EXPECT_EQ(2u, Occurrences(log, ":   Try1: Reading restored status ...\n"));
  EXPECT_EQ(2u, Occurrences(log, ":   Try2: Reading restored status ...\n"));
}

TEST_F(ModuleRunTest, ModuleBackInItsDownloaderIsAVersionFailure) {
  AddItem(IMAGE_DASHBOARD, {{3000, 0x4000}});
  moduleConfig.faults.stayInDownloader = true;
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_DASHBOARD, IDS_READ_VERSION_FAIL);
  ExpectFailedStep(IMAGE_DASHBOARD, RunStep::ReadVersion, "downloader");
  EXPECT_TRUE(ModuleHolds(IMAGE_DASHBOARD)) << "every block was acknowledged";
  EXPECT_EQ(1u, module->Resets());
}

// The operator's stop during the download: a plain request lets the
// download and the reset finish; a request to stop at once leaves the module
// in its downloader, and the next run brings it back.
TEST_F(ModuleRunTest, AStopDuringTheDownloadWaitsForTheResetAndLaterItemsDoNotStart) {
  AddFirmware();
  AddItem(IMAGE_DASHBOARD, {{2000, 0x00500000}});
  StartRouter();
  view.OnStatus([&](int row, const std::string& text) {
    if (row == IMAGE_FIRMWARE && text == LoadText(IDS_DOWNLOAD_FIRMWARE)) {
      engine->Stop().Request();
    }
  });
  RunUpdate();
  EXPECT_TRUE(ModuleHolds(IMAGE_FIRMWARE)) << "the download went on to its end";
  EXPECT_EQ(1u, module->Resets());
  EXPECT_TRUE(report.interrupted);
  EXPECT_EQ(ItemOutcome::Interrupted, report.items[IMAGE_FIRMWARE].outcome);
  EXPECT_EQ(RunStep::WaitModule, report.items[IMAGE_FIRMWARE].failedStep);
  EXPECT_EQ(ModuleCondition::Restarting, report.moduleLeft);
  EXPECT_EQ(ItemOutcome::NotStarted, report.items[IMAGE_DASHBOARD].outcome);
  EXPECT_FALSE(view.RowTouched(IMAGE_DASHBOARD));
  EXPECT_TRUE(Contains(LogFiles(), ": Interrupted by the operator at wait for module: while the module restarted\n"));
  ExpectEndStep();
}

TEST_F(ModuleRunTest, AStopAtOnceLeavesTheModuleInItsDownloaderAndTheNextRunRecoversIt) {
  AddFirmware();
  StartRouter();
  view.OnStatus([&](int row, const std::string& text) {
    if (row == IMAGE_FIRMWARE && text == LoadText(IDS_DOWNLOAD_FIRMWARE)) {
      engine->Stop().RequestNow();
    }
  });
  RunUpdate();
  EXPECT_EQ(ItemOutcome::Interrupted, report.items[IMAGE_FIRMWARE].outcome);
  EXPECT_EQ(RunStep::Write, report.items[IMAGE_FIRMWARE].failedStep);
  EXPECT_EQ(ModuleCondition::Downloader, report.moduleLeft);
  EXPECT_EQ(0u, module->Resets());
  EXPECT_EQ(routersim::ModuleMode::kDownloader, module->Mode());

  view.OnStatus(nullptr);
  engine->Stop().Reset();
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_DOWNLOAD_SUCCESS);
  EXPECT_TRUE(ModuleHolds(IMAGE_FIRMWARE));
  EXPECT_EQ(ModuleCondition::Normal, report.moduleLeft);
}

}  // namespace
}  // namespace orvane::test
