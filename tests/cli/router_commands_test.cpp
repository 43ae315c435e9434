// `orvane check` and `orvane update` as an engineer runs them, against the
// simulated router and module on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "cli/orvane_cli.h"
#include "cli/run_orvane.h"
#include "diag/diag_commands.h"
#include "engine/run_record.h"
#include "engine/run_verify.h"
#include "log/run_history.h"
#include "platform/local_time.h"
#include "orvane_version.h"
#include "platform/clock.h"
#include "cli/test_router.h"
#include "routersim/module_sim.h"
#include "routersim/router_sim.h"
#include "support/image_fixtures.h"
#include "support/temp_dir.h"
#include "support/text_search.h"

namespace orvane::cli {
namespace {

using Result = test::CliResult;
using test::Contains;

class RouterCommandsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (m_sim) m_sim->Stop();
    platform::SetTimeScale(1.0);
  }

  void StartRouter(routersim::ModuleConfig module = {}, routersim::Config config = {}) {
    ASSERT_TRUE(test::StartTestRouter(m_module, m_sim, module, config));
  }
  void PutImages(const std::string& appVersion = "2.1.9.0.1") {
    m_images.Write("boot.bin", test::RouterImageCarrying(IMAGE_BOOT, "1.0.1.0.0"));
    m_images.Write("app.bin", test::RouterImageCarrying(IMAGE_APP, appVersion));
    m_images.Write("fw.bin", test::MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00", {5000, 3000}));
    m_images.Write("dash.bin", test::MakeImage(IMAGE_DASHBOARD, "11.002.03.05.00", {2000, 1000}));
  }
  // `terminal`: what the streams are (a terminal output draws live bars);
  // `input`: what the operator types.
  Result Run(std::vector<std::string> args, TerminalState terminal = {}, const std::string& input = "") {
    const routersim::Ports ports = m_sim->BoundPorts();
    std::vector<std::string> all = {"orvane"};
    all.insert(all.end(), args.begin(), args.end());
    for (const std::string& a : {std::string("--dir"), m_images.Str(), std::string("--broadcast"),
                                 std::string("127.0.0.1"), std::string("--port"), std::to_string(ports.relay),
                                 std::string("--control-port"), std::to_string(ports.control),
                                 std::string("--telnet-port"), std::to_string(ports.telnet),
                                 std::string("--log-dir"), m_logs.Str(), std::string("--time-scale"),
                                 m_timeScale}) {
      all.push_back(a);
    }
    std::vector<const char*> argv;
    for (const auto& a : all) argv.push_back(a.c_str());
    std::istringstream in(input);
    std::ostringstream out, err;
    const int status = RunOrvane(static_cast<int>(argv.size()), argv.data(), in, out, err, terminal);
    return {status, out.str(), err.str()};
  }

  std::string m_timeScale = "0.1";
  test::TempDir m_images;
  test::TempDir m_logs;
  std::unique_ptr<routersim::SimModule> m_module;
  std::unique_ptr<routersim::RouterSim> m_sim;
};

TEST_F(RouterCommandsTest, CheckPrintsTheRowsAndExitsByTheirState) {
  StartRouter();
  PutImages();
  Result r = Run({"check"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "Router's APP       2.1.0.3.7            2.1.9.0.1            Waiting update")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Router's Resource  2.1.0.3.7            -                    Not found")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Update is enabled.")) << r.out;

  r = Run({"check", "--json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Contains(r.out, "\"ok\":true,\"message\":\"\",\"router\":{\"ip\":\"127.0.0.1\",\"mac\":\"02-00-5E-10-00-01\","
                              "\"version\":\"2.1.0.3.7\"}")) << r.out;
  EXPECT_TRUE(Contains(r.out, "{\"name\":\"Firmware\",\"original\":\"11.608.12.01.00\",\"update\":\"11.608.13.02.00\","
                              "\"status\":\"Waiting update\",\"selected\":true,\"file\":\"" +
                                  m_images.File("fw.bin") + "\",\"original_from\":\"module\"}")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"update_enabled\":true,\"facts\":{\"shell_reached\":true,\"shell_problem\":\"\","
                              "\"router_versions_from\":\"shell\",\"module\":\"answered\"},\"notes\":[\"images are not "
                              "signature-checked: no key is trusted\"],\"signatures\":{\"verdict\":\"not checked\"")) << r.out;
}

TEST_F(RouterCommandsTest, MismatchExitsThreeAndUpdateRefuses) {
  StartRouter();
  PutImages("3.0.0.0.0");
  Result r = Run({"check"});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(Contains(r.out, "Version unmatched")) << r.out;
  r = Run({"update", "--yes"});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(Contains(r.err, "refused")) << r.err;
  EXPECT_TRUE(m_sim->Snapshot().images.empty());
}

TEST_F(RouterCommandsTest, FailedCheckShowsTheDialogsWords) {
  routersim::Config silent;
  silent.faults.silentControl = true;
  StartRouter({}, silent);
  PutImages();
  Result r = Run({"check"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "Warning: Detect none router")) << r.err;
  r = Run({"check", "--json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.out, "\"ok\":false,\"message\":\"Detect none router\"")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"update_enabled\":false")) << r.out;
}

