#include "log/download_log.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "log/error_text.h"
#include "log/run_history.h"
#include "platform/system_files.h"
#include "support/held_file.h"
#include "support/temp_dir.h"
#include "support/text_search.h"
#include "support/time_scale.h"
#ifndef _WIN32
#include "support/small_tmpfs.h"
#endif

namespace orvane {
namespace {

using test::ReadText;

using test::Contains;

platform::LocalTime March2nd() { return {2008, 3, 2, 9, 5, 7}; }

TEST(DownloadLog, LineHasTheStampTheMessageAndALineFeed) {
  test::TempDir dir;
  CDownloadLog log(dir.Str(), March2nd);
  log.AddLine("DIAG_Reset: %s", "Write or Read Fail");
  log.AddLine("Execute#%d> Read Fail", 3);
  log.AddLine(CDownloadLog::kSeparator);
  static_cast<IDiagLogSink&>(log).DiagLine("Firmware Version: 100% (%s)");  // as it stands, not a format
  EXPECT_EQ(log.Text(),
            "2008030209:05:07: DIAG_Reset: Write or Read Fail\n"
            "2008030209:05:07: Execute#3> Read Fail\n"
            "2008030209:05:07: ++++++++++++++++++++++++++++++++++++++++++++++++++\n"
            "2008030209:05:07: Firmware Version: 100% (%s)\n");
  EXPECT_EQ(log.CurrentFilePath(), (dir.Path() / "2008-03-02" / "LumtarLog.txt").string());
}

// A station's lanes: each lane's log tags its lines, and the logs share the
// day's file line by line, every line whole and each lane's in its order.
TEST(DownloadLog, LaneTaggedLogsShareTheDaysFileLineByLine) {
  test::TempDir dir;
  constexpr int kLines = 300;
  std::vector<std::unique_ptr<CDownloadLog>> lanes;
  for (const char* tag : {"port0", "port1", "port2"}) {
    lanes.push_back(std::make_unique<CDownloadLog>(dir.Str(), March2nd));
    lanes.back()->SetLineTag(tag);
  }
  std::vector<std::thread> writers;
  for (const std::unique_ptr<CDownloadLog>& lane : lanes) {
    writers.emplace_back([&lane] {
      for (int i = 0; i < kLines; ++i) lane->AddLine("line %d of this lane", i);
    });
  }
  for (std::thread& writer : writers) writer.join();
  // A line that found the file held by another lane too long was held back;
  // the block's end brings it out.
  for (const std::unique_ptr<CDownloadLog>& lane : lanes) EXPECT_TRUE(lane->EndBlock().Complete());
  const std::string file = ReadText(lanes.front()->CurrentFilePath());
  std::array<int, 3> next{};
  std::size_t lines = 0;
  for (std::size_t from = 0, end; (end = file.find('\n', from)) != std::string::npos; from = end + 1, ++lines) {
    const std::string line = file.substr(from, end - from);
    int lane = -1;
    int number = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "2008030209:05:07: [port%d] line %d of this lane", &lane, &number), 2) << line;
    ASSERT_TRUE(lane >= 0 && lane < 3) << line;
    EXPECT_EQ(number, next[lane]++) << line;
  }
  EXPECT_EQ(lines, 3u * kLines);

  // Without a tag (every other front end), the line is as it always was.
  lanes.front()->SetLineTag("");
  lanes.front()->Clear();
  lanes.front()->AddLine("DIAG_Reset");
  EXPECT_EQ(lanes.front()->Text(), "2008030209:05:07: DIAG_Reset\n");
}

