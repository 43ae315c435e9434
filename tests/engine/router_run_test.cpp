// Update runs against the simulated router: the run's order and conditions,
// the router items and their failures, the end step.
#include <cstdlib>

#include "engine/engine_fixture.h"

namespace orvane::test {
namespace {

using routersim::TriggerKind;

// The number after `prefix` in the log, or -1.
long NumberAfter(const std::string& text, const std::string& prefix) {
  const std::size_t at = text.find(prefix);
  return at == std::string::npos ? -1 : std::strtol(text.c_str() + at + prefix.size(), nullptr, 10);
}

std::vector<int> Percentages(const std::vector<std::string>& texts) {
  std::vector<int> values;
  for (const std::string& t : texts) values.push_back(std::atoi(t.c_str()));
  return values;
}

TEST_F(EngineRunTest, AllFiveItemsArriveWholeAndEndInDownloadSuccess) {
  // Block edges: one router image fills one 7300-byte write, the next needs
  // a second write of one byte; a module unit of exactly 4096 bytes, one of
  // 4097, and two units of 6000 and 2000 bytes at their own addresses.
  AddItem(IMAGE_BOOT, {{7300}}, 1);
  AddItem(IMAGE_APP, {{7301}}, 2);
  AddItem(IMAGE_RESOURCE, {{30000}}, 3);
  AddItem(IMAGE_FIRMWARE, {{4096, 0x00200000}, {4097, 0x00400000}}, 4);
  AddItem(IMAGE_DASHBOARD, {{6000, 0x10000000}, {2000, 0x20000000}}, 5);
  StartRouter();
  const std::size_t threads = ThreadCount();
  RunUpdate();

  for (int row = 0; row < kItemCount; ++row) {
    ExpectResult(row, IDS_DOWNLOAD_SUCCESS);
    EXPECT_EQ("100%", view.LastProgress(row)) << "row " << row;
    // The "%" cell starts again with each step that measures itself; the
    // item's whole progress only moves forward and ends full.
    const std::vector<int> whole = view.ItemProgress(row);
    EXPECT_TRUE(std::is_sorted(whole.begin(), whole.end())) << "row " << row;
    EXPECT_EQ(100, whole.empty() ? -1 : whole.back()) << "row " << row;
  }
  const routersim::Received seen = sim->Snapshot();
  ASSERT_EQ(3u, seen.images.size());
  for (const ImageType type : {IMAGE_BOOT, IMAGE_APP, IMAGE_RESOURCE}) {
    const auto& image = seen.images[static_cast<std::size_t>(type)];
    EXPECT_EQ(UnitBytes(type), image.data) << ImageTypeName(type) << " received byte for byte";
    EXPECT_EQ(UnitBytes(type).size(), image.announcedLength);
    EXPECT_TRUE(image.complete);
  }
  // 7300 bytes: one block straight to 100%; 7301: 99% after the first.
  EXPECT_EQ((std::vector<std::string>{"0%", "100%", "0%", "100%"}), view.ProgressTexts(IMAGE_BOOT));
  EXPECT_EQ((std::vector<std::string>{"0%", "99%", "100%", "0%", "100%"}), view.ProgressTexts(IMAGE_APP));

  EXPECT_TRUE(ModuleHolds(IMAGE_FIRMWARE));
  EXPECT_TRUE(ModuleHolds(IMAGE_DASHBOARD));
  EXPECT_EQ(6u, module->WritesAccepted()) << "1 + 2 writes for the firmware, 2 + 1 for the dashboard";
  EXPECT_EQ(moduleConfig.firmwareVersionAfter, module->FirmwareVersion());
  EXPECT_EQ(moduleConfig.dashboardVersionAfter, module->DashboardVersion());
  EXPECT_TRUE(module->NvBackedUp());
  EXPECT_TRUE(module->NvRestored());
  // Progress over all units: 4096 of 8193 bytes, then 8192, then all.
  const std::vector<std::string> firmwareSteps{"49%", "99%", "100%"};
  const auto firmware = view.ProgressTexts(IMAGE_FIRMWARE);
  EXPECT_NE(std::search(firmware.begin(), firmware.end(), firmwareSteps.begin(), firmwareSteps.end()),
            firmware.end());
  const std::vector<std::string> dashboardSteps{"51%", "75%", "100%"};
  const auto dashboard = view.ProgressTexts(IMAGE_DASHBOARD);
  EXPECT_NE(std::search(dashboard.begin(), dashboard.end(), dashboardSteps.begin(), dashboardSteps.end()),
            dashboard.end());

  ASSERT_EQ(5u, seen.triggers.size());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(TriggerKind::kRouterBegin, seen.triggers[i].kind);
  EXPECT_EQ(7301u, seen.triggers[1].totalLength);
  EXPECT_EQ(TriggerKind::kModuleBegin, seen.triggers[3].kind);
  EXPECT_EQ(0u, seen.triggers[3].totalLength);
  EXPECT_EQ(TriggerKind::kModuleBegin, seen.triggers[4].kind);
  ASSERT_EQ(1u, ControlsOfType(seen, CTRL_ERASE_NVRAM));
  for (const auto& c : seen.controls) {
    if (c.packet[0] != CTRL_ERASE_NVRAM) continue;
    const std::uint8_t addressAndMac[] = {127, 0, 0, 1, 0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
    EXPECT_TRUE(std::equal(std::begin(addressAndMac), std::end(addressAndMac), c.packet.begin() + 1));
    EXPECT_TRUE(std::all_of(c.packet.begin() + 11, c.packet.end(), [](std::uint8_t b) { return b == 0; }));
  }

  ExpectEndStep();
  EXPECT_EQ(threads, ThreadCount()) << "no thread left behind";
  EXPECT_TRUE(report.warnings.empty());
  const std::string log = LogFiles();
  EXPECT_TRUE(Contains(log, std::string(CDownloadLog::kSeparator) + "\n"));
  EXPECT_TRUE(Contains(log, ": 02-00-5E-10-00-01\n"));
  EXPECT_EQ(5u, Occurrences(log, ": Download success("));
}

TEST_F(EngineRunTest, AppAndFirmwareRunAppThenEraseThenFirmware) {
  AddItem(IMAGE_APP, {{5000}});
  AddItem(IMAGE_FIRMWARE, {{3000, 0x1000}});
  StartRouter();
  // What the router had seen at two moments, read from the engine's thread.
  std::optional<std::size_t> erasesAtAppResult, erasesAtFirmwareStart;
  view.OnStatus([&](int row, const std::string& text) {
    if (row == IMAGE_APP && text.rfind(LoadText(IDS_DOWNLOAD_SUCCESS), 0) == 0) {
      erasesAtAppResult = ControlsOfType(sim->Snapshot(), CTRL_ERASE_NVRAM);
    }
    if (row == IMAGE_FIRMWARE && !erasesAtFirmwareStart) {
      erasesAtFirmwareStart = ControlsOfType(sim->Snapshot(), CTRL_ERASE_NVRAM);
    }
  });
  RunUpdate();

  ExpectResult(IMAGE_APP, IDS_DOWNLOAD_SUCCESS);
  ExpectResult(IMAGE_FIRMWARE, IDS_DOWNLOAD_SUCCESS);
  EXPECT_EQ(0u, erasesAtAppResult.value_or(99)) << "the erase follows the APP result";
  EXPECT_EQ(1u, erasesAtFirmwareStart.value_or(99)) << "the firmware follows the erase";
  const std::string log = LogFiles();
  const std::size_t appResult = log.find(": Download success(");
  const std::size_t erase = log.find(": Erase router module's NVRAM\n");
  const std::size_t firmware = log.find(": Downloading wireless module's firmware\n");
  EXPECT_LT(appResult, erase);
  EXPECT_LT(erase, firmware);
  EXPECT_NE(std::string::npos, firmware);
  for (const int row : {IMAGE_BOOT, IMAGE_RESOURCE, IMAGE_DASHBOARD}) EXPECT_FALSE(view.RowTouched(row));
}

TEST_F(EngineRunTest, OnlyBootIsNotFollowedByAnErase) {
  AddItem(IMAGE_BOOT, {{9000}});
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_BOOT, IDS_DOWNLOAD_SUCCESS);
  const auto seen = sim->Snapshot();
  ASSERT_EQ(1u, seen.images.size());
  EXPECT_EQ(UnitBytes(IMAGE_BOOT), seen.images[0].data);
  EXPECT_EQ(0u, ControlsOfType(seen, CTRL_ERASE_NVRAM));
  EXPECT_FALSE(Contains(LogFiles(), "Erase router module's NVRAM"));
  ExpectEndStep();
}

TEST_F(EngineRunTest, OnlyDashboardTouchesNeitherRouterNorNv) {
  AddItem(IMAGE_DASHBOARD, {{5000, 0x08000000}});
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_DASHBOARD, IDS_DOWNLOAD_SUCCESS);
  EXPECT_TRUE(ModuleHolds(IMAGE_DASHBOARD));
  for (int row = 0; row < IMAGE_DASHBOARD; ++row) EXPECT_FALSE(view.RowTouched(row));
  const auto seen = sim->Snapshot();
  EXPECT_TRUE(seen.images.empty());
  ASSERT_EQ(1u, seen.triggers.size());
  EXPECT_EQ(TriggerKind::kModuleBegin, seen.triggers[0].kind);
  EXPECT_EQ(0u, ControlsOfType(seen, CTRL_ERASE_NVRAM));
  EXPECT_FALSE(module->NvBackedUp());
  const std::string log = LogFiles();
  EXPECT_FALSE(Contains(log, "Backup NV"));
  EXPECT_TRUE(Contains(log, "Dashboard Version: " + moduleConfig.dashboardVersionAfter));
}

TEST_F(EngineRunTest, RelayRefusedEndsSilentlyButWarns) {
  AddItem(IMAGE_BOOT, {{1000}});
  routerConfig.faults.refuseRelay = true;
  StartRouter();
  const std::size_t threads = ThreadCount();
  RunUpdate();
  EXPECT_TRUE(view.Writes().empty()) << "no row changes";
  EXPECT_EQ(std::vector<std::string>{"Create TCP connect fail"}, report.warnings);
  EXPECT_EQ(RunStep::Connect, report.failedRunStep);
  for (const ItemReport& item : report.items) EXPECT_NE(ItemOutcome::Failed, item.outcome);
  EXPECT_EQ(ItemOutcome::NotStarted, report.items[IMAGE_BOOT].outcome);
  ExpectEndStep();
  EXPECT_EQ(threads, ThreadCount());
  const std::string log = LogFiles();
  EXPECT_TRUE(Contains(log, CDownloadLog::kSeparator));
  EXPECT_TRUE(Contains(log, ": Create TCP connect fail\n"));
}

TEST_F(EngineRunTest, TriggerNotSentFailsTheItem) {
  AddItem(IMAGE_BOOT, {{1000}});
  AddItem(IMAGE_APP, {{1000}});
  StartRouter();
  // The relay goes away as the item starts, before its trigger.
  view.OnProgressText([&](int row, const std::string& text) {
    if (row == IMAGE_BOOT && text == "0%") sim->DropRelay();
  });
  RunUpdate();
  ExpectResult(IMAGE_BOOT, IDS_TCP_DOWNLOAD_CMD_FAIL);
  // The trigger's own words, then the relay port's error.
  ExpectFailedStep(IMAGE_BOOT, RunStep::RouterTrigger,
                   TriggerOutcome::NotSent(CRouterSteps::kTriggerAttempts, {}).Detail() + ": ");
  EXPECT_FALSE(view.RowTouched(IMAGE_APP)) << "later items are not started";
  EXPECT_EQ(ItemOutcome::NotStarted, report.items[IMAGE_APP].outcome);
  EXPECT_TRUE(sim->Snapshot().triggers.empty());
  EXPECT_TRUE(report.warnings.empty());
  ExpectEndStep();
}

TEST_F(EngineRunTest, AStopBetweenTheBlocksOfARouterImageEndsTheRun) {
  AddItem(IMAGE_BOOT, {{40000}});
  AddItem(IMAGE_APP, {{1000}});
  StartRouter();
  view.OnStatus([&](int row, const std::string& text) {
    if (row == IMAGE_BOOT && text == LoadText(IDS_SEND_ROUTER_DATA)) engine->Stop().Request();
  });
  RunUpdate();
  EXPECT_TRUE(report.interrupted);
  EXPECT_EQ(ItemOutcome::Interrupted, report.items[IMAGE_BOOT].outcome);
  ExpectFailedStep(IMAGE_BOOT, RunStep::RouterData, "after block 0 of 6");
  EXPECT_EQ(ItemOutcome::NotStarted, report.items[IMAGE_APP].outcome);
  EXPECT_FALSE(view.RowTouched(IMAGE_APP));
  const auto seen = sim->Snapshot();
  ASSERT_EQ(1u, seen.images.size());
  EXPECT_TRUE(seen.images[0].data.empty());
  ExpectEndStep();
}

TEST_F(EngineRunTest, BrokenImageTransferFailsWithTheBlockInTheLog) {
  AddItem(IMAGE_RESOURCE, {{40000}});
  StartRouter();
  view.OnStatus([&](int row, const std::string& text) {
    if (row == IMAGE_RESOURCE && text == LoadText(IDS_SEND_ROUTER_DATA)) sim->DropRelay();
  });
  RunUpdate();
  ExpectResult(IMAGE_RESOURCE, IDS_ROUTER_DATA_FAIL);
  const std::string log = LogFiles();
  EXPECT_TRUE(Contains(log, ": Router Block1 Transfer Fail: ")) << log;
  // The system's error text keeps to its line: no CR, no empty line after it.
  EXPECT_FALSE(Contains(log, "\r")) << log;
  EXPECT_FALSE(Contains(log, "\n\n")) << log;
  EXPECT_FALSE(Contains(log, "Erase router module's NVRAM")) << "no erase after a failed resource";
  ExpectEndStep();
}

TEST_F(EngineRunTest, RefusedImageShowsTheRoutersVerdict) {
  AddItem(IMAGE_BOOT, {{2000}});
  AddItem(IMAGE_APP, {{2000}});
  routerConfig.resultCode = 3;
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_BOOT, IDS_ROUTER_RESPONSE_FAIL);
  ExpectFailedStep(IMAGE_BOOT, RunStep::RouterResult, "result code");
  EXPECT_EQ("100%", view.LastProgress(IMAGE_BOOT));
  EXPECT_FALSE(view.RowTouched(IMAGE_APP));
  const std::string log = LogFiles();
  EXPECT_GE(NumberAfter(log, "TCP_GetRouterResult's ElapsedTime = "), 0);
  EXPECT_TRUE(Contains(log, " ms, Result = 3\n"));
  EXPECT_EQ(1u, sim->Snapshot().images.size());
  ExpectEndStep();
}

