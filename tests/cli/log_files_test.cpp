// The download log and the run history under contention and on files that
// are no regular files: `orvane check`, `update` and `history` as processes
// of their own against the simulated router on loopback, while the test
// holds the day's log as another program would, runs four updates into one
// log folder, or puts named pipes where the files belong. And a run that
// passes midnight, through a session whose log clock the test sets, as
// every front end renders it.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>

#include "app/run_messages.h"
#include "cli/orvane_child.h"
#include "cli/run_orvane.h"
#include "cli/run_rendering.h"
#include "cli/test_router.h"
#include "engine/update_session.h"
#include "log/run_history.h"
#include "platform/local_time.h"
#include "support/held_file.h"
#include "support/image_fixtures.h"
#include "support/recording_view.h"
#include "support/temp_dir.h"
#include "support/text_search.h"
#include "support/time_scale.h"

namespace orvane {
namespace {

using test::ReadText;

using test::Contains;
using test::Occurrences;

constexpr double kScale = 0.05;
// How long a command may take, and a run to get under way (system
// milliseconds: at kScale a minute of system time is three real seconds).
constexpr std::uint32_t kCommandLimitMs = 20 * 60 * 1000;
constexpr std::uint32_t kRunUnderWayMs = 8 * 60 * 1000;

std::string DateName(const platform::LocalTime& t) {
  char name[16];
  std::snprintf(name, sizeof name, "%04d-%02d-%02d", t.year, t.month, t.day);
  return name;
}

// A JSON member's text as the command printed it: "true", "3", or a
// string's contents.
std::string Member(const std::string& json, const std::string& key) {
  std::smatch m;
  if (!std::regex_search(json, m, std::regex("\"" + key + "\":(\"([^\"]*)\"|[a-z0-9]+)"))) return "(missing)";
  return m[2].matched ? m[2].str() : m[1].str();
}

// Every line in the log's form: the time stamp, a colon and a blank.
::testing::AssertionResult EveryLineWhole(const std::string& log) {
  static const std::regex kLine("[0-9]{10}:[0-9]{2}:[0-9]{2}: .*");
  for (const std::string& line : test::LinesOf(log)) {
    if (!std::regex_match(line, kLine)) return ::testing::AssertionFailure() << "torn or foreign line: " << line;
  }
  if (!log.empty() && log.back() != '\n') return ::testing::AssertionFailure() << "the last line has no end";
  return ::testing::AssertionSuccess();
}

class LogFilesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto& sim : m_sims) sim->Stop();
  }

  // A simulated router of its own (the n-th has MAC ...-0n+1) and a folder
  // with a firmware image for it; returns its number.
  std::size_t AddRouter() {
    const std::size_t n = m_sims.size();
    routersim::Config config;
    config.mac[5] = static_cast<std::uint8_t>(n + 1);
    std::unique_ptr<routersim::SimModule> module;
    std::unique_ptr<routersim::RouterSim> sim;
    EXPECT_TRUE(test::StartTestRouter(module, sim, {}, config));
    m_modules.push_back(std::move(module));
    m_sims.push_back(std::move(sim));
    m_images.push_back(std::make_unique<test::TempDir>());
    m_images.back()->Write("fw.bin", test::MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00", {3000}));
    return n;
  }

  std::vector<std::string> Args(const std::string& command, std::size_t router, std::vector<std::string> extra = {}) {
    const routersim::Ports ports = m_sims[router]->BoundPorts();
    std::vector<std::string> args = {command, "--dir", m_images[router]->Str(), "--broadcast", "127.0.0.1",
                                     "--port", std::to_string(ports.relay), "--control-port",
                                     std::to_string(ports.control), "--telnet-port", std::to_string(ports.telnet),
                                     "--log-dir", m_logs.Str(), "--time-scale", std::to_string(kScale)};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  // Today's folder and file of the log, as the program names them.
  std::string DateFolder() const { return (m_logs.Path() / DateName(platform::LocalTimeNow())).string(); }
  std::string DayFile() const { return DateFolder() + "/" + CDownloadLog::kFileName; }
  std::string KeptFileOf(const test::OrvaneChild& child) const {
    return DateFolder() + "/LumtarLog." + std::to_string(child.Pid()) + ".txt";
  }
  std::size_t FilesInDateFolder() const {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(DateFolder())) ++n;
    return n;
  }

  // The program's clock runs as fast as the simulators'.
  test::ScopedTimeScale m_timeScale{kScale};
  test::TempDir m_logs;
  std::vector<std::unique_ptr<test::TempDir>> m_images;
  std::vector<std::unique_ptr<routersim::SimModule>> m_modules;
  std::vector<std::unique_ptr<routersim::RouterSim>> m_sims;
};