TEST_F(RouterCommandsTest, UpdateRunsEverySelectedItemToSuccessAndVerifiesIt) {
  StartRouter();
  PutImages();
  const Result r = Run({"update", "--yes", "--json", "--verify"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "{\"ok\":true,\"verdict\":{\"outcome\":\"succeeded\",\"failed_item\":\"\","
                              "\"failed_step\":\"\",\"detail\":\"\"},\"items\":[{\"name\":\"Router's BOOT\","
                              "\"result\":\"Download success\","))
      << r.out;
  for (const char* name : {"Router's APP", "Firmware", "Dashboard"}) {
    EXPECT_TRUE(Contains(r.out, std::string("{\"name\":\"") + name + "\",\"result\":\"Download success\"")) << name;
  }
  EXPECT_FALSE(Contains(r.out, "Router's Resource")) << "an item without image is not in the run";
  // Read back after the run: the router and the module report the images' versions.
  for (const char* version : {"1.0.1.0.0", "2.1.9.0.1", "11.608.13.02.00", "11.002.03.05.00"}) {
    EXPECT_TRUE(Contains(r.out, std::string("\"verification\":\"verified\",\"expected_version\":\"") + version +
                                    "\",\"reported_version\":\"" + version + "\""))
        << version << "\n" << r.out;
  }
  const std::string logFile = m_logs.Str() + "/";
  EXPECT_TRUE(Contains(r.out, "\"log_file\":\"" + logFile)) << r.out;
  // The module now runs the new versions; a second check shows them.
  EXPECT_EQ(m_module->FirmwareVersion(), "11.608.13.02.00");
  const Result again = Run({"check", "--json"});
  EXPECT_TRUE(Contains(again.out, "\"original\":\"11.608.13.02.00\"")) << again.out;
}

TEST_F(RouterCommandsTest, FailedItemFailsTheCommandAndSaysWhy) {
  routersim::Config refusing;
  refusing.resultCode = 3;
  StartRouter({}, refusing);
  PutImages();
  const Result r = Run({"update", "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.out, "Router's BOOT: Router's response indicate fail(")) << r.out;
  EXPECT_TRUE(Contains(r.out, ")\n  failed at: router result: ")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\nRouter's APP: not started\nFirmware: not started\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Update failed")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Log: " + m_logs.Str())) << r.out;
}

TEST_F(RouterCommandsTest, FailedModuleItemNamesItsStepAndLaterItemsDidNotStart) {
  routersim::ModuleConfig refusing;
  refusing.faults.errorByteTo = DLOAD_WRITE_32BIT;  // every block write gets an error answer
  StartRouter(refusing);
  m_images.Write("fw.bin", test::MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00", {5000, 3000}));
  m_images.Write("dash.bin", test::MakeImage(IMAGE_DASHBOARD, "11.002.03.05.00", {2000, 1000}));
  const Result r = Run({"update", "--yes", "--json"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("^\\{\"ok\":false,\"verdict\":\\{\"outcome\":\"failed\","
                                                  "\"failed_item\":\"Firmware\",\"failed_step\":\"write\","
                                                  "\"detail\":\"unit 1 block 1: [^\"]+\"\\},\"items\":\\[\\{\"name\":"
                                                  "\"Firmware\",")))
      << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\"outcome\":\"failed\",\"failed_step\":\"write\","
                                                  "\"detail\":\"unit 1 block 1: [^\"]+\"")))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "{\"name\":\"Dashboard\",\"result\":\"\",\"elapsed_s\":0,\"outcome\":\"not started\","
                              "\"failed_step\":\"\",\"detail\":\"\",\"verification\":\"not requested\","
                              "\"expected_version\":\"\",\"reported_version\":\"\",\"verification_reason\":\"\"}],"
                              "\"warnings\":[],\"log_file\":\"")) << r.out;
}