TEST_F(EngineRunTest, NoVerdictWithinTwoMinutesTimesOutTheBootLoader) {
  ASSERT_TRUE(platform::SetTimeScale(0.01));  // the 120 s wait in 1.2 s
  AddItem(IMAGE_BOOT, {{2000}});
  routerConfig.resultDelayMs = 130000;
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_BOOT, IDS_ROUTER_RESPONSE_TIMEOUT);
  // The wait's share of its limit, one receive time-out (8 s of 120 s)
  // after another.
  const auto all = Percentages(view.ProgressTexts(IMAGE_BOOT));
  ASSERT_GE(all.size(), 4u);
  const std::vector<int> waiting(all.begin() + 3, all.end());  // after 0%, 100% (image) and 0% (wait)
  ASSERT_GE(waiting.size(), 8u);
  EXPECT_GE(waiting.front(), 6);
  EXPECT_LE(waiting.front(), 10);
  EXPECT_TRUE(std::is_sorted(waiting.begin(), waiting.end()));
  EXPECT_GE(waiting.back(), 85);
  EXPECT_LE(waiting.back(), 100);
  EXPECT_FALSE(Contains(LogFiles(), "TCP_GetRouterResult"));
  ExpectEndStep();
}

TEST_F(EngineRunTest, TheApplicationsVerdictMayTakeLongerThanTwoMinutes) {
  ASSERT_TRUE(platform::SetTimeScale(0.01));
  AddItem(IMAGE_APP, {{2000}});
  routerConfig.resultDelayMs = 130000;
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_APP, IDS_DOWNLOAD_SUCCESS);
  const long elapsed = NumberAfter(LogFiles(), "TCP_GetRouterResult's ElapsedTime = ");
  EXPECT_GE(elapsed, 120000);
  EXPECT_LE(elapsed, 145000);
}