TEST(DownloadLog, OverlongMessagesAreCutOnACharacterBoundary) {
  CDownloadLog log("/nonexistent-unused", March2nd);
  log.AddLine("%s", std::string(5000, 'x').c_str());
  const std::string stamp = "2008030209:05:07: ";
  EXPECT_EQ(log.Text(), stamp + std::string(CDownloadLog::kMaxMessageChars, 'x') + "\n");

  log.Clear();
  std::string wide;
  for (int i = 0; i < 2000; ++i) wide += "\xE4\xB8\xAD";  // a three-byte character
  log.AddLine("%s", wide.c_str());
  const std::string text = log.Text();
  const std::string message = text.substr(stamp.size(), text.size() - stamp.size() - 1);
  EXPECT_EQ(message, wide.substr(0, 3 * CDownloadLog::kMaxMessageChars));
}

TEST(DownloadLog, EachLineIsInTheDaysFileWhenAddedAndSavingWritesNothingTwice) {
  test::TempDir dir;
  CDownloadLog log(dir.Str(), March2nd);
  const std::string file = dir.File("2008-03-02/LumtarLog.txt");
  log.AddLine("first run");
  EXPECT_EQ(ReadText(file), "2008030209:05:07: first run\n") << "on disk before any save";
  ASSERT_EQ(log.SaveToFile(), 1);
  EXPECT_EQ(log.Text(), "");
  log.AddLine("second run");
  ASSERT_EQ(log.SaveToFile(), 1);
  EXPECT_EQ(ReadText(file), "2008030209:05:07: first run\n2008030209:05:07: second run\n");
}

TEST(DownloadLog, ALineTheFileCannotTakeGoesOutBeforeTheNextOne) {
  test::ScopedTimeScale fast(0.05);
  test::TempDir dir;
  CDownloadLog log(dir.Str(), March2nd);
  const std::string file = dir.File("2008-03-02/LumtarLog.txt");
  log.AddLine("before");
  {
    // Another program holds the file.
    test::HeldFile holder(file);
    ASSERT_TRUE(holder.Held());
    log.AddLine("held back");
    EXPECT_GT(log.HeldBackBytes(), 0u);
    EXPECT_EQ(log.SaveToFile(), 0);
    EXPECT_TRUE(Contains(log.Text(), "held back")) << "a failed save keeps the text";
  }
  log.AddLine("after");
  EXPECT_EQ(log.HeldBackBytes(), 0u);
  EXPECT_EQ(ReadText(file), "2008030209:05:07: before\n2008030209:05:07: held back\n2008030209:05:07: after\n");

  // The date folder cannot be made: a plain file stands in its place.
  CDownloadLog blocked(file, March2nd);
  blocked.AddLine("x");
  EXPECT_EQ(blocked.SaveToFile(), 0);
  EXPECT_EQ(blocked.Text(), "2008030209:05:07: x\n");
}

#ifndef _WIN32
// A write the file system cuts short (here the process's file size limit):
// the part that reached the file is not written again.
TEST(DownloadLog, AShortWriteLeavesEveryLineOnceInTheFile) {
  test::TempDir dir;
  CDownloadLog log(dir.Str(), March2nd);
  const std::string file = dir.File("2008-03-02/LumtarLog.txt");
  log.AddLine("first");
  const auto size = static_cast<rlim_t>(std::filesystem::file_size(file));

  struct sigaction ignore {}, previousAction {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previousAction), 0);
  rlimit previous{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
  rlimit limited = previous;
  limited.rlim_cur = size + 10;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  log.AddLine("second line, cut by the limit");
  const std::size_t heldBack = log.HeldBackBytes();
  ::setrlimit(RLIMIT_FSIZE, &previous);
  ::sigaction(SIGXFSZ, &previousAction, nullptr);
  EXPECT_GT(heldBack, 0u);
  EXPECT_EQ(std::filesystem::file_size(file), size) << "the cut line was taken back: no torn line stays";

  log.AddLine("third");
  EXPECT_EQ(ReadText(file),
            "2008030209:05:07: first\n2008030209:05:07: second line, cut by the limit\n2008030209:05:07: third\n");
}
#endif

