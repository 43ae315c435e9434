// `orvane update` and `orvane check` as processes that the operator
// interrupts while they work against the simulated router on loopback: real
// signals sent by PID, a pipe whose reader goes away, a terminal that is
// closed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "cli/test_router.h"
#include "log/run_history.h"
#include "routersim/module_sim.h"
#include "routersim/router_sim.h"
#include "support/image_fixtures.h"
#include "support/temp_dir.h"
#include "support/text_search.h"
#include "support/time_scale.h"

extern char** environ;

namespace orvane {
namespace {

using test::Contains;
using Clock = std::chrono::steady_clock;

// The image of the module-download cases: 25 blocks of 4096 bytes.
constexpr std::uint32_t kFirmwareBlocks = 25;

class InterruptTest : public ::testing::Test {
 protected:
  // Where the program's standard output goes.
  enum class Output {
    kFile,      // a file, read back by Out()
    kPipe,      // a pipe; the test holds its reading end
    kTerminal,  // a terminal of its own, on its input too: the program leads a session with it as its
                // controlling terminal, and the test holds the terminal's other side
  };

  void TearDown() override {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    CloseOutputEnd();
    if (m_sim) m_sim->Stop();
  }

  // A module behind a slow serial link: its download of the firmware image
  // takes about 23 s of system time (a second at the tests' scale), time
  // enough for the operator to act while it runs.
  void StartSlowModule() {
    routersim::Config slowLink;
    slowLink.moduleLinkBitsPerSecond = 38400;  // a block takes almost a second of system time
    StartRouter({}, slowLink);
    m_images.Write("fw.bin", test::MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00", {60000, 40000}));
  }
  bool WaitForDownload() {
    return m_sim->WaitFor([&](const routersim::Received&) { return m_module->WritesAccepted() > 0; }, 400000);
  }

  void StartRouter(routersim::ModuleConfig module = {}, routersim::Config config = {}) {
    ASSERT_TRUE(test::StartTestRouter(m_module, m_sim, module, config));
  }

  // `orvane COMMAND ...` against the simulator at `scale`, its output going
  // to `output`, its errors to a file and its input from /dev/null (from the
  // terminal with Output::kTerminal).
  void Start(const std::string& command, const std::string& scale, std::vector<std::string> extra = {},
             Output output = Output::kFile) {
    const routersim::Ports ports = m_sim->BoundPorts();
    std::vector<std::string> args = {ORVANE_PROGRAM, command, "--dir", m_images.Str(), "--broadcast", "127.0.0.1",
                                     "--port", std::to_string(ports.relay), "--control-port",
                                     std::to_string(ports.control), "--telnet-port", std::to_string(ports.telnet),
                                     "--log-dir", m_logs.Str(), "--time-scale", scale};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    int childEnd = -1;  // the child's side of a pipe, closed here once it is started
    std::string terminal;
    switch (output) {
      case Output::kFile:
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_output.File("out").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        break;
      case Output::kPipe: {
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        m_outputEnd = ends[0];
        childEnd = ends[1];
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, childEnd, STDOUT_FILENO);
        break;
      }
      case Output::kTerminal: {
        m_outputEnd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_outputEnd < 0) GTEST_SKIP() << "no terminal device to open here";
        ASSERT_EQ(::grantpt(m_outputEnd), 0);
        ASSERT_EQ(::unlockpt(m_outputEnd), 0);
        terminal = ::ptsname(m_outputEnd);
        // In a session of its own, the first terminal the program opens
        // becomes its controlling terminal: closing the other side hangs it up.
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, terminal.c_str(), O_RDWR, 0);
        posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDOUT_FILENO);
        break;
      }
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, m_output.File("err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int spawned = posix_spawn(&m_pid, ORVANE_PROGRAM, &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (childEnd >= 0) ::close(childEnd);
    ASSERT_EQ(spawned, 0);
  }

  void Interrupt() { ASSERT_EQ(::kill(m_pid, SIGINT), 0); }