TEST_F(EngineRunTest, VerdictWaitingInTheConnectionIsNotLostAfterTheCheck) {
  // The check leaves the response key of its last DIAG exchange; the
  // verdict, sent at once, is read by the restarted reader under the key
  // for the router's packets. At this scale the verdict is surely there
  // before the reader's start-up pause ends.
  ASSERT_TRUE(platform::SetTimeScale(0.2));
  AddItem(IMAGE_BOOT, {{3000}});
  StartRouter();
  ASSERT_TRUE(engine->ConnectRouter());
  ASSERT_TRUE(engine->ModuleHandShake());
  engine->DisconnectRouter();
  RunUpdate();
  ExpectResult(IMAGE_BOOT, IDS_DOWNLOAD_SUCCESS);
}

TEST_F(EngineRunTest, EraseRefusedStopsBeforeTheModuleAndWarns) {
  AddItem(IMAGE_APP, {{2000}});
  AddItem(IMAGE_FIRMWARE, {{2000, 0x1000}});
  routerConfig.faults.silentControl = true;
  StartRouter();
  RunUpdate();
  ExpectResult(IMAGE_APP, IDS_DOWNLOAD_SUCCESS);
  EXPECT_FALSE(view.RowTouched(IMAGE_FIRMWARE));
  const auto seen = sim->Snapshot();
  EXPECT_EQ(static_cast<std::size_t>(CRouterSteps::kEraseAttempts), ControlsOfType(seen, CTRL_ERASE_NVRAM));
  EXPECT_EQ(1u, seen.triggers.size()) << "no module trigger";
  EXPECT_EQ(std::vector<std::string>{kEraseNvramFailText}, report.warnings);
  const std::string log = LogFiles();
  EXPECT_LT(log.find(": Erase router module's NVRAM\n"), log.find(std::string(": ") + kEraseNvramFailText + "\n"));
  ExpectEndStep();
}