TEST(DownloadLog, ASystemErrorTextStaysOnItsLine) {
  test::TempDir dir;
  CDownloadLog log(dir.Str(), March2nd);
  log.AddLine("Router Block%d Transfer Fail: %s", 2, FormatErrorText(0xFFFFFFFFu).c_str());
  log.AddLine("Router Block%d Transfer Fail: %s", 3, "Connection reset\r\nby peer\r\n");
  EXPECT_EQ(ReadText(dir.File("2008-03-02/LumtarLog.txt")),
            "2008030209:05:07: Router Block2 Transfer Fail: Unknow Error Code: -1\n"
            "2008030209:05:07: Router Block3 Transfer Fail: Connection reset by peer\n");
}

TEST(DownloadLog, LinesFromTwoThreadsAreAllWrittenInTheirOrder) {
  test::TempDir dir;
  CDownloadLog log(dir.Str(), March2nd);
  auto writer = [&log](int id) {
    for (int i = 0; i < 300; ++i) log.AddLine("thread %d line %d", id, i);
  };
  std::thread a(writer, 1), b(writer, 2);
  a.join();
  b.join();
  const auto lines = test::LinesOf(ReadText(dir.File("2008-03-02/LumtarLog.txt")));
  ASSERT_EQ(lines.size(), 600u);
  int next[3] = {0, 0, 0};
  for (const std::string& line : lines) {
    int id = 0, i = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "2008030209:05:07: thread %d line %d", &id, &i), 2) << line;
    EXPECT_EQ(i, next[id]++) << line;
  }
  EXPECT_EQ(log.Text(), ReadText(dir.File("2008-03-02/LumtarLog.txt")));
}

std::string DateFile(const test::TempDir& dir, const char* date) {
  return (dir.Path() / date / CDownloadLog::kFileName).string();
}

// Another program holds the day's file: the end of a block waits for it;
// held past that, the block's lines go to a file of this process's own
// beside it, which takes the next shortfall too, and nothing reaches the
// day's file twice once it is let go.
TEST(DownloadLog, AHeldFileIsWaitedForAtTheBlocksEndElseItsLinesAreKeptBesideIt) {
  test::ScopedTimeScale fast(0.05);
  test::TempDir dir;
  const std::string file = DateFile(dir, "2008-03-02");
  std::filesystem::create_directories(dir.Path() / "2008-03-02");
  CDownloadLog log(dir.Str(), March2nd);
  {
    test::HeldFor holder(file, CDownloadLog::kBlockEndWaitMs / 4);
    ASSERT_TRUE(holder.Held());
    log.AddLine("one");
    EXPECT_GT(log.HeldBackBytes(), 0u);
    EXPECT_TRUE(log.EndBlock().Complete());
  }
  EXPECT_EQ(ReadText(file), "2008030209:05:07: one\n");

  const std::string id = std::to_string(platform::ProcessId());
  const std::string kept = (dir.Path() / "2008-03-02" / ("LumtarLog." + id + ".txt")).string();
  {
    test::HeldFile holder(file);
    ASSERT_TRUE(holder.Held());
    log.BeginBlock();
    log.AddLine("three");
    log.AddLine("four");
    const LogBlockReport report = log.EndBlock();
    EXPECT_EQ(report.missingLines, 2u);
    EXPECT_EQ(report.problem, platform::FileProblem::Held);
    EXPECT_EQ(report.keptAt, kept);
    EXPECT_EQ(LogShortfallText(report), "2 lines of the download log did not reach " + file +
                                            " (held by another program); they were kept in " + kept);
    EXPECT_EQ(ReadText(kept), "2008030209:05:07: three\n2008030209:05:07: four\n");
    EXPECT_EQ(log.HeldBackBytes(), 0u);
    EXPECT_EQ(log.Text(), "") << "every line is on disk";

    log.BeginBlock();
    log.AddLine("five");
    EXPECT_EQ(log.EndBlock(0).keptAt, kept) << "its own file takes the next shortfall";
  }
  log.AddLine("six");
  EXPECT_EQ(ReadText(file), "2008030209:05:07: one\n2008030209:05:07: six\n");
  EXPECT_EQ(ReadText(kept), "2008030209:05:07: three\n2008030209:05:07: four\n2008030209:05:07: five\n");

  // A file of that name left by an earlier process of the same id stays
  // as it was: the lines take the next name.
  test::TempDir other;
  const std::string otherFile = DateFile(other, "2008-03-02");
  std::filesystem::create_directories(other.Path() / "2008-03-02");
  const std::string stem = (other.Path() / "2008-03-02" / ("LumtarLog." + id)).string();
  std::ofstream(stem + ".txt", std::ios::binary) << "an earlier process's\n";
  test::HeldFile holder(otherFile);
  CDownloadLog second(other.Str(), March2nd);
  second.AddLine("seven");
  EXPECT_EQ(second.EndBlock(0).keptAt, stem + "-2.txt");
  EXPECT_EQ(ReadText(stem + ".txt"), "an earlier process's\n");
  EXPECT_EQ(ReadText(stem + "-2.txt"), "2008030209:05:07: seven\n");
}