TEST_F(LogFilesTest, ALogHeldDuringTheRunGetsEveryLineOnceItIsLetGo) {
  const std::size_t router = AddRouter();
  std::filesystem::create_directories(DateFolder());
  auto holder = std::make_unique<test::HeldFile>(DayFile());
  ASSERT_TRUE(holder->Held());
  test::OrvaneChild update;
  ASSERT_TRUE(update.Start(Args("update", router, {"--yes", "--json"})));
  const auto underWay = [&](const routersim::Received&) { return m_modules[router]->WritesAccepted() > 0; };
  ASSERT_TRUE(m_sims[router]->WaitFor(underWay, kRunUnderWayMs))
      << update.Err();
  EXPECT_EQ(ReadText(DayFile()), "") << "held: nothing went in yet";
  holder.reset();
  ASSERT_EQ(update.WaitForExit(kCommandLimitMs), 0) << update.Out() << update.Err();

  const std::string json = update.Out();
  EXPECT_EQ(Member(json, "log_complete"), "true") << json;
  EXPECT_EQ(Member(json, "log_missing_lines"), "0") << json;
  EXPECT_EQ(Member(json, "log_file"), DayFile()) << json;
  EXPECT_FALSE(Contains(update.Err(), "download log")) << update.Err();
  // The check's lines and the run's, each once and in their order.
  const std::string log = ReadText(DayFile());
  EXPECT_TRUE(EveryLineWhole(log));
  std::size_t at = 0;
  for (const std::string& marker :
       {": Check: images in " + m_images[router]->Str() + "\n", std::string(": Router 127.0.0.1 ("),
        std::string(": 02-00-5E-10-00-01\n"), ": File Path: " + m_images[router]->File("fw.bin") + "\n",
        std::string(": Download success("), std::string(": Run verdict: succeeded\n")}) {
    EXPECT_EQ(Occurrences(log, marker), 1u) << marker << "\n" << log;
    const std::size_t next = log.find(marker, at);
    ASSERT_NE(next, std::string::npos) << marker << " out of order\n" << log;
    at = next;
  }
  EXPECT_EQ(FilesInDateFolder(), 1u) << "no line had to be kept elsewhere";
}

TEST_F(LogFilesTest, ALogHeldPastTheRunsEndIsKeptBesideItAndSaidSo) {
  const std::size_t router = AddRouter();
  std::filesystem::create_directories(DateFolder());
  test::HeldFile holder(DayFile());
  ASSERT_TRUE(holder.Held());
  test::OrvaneChild update;
  ASSERT_TRUE(update.Start(Args("update", router, {"--yes", "--json"})));
  ASSERT_EQ(update.WaitForExit(kCommandLimitMs), 0) << update.Out() << update.Err() << "the run itself succeeded";

  const std::string kept = KeptFileOf(update);
  const std::string keptText = ReadText(kept);
  const std::size_t lines = test::LinesOf(keptText).size();
  EXPECT_TRUE(Contains(keptText, ": Check: images in ")) << keptText;
  EXPECT_TRUE(Contains(keptText, ": Run verdict: succeeded\n")) << keptText;
  EXPECT_TRUE(EveryLineWhole(keptText));
  EXPECT_EQ(ReadText(DayFile()), "");
  const std::string said = std::to_string(lines) + " lines of the download log did not reach " + DayFile() +
                           " (held by another program); they were kept in " + kept;
  EXPECT_TRUE(Contains(update.Err(), "Warning: " + said + "\n")) << update.Err();
  const std::string json = update.Out();
  EXPECT_EQ(Member(json, "log_complete"), "false") << json;
  EXPECT_EQ(Member(json, "log_missing_lines"), std::to_string(lines)) << json;
  EXPECT_EQ(Member(json, "log_kept_at"), kept) << json;
  EXPECT_TRUE(Contains(json, "\"warnings\":[\"" + said + "\"]")) << json;
  EXPECT_EQ(Member(json, "ok"), "true") << "the log's shortfall is no failure of the run";
}