// The router steps' typed outcomes, each provoked by a fault of the
// simulated router (or a control port that cannot be sent to), and their
// details in the run's report. The steps are asked on the engine's link
// first; then a run meets the same fault.
class RouterStepFaultTest : public EngineRunTest {
 protected:
  // The profile's control port is 0, to which no datagram can be sent.
  static void NoControlPort(NetworkProfile& profile) { profile.controlUdpPort = 0; }
};

TEST_F(RouterStepFaultTest, ATriggerOverADroppedRelayIsNotSentWithThePortsError) {
  StartRouter();
  ASSERT_TRUE(engine->ConnectRouter());
  sim->DropRelay();
  engine->Link().Channel().StopReader();  // as the router item sends it
  const TriggerOutcome trigger = RouterSteps().SendTrigger(TRIGGER_RUT_BEGIN, 1000);
  engine->DisconnectRouter();
  EXPECT_EQ(TriggerResult::NotSent, trigger.result);
  EXPECT_FALSE(trigger.ok());
  EXPECT_EQ(CRouterSteps::kTriggerAttempts, trigger.attempts);
  EXPECT_FALSE(trigger.error.empty()) << "the relay port's error";
  EXPECT_TRUE(Contains(trigger.Detail(), trigger.error));
  EXPECT_TRUE(sim->Snapshot().triggers.empty());
}

