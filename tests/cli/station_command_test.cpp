// `orvane station` in-process against the simulator on loopback, one lane
// on "lo": what a bench shows on a terminal and without one, its JSON, its
// CSV report and its exit status.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/orvane_cli.h"
#include "cli/station_command.h"
#include "cli/test_router.h"
#include "platform/clock.h"
#include "routersim/module_sim.h"
#include "routersim/router_sim.h"
#include "support/image_fixtures.h"
#include "support/test_signer.h"
#include "support/temp_dir.h"
#include "support/text_search.h"

namespace orvane::cli {
namespace {

using test::Contains;
using test::Occurrences;

struct Result {
  int status;
  std::string out;
  std::string err;
};

std::string FileText(const std::string& path) {
  const auto bytes = test::ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

class StationCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    routersim::Config config;
    config.bindAddress = "127.0.0.1";
    ASSERT_TRUE(test::StartTestRouter(m_module, m_sim, {}, config));
  }
  void TearDown() override {
    if (m_sim) m_sim->Stop();
    platform::SetTimeScale(1.0);
  }
  void PutImages(const std::string& appVersion) {
    m_images.Write("app.bin", test::RouterImageCarrying(IMAGE_APP, appVersion));
    m_images.Write("fw.bin", test::MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00", {5000, 3000}));
  }
  // One unit on a lane on loopback, where the router's address is the
  // broadcast's.
  Result Station(std::vector<std::string> flags, TerminalState terminal = {}) {
    const routersim::Ports ports = m_sim->BoundPorts();
    std::vector<std::string> all = {"orvane", "station", "--interface", "lo", "--count", "1", "--dir", m_images.Str(),
                                    "--broadcast", "127.0.0.1", "--port", std::to_string(ports.relay),
                                    "--control-port", std::to_string(ports.control), "--telnet-port",
                                    std::to_string(ports.telnet), "--log-dir", m_logs.Str(), "--time-scale", "0.05"};
    all.insert(all.end(), flags.begin(), flags.end());
    std::vector<const char*> argv;
    for (const std::string& a : all) argv.push_back(a.c_str());
    std::istringstream in;
    std::ostringstream out, err;
    const int status = RunOrvane(static_cast<int>(argv.size()), argv.data(), in, out, err, terminal);
    return {status, out.str(), err.str()};
  }
  bool Refused(const Result& r) { return r.status == 2 && Contains(r.err, "CAP_NET_RAW"); }

  std::unique_ptr<routersim::SimModule> m_module;
  std::unique_ptr<routersim::RouterSim> m_sim;
  test::TempDir m_images;
  test::TempDir m_logs;
  test::TempDir m_out;
};

// Without a terminal: a line per event and a PASS line, the verification
// after the last item's update and before the unit's end; the unit's run is
// in the history as the station's, on its interface, and its log lines carry
// the lane's tag.
TEST_F(StationCommandTest, APassWithoutATerminalIsALinePerEvent) {
  PutImages("2.1.9.0.1");
  const Result r = Station({});
  if (Refused(r)) GTEST_SKIP() << r.err;
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(test::InOrder(r.out, {"lo: waiting for a router\n", "lo: checking 02-00-5E-10-00-01\n",
                                    "lo: updating 02-00-5E-10-00-01: Router's APP\n",
                                    "lo: updating 02-00-5E-10-00-01: Firmware\n", "lo: verifying 02-00-5E-10-00-01\n",
                                    "PASS  unit 1  lo  02-00-5E-10-00-01  ",
                                    "Station: 1 unit: 1 passed, 0 failed, 0 blocked; slowest: unit 1 on lo, "}));
  EXPECT_FALSE(Contains(r.out, "\033[")) << "no terminal: no colours, no cursor moves";
  EXPECT_FALSE(Contains(r.out, "\a"));
  const std::string history = FileText(m_logs.File("history.jsonl"));
  EXPECT_TRUE(Contains(history, "\"front_end\":\"station\"")) << history;
  EXPECT_TRUE(Contains(history, "\"interface\":\"lo\"}")) << history;
  EXPECT_TRUE(Contains(history, "\"verification\":\"verified\"")) << "verification is on by default";
}

// A row that blocks the update ends the unit "blocked": red FAIL with the
// row on a terminal, the bell, a CSV row, exit status 1, and no run.
TEST_F(StationCommandTest, ABlockedUnitOnATerminal) {
  PutImages("3.5.0.0.1");  // the first two numbers differ from the router's 2.1
  const std::string csv = m_out.File("units.csv");
  TerminalState terminal;
  terminal.outputIsTerminal = true;
  const Result r = Station({"--report", csv}, terminal);
  if (Refused(r)) GTEST_SKIP() << r.err;
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "\033[31mFAIL\033[0m  unit 1  lo  02-00-5E-10-00-01")) << r.out;
  EXPECT_TRUE(Contains(r.out, "blocked: Router's APP: ")) << r.out;
  EXPECT_EQ(Occurrences(r.out, "\a"), 1u);
  EXPECT_TRUE(Contains(r.out, "0 passed, 0 failed, 1 blocked")) << r.out;
  const std::vector<std::string> rows = test::LinesOf(FileText(csv));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], StationCsvHeader());
  EXPECT_TRUE(Contains(rows[1], ",lo,02-00-5E-10-00-01,127.0.0.1,blocked,")) << rows[1];
  EXPECT_TRUE(Contains(rows[1], ",11.608.12.01.00,11.608.12.01.00,not started,")) << "nothing ran: " << rows[1];
  EXPECT_FALSE(std::filesystem::exists(m_logs.File("history.jsonl"))) << "a blocked unit runs nothing";

  // Quiet: no bell; the report is appended to, its header once.
  const Result quiet = Station({"--report", csv, "--quiet"}, terminal);
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(Occurrences(quiet.out, "\a"), 0u);
  EXPECT_EQ(test::LinesOf(FileText(csv)).size(), 3u);
}