TEST_F(LogFilesTest, FourUpdatesIntoOneLogFolderLoseAndTearNoLine) {
  constexpr std::size_t kRuns = 4;
  for (std::size_t i = 0; i < kRuns; ++i) AddRouter();
  std::vector<std::unique_ptr<test::OrvaneChild>> runs;
  for (std::size_t i = 0; i < kRuns; ++i) {
    runs.push_back(std::make_unique<test::OrvaneChild>());
    ASSERT_TRUE(runs.back()->Start(Args("update", i, {"--yes", "--json"})));
  }
  for (std::size_t i = 0; i < kRuns; ++i) {
    SCOPED_TRACE("run " + std::to_string(i));
    ASSERT_EQ(runs[i]->WaitForExit(kCommandLimitMs), 0) << runs[i]->Out() << runs[i]->Err();
    EXPECT_EQ(Member(runs[i]->Out(), "log_complete"), "true") << runs[i]->Out();
  }
  const std::string log = ReadText(DayFile());
  EXPECT_TRUE(EveryLineWhole(log));
  EXPECT_EQ(Occurrences(log, std::string(": ") + CDownloadLog::kSeparator + "\n"), 2 * kRuns)
      << "a check and a run each";
  EXPECT_EQ(Occurrences(log, ": Run verdict: succeeded\n"), kRuns);
  // Each run's own lines, once each, in its order.
  for (std::size_t i = 0; i < kRuns; ++i) {
    SCOPED_TRACE("run " + std::to_string(i));
    std::size_t at = 0;
    for (const std::string& own : {": Check: images in " + m_images[i]->Str() + "\n",
                                   ": 02-00-5E-10-00-0" + std::to_string(i + 1) + "\n",
                                   ": File Path: " + m_images[i]->File("fw.bin") + "\n"}) {
      EXPECT_EQ(Occurrences(log, own), 1u) << own;
      const std::size_t next = log.find(own, at);
      ASSERT_NE(next, std::string::npos) << own << " out of order";
      at = next;
    }
  }
  EXPECT_EQ(FilesInDateFolder(), 1u) << "no line had to be kept elsewhere";
}

// A named pipe where the day's log or the history belongs: nothing waits on
// it, each command ends by itself and says what stands there.
TEST_F(LogFilesTest, NamedPipesInTheFilesPlacesHoldNothingUp) {
  const std::size_t router = AddRouter();
  std::filesystem::create_directories(DateFolder());
  ASSERT_EQ(::mkfifo(DayFile().c_str(), 0644), 0) << std::strerror(errno);
  {
    test::OrvaneChild check;
    ASSERT_TRUE(check.Start(Args("check", router)));
    ASSERT_EQ(check.WaitForExit(kCommandLimitMs), 0) << check.Out() << check.Err();
    EXPECT_TRUE(Contains(check.Err(), "did not reach " + DayFile() + " (not a regular file: a named pipe); they were "
                                      "kept in " + KeptFileOf(check) + "\n"))
        << check.Err();
    EXPECT_TRUE(Contains(ReadText(KeptFileOf(check)), ": Check: images in "));
  }
  {
    test::OrvaneChild update;
    ASSERT_TRUE(update.Start(Args("update", router, {"--yes", "--json"})));
    ASSERT_EQ(update.WaitForExit(kCommandLimitMs), 0) << update.Out() << update.Err();
    EXPECT_EQ(Member(update.Out(), "log_complete"), "false") << update.Out();
    EXPECT_EQ(Member(update.Out(), "history_recorded"), "true") << update.Out();
    EXPECT_TRUE(Contains(ReadText(KeptFileOf(update)), ": Run verdict: succeeded\n"));
  }

  std::filesystem::remove(DayFile());
  const std::string history = RunHistoryPath(m_logs.Str());
  std::filesystem::remove(history);
  ASSERT_EQ(::mkfifo(history.c_str(), 0644), 0) << std::strerror(errno);
  {
    test::OrvaneChild update;
    ASSERT_TRUE(update.Start(Args("update", router, {"--yes", "--json"})));
    ASSERT_EQ(update.WaitForExit(kCommandLimitMs), 0) << update.Out() << update.Err();
    EXPECT_EQ(Member(update.Out(), "history_recorded"), "false") << update.Out();
    EXPECT_EQ(Member(update.Out(), "log_complete"), "true") << update.Out();
    EXPECT_TRUE(Contains(update.Err(), "the run was not added to the run history: cannot write " + history +
                                           ": not a regular file: a named pipe\n"))
        << update.Err();
  }
  test::OrvaneChild list;
  ASSERT_TRUE(list.Start({"history", "--log-dir", m_logs.Str()}));
  EXPECT_EQ(list.WaitForExit(kCommandLimitMs), 1) << list.Out() << list.Err();
  EXPECT_EQ(list.Err(), "orvane history: cannot read " + history + ": not a regular file: a named pipe\n");
}