// The live bars of a run: per item, every percentage drawn, in order.
std::map<std::string, std::vector<int>> BarPercentages(const std::string& out) {
  static const std::regex kBar("\x1b\\[K(.{18}) \\[[#.]{24}\\] +([0-9]+)%");
  std::map<std::string, std::vector<int>> bars;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), kBar); it != std::sregex_iterator(); ++it) {
    std::string name = (*it)[1].str();
    name.erase(name.find_last_not_of(' ') + 1);
    bars[name].push_back(std::stoi((*it)[2].str()));
  }
  return bars;
}

TEST_F(RouterCommandsTest, LiveBarsOnlyMoveForward) {
  StartRouter();
  m_images.Write("boot.bin", test::MakeImage(IMAGE_BOOT, "1.0.1.0.0"));
  m_images.Write("fw.bin", test::MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00", {5000, 3000}));
  const Result r = Run({"update", "--yes"}, TerminalState{true, true});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto bars = BarPercentages(r.out);
  for (const char* name : {"Router's BOOT", "Firmware"}) {
    ASSERT_TRUE(bars.contains(name)) << name << "\n" << r.out;
    const std::vector<int>& drawn = bars.at(name);
    // Every step restarts the "%" cell at 0; the bar must not follow it.
    EXPECT_TRUE(std::is_sorted(drawn.begin(), drawn.end())) << name << "\n" << r.out;
    EXPECT_GT(drawn.back(), 90) << name;
  }
}

TEST_F(RouterCommandsTest, AnUnreachableShellAndASilentModuleAreSaid) {
  routersim::ModuleConfig absent;
  absent.start = routersim::ModuleStart::kAbsent;
  routersim::Config refusing;
  refusing.faults.refuseTelnet = true;
  refusing.versionText = "2.1.0.3.6";
  StartRouter(absent, refusing);
  PutImages();
  Result r = Run({"check"});
  EXPECT_TRUE(Contains(r.out, "Router's BOOT      2.1.0.3.6 ")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Note: the router's shell could not be reached (no connection to 127.0.0.1 port " +
                                  std::to_string(m_sim->BoundPorts().telnet) +
                                  "); the router versions shown are the one discovery reported\n"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "Note: the wireless module did not answer; its versions are unknown, and the Firmware "
                              "and Dashboard items will likely fail\n"))
      << r.out;
  r = Run({"check", "--json"});
  EXPECT_TRUE(Contains(r.out, "\"facts\":{\"shell_reached\":false,\"shell_problem\":\"no connection to 127.0.0.1 port "))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "\"router_versions_from\":\"discovery\",\"module\":\"silent\"}")) << r.out;
}

