// `orvane station` on a bench of network namespaces: one PC namespace with a
// veth pair per port to a router namespace of its own, every router at
// 192.168.1.1 with its own MAC, the simulator on the real ports, the program
// with no network flag. Root only; skipped elsewhere.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/image_fixtures.h"
#include "support/temp_dir.h"
#include "support/text_search.h"
#include "support/time_scale.h"
#include "support/virtual_lan.h"
#include "cli/test_router.h"
#include "engine/station.h"

namespace orvane::test {
namespace {

constexpr double kTimeScale = 0.1;
// System milliseconds (on the time scale) a whole station may take.
constexpr std::uint32_t kStationLimitMs = 1800000;
// Until a lane shows an event.
constexpr std::uint32_t kEventLimitMs = 600000;

// Port N's router: "02:00:5e:20:00:0N" on the simulator's flag, as the
// program writes it.
std::string SimMac(int port, int generation = 0) {
  return "02:00:5e:2" + std::to_string(generation) + ":00:0" + std::to_string(port);
}
std::string ShownMac(int port, int generation = 0) {
  return "02-00-5E-2" + std::to_string(generation) + "-00-0" + std::to_string(port);
}

std::string FileText(const std::string& path) {
  const std::vector<std::uint8_t> bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

// The value of "key":"..." in a JSON line; "" without it.
std::string JsonString(const std::string& line, const std::string& key) {
  const std::string lead = "\"" + key + "\":\"";
  const std::size_t at = line.find(lead);
  if (at == std::string::npos) return "";
  const std::size_t from = at + lead.size();
  return line.substr(from, line.find('"', from) - from);
}
long JsonNumber(const std::string& line, const std::string& key) {
  const std::size_t at = line.find("\"" + key + "\":");
  return at == std::string::npos ? -1 : std::stol(line.substr(at + key.size() + 3));
}
// "2026-12-09 03:24:07" as seconds of its day.
long DaySeconds(const std::string& time) {
  return std::stol(time.substr(11, 2)) * 3600 + std::stol(time.substr(14, 2)) * 60 + std::stol(time.substr(17, 2));
}

class StationLanTest : public ::testing::Test {
 protected:
  // A bench of `ports`, the images written; skips where namespaces cannot
  // be made.
  void Make(int ports, std::vector<int> unaddressed = {}) {
    m_bench = std::make_unique<VirtualBench>(ports, std::move(unaddressed));
    if (!m_bench->ok()) GTEST_SKIP() << "the bench's namespaces cannot be made here (" << m_bench->Error() << ")";
    m_images.Write("app.bin", RouterImageCarrying(IMAGE_APP, "2.1.9.0.1"));
    m_images.Write("fw.bin", MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00", {5000, 3000}));
  }
  LanProcess* Router(int port, int generation = 0, std::vector<std::string> faults = {}) {
    return RouterAs(port, SimMac(port, generation), std::move(faults));
  }
  // A router of the MAC `mac` behind `port`.
  LanProcess* RouterAs(int port, const std::string& mac, std::vector<std::string> faults = {}) {
    // The test images carry the unlock code 01..08.
    faults.insert(faults.end(), {"--unlock", "0102030405060708", "--restart-ms", "2000"});
    return m_bench->StartRouterSim(port, ORVANE_ROUTERSIM, kTimeScale, mac, faults);
  }
  // `orvane station` over the ports named, started in the PC's namespace.
  // `withErrors`: its standard error kept with the output.
  LanProcess* Station(const std::vector<int>& ports, std::vector<std::string> flags, bool withErrors = false) {
    std::vector<std::string> argv = {ORVANE_PROGRAM, "station"};
    for (const int port : ports) argv.insert(argv.end(), {"--interface", VirtualBench::PortName(port)});
    argv.insert(argv.end(), flags.begin(), flags.end());
    argv.insert(argv.end(),
                {"--dir", m_images.Str(), "--log-dir", m_logs.Str(), "--time-scale", std::to_string(kTimeScale)});
    return m_bench->StartOnPc(argv, withErrors);
  }
  std::string DownloadLog() const {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_logs.Path())) {
      if (entry.path().filename() == "LumtarLog.txt") return FileText(entry.path().string());
    }
    return "";
  }

  ScopedTimeScale m_scale{kTimeScale};
  TempDir m_images;
  TempDir m_logs;
  TempDir m_out;
  std::unique_ptr<VirtualBench> m_bench;
};

// Four units at once, the router on port 2 refusing its image: that unit
// fails and the three others pass, each lane with the router behind its own
// port (every router has the same address, so a lane that strayed off its
// interface would meet another port's MAC, or the faulted router).
TEST_F(StationLanTest, FourUnitsInParallelAndAFaultedOneFailsAlone) {
  Make(4);
  if (IsSkipped()) return;
  for (int port = 0; port < 4; ++port) {
    ASSERT_NE(Router(port, 0, port == 2 ? std::vector<std::string>{"--result-code", "3"} : std::vector<std::string>{}),
              nullptr);
  }
  const std::string csv = m_out.File("units.csv");
  LanProcess* station = Station({0, 1, 2, 3}, {"--count", "4", "--json", "--report", csv});
  ASSERT_NE(station, nullptr);
  const int status = station->WaitForExit(kStationLimitMs);
  const std::string out = station->Output();
  EXPECT_EQ(status, 1) << out;

  std::map<std::string, std::string> units;  // interface -> its unit's line
  std::string summary;
  for (const std::string& line : LinesOf(out)) {
    if (Contains(line, "\"summary\":")) summary = line;
    if (Contains(line, "\"unit\":")) units[JsonString(line, "interface")] = line;
  }
  ASSERT_EQ(units.size(), 4u) << out;
  long lastStart = 0;
  long firstEnd = 24 * 3600;
  for (int port = 0; port < 4; ++port) {
    const std::string& unit = units[VirtualBench::PortName(port)];
    EXPECT_EQ(JsonString(unit, "mac"), ShownMac(port)) << unit;
    EXPECT_EQ(JsonString(unit, "ip"), "192.168.1.1") << unit;
    if (port == 2) {
      EXPECT_EQ(JsonString(unit, "result"), "failed") << unit;
      EXPECT_TRUE(Contains(JsonString(unit, "reason"), "Router's APP")) << unit;
    } else {
      EXPECT_EQ(JsonString(unit, "result"), "passed") << unit;
      EXPECT_TRUE(Contains(unit, "\"after\":\"11.608.13.02.00\",\"outcome\":\"succeeded\",\"verification\":\"verified\""))
          << unit;
      EXPECT_TRUE(Contains(unit, "],\"verification\":\"verified\",")) << unit;
    }
    const long start = DaySeconds(JsonString(unit, "time"));
    lastStart = std::max(lastStart, start);
    firstEnd = std::min(firstEnd, start + JsonNumber(unit, "elapsed_ms") / 1000);
  }
  // In parallel: every unit began before the first one ended (to the
  // second the times are written in).
  EXPECT_LE(lastStart, firstEnd + 1) << out;
  EXPECT_TRUE(Contains(summary, "\"units\":4,\"passed\":3,\"failed\":1,\"blocked\":0")) << summary;

  // One history line per unit, front end and interface with the MAC of
  // that port's router.
  const std::string history = FileText(m_logs.File("history.jsonl"));
  EXPECT_EQ(LinesOf(history).size(), 4u) << history;
  for (const std::string& line : LinesOf(history)) {
    EXPECT_EQ(JsonString(line, "front_end"), "station") << line;
    const std::string port = JsonString(line, "interface");
    ASSERT_EQ(port.size(), 5u) << line;
    EXPECT_EQ(JsonString(line, "mac"), ShownMac(port[4] - '0')) << line;
  }
  // One download log, every lane's lines tagged with its interface.
  const std::string log = DownloadLog();
  for (int port = 0; port < 4; ++port) {
    EXPECT_TRUE(Contains(log, ": [" + VirtualBench::PortName(port) + "] Station unit ")) << port;
  }
  // The report: a header and a row per unit, the faulted one failed.
  const std::vector<std::string> rows = LinesOf(FileText(csv));
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_TRUE(Contains(rows[0], "time,interface,mac,ip,result,reason,boot_before,")) << rows[0];
  int failedRows = 0;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    if (Contains(rows[i], ",port2," + ShownMac(2) + ",192.168.1.1,failed,")) ++failedRows;
  }
  EXPECT_EQ(failedRows, 1) << FileText(csv);
}

// One lane, unit after unit: the router passes (verified after its items'
// update), is unplugged and plugged in again (already done: not updated
// twice, counted in the summary), unplugged again; another router plugged in
// is the lane's next unit.
TEST_F(StationLanTest, ALaneTakesItsNextUnitAndPassesOverOneAlreadyDone) {
  Make(1);
  if (IsSkipped()) return;
  LanProcess* first = Router(0, 0);
  ASSERT_NE(first, nullptr);
  LanProcess* station = Station({0}, {"--count", "2"});
  ASSERT_NE(station, nullptr);
  const std::string waiting = "port0: waiting for a router";
  ASSERT_TRUE(station->WaitForText("PASS  unit 1  port0  " + ShownMac(0), 1, kEventLimitMs)) << station->Output();

  // Unplugged: silent for 5 s, the lane waits for the next router.
  ASSERT_EQ(m_bench->SetPlugged(0, false), "");
  ASSERT_TRUE(station->WaitForText(waiting, 2, kEventLimitMs)) << station->Output();
  ASSERT_EQ(m_bench->SetPlugged(0, true), "");
  ASSERT_TRUE(station->WaitForText("port0: " + ShownMac(0) + " already done", 1, kEventLimitMs)) << station->Output();

  // Out again; a router of another MAC in its place.
  ASSERT_EQ(m_bench->SetPlugged(0, false), "");
  ASSERT_TRUE(station->WaitForText(waiting, 3, kEventLimitMs)) << station->Output();
  first->Stop();
  ASSERT_NE(Router(0, 1), nullptr);
  ASSERT_EQ(m_bench->SetPlugged(0, true), "");

  EXPECT_EQ(station->WaitForExit(kStationLimitMs), 0) << station->Output();
  const std::string out = station->Output();
  EXPECT_TRUE(Contains(out, "PASS  unit 2  port0  " + ShownMac(0, 1))) << out;
  EXPECT_EQ(Occurrences(out, "PASS  unit"), 2u) << out;
  EXPECT_TRUE(Contains(out, "Station: 2 units: 2 passed, 0 failed, 0 blocked, 1 already done; ")) << out;
  EXPECT_TRUE(InOrder(out, {"port0: updating " + ShownMac(0) + ": Firmware\n", "port0: verifying " + ShownMac(0) + "\n",
                            "PASS  unit 1  port0  "}));
  // The first router was updated once.
  EXPECT_EQ(Occurrences(FileText(m_logs.File("history.jsonl")), ShownMac(0)), 1u);
}

// The count reached on one lane ends the others too, also one whose router
// has passed and is still plugged in (its unplugging is not awaited).
TEST_F(StationLanTest, TheCountEndsALaneWaitingForItsUnplugging) {
  Make(2);
  if (IsSkipped()) return;
  ASSERT_NE(Router(0), nullptr);
  LanProcess* station = Station({0, 1}, {"--count", "2"});
  ASSERT_NE(station, nullptr);
  ASSERT_TRUE(station->WaitForText("PASS  unit 1  port0  " + ShownMac(0), 1, kEventLimitMs)) << station->Output();
  ASSERT_NE(Router(1, 1), nullptr);
  ASSERT_TRUE(station->WaitForText("PASS  unit 2  port1  " + ShownMac(1, 1), 1, kEventLimitMs)) << station->Output();
  // Within a few of a lane's discovery rounds, not when port0 is unplugged.
  EXPECT_EQ(station->WaitForExit(4 * kUnplugSilenceMs), 0) << station->Output();
  EXPECT_TRUE(Contains(station->Output(), "Station: 2 units: 2 passed, 0 failed, 0 blocked; ")) << station->Output();
}

// With --json, a router that passed on one lane and is then plugged into
// another is already done there too: an object of its own, keyed apart from
// the units, between the two units and counted in the summary; that lane's
// next router is its unit.
TEST_F(StationLanTest, ARouterMovedToAnotherLaneIsAlreadyDoneThere) {
  Make(2);
  if (IsSkipped()) return;
  ASSERT_NE(Router(0), nullptr);
  LanProcess* station = Station({0, 1}, {"--count", "2", "--json"});
  ASSERT_NE(station, nullptr);
  ASSERT_TRUE(station->WaitForText("{\"unit\":1,", 1, kEventLimitMs)) << station->Output();
  ASSERT_EQ(m_bench->SetPlugged(0, false), "");
  LanProcess* moved = RouterAs(1, SimMac(0));
  ASSERT_NE(moved, nullptr);
  ASSERT_TRUE(station->WaitForText("{\"already_done\":", 1, kEventLimitMs)) << station->Output();
  moved->Stop();
  ASSERT_NE(Router(1, 1), nullptr);

  EXPECT_EQ(station->WaitForExit(kStationLimitMs), 0) << station->Output();
  const std::vector<std::string> lines = LinesOf(station->Output());
  ASSERT_EQ(lines.size(), 4u) << station->Output();
  const std::string& first = lines[0];
  const std::string& done = lines[1];
  const std::string& second = lines[2];
  EXPECT_TRUE(Contains(first, "{\"unit\":1,")) << first;
  EXPECT_EQ(JsonString(first, "interface"), "port0") << first;
  EXPECT_EQ(JsonString(first, "mac"), ShownMac(0)) << first;
  const std::string time = JsonString(done, "time");
  EXPECT_EQ(done, "{\"already_done\":{\"time\":\"" + time + "\",\"interface\":\"port1\",\"mac\":\"" + ShownMac(0) +
                      "\"}}");
  // Local times, "YYYY-MM-DD HH:MM:SS": in the order of their text.
  EXPECT_EQ(time.size(), 19u) << done;
  EXPECT_LE(JsonString(first, "time"), time) << first << "\n" << done;
  EXPECT_GE(JsonString(second, "time"), time) << second << "\n" << done;
  EXPECT_TRUE(Contains(second, "{\"unit\":2,")) << second;
  EXPECT_EQ(JsonString(second, "interface"), "port1") << second;
  EXPECT_EQ(JsonString(second, "mac"), ShownMac(1, 1)) << second;
  EXPECT_EQ(JsonString(second, "result"), "passed") << second;
  EXPECT_TRUE(Contains(lines[3], "{\"summary\":{\"units\":2,\"passed\":2,\"failed\":0,\"blocked\":0,\"interrupted\":0,"
                                 "\"already_done\":1,"))
      << lines[3];
  // The moved router was updated once.
  EXPECT_EQ(Occurrences(FileText(m_logs.File("history.jsonl")), ShownMac(0)), 1u);
}

// Ctrl-C while two lanes update: the first interrupt stops every lane at its
// next safe point, the second at once; either way each unit under way ends
// "interrupted", is recorded once, and the station's status is 130.
TEST_F(StationLanTest, InterruptsStopEveryLane) {
  Make(2);
  if (IsSkipped()) return;
  for (const int interrupts : {1, 2}) {
    SCOPED_TRACE(std::to_string(interrupts) + " interrupt(s)");
    for (int port = 0; port < 2; ++port) ASSERT_NE(Router(port, interrupts), nullptr);
    LanProcess* station = Station({0, 1}, {}, true);
    ASSERT_NE(station, nullptr);
    // The second interrupt comes inside the module's download, which only a
    // stop at once ends.
    const char* item = interrupts == 1 ? ": Router's APP" : ": Firmware";
    for (int port = 0; port < 2; ++port) {
      ASSERT_TRUE(station->WaitForText(VirtualBench::PortName(port) + ": updating " + ShownMac(port, interrupts) + item,
                                       1, kEventLimitMs))
          << station->Output();
    }
    station->Signal(SIGINT);
    ASSERT_TRUE(station->WaitForText("stopping every lane at its next safe point", 1, kEventLimitMs));
    if (interrupts == 2) {
      // Still in the download (the first stop waits for its end): the second
      // one ends it.
      station->Signal(SIGINT);
      ASSERT_TRUE(station->WaitForText("stopping every lane at once", 1, kEventLimitMs)) << station->Output();
    }
    EXPECT_EQ(station->WaitForExit(kStationLimitMs), 130) << station->Output();
    const std::string out = station->Output();
    EXPECT_EQ(Occurrences(out, "  interrupted"), 2u) << out;
    EXPECT_TRUE(Contains(out, "Station: 2 units: 0 passed, 0 failed, 0 blocked, 2 interrupted")) << out;
    const std::string history = FileText(m_logs.File("history.jsonl"));
    for (int port = 0; port < 2; ++port) {
      EXPECT_EQ(Occurrences(history, "\"mac\":\"" + ShownMac(port, interrupts) + "\""), 1u) << history;
    }
    EXPECT_EQ(Occurrences(history, "\"outcome\":\"interrupted\",\"failed_item\""),
              static_cast<std::size_t>(2 * interrupts))
        << history;
    // The next round's routers are new ones.
    m_bench->StopPrograms();
  }
}

// A lane needs an interface with an address on the router's network: one
// without an address and one that does not exist are usage errors, before
// any lane starts.
TEST_F(StationLanTest, AnInterfaceWithoutAnAddressIsAUsageError) {
  Make(2, {1});
  if (IsSkipped()) return;
  const auto run = [&](const std::vector<std::string>& interfaces) {
    std::vector<std::string> argv = {ORVANE_PROGRAM, "station", "--count", "1", "--dir", m_images.Str()};
    for (const std::string& name : interfaces) argv.insert(argv.end(), {"--interface", name});
    return m_bench->RunOnPc(argv);
  };
  const CommandResult unaddressed = run({"port0", "port1"});
  EXPECT_EQ(unaddressed.exit_code, 2) << unaddressed.output;
  EXPECT_TRUE(Contains(unaddressed.output, "\"port1\" has no IPv4 address on the network of 192.168.1.255"))
      << unaddressed.output;
  const CommandResult missing = run({"port7"});
  EXPECT_EQ(missing.exit_code, 2) << missing.output;
  EXPECT_TRUE(Contains(missing.output, "no interface \"port7\"")) << missing.output;
  // Named by its address, the addressed port is a lane.
  const CommandResult twice = run({"port0", "192.168.1.11"});
  EXPECT_EQ(twice.exit_code, 2) << twice.output;
  EXPECT_TRUE(Contains(twice.output, "\"port0\" is named twice")) << twice.output;
  EXPECT_FALSE(std::filesystem::exists(m_logs.File("history.jsonl")));
}

}  // namespace
}  // namespace orvane::test