// Stands in for the log's clock: the day before until told, then the next.
class MidnightClock {
 public:
  CDownloadLog::TimeSource Source() {
    return [passed = m_passed] {
      return *passed ? platform::LocalTime{2026, 12, 9, 0, 0, 2} : platform::LocalTime{2026, 12, 8, 23, 59, 58};
    };
  }
  void Pass() { *m_passed = true; }

 private:
  std::shared_ptr<std::atomic<bool>> m_passed = std::make_shared<std::atomic<bool>>(false);
};

class SilentPrompter : public IPrompter {
 public:
  void Warning(const std::string&) override {}
  void Note(const std::string&) override {}
};

// A run that passes midnight: its lines are in both days' files, and the
// report, the history line, the command's text and JSON and `orvane
// history` name both, the first where the run began.
TEST_F(LogFilesTest, ARunThatPassesMidnightNamesBothDaysFiles) {
  const std::size_t router = AddRouter();
  const routersim::Ports ports = m_sims[router]->BoundPorts();
  MidnightClock clock;
  SessionOptions options;
  options.profile.broadcastAddress = "127.0.0.1";
  options.profile.relayTcpPort = ports.relay;
  options.profile.controlUdpPort = ports.control;
  options.profile.telnetPort = ports.telnet;
  options.logFolder = m_logs.Str();
  options.imageDirectory = m_images[router]->Str();
  options.logClock = clock.Source();
  test::RecordingView view;
  SilentPrompter prompter;
  CUpdateSession session(options, view, prompter);
  const CheckReport check = session.Check();
  ASSERT_TRUE(check.ok && check.evaluation.updateEnabled);
  view.OnStatus([&](int, const std::string&) { clock.Pass(); });  // midnight comes with the run's first status
  const RunReport report = session.Update();
  ASSERT_TRUE(report.verdict.ok()) << report.verdict.detail;

  const std::string first = (m_logs.Path() / "2026-12-08" / CDownloadLog::kFileName).string();
  const std::string second = (m_logs.Path() / "2026-12-09" / CDownloadLog::kFileName).string();
  EXPECT_EQ(report.log.files, (std::vector<std::string>{first, second}));
  EXPECT_TRUE(report.log.Complete());
  EXPECT_TRUE(Contains(ReadText(first), "2026120823:59:58: 02-00-5E-10-00-01\n"));
  EXPECT_TRUE(Contains(ReadText(second), "2026120900:00:02: Run verdict: succeeded\n"));

  const RunHistory history = ReadRunHistory(RunHistoryPath(m_logs.Str()));
  ASSERT_EQ(history.records.size(), 1u);
  EXPECT_EQ(history.records[0].logFile, first) << "the key older readers know: where the run began";
  EXPECT_EQ(history.records[0].logFiles, (std::vector<std::string>{first, second}));

  std::ostringstream text, json;
  cli::PrintRunReport(text, report, session.Items());
  cli::WriteRunJson(json, report, session.Items(), {}, check);
  EXPECT_TRUE(Contains(text.str(), "Log: " + first + ", " + second + "\n")) << text.str();
  EXPECT_TRUE(Contains(json.str(), "\"log_file\":\"" + first + "\",\"log_files\":[\"" + first + "\",\"" + second +
                                       "\"],\"log_complete\":true,"))
      << json.str();
  const test::CliResult listed = test::RunCli({"history", "--log-dir", m_logs.Str()});
  EXPECT_TRUE(Contains(listed.out, "  log: " + first + ", " + second + "\n")) << listed.out << listed.err;
}

// The dialog's end of a run: a box says what the log lacks and where it
// went; a complete log adds none.
TEST(RunMessages, AnIncompleteLogGetsABoxOfItsOwn) {
  UpdateItems items;
  LoadItemNames(items);
  RunReport report;
  report.verdict.outcome = RunOutcome::Succeeded;
  report.log.files = {"/logs/2026-12-08/LumtarLog.txt"};
  EXPECT_TRUE(app::RunMessages(report, items).empty());
  report.log.missingLines = 3;
  report.log.reason = platform::kHeldByAnotherProgram;
  report.log.keptAt = "/logs/2026-12-08/LumtarLog.4711.txt";
  const std::vector<std::string> boxes = app::RunMessages(report, items);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], "The download log is incomplete:\n3 lines of the download log did not reach "
                      "/logs/2026-12-08/LumtarLog.txt (held by another program); they were kept in "
                      "/logs/2026-12-08/LumtarLog.4711.txt");
}

}  // namespace
}  // namespace orvane