#ifndef _WIN32
// Four processes append to one day's file at once, as four runs of the
// command do: every process's lines are in it, once each, whole, in that
// process's order. Lines of different lengths make a torn write show.
TEST(DownloadLog, FourProcessesSharingTheFileLoseAndTearNoLine) {
  constexpr int kProcesses = 4;
  constexpr int kLines = 100;
  constexpr std::uint32_t kProcessLimitMs = 60000;
  const auto filler = [](int process, int line) {
    return std::string(static_cast<std::size_t>((process * 131 + line * 37) % 700), 'x');
  };
  test::TempDir dir;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0) << std::strerror(errno);
    if (child == 0) {
      CDownloadLog log(dir.Str(), March2nd);
      log.BeginBlock();
      for (int i = 0; i < kLines; ++i) log.AddLine("process %d line %d %s", p, i, filler(p, i).c_str());
      ::_exit(log.EndBlock().Complete() ? 0 : 1);
    }
    children.push_back(child);
  }
  const std::uint32_t start = platform::TickCount();
  for (const pid_t child : children) {
    int status = -1;
    while (::waitpid(child, &status, WNOHANG) == 0) {
      if (platform::TicksElapsed(start, kProcessLimitMs)) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        ADD_FAILURE() << "a writer did not end";
        break;
      }
      platform::Sleep(10);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer's block is incomplete";
  }
  const auto lines = test::LinesOf(ReadText(DateFile(dir, "2008-03-02")));
  EXPECT_EQ(lines.size(), static_cast<std::size_t>(kProcesses * kLines));
  int next[kProcesses] = {};
  for (const std::string& line : lines) {
    int p = -1, i = -1, used = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "2008030209:05:07: process %d line %d %n", &p, &i, &used), 2) << line;
    ASSERT_TRUE(p >= 0 && p < kProcesses) << line;
    EXPECT_EQ(i, next[p]++) << "process " << p << ": lost or out of order";
    EXPECT_EQ(line.substr(static_cast<std::size_t>(used)), filler(p, i)) << "torn: " << line.substr(0, 60);
  }
}