  // The exit status, or -1 when the program is still running after
  // `seconds` or did not exit by itself (m_endSignal then names the signal
  // that ended it).
  int WaitForExit(int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        m_endSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  // Reads the program's output from the pipe or the terminal into m_read
  // until `done` holds (true) or `seconds` pass (false).
  bool ReadOutputUntil(const std::function<bool()>& done, int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
      if (done()) return true;
      pollfd entry{m_outputEnd, POLLIN, 0};
      if (::poll(&entry, 1, 10) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(m_outputEnd, buffer, sizeof buffer);
      if (n > 0) m_read.append(buffer, static_cast<std::size_t>(n));
    }
    return done();
  }
  // The reader goes: the pipe has none left, the terminal is hung up.
  void CloseOutputEnd() {
    if (m_outputEnd >= 0) ::close(m_outputEnd);
    m_outputEnd = -1;
  }

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
  std::string Out() const { return Read(m_output.File("out")); }
  std::string Err() const { return Read(m_output.File("err")); }
  RunHistory History() const { return ReadRunHistory(RunHistoryPath(m_logs.Str())); }
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
  test::TempDir m_output;
  std::unique_ptr<routersim::SimModule> m_module;
  std::unique_ptr<routersim::RouterSim> m_sim;
  pid_t m_pid = -1;
  int m_endSignal = 0;
  int m_outputEnd = -1;  // the test's end of the pipe or terminal
  std::string m_read;    // what came through it
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
  EXPECT_EQ(WaitForExit(60), 130) << Out() << Err();

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
  StartSlowModule();
  Start("update", "0.05", {"--yes"});
  ASSERT_TRUE(WaitForDownload());
  Interrupt();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Interrupt();
  EXPECT_EQ(WaitForExit(60), 130) << Out() << Err();

  const std::string out = Out();
  EXPECT_TRUE(Contains(out, "Firmware: interrupted at: ")) << out;
  EXPECT_TRUE(Contains(out, "Note: the wireless module may still run its downloader; the next Check and Update "
                            "recover it")) << out;
  EXPECT_EQ(m_module->Resets(), 0u);
  EXPECT_LT(m_module->WritesAccepted(), 25u) << "the download did not go on to its end";
  EXPECT_TRUE(Contains(Log(), ": Stop at once requested by the operator\n"));
}

// The second interrupt comes with a third (SIGINT and SIGTERM at once): the
// count passes from one to three between two looks at it, and the run
// still stops at once.
TEST_F(InterruptTest, InterruptsArrivingTogetherAfterTheFirstStopAtOnce) {
  StartSlowModule();
  Start("update", "0.05", {"--yes"});
  ASSERT_TRUE(WaitForDownload());
  Interrupt();
  ASSERT_TRUE(WaitForLog(": Stop requested by the operator\n", 20)) << Err();
  // Held while the two are sent, the program takes both before it runs on.
  ASSERT_EQ(::kill(m_pid, SIGSTOP), 0);
  ASSERT_EQ(::kill(m_pid, SIGINT), 0);
  ASSERT_EQ(::kill(m_pid, SIGTERM), 0);
  ASSERT_EQ(::kill(m_pid, SIGCONT), 0);
  EXPECT_EQ(WaitForExit(60), 130) << Out() << Err();

  EXPECT_TRUE(Contains(Log(), ": Stop at once requested by the operator\n")) << Log();
  EXPECT_TRUE(Contains(Err(), "orvane update: stopping at once.")) << Err();
  EXPECT_EQ(m_module->Resets(), 0u) << "the module was left in its downloader";
  EXPECT_LT(m_module->WritesAccepted(), kFirmwareBlocks) << "the download did not go on to its end";
  const RunHistory history = History();
  ASSERT_EQ(history.records.size(), 1u);
  EXPECT_EQ(history.records[0].outcome, "interrupted");
}

// `orvane update | head -12`: the reader has seen enough and goes while the
// module's download runs. The program's next writes fail; the run goes on
// to its end unread, records itself, and its verdict is the exit status.
TEST_F(InterruptTest, AClosedOutputPipeDoesNotEndTheRun) {
  StartSlowModule();
  Start("update", "0.05", {"--yes"}, Output::kPipe);
  ASSERT_TRUE(ReadOutputUntil([&] { return m_module->WritesAccepted() > 0; }, 20)) << m_read << Err();
  CloseOutputEnd();
  EXPECT_EQ(WaitForExit(60), 0) << "ended by signal " << m_endSignal << "\n" << Err();

  EXPECT_TRUE(Contains(m_read, "Firmware           ")) << "the check's table came through the pipe";
  EXPECT_FALSE(Contains(m_read, "Update finished")) << "the reader went before the run's end";
  EXPECT_EQ(m_module->WritesAccepted(), kFirmwareBlocks);
  EXPECT_GE(m_module->Resets(), 1u) << "the module was reset into its new firmware";
  EXPECT_TRUE(Contains(Log(), ": Run verdict: succeeded")) << Log();
  const RunHistory history = History();
  ASSERT_EQ(history.records.size(), 1u);
  EXPECT_EQ(history.records[0].outcome, "succeeded");
}

// The terminal the run was started from is closed while the module's
// download runs: the hang-up is an interrupt like SIGTERM. The download
// goes on to the module's reset (a module must not be left in its
// downloader for that), the run stops at the next safe point and records
// itself, although every write to the terminal now fails.
TEST_F(InterruptTest, AClosedTerminalStopsTheRunAtItsNextSafePoint) {
  StartSlowModule();
  m_images.Write("dash.bin", test::MakeImage(IMAGE_DASHBOARD, "11.002.03.05.00", {2000, 1000}));
  Start("update", "0.05", {"--yes"}, Output::kTerminal);
  ASSERT_TRUE(ReadOutputUntil([&] { return m_module->WritesAccepted() > 0; }, 20)) << m_read << Err();
  EXPECT_TRUE(Contains(m_read, "\r\x1b[KFirmware ")) << "the live bars of a terminal were drawn";
  CloseOutputEnd();
  EXPECT_EQ(WaitForExit(60), 130) << "ended by signal " << m_endSignal << "\n" << Err();

  const std::string log = Log();
  EXPECT_TRUE(Contains(log, ": Stop requested by the operator\n")) << log;
  EXPECT_FALSE(Contains(log, ": Stop at once requested")) << log;
  EXPECT_TRUE(Contains(log, ": Interrupted by the operator")) << log;
  EXPECT_EQ(m_module->WritesAccepted(), kFirmwareBlocks) << "the download was finished first";
  EXPECT_EQ(m_module->Resets(), 1u);
  const RunHistory history = History();
  ASSERT_EQ(history.records.size(), 1u);
  const RunRecord& run = history.records[0];
  EXPECT_EQ(run.outcome, "interrupted");
  ASSERT_EQ(run.items.size(), 2u);
  EXPECT_EQ(run.items[1].name, "Dashboard");
  EXPECT_EQ(run.items[1].outcome, "not started");
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
  EXPECT_EQ(WaitForExit(60), 130) << Out() << Err();
  EXPECT_LT(Clock::now() - interrupted, std::chrono::seconds(3));
  EXPECT_TRUE(Contains(Err(), "orvane check: interrupted during the check; nothing was changed.")) << Err();
  EXPECT_TRUE(Contains(Log(), ": Check interrupted by the operator\n"));
}

}  // namespace
}  // namespace orvane
