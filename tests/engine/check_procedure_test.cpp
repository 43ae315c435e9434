// The check against the simulated router and module over loopback, one
// test per outcome the operator can meet; and the rule that a reported
// version is the image's.
#include "engine/check_procedure.h"

#include "engine/run_verify.h"
#include "engine/update_engine.h"

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "routersim/module_sim.h"
#include "routersim/router_sim.h"
#include "support/image_fixtures.h"
#include "support/temp_dir.h"
#include "support/text_search.h"
#include "support/time_scale.h"

namespace orvane {
namespace {

// What a device reports after an update shows the image's version when it
// is that version, whole, perhaps with words behind it; never a longer
// version that only begins the same way.
TEST(ReportsVersion, TheWholeVersionAndNothingThatOnlyBeginsLikeIt) {
  EXPECT_TRUE(ReportsVersion("2.1.9.0.1", "2.1.9.0.1"));
  EXPECT_TRUE(ReportsVersion("2.1.9.0.1 (build 5)", "2.1.9.0.1"));
  EXPECT_FALSE(ReportsVersion("2.1.9.0.10", "2.1.9.0.1"));
  EXPECT_FALSE(ReportsVersion("2.1.9.0.1.", "2.1.9.0.1"));
  EXPECT_FALSE(ReportsVersion("2.1.9.0", "2.1.9.0.1"));
  EXPECT_FALSE(ReportsVersion("", ""));
}

class RecordingPrompter : public IPrompter {
 public:
  void Warning(const std::string& text) override { warnings.push_back(text); }
  std::vector<std::string> warnings;
};

class NullView : public IItemView {
 public:
  void SetProgressText(int, const std::string&) override {}
  void SetStatus(int, const std::string&, StatusKind) override {}
};

class CheckTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (m_sim) m_sim->Stop();
  }