TEST_F(RouterStepFaultTest, AnEraseOnASilentRouterIsNotEchoedAndTheReportSaysSo) {
  AddItem(IMAGE_APP, {{2000}});
  routerConfig.faults.silentControl = true;
  StartRouter();
  const ControlOutcome erase = RouterSteps().EraseRouterNvram();
  EXPECT_EQ(ControlRequestKind::EraseNvram, erase.request);
  EXPECT_EQ(ControlResult::NoEcho, erase.result);
  EXPECT_FALSE(erase.ok());
  EXPECT_EQ(CRouterSteps::kEraseAttempts, erase.attempts);
  EXPECT_EQ(CRouterSteps::kEraseReplyTimeoutMs, erase.replyTimeoutMs);
  EXPECT_GE(erase.waitedMs, CRouterSteps::kEraseAttempts * CRouterSteps::kEraseReplyTimeoutMs);
  const std::size_t attempts = static_cast<std::size_t>(CRouterSteps::kEraseAttempts);
  EXPECT_EQ(attempts, ControlsOfType(sim->Snapshot(), CTRL_ERASE_NVRAM)) << "one request per attempt";

  RunUpdate();
  ExpectResult(IMAGE_APP, IDS_DOWNLOAD_SUCCESS);
  EXPECT_EQ(RunStep::EraseNvram, report.failedRunStep);
  EXPECT_EQ(erase.Detail(), report.runDetail);
  EXPECT_EQ(2 * attempts, ControlsOfType(sim->Snapshot(), CTRL_ERASE_NVRAM)) << "the run's erase tried as often";
  const std::string log = LogFiles();
  const std::size_t warning = log.find(std::string(": ") + kEraseNvramFailText + "\n");
  const std::size_t detail =
      log.find(std::string(": ") + RunStepName(RunStep::EraseNvram) + ": " + erase.Detail() + "\n");
  EXPECT_NE(std::string::npos, detail) << log;
  EXPECT_LT(warning, detail) << "the detail follows the warning";
}

