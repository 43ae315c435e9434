// `orvane update` and `orvane check` as processes that the operator
// interrupts: real SIGINTs sent by PID while they work against the simulated
// router on loopback.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "cli/orvane_child.h"
#include "cli/test_router.h"
#include "routersim/module_sim.h"
#include "routersim/router_sim.h"
#include "support/image_fixtures.h"
#include "support/temp_dir.h"
#include "support/text_search.h"
#include "support/time_scale.h"

namespace orvane {
namespace {

using test::Contains;
using Clock = std::chrono::steady_clock;

// At the test's time scale, a minute of real time.
constexpr std::uint32_t kExitLimitMs = 20 * 60 * 1000;

class InterruptTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (m_sim) m_sim->Stop();
  }

  void StartRouter(routersim::ModuleConfig module = {}, routersim::Config config = {}) {
    ASSERT_TRUE(test::StartTestRouter(m_module, m_sim, module, config));
  }

  // `orvane COMMAND ...` against the simulator at `scale`, its output going
  // to files and its input from /dev/null.
  void Start(const std::string& command, const std::string& scale, std::vector<std::string> extra = {}) {
    const routersim::Ports ports = m_sim->BoundPorts();
    std::vector<std::string> args = {command, "--dir", m_images.Str(), "--broadcast", "127.0.0.1",
                                     "--port", std::to_string(ports.relay), "--control-port",
                                     std::to_string(ports.control), "--telnet-port", std::to_string(ports.telnet),
                                     "--log-dir", m_logs.Str(), "--time-scale", scale};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(m_program.Start(args));
  }

  void Interrupt() { ASSERT_EQ(::kill(m_program.Pid(), SIGINT), 0); }

  // The exit status, or -1 when the program is still running after a
  // minute (or did not exit normally).
  int WaitForExit() { return m_program.WaitForExit(kExitLimitMs); }

  // Whether the program's log shows `text` within `seconds`.
  bool WaitForLog(const std::string& text, int seconds) const {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
      if (Log().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  static std::string Read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::string Out() const { return m_program.Out(); }
  std::string Err() const { return m_program.Err(); }
  // Every log file the program wrote.
  std::string Log() const {
    std::string text;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_logs.Path(), error)) {
      if (entry.is_regular_file()) text += Read(entry.path());
    }
    return text;
  }

  // The simulator's clock runs as fast as the program's.
  test::ScopedTimeScale m_timeScale{0.05};
  test::TempDir m_images;
  test::TempDir m_logs;
  std::unique_ptr<routersim::SimModule> m_module;
  std::unique_ptr<routersim::RouterSim> m_sim;
  test::OrvaneChild m_program;
};

TEST_F(InterruptTest, UpdateStopsAfterTheItemUnderWayAndSaysWhatWasNotStarted) {
  StartRouter();
  m_images.Write("boot.bin", test::MakeImage(IMAGE_BOOT, "1.0.1.0.0"));
  m_images.Write("app.bin", test::MakeImage(IMAGE_APP, "2.1.9.0.1"));
  m_images.Write("fw.bin", test::MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00", {5000, 3000}));
  m_images.Write("dash.bin", test::MakeImage(IMAGE_DASHBOARD, "11.002.03.05.00", {2000, 1000}));
  Start("update", "0.05", {"--yes"});
  // The boot loader's result, as the program's log shows it the moment it
  // comes: the run goes on to the next item.
  ASSERT_TRUE(WaitForLog(": Download success(", 20)) << Out() << Err();
  Interrupt();
  EXPECT_EQ(WaitForExit(), 130) << Out() << Err();

  const std::string out = Out();
  EXPECT_TRUE(Contains(out, "Router's BOOT: Download success(")) << out;
  EXPECT_TRUE(Contains(out, "Firmware: not started\nDashboard: not started\n")) << out;
  EXPECT_TRUE(Contains(out, "Update interrupted")) << out;
  EXPECT_TRUE(Contains(Err(), "stopping at the next safe point")) << Err();
  EXPECT_LE(m_sim->Snapshot().images.size(), 2u) << "nothing after the stop";
  EXPECT_EQ(m_module->WritesAccepted(), 0u);
  // The log holds the run up to the interruption, the stop included.
  const std::string log = Log();
  EXPECT_TRUE(Contains(log, std::string(": 02-00-5E-10-00-01\n"))) << log;
  EXPECT_TRUE(Contains(log, ": Download success(")) << log;
  EXPECT_TRUE(Contains(log, ": Stop requested by the operator\n")) << log;
  EXPECT_TRUE(Contains(log, ": Interrupted by the operator")) << log;
}

TEST_F(InterruptTest, ASecondInterruptStopsTheModulesDownloadAtOnce) {
  routersim::Config slowLink;
  slowLink.moduleLinkBitsPerSecond = 38400;  // a block takes almost a second of system time
  StartRouter({}, slowLink);
  m_images.Write("fw.bin", test::MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00", {60000, 40000}));
  Start("update", "0.05", {"--yes"});
  ASSERT_TRUE(m_sim->WaitFor([&](const routersim::Received&) { return m_module->WritesAccepted() > 0; }, 400000));
  Interrupt();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Interrupt();
  EXPECT_EQ(WaitForExit(), 130) << Out() << Err();

  const std::string out = Out();
  EXPECT_TRUE(Contains(out, "Firmware: interrupted at: ")) << out;
  EXPECT_TRUE(Contains(out, "Note: the wireless module may still run its downloader; the next Check and Update "
                            "recover it")) << out;
  EXPECT_EQ(m_module->Resets(), 0u);
  EXPECT_LT(m_module->WritesAccepted(), 25u) << "the download did not go on to its end";
  EXPECT_TRUE(Contains(Log(), ": Stop at once requested by the operator\n"));
}

TEST_F(InterruptTest, CheckEndsAtOnce) {
  routersim::ModuleConfig silent;
  silent.start = routersim::ModuleStart::kAbsent;  // the handshake waits 3 x 6 s
  StartRouter(silent);
  m_images.Write("fw.bin", test::MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00"));
  Start("check", "1");
  ASSERT_TRUE(m_sim->WaitFor([](const routersim::Received& r) { return r.relayConnections > 0; }, 400000));
  const auto interrupted = Clock::now();
  Interrupt();
  EXPECT_EQ(WaitForExit(), 130) << Out() << Err();
  EXPECT_LT(Clock::now() - interrupted, std::chrono::seconds(3));
  EXPECT_TRUE(Contains(Err(), "orvane check: interrupted during the check; nothing was changed.")) << Err();
  EXPECT_TRUE(Contains(Log(), ": Check interrupted by the operator\n"));
}

}  // namespace
}  // namespace orvane