// A full disk (a 64 KiB file system of the test's own): the line that no
// longer fits is taken back whole and kept elsewhere, the system's words
// for the shortage are in the report, the history's line is refused the
// same way; once there is room, the next writer ends a line another
// writer left torn before it writes its own.
TEST(DownloadLog, AFullDiskLeavesNoTornLineAndSaysSo) {
  test::SmallTmpfs disk(64 * 1024);
  if (!disk.Mounted()) GTEST_SKIP() << "no file system of the test's own: " << disk.Why();
  const std::string folder = disk.Path() + "/logs";
  const std::string file = folder + "/2008-03-02/" + CDownloadLog::kFileName;
  const std::string noSpace = std::strerror(ENOSPC);
  CDownloadLog log(folder, March2nd);
  log.BeginBlock();
  // Lines up to near the end of the file's first page, so that a long one
  // needs a page the disk will not have.
  const auto page = static_cast<std::uintmax_t>(::sysconf(_SC_PAGESIZE));
  const std::string shortLine(100, 's');
  for (int i = 0; i < 100 && (!std::filesystem::exists(file) || std::filesystem::file_size(file) + 300 < page); ++i) {
    log.AddLine("%s", shortLine.c_str());
  }
  const std::string before = ReadText(file);
  ASSERT_GT(before.size() + 300, page);
  // The rest of the disk goes to a filler.
  const std::string filler = disk.Path() + "/filler";
  {
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const std::string chunk(page, 'z');
    for (int i = 0; i < 64 && ::write(fd, chunk.data(), chunk.size()) > 0; ++i) {
    }
    ::close(fd);
  }
  const std::string longLine(1000, 'L');
  log.AddLine("%s", longLine.c_str());
  EXPECT_EQ(ReadText(file), before) << "the line that did not fit was taken back whole";
  EXPECT_GT(log.HeldBackBytes(), longLine.size());

  RunRecord record;
  record.time = "2008-03-02 09:05:07";
  record.detail = std::string(2 * page, 'd');
  const platform::FileResult history = AppendRunRecord(folder, record, 0);
  EXPECT_EQ(history.problem, platform::FileProblem::CannotWrite);
  EXPECT_TRUE(Contains(history.reason, noSpace));
  const RunHistory read = ReadRunHistory(RunHistoryPath(folder));
  EXPECT_TRUE(read.records.empty() && read.notes.empty()) << "no part of the line stays";

  const LogBlockReport report = log.EndBlock(0);
  EXPECT_EQ(report.missingLines, 1u);
  EXPECT_EQ(report.problem, platform::FileProblem::CannotWrite);
  EXPECT_TRUE(Contains(LogShortfallText(report), file + " (" + noSpace + ")"));
  // Beside the day's file there is no room either: the temp folder took it.
  ASSERT_FALSE(report.keptAt.empty()) << report.keptProblem;
  EXPECT_FALSE(Contains(report.keptAt, folder));
  EXPECT_EQ(ReadText(report.keptAt), "2008030209:05:07: " + longLine + "\n");
  std::filesystem::remove(report.keptAt);

  // Room again; another writer stopped half-way through a line.
  std::filesystem::remove(filler);
  std::ofstream(file, std::ios::binary | std::ios::app) << "2008030209:05:07: torn";
  CDownloadLog next(folder, March2nd);
  next.AddLine("next writer");
  EXPECT_EQ(ReadText(file), before + "2008030209:05:07: torn\n2008030209:05:07: next writer\n");
}
#endif

TEST(FormatErrorText, SystemTextOrTheSignedFallback) {
#ifdef _WIN32
  // The message table's wording differs between Windows releases and languages.
  const std::string system = FormatErrorText(2);  // ERROR_FILE_NOT_FOUND
  ASSERT_GT(system.size(), 2u);
  EXPECT_EQ(system.substr(system.size() - 2), "\r\n");
  EXPECT_EQ(system.find("Unknow Error Code"), std::string::npos);
#else
  EXPECT_EQ(FormatErrorText(ENOENT), "No such file or directory\r\n");
#endif
  EXPECT_EQ(FormatErrorText(0xFFFFFFFFu), "Unknow Error Code: -1\n");
  EXPECT_EQ(FormatErrorText(0x80000000u), "Unknow Error Code: -2147483648\n");
  EXPECT_EQ(FormatErrorText(123456), "Unknow Error Code: 123456\n");
}

}  // namespace
}  // namespace orvane