TEST_F(RouterStepFaultTest, AnEraseThatCannotBeSentCarriesTheSocketsError) {
  AddItem(IMAGE_RESOURCE, {{2000}});
  StartRouter(NoControlPort);
  const ControlOutcome erase = RouterSteps().EraseRouterNvram();
  EXPECT_EQ(ControlResult::NotSent, erase.result);
  EXPECT_EQ(CRouterSteps::kEraseAttempts, erase.attempts) << "every attempt is made";
  EXPECT_FALSE(erase.error.empty());
  EXPECT_TRUE(Contains(erase.Detail(), erase.error));

  RunUpdate();
  ExpectResult(IMAGE_RESOURCE, IDS_DOWNLOAD_SUCCESS);
  EXPECT_EQ(std::vector<std::string>{kEraseNvramFailText}, report.warnings);
  EXPECT_EQ(RunStep::EraseNvram, report.failedRunStep);
  EXPECT_EQ(erase.Detail(), report.runDetail);
  EXPECT_TRUE(sim->Snapshot().controls.empty()) << "nothing reached the router's control port";
}

TEST_F(RouterStepFaultTest, TheProbeWaitEndsUnansweredUnsentOrStopped) {
  routerConfig.faults.silentControl = true;
  StartRouter();
  const ControlOutcome silent = RouterSteps().WaitRouterAlive(CModuleSteps::kRouterProbeLimitMs);
  EXPECT_EQ(ControlRequestKind::Probe, silent.request);
  EXPECT_EQ(ControlResult::NoEcho, silent.result);
  EXPECT_EQ(CModuleSteps::kRouterProbeLimitMs, silent.limitMs);
  EXPECT_EQ(CRouterSteps::kProbeReplyTimeoutMs, silent.replyTimeoutMs);
  EXPECT_GT(silent.waitedMs, CModuleSteps::kRouterProbeLimitMs);
  EXPECT_GE(silent.attempts, 2);
  EXPECT_EQ(static_cast<std::size_t>(silent.attempts), ControlsOfType(sim->Snapshot(), CTRL_PROBE))
      << "one probe per attempt";

  // Answered again: the first probe is echoed.
  sim->SetControlSilent(false);
  const ControlOutcome alive = RouterSteps().WaitRouterAlive(CModuleSteps::kRouterProbeLimitMs);
  EXPECT_EQ(ControlResult::Echoed, alive.result);
  EXPECT_TRUE(alive.ok());
  EXPECT_EQ(1, alive.attempts);
  EXPECT_GE(alive.waitedMs, CRouterSteps::kProbeIntervalMs);

  // A stop that stands: the wait gives way before its first probe.
  const std::size_t probes = ControlsOfType(sim->Snapshot(), CTRL_PROBE);
  stepStop.Request();
  const ControlOutcome stopped = RouterSteps().WaitRouterAlive(CModuleSteps::kRouterProbeLimitMs);
  EXPECT_EQ(ControlResult::Stopped, stopped.result);
  EXPECT_EQ(0, stopped.attempts);
  EXPECT_LT(stopped.waitedMs, CRouterSteps::kProbeIntervalMs);
  EXPECT_EQ(probes, ControlsOfType(sim->Snapshot(), CTRL_PROBE));
}