  void StartRouter(routersim::ModuleConfig module = {}, routersim::Config config = {}) {
    m_module = std::make_unique<routersim::SimModule>(module);
    m_sim = std::make_unique<routersim::RouterSim>(config, m_module.get());
    std::string error;
    ASSERT_TRUE(m_sim->Start(&error)) << error;
    const routersim::Ports ports = m_sim->BoundPorts();
    m_profile.broadcastAddress = "127.0.0.1";
    m_profile.relayTcpPort = ports.relay;
    m_profile.controlUdpPort = ports.control;
    m_profile.telnetPort = ports.telnet;
  }
  void PutAllFive(const std::string& appVersion = "2.1.9.0.1") {
    m_images.Write("boot.bin", test::MakeImage(IMAGE_BOOT, "1.0.1.0.0"));
    m_images.Write("app.bin", test::MakeImage(IMAGE_APP, appVersion));
    m_images.Write("res.bin", test::MakeImage(IMAGE_RESOURCE, "2.1.9.0.1"));
    m_images.Write("fw.bin", test::MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00"));
    m_images.Write("dash.bin", test::MakeImage(IMAGE_DASHBOARD, "99.9"));
  }
  bool Check() {
    LoadItemNames(m_items);
    m_engine = std::make_unique<CUpdateEngine>(m_items, m_view, m_profile, m_logs.Str());
    m_telnet = std::make_unique<CTelnetSession>(m_profile);
    CCheckProcedure check(m_items, m_engine->Link(), *m_telnet, m_prompter);
    m_set = CImageSet::Scan(m_images.Str());
    const bool ok = check.RunCheck(*m_set);
    m_discoveryVersion = check.DiscoveryVersion();
    m_facts = check.Facts();
    return ok;
  }
  const std::string& Original(ImageType t) { return m_items[t].m_strOriginalVersion; }
  // The day's log file as the check left it.
  std::string LogFile() const {
    const auto bytes = test::ReadFile(m_engine->Log().CurrentFilePath());
    return std::string(bytes.begin(), bytes.end());
  }

  // First: it outlives the simulator. The shell's 500 ms reply wait must
  // stay long enough in real time for a loaded machine, or the router
  // versions fall back to discovery's.
  test::ScopedTimeScale m_timeScale{0.1};
  test::TempDir m_images;
  test::TempDir m_logs;
  NetworkProfile m_profile;
  std::unique_ptr<routersim::SimModule> m_module;
  std::unique_ptr<routersim::RouterSim> m_sim;
  ImageSetPtr m_set;  // first: the items point into it
  UpdateItems m_items;
  NullView m_view;
  RecordingPrompter m_prompter;
  std::unique_ptr<CUpdateEngine> m_engine;
  std::unique_ptr<CTelnetSession> m_telnet;
  std::string m_discoveryVersion;
  CheckFacts m_facts;
};

TEST_F(CheckTest, FullCheckFillsEveryRowAndEnablesUpdate) {
  StartRouter();
  PutAllFive();
  ASSERT_TRUE(Check()) << (m_prompter.warnings.empty() ? "" : m_prompter.warnings[0]);
  EXPECT_TRUE(m_prompter.warnings.empty());
  EXPECT_EQ(Original(IMAGE_BOOT), "1.0.0.2.5");
  EXPECT_EQ(Original(IMAGE_APP), "2.1.0.3.7");
  EXPECT_EQ(Original(IMAGE_RESOURCE), "2.1.0.3.7");
  EXPECT_EQ(Original(IMAGE_FIRMWARE), "11.608.12.01.00");
  EXPECT_EQ(Original(IMAGE_DASHBOARD), "11.002.03.04.00");
  EXPECT_EQ(m_engine->Link().AddressText(), "127.0.0.1");
  EXPECT_EQ(m_engine->Link().MacText(), "02-00-5E-10-00-01");
  for (int i = 0; i < kItemCount; ++i) EXPECT_EQ(m_items[i].m_nMatch, MATCH_YES) << i;

  const Evaluation e = EvaluateItems(m_items, false);
  EXPECT_TRUE(e.updateEnabled);
  for (const RowEvaluation& row : e.rows) EXPECT_EQ(row.status, IDS_WAITING_UPDATE);
  // Nothing stays open: the relay and telnet connections were closed.
  EXPECT_EQ(m_engine->Link().Channel().State(), CHANNEL_CLOSED);
  EXPECT_TRUE(m_sim->WaitFor([](const routersim::Received& r) { return r.telnetLogins == 1; }, 2000));
  // The check's lines, its DIAG lines among them, are in the day's file at once.
  EXPECT_TRUE(test::Contains(LogFile(), ": Firmware Version: 11.608.12.01.00\n"));
  EXPECT_TRUE(m_facts.shellReached);
  EXPECT_FALSE(m_facts.routerVersionsFromDiscovery);
  EXPECT_TRUE(m_facts.moduleAnswered);
}

TEST_F(CheckTest, MismatchingImageBlocksUpdate) {
  StartRouter();
  PutAllFive("2.2.0.0.0");  // the device runs 2.1.x
  ASSERT_TRUE(Check());
  EXPECT_EQ(m_items[IMAGE_APP].m_nMatch, MATCH_NO);
  const Evaluation e = EvaluateItems(m_items, false);
  EXPECT_EQ(e.rows[IMAGE_APP].status, IDS_VERSION_UNMATCHED);
  EXPECT_FALSE(e.updateEnabled);
  EXPECT_TRUE(e.checkEnabled);
}

TEST_F(CheckTest, ImageProblemsStopBeforeTheNetwork) {
  StartRouter();
  EXPECT_FALSE(Check());
  EXPECT_EQ(m_prompter.warnings, std::vector<std::string>{"Found none valid .bin file under current directory"});

  m_prompter.warnings.clear();
  m_images.Write("fw1.bin", test::MakeImage(IMAGE_FIRMWARE, "1.0"));
  m_images.Write("fw2.bin", test::MakeImage(IMAGE_FIRMWARE, "1.1"));
  EXPECT_FALSE(Check());
  EXPECT_EQ(m_prompter.warnings, std::vector<std::string>{"Same type more than one"});
  EXPECT_TRUE(m_sim->Snapshot().controls.empty());
}

TEST_F(CheckTest, NoRouterAnswers) {
  routersim::Config silent;
  silent.faults.silentControl = true;
  StartRouter({}, silent);
  PutAllFive();
  EXPECT_FALSE(Check());
  EXPECT_EQ(m_prompter.warnings, std::vector<std::string>{"Detect none router"});
}

TEST_F(CheckTest, TelnetRefusedTakesTheVersionsFromDiscovery) {
  routersim::Config refuse;
  refuse.faults.refuseTelnet = true;
  refuse.versionText = "2.1.0.3.6";
  StartRouter({}, refuse);
  PutAllFive();
  ASSERT_TRUE(Check());
  EXPECT_TRUE(m_prompter.warnings.empty());
  EXPECT_EQ(Original(IMAGE_BOOT), "2.1.0.3.6");
  EXPECT_EQ(Original(IMAGE_APP), "2.1.0.3.6");
  EXPECT_EQ(Original(IMAGE_RESOURCE), "2.1.0.3.6");
  // Not shown, but known and logged.
  EXPECT_FALSE(m_facts.shellReached);
  EXPECT_EQ(m_facts.shellProblem, "no connection to 127.0.0.1 port " + std::to_string(m_profile.telnetPort));
  EXPECT_TRUE(m_facts.routerVersionsFromDiscovery);
  const std::string log = LogFile();
  EXPECT_TRUE(test::Contains(log, ": Router shell not reached: no connection to 127.0.0.1 port "));
  EXPECT_TRUE(test::Contains(log, ": Router versions taken from discovery: \"2.1.0.3.6\"\n"));
}

TEST_F(CheckTest, EightBitVersionTextIsConvertedOnce) {
  routersim::Config config;
  config.settings["app_version"] = "1.0.0.11.2\xFF\xFE\xFD";
  StartRouter({}, config);
  PutAllFive("1.0.9.0.1");
  ASSERT_TRUE(Check());
  EXPECT_EQ(Original(IMAGE_APP), "1.0.0.11.2\u00FF\u00FE\u00FD");
}

TEST_F(CheckTest, MissingBootVersionFallsBackForBoth) {
  routersim::Config config;
  config.settings.erase("cfe_version");
  config.versionText = "9.9.9.9.9";
  StartRouter({}, config);
  PutAllFive();
  ASSERT_TRUE(Check());
  EXPECT_EQ(Original(IMAGE_BOOT), "9.9.9.9.9");
  EXPECT_EQ(Original(IMAGE_APP), "9.9.9.9.9");
}

TEST_F(CheckTest, RelayRefusedFailsTheCheck) {
  StartRouter();
  PutAllFive();
  // A port that just closed: connections to it are refused.
  routersim::RouterSim other(routersim::Config{});
  ASSERT_TRUE(other.Start());
  m_profile.relayTcpPort = other.BoundPorts().relay;
  other.Stop();
  EXPECT_FALSE(Check());
  EXPECT_EQ(m_prompter.warnings, std::vector<std::string>{"Create TCP connect fail"});
}

TEST_F(CheckTest, NoModuleLeavesModuleVersionsEmpty) {
  routersim::ModuleConfig absent;
  absent.start = routersim::ModuleStart::kAbsent;
  StartRouter(absent);
  PutAllFive();
  ASSERT_TRUE(Check());
  EXPECT_TRUE(m_prompter.warnings.empty());
  EXPECT_EQ(Original(IMAGE_FIRMWARE), "");
  EXPECT_EQ(Original(IMAGE_DASHBOARD), "");
  const Evaluation e = EvaluateItems(m_items, false);
  EXPECT_EQ(e.rows[IMAGE_FIRMWARE].status, IDS_WAITING_UPDATE);
  EXPECT_EQ(e.rows[IMAGE_DASHBOARD].status, IDS_WAITING_UPDATE);
  EXPECT_TRUE(m_facts.relayConnected);
  EXPECT_FALSE(m_facts.moduleAnswered);
  const std::string log = LogFile();
  EXPECT_TRUE(test::Contains(log, "DIAG_HandShake: Write or Read Fail"));
  EXPECT_TRUE(test::Contains(log, ": Module did not answer the handshake: its versions are unknown, and its items "
                                  "will likely fail\n"));
}

TEST_F(CheckTest, ModuleInItsDownloaderIsNotAskedForVersions) {
  routersim::ModuleConfig downloader;
  downloader.start = routersim::ModuleStart::kDownloader;
  StartRouter(downloader);
  PutAllFive();
  ASSERT_TRUE(Check());
  EXPECT_EQ(m_module->Requests(), 1u);  // the handshake only
  EXPECT_TRUE(m_engine->Link().ModuleState().inDownloader);
  EXPECT_EQ(Original(IMAGE_FIRMWARE), "");
}

}  // namespace
}  // namespace orvane