TEST_F(RouterCommandsTest, TheQuestionIsAskedWhenTheInputIsATerminal) {
  StartRouter();
  PutImages();
  // Piped output, as in `orvane update | tee`: the question goes to
  // standard error, and the answer is awaited.
  const Result r = Run({"update"}, TerminalState{true, false}, "n\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "Update 4 items? [y/N] Nothing updated.")) << r.err;
  EXPECT_TRUE(m_sim->Snapshot().images.empty());
}


// Whether `text` holds a byte that steers a terminal: ESC, BEL, or the C1
// control OSC in UTF-8.
::testing::AssertionResult HoldsTerminalCommands(const std::string& text) {
  for (const std::string raw : {"\x1b", "\x07", "\xc2\x9d"}) {
    if (Contains(text, raw)) return ::testing::AssertionSuccess() << "raw bytes in: " << test::Occurrences(text, raw);
  }
  return ::testing::AssertionFailure() << "no raw terminal command in the text";
}

// A router whose texts carry escape sequences: a title change, a screen
// clear, a bell in discovery's version text; the same and an 8-bit OSC
// (0x9D, U+009D once read) in its shell's application version. The check's
// table, the run's lines and the history listing show them written out; no
// byte of them reaches the terminal, nor the JSON.
TEST_F(RouterCommandsTest, EscapeSequencesFromARouterNeverReachTheTerminal) {
  routersim::Config hostile;
  hostile.versionText = "\x1b]0;pwn\x07\x1b[2J";
  hostile.settings["app_version"] = "2.1.0.3.7\x1b]0;owned\x07\x1b[2J\x9d";
  StartRouter({}, hostile);
  m_images.Write("app.bin", test::RouterImageCarrying(IMAGE_APP, "2.1.9.0.1"));

  Result r = Run({"check"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(HoldsTerminalCommands(r.out + r.err));
  EXPECT_TRUE(Contains(r.out, "), version \"\\x1b]0;pwn\\x07\\x1b[2J\"\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\nRouter's APP       2.1.0.3.7\\x1b]0;o... 2.1.9.0.1 ")) << r.out;

  r = Run({"check", "--json"});
  EXPECT_FALSE(HoldsTerminalCommands(r.out + r.err));
  EXPECT_TRUE(Contains(r.out, R"("original":"2.1.0.3.7\u001b]0;owned\u0007\u001b[2J\u009d")")) << r.out;

  r = Run({"update", "--yes"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_FALSE(HoldsTerminalCommands(r.out + r.err));
  EXPECT_TRUE(Contains(r.out, "Update finished")) << r.out;

  r = test::RunCli({"history", "--log-dir", m_logs.Str()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(HoldsTerminalCommands(r.out + r.err));
  EXPECT_TRUE(Contains(r.out, "  \\x1b]0;p...  succeeded\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "  Router's APP       2.1.0.3.7\\x1b... -> 2.1.9.0.1 ")) << r.out;
}

// Version lines longer than a column: every row of the check's table stays
// one whole line, a long text is shortened with "..." and the JSON keeps it
// as read. A line longer than any version line is refused as one, said in a
// note, and the router versions are discovery's; a 2 KB line is cut where
// the reply's bytes read end, and no piece of it is taken for a version.
TEST_F(RouterCommandsTest, LongVersionLinesKeepTheRowsWholeAndAreShortenedVisibly) {
  const std::string words = "2.1.0.3.7 (build 5, the router's own words about it)";
  struct Case {
    std::string line;  // the shell's application version line
    std::string note;  // what the check says of it, "" for none
  };
  for (const Case& c : {Case{words, ""},
                        Case{"2.1.0.3.7 " + std::string(300, 'x'),
                             "the application's version line is 310 bytes long, more than the 128"},
                        Case{"2.1.0.3.7 " + std::string(2048, 'x'),
                             "the application's version line was cut off at the 2045 bytes"}}) {
    SCOPED_TRACE(c.line.size());
    routersim::Config config;
    config.settings["app_version"] = c.line;
    StartRouter({}, config);
    // The application's image alone: the boot loader's row would compare
    // with discovery's text too.
    m_images.Write("app.bin", test::RouterImageCarrying(IMAGE_APP, "2.1.9.0.1"));
    const std::string discovery = c.line.substr(0, 21);  // all that discovery's answer carries
    const std::string installed = c.note.empty() ? c.line : discovery;

    Result r = Run({"check"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = test::LinesOf(r.out);
    ASSERT_GE(lines.size(), 7u) << r.out;
    EXPECT_TRUE(lines[1].starts_with("Type ")) << r.out;
    for (std::size_t i = 2; i < 7; ++i) {
      EXPECT_EQ(lines[i].find("Router's", 1), std::string::npos) << "rows joined: " << lines[i];
      EXPECT_LE(lines[i].size(), 100u) << lines[i];
    }
    EXPECT_TRUE(Contains(lines[3], "Router's APP       " + installed.substr(0, 17) + "... 2.1.9.0.1 ")) << lines[3];
    EXPECT_EQ(Contains(r.out, "Note: the router's shell gave no usable boot loader or application version (" + c.note),
              !c.note.empty())
        << r.out;

    r = Run({"check", "--json"});
    EXPECT_TRUE(Contains(r.out, "{\"name\":\"Router's APP\",\"original\":\"" + installed + "\"")) << r.out;
    EXPECT_TRUE(Contains(r.out, c.note.empty() ? "\"router_versions_from\":\"shell\""
                                               : "\"router_versions_from\":\"discovery\""))
        << r.out;
    m_sim->Stop();
  }
}

// The doctor on loopback, where the router's address is the broadcast's: a
// working router, one whose answers a filter drops, and one whose answers
// arrive but cannot be used.
TEST_F(RouterCommandsTest, DoctorTellsAFilteredDiscoveryFromAnUnusableAndAWorkingOne) {
  struct Case {
    const char* name;
    void (*fault)(routersim::Config&);
    const char* finding;  // the discovery finding expected, "" for a router that answered
    const char* detail;
  };
  const Case cases[] = {
      {"all in place", [](routersim::Config&) {}, "", ""},
      {"discovery unanswered", [](routersim::Config& c) { c.faults.silentControl = true; }, "udp_filtered", ""},
      {"an all-zero MAC", [](routersim::Config& c) { c.mac = {}; }, "router_answer_unusable",
       "1 datagram came back on port "},
      {"a bad check sequence", [](routersim::Config& c) { c.faults.corruptNextReply = true; },
       "router_answer_unusable", "with a bad check sequence"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    routersim::Config config;
    c.fault(config);
    StartRouter({}, config);
    PutImages();
    const routersim::Ports ports = m_sim->BoundPorts();
    const Result r = test::RunCli({"doctor", "--json", "--dir", m_images.Str(), "--broadcast", "127.0.0.1", "--port",
                                   std::to_string(ports.relay), "--control-port", std::to_string(ports.control),
                                   "--telnet-port", std::to_string(ports.telnet), "--time-scale", "0.1"});
    const bool working = c.finding[0] == '\0';
    EXPECT_EQ(r.status, working ? 0 : 1) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, working ? "\"check_would_succeed\":true" : "\"check_would_succeed\":false")) << r.out;
    EXPECT_EQ(Contains(r.out, "{\"kind\":\"router_answered\""), working) << r.out;
    if (!working) {
      EXPECT_TRUE(Contains(r.out, std::string("{\"kind\":\"") + c.finding + "\",\"severity\":\"fault\""));
    }
    EXPECT_TRUE(Contains(r.out, c.detail)) << r.out;
    // An answer that arrives is no filtered one.
    EXPECT_EQ(Contains(r.out, "udp_filtered"), std::string(c.finding) == "udp_filtered") << r.out;
    EXPECT_TRUE(Contains(r.out, "{\"kind\":\"module_answers\"")) << r.out;
    m_sim->Stop();
  }
}

TEST(OrvaneCommandLine, BadInputIsAUsageErrorThatNamesIt) {
  test::TempDir dir;
  const std::string file = dir.Write("plain.bin", {1, 2, 3});
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"check", "--dir", dir.File("no-such")}, "no such folder: \"" + dir.File("no-such") + "\""},
      {{"update", "--dir", file}, "not a folder: \"" + file + "\""},
      {{"update", "--port", "0"}, "--port: not a port number 1..65535: \"0\""},
      // Nothing could be written below a file: refused before anything runs.
      {{"update", "--log-dir", file}, "--log-dir: not a folder: \"" + file + "\""},
      {{"check", "--log-dir", file + "/logs/deeper"},
       "--log-dir: not a folder: \"" + file + "/logs/deeper\" (\"" + file + "\" is not a folder)"},
      {{"history", "--log-dir", file}, "--log-dir: not a folder: \"" + file + "\""},
      {{"check", "--control-port", ""}, "--control-port: not a port number 1..65535: \"\""},
      {{"chek"}, "unknown command \"chek\""},
      {{"image", "scna", "x"}, "orvane image: unknown command \"scna\""},
      {{"history", "--since", "2026-13-01"}, "--since: not a date YYYY-MM-DD: \"2026-13-01\""},
      {{"history", "--mac", "02:00:5e:10:00"}, "--mac: not a MAC address"},
  };
  for (const auto& [args, named] : cases) {
    const Result r = test::RunCli(args);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_TRUE(Contains(r.err, named)) << args[0];
  }
  const Result version = test::RunCli({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.substr(0, version.out.find('\n') + 1), std::string("orvane ") + ORVANE_VERSION_FULL + "\n");
  EXPECT_TRUE(Contains(version.out, "\ntrusted keys: ")) << version.out;
}

TEST(OrvaneCommandLine, NoImageNamesTheFolderItLookedIn) {
  test::TempDir dir;
  const Result r = test::RunCli({"check", "--dir", dir.Str()});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "Warning: Found none valid .bin file under " + dir.Str() + "\n")) << r.err;
}

TEST_F(RouterCommandsTest, BadTimeScaleIsAUsageError) {
  StartRouter();
  std::vector<const char*> argv = {"orvane", "check", "--time-scale", "0"};
  std::ostringstream out, err;
  EXPECT_EQ(RunOrvane(static_cast<int>(argv.size()), argv.data(), out, err), 2);
}

TEST_F(RouterCommandsTest, VerifySaysWhenTheRouterKeepsItsOldVersion) {
  routersim::Config keeping;
  keeping.faults.keepVersions = true;
  StartRouter({}, keeping);
  m_images.Write("boot.bin", test::RouterImageCarrying(IMAGE_BOOT, "1.0.1.0.0"));
  const Result r = Run({"update", "--yes", "--verify"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "Verify Router's BOOT: mismatch (expected 1.0.1.0.0, reported 1.0.0.2.5)\n")) << r.out;
  // Said once, last: the run went through, the router did not take the image.
  EXPECT_FALSE(Contains(r.out, "Update finished")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\nUpdate not verified: Router's BOOT: mismatch: expected 1.0.1.0.0, reported "
                              "1.0.0.2.5.\n"))
      << r.out;
}

TEST_F(RouterCommandsTest, VerifyGivesUpWhenTheRouterDoesNotComeBack) {
  // The router restarts for longer than the verification waits for it; at
  // this scale the wait lasts a few seconds.
  m_timeScale = "0.05";
  routersim::Config restarting;
  restarting.restartMs = 10 * kRouterRestartLimitMs;
  StartRouter({}, restarting);
  m_images.Write("boot.bin", test::RouterImageCarrying(IMAGE_BOOT, "1.0.1.0.0"));
  const Result r = Run({"update", "--yes", "--verify", "--json"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "\"outcome\":\"succeeded\"")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"verification\":\"could not verify\",\"expected_version\":\"\",\"reported_version\":"
                              "\"\",\"verification_reason\":\"the router did not answer discovery within 120 s after "
                              "the run\""))
      << r.out;
}

TEST(OrvaneCommandLine, HistoryShowsEachRunsVerdictWhereItFailedAndItsSignatures) {
  test::TempDir logs;
  RunRecord base;
  base.frontEnd = kFrontEndCli;
  base.mac = "02-00-5E-10-00-01";
  base.ip = "192.168.1.1";
  base.discoveryVersion = "2.1.0.3.7";
  RunRecordItem app;
  app.name = "Router's APP";
  app.original = "2.1.0.3.7";
  app.update = "2.1.9.0.1";
  app.outcome = "succeeded";
  app.verification = "not requested";
  base.items = {app};

  // The application image went in, then the router refused the erase: the
  // item succeeded, the run did not.
  RunRecord erase = base;
  erase.time = "2026-12-08 10:00:00";
  erase.outcome = "failed";
  erase.failedStep = "erase router NVRAM";
  erase.detail = "refused\r\nby the router\n";
  RunRecord write = base;
  write.time = "2026-12-08 11:00:00";
  write.outcome = "failed";
  write.failedItem = "Router's APP";
  write.failedStep = "write";
  write.detail = "no echo after 3 attempts";
  write.items[0].outcome = "failed";
  write.signatures = "unsigned allowed";
  RunRecord fine = base;
  fine.time = "2026-12-08 12:00:00";
  fine.outcome = "succeeded";
  fine.signatures = "verified";
  RunRecordItem firmware = app;
  firmware.name = "Firmware";
  fine.items.push_back(firmware);
  for (RunRecordItem& item : fine.items) item.signingKey = "3c59de8c54a07157";
  for (const RunRecord& run : {erase, write, fine}) ASSERT_TRUE(AppendRunRecord(logs.Str(), run).ok());
  {
    // A line from before runs recorded their verdict.
    std::ofstream old(RunHistoryPath(logs.Str()), std::ios::binary | std::ios::app);
    old << R"({"time":"2026-12-07 09:00:00","front_end":"dialog","mac":"02-00-5E-10-00-01","items":[)"
           R"({"name":"Router's APP","outcome":"succeeded"}]})" "\n";
  }

  Result r = test::RunCli({"history", "--log-dir", logs.Str()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.err.empty()) << r.err;
  const std::vector<std::string> lines = test::LinesOf(r.out);
  // The heading, each run and its items, and the signatures of the runs
  // that recorded them.
  ASSERT_EQ(lines.size(), 12u) << r.out;
  EXPECT_TRUE(Contains(lines[0], "  Version      Outcome")) << lines[0];
  EXPECT_EQ(lines[1], "2026-12-08 10:00:00  cli        02-00-5E-10-00-01  192.168.1.1      2.1.0.3.7    "
                      "failed: erase router NVRAM: refused\\x0d\\x0aby the router\\x0a");
  EXPECT_TRUE(Contains(lines[3], "2.1.0.3.7    failed: Router's APP, write: no echo after 3 attempts")) << lines[3];
  EXPECT_EQ(lines[5], "  signatures: UNSIGNED (allowed): Router's APP");
  EXPECT_TRUE(lines[6].ends_with("2.1.0.3.7    succeeded")) << lines[6];
  EXPECT_TRUE(lines[8].starts_with("  Firmware ")) << lines[8];
  EXPECT_EQ(lines[9], "  signatures: verified, signed by key 3c59de8c54a07157");
  EXPECT_TRUE(lines[10].ends_with("  -            succeeded (from its items)")) << lines[10];

  r = test::RunCli({"history", "--log-dir", logs.Str(), "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, R"("log_file":"","outcome":"failed","failed_item":"","failed_step":"erase router NVRAM",)"
                              R"("detail":"refused\r\nby the router\n","items":)"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, R"("outcome":"failed","failed_item":"Router's APP","failed_step":"write",)"
                              R"("detail":"no echo after 3 attempts")"))
      << r.out;
  // The old line's verdict was never recorded: none is made up for it.
  EXPECT_TRUE(Contains(r.out, R"("log_file":"","outcome":"","failed_item":"","failed_step":"","detail":"",)"
                              R"("items":[{"name":"Router's APP","original":"")"))
      << r.out;
}

TEST_F(RouterCommandsTest, HistoryListsTheRunsAndSkipsATornLastLine) {
  StartRouter();
  m_images.Write("boot.bin", test::RouterImageCarrying(IMAGE_BOOT, "1.0.1.0.0"));
  ASSERT_EQ(Run({"update", "--yes"}).status, 0);
  // A second router, another MAC.
  m_sim->Stop();
  routersim::Config second;
  second.mac = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x02};
  StartRouter({}, second);
  ASSERT_EQ(Run({"update", "--yes"}).status, 0);
  // An older run, and a line a power cut left half-written.
  RunRecord old;
  old.time = "2020-01-02 03:04:05";
  old.frontEnd = kFrontEndDialog;
  old.mac = "02-00-5E-10-00-09";
  ASSERT_TRUE(AppendRunRecord(m_logs.Str(), old).ok());
  {
    std::ofstream torn(RunHistoryPath(m_logs.Str()), std::ios::binary | std::ios::app);
    torn << "{\"time\":\"2026-";
  }

  const std::string today = RunRecordTime(platform::LocalTimeNow()).substr(0, 10);
  Result r = test::RunCli({"history", "--log-dir", m_logs.Str()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, "Note: history.jsonl line 4: the last line is cut off")) << r.err;
  EXPECT_TRUE(Contains(r.out, "2020-01-02 03:04:05  dialog     02-00-5E-10-00-09")) << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex(today + " [0-9:]{8}  cli        02-00-5E-10-00-01  127.0.0.1        "
                                                  "2.1.0.3.7    succeeded[^\n]*\n  Router's BOOT +1.0.0.2.5 -> 1.0.1.0.0 +succeeded +"
                                                  "Download success\\([0-9:]{5}\\) +not requested\n"
                                                  "  signatures: not checked \\(no key was trusted\\)\n  log: ")))
      << r.out;

  r = test::RunCli({"history", "--log-dir", m_logs.Str(), "--mac", "02:00:5e:10:00:02", "--json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Contains(r.out, "\"mac\":\"02-00-5E-10-00-02\"")) << r.out;
  EXPECT_FALSE(Contains(r.out, "02-00-5E-10-00-01")) << r.out;
  EXPECT_EQ(r.out.front(), '[');

  r = test::RunCli({"history", "--log-dir", m_logs.Str(), "--since", today});
  EXPECT_TRUE(Contains(r.out, "02-00-5E-10-00-01") && Contains(r.out, "02-00-5E-10-00-02")) << r.out;
  EXPECT_FALSE(Contains(r.out, "2020-01-02")) << r.out;
}

// Every day's download log under `folder`, one after the other.
std::string DownloadLogs(const std::string& folder) {
  std::string text;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.path().filename() != "LumtarLog.txt") continue;
    const std::vector<std::uint8_t> bytes = test::ReadFile(entry.path().string());
    text.append(bytes.begin(), bytes.end());
  }
  return text;
}

// The router takes the application image, then answers no control packet
// for a long time (its restart), so the NVRAM erase after it gets no echo:
// every item succeeded, the run did not, and every front end says so.
TEST_F(RouterCommandsTest, RefusedNvramEraseAfterASucceededImageFailsTheRun) {
  routersim::Config silentAfterImage;
  silentAfterImage.restartMs = 10 * kRouterRestartLimitMs;
  StartRouter({}, silentAfterImage);
  m_images.Write("app.bin", test::RouterImageCarrying(IMAGE_APP, "2.1.9.0.1"));

  Result r = Run({"update", "--yes", "--json", "--verify"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "{\"ok\":false,\"verdict\":{\"outcome\":\"failed\",\"failed_item\":\"\","
                              "\"failed_step\":\"erase router NVRAM\",\"detail\":\"no echo after "))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "\"outcome\":\"succeeded\"")) << "the item itself went through";
  // Nothing to verify after a failed run: no wait for the router either.
  EXPECT_TRUE(Contains(r.out, "\"verification\":\"could not verify\"")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"verification_reason\":\"the run did not succeed\"")) << r.out;
  EXPECT_TRUE(Contains(r.err, "Warning: Erase router module's NVRAM fail")) << r.err;

  // Again as text, on a router fresh from the power switch (this one stays
  // silent on its control port long after the image).
  m_sim->Stop();
  StartRouter({}, silentAfterImage);
  r = Run({"update", "--yes"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_FALSE(Contains(r.out, "Update finished")) << r.out;
  std::string last;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) last = line;
  EXPECT_EQ(last.rfind("Update failed at erase router NVRAM: no echo after ", 0), 0u) << last;

  const RunHistory history = ReadRunHistory(RunHistoryPath(m_logs.Str()));
  ASSERT_EQ(history.records.size(), 2u);
  for (const RunRecord& record : history.records) {
    EXPECT_EQ(record.outcome, "failed");
    EXPECT_EQ(record.failedStep, "erase router NVRAM");
    ASSERT_EQ(record.items.size(), 1u);
    EXPECT_EQ(record.items[0].outcome, "succeeded");
  }
}

// A router that sends its verdict and goes on answering for a while before
// it restarts: the verification waits for it to go and come back, and only
// then checks.
TEST_F(RouterCommandsTest, VerificationWaitsForTheRouterToRestart) {
  routersim::Config lateRestart;
  lateRestart.restartDelayMs = 6000;
  lateRestart.restartMs = 4000;
  StartRouter({}, lateRestart);
  m_images.Write("boot.bin", test::RouterImageCarrying(IMAGE_BOOT, "1.0.1.0.0"));
  const Result r = Run({"update", "--yes", "--json", "--verify"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "\"verification\":\"verified\"")) << r.out;

  const std::string log = DownloadLogs(m_logs.Str());
  const std::size_t gone = log.find("Verify: the router stopped answering (restarting)");
  const std::size_t back = log.find("Verify: waiting for the router");
  const std::size_t checked = log.rfind("Check: images in");
  ASSERT_NE(gone, std::string::npos) << log;
  EXPECT_LT(gone, checked) << "checked only after the router went";
  EXPECT_LT(back, checked);
}

}  // namespace
}  // namespace orvane::cli