TEST_F(RouterStepFaultTest, AProbeThatCannotBeSentCarriesTheSocketsError) {
  StartRouter(NoControlPort);
  const ControlOutcome probe = RouterSteps().WaitRouterAlive(CModuleSteps::kRouterProbeLimitMs);
  EXPECT_EQ(ControlResult::NotSent, probe.result);
  EXPECT_GE(probe.attempts, 2) << "probed again until the limit";
  EXPECT_GT(probe.waitedMs, CModuleSteps::kRouterProbeLimitMs);
  EXPECT_FALSE(probe.error.empty());
  EXPECT_TRUE(Contains(probe.Detail(), probe.error));
  EXPECT_TRUE(sim->Snapshot().controls.empty());
}

TEST_F(RouterStepFaultTest, ForcedDownloadIsAskedUntilEchoedAndThenNoMore) {
  routerConfig.faults.silentControl = true;
  StartRouter();
  const ControlOutcome silent = RouterSteps().EnterForcedDownload();
  EXPECT_EQ(ControlRequestKind::ForcedDownload, silent.request);
  EXPECT_EQ(ControlResult::NoEcho, silent.result);
  EXPECT_EQ(CRouterSteps::kForceAttempts, silent.attempts);
  EXPECT_EQ(CRouterSteps::kForceReplyTimeoutMs, silent.replyTimeoutMs);
  const std::size_t attempts = static_cast<std::size_t>(CRouterSteps::kForceAttempts);
  EXPECT_EQ(attempts, ControlsOfType(sim->Snapshot(), CTRL_FORCE_DOWNLOAD));

  sim->SetControlSilent(false);
  const ControlOutcome echoed = RouterSteps().EnterForcedDownload();
  EXPECT_EQ(ControlResult::Echoed, echoed.result) << "not echoed before: asked again";
  EXPECT_EQ(1, echoed.attempts);
  EXPECT_EQ(attempts + 1, ControlsOfType(sim->Snapshot(), CTRL_FORCE_DOWNLOAD));

  const ControlOutcome again = RouterSteps().EnterForcedDownload();
  EXPECT_EQ(ControlResult::AlreadyForced, again.result);
  EXPECT_TRUE(again.ok());
  EXPECT_EQ(0, again.attempts);
  EXPECT_EQ(attempts + 1, ControlsOfType(sim->Snapshot(), CTRL_FORCE_DOWNLOAD)) << "nothing sent";
}

TEST_F(EngineRunTest, EveryRunAppendsItsLogAndEndsClean) {
  AddItem(IMAGE_FIRMWARE, {{2000, 0x1000}});
  moduleConfig.faults.errorByteTo = 0x0A;  // the downloader refuses the reset
  StartRouter();
  const std::size_t threads = ThreadCount();
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_REBOOT_MODULE_FAIL);
  RunUpdate();
  ExpectResult(IMAGE_FIRMWARE, IDS_REBOOT_MODULE_FAIL);

  EXPECT_EQ(2, finished);
  EXPECT_EQ(RUN_IDLE, engine->State());
  EXPECT_EQ(CHANNEL_CLOSED, engine->Link().Channel().State());
  EXPECT_FALSE(engine->Link().Channel().ReaderRunning());
  EXPECT_EQ(threads, ThreadCount());
  EXPECT_TRUE(engine->Log().Text().empty()) << "the text went to the file";
  const std::string log = LogFiles();
  EXPECT_EQ(2u, Occurrences(log, std::string(CDownloadLog::kSeparator) + "\n"));
  EXPECT_EQ(2u, Occurrences(log, ": 02-00-5E-10-00-01\n"));
  EXPECT_EQ(2u, Occurrences(log, ": DIAG_Reset: Write or Read Fail\n"));
  EXPECT_EQ(2u, Occurrences(log, ": Reboot wireless module fail("));
  // Lines carry the time stamp "%Y%m%d%H:%M:%S: ".
  EXPECT_TRUE(std::regex_search(log, std::regex(R"((^|\n)\d{10}:\d\d:\d\d: Reboot wireless module fail\()")));
}

}  // namespace
}  // namespace orvane::test
