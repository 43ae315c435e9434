#include "log/download_log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <thread>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include "log/error_text.h"
#include "support/held_file.h"
#include "support/temp_dir.h"
#include "support/text_search.h"

namespace orvane {
namespace {

using test::Contains;

platform::LocalTime March2nd() { return {2008, 3, 2, 9, 5, 7}; }

std::string ReadText(const std::string& path) {
  const auto bytes = test::ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

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