// --json: an object per unit and a summary; --no-verify leaves the
// verification out, and the item's version afterwards is its image's.
TEST_F(StationCommandTest, JsonWithoutVerification) {
  PutImages("2.1.9.0.1");
  const Result r = Station({"--json", "--no-verify"});
  if (Refused(r)) GTEST_SKIP() << r.err;
  EXPECT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = test::LinesOf(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_TRUE(Contains(lines[0], "{\"unit\":1,")) << lines[0];
  EXPECT_TRUE(Contains(lines[0], "\"result\":\"passed\"")) << lines[0];
  EXPECT_TRUE(Contains(lines[0], "{\"name\":\"Router's APP\",\"before\":\"2.1.0.3.7\",\"after\":\"2.1.9.0.1\","
                                 "\"outcome\":\"succeeded\",\"verification\":\"not requested\"}"))
      << lines[0];
  EXPECT_TRUE(Contains(lines[0], "],\"verification\":\"not requested\",")) << lines[0];
  EXPECT_TRUE(Contains(lines[1], "{\"summary\":{\"units\":1,\"passed\":1,\"failed\":0,\"blocked\":0,")) << lines[1];
}

// With a trusted key, images it did not sign start no lane: the station
// refuses before its first discovery, so the router hears nothing.
TEST_F(StationCommandTest, UnsignedImagesStartNoLane) {
  PutImages("2.1.9.0.1");
  const test::TestSigner release("release");
  const std::string key = m_out.File("release.pub");
  {
    std::ofstream file(key, std::ios::binary);
    file << release.PublicKeyText();
  }
  const Result r = Station({"--trusted-key", key, "--keys-dir", m_out.File("no-keys")});
  if (Refused(r)) GTEST_SKIP() << r.err;
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(r.err, "orvane station: refused: ")) << r.err;
  EXPECT_TRUE(Contains(r.err, "SHA256.sig")) << "the reason names what is missing: " << r.err;
  const routersim::Received received = m_sim->Snapshot();
  EXPECT_TRUE(received.controls.empty()) << received.controls.size() << " control datagrams";
  EXPECT_EQ(received.relayConnections, 0u);
}

TEST(StationReport, FieldsThatHoldCommasOrQuotesAreQuoted) {
  StationUnit unit;
  unit.time = "2026-12-09 10:00:00";
  unit.interfaceName = "Ethernet 2";
  unit.result = UnitResult::Failed;
  unit.reason = "failed at Router's APP: router said \"busy\", twice";
  unit.elapsedSeconds = 61.26;
  const std::string row = StationCsvRow(unit);
  EXPECT_TRUE(Contains(row, ",failed,\"failed at Router's APP: router said \"\"busy\"\", twice\",")) << row;
  // As many fields as the header names.
  const auto fields = [](const std::string& line) {
    std::size_t count = 1;
    bool quoted = false;
    for (const char c : line) {
      if (c == '"') quoted = !quoted;
      if (c == ',' && !quoted) ++count;
    }
    return count;
  };
  EXPECT_EQ(fields(row), fields(StationCsvHeader()));
  EXPECT_TRUE(row.ends_with(",61.3,")) << row;
}

TEST(StationReport, TheExitStatusOfABench) {
  StationTally tally;
  EXPECT_EQ(tally.ExitStatus(false), 0);
  StationUnit unit;
  unit.result = UnitResult::Passed;
  tally.Add(unit);
  EXPECT_EQ(tally.ExitStatus(false), 0);
  EXPECT_EQ(tally.ExitStatus(true), 130);
  unit.result = UnitResult::Blocked;
  tally.Add(unit);
  EXPECT_EQ(tally.ExitStatus(false), 1);
  unit.result = UnitResult::Interrupted;
  tally.Add(unit);
  EXPECT_EQ(tally.ExitStatus(false), 130);
}

}  // namespace
}  // namespace orvane::cli
