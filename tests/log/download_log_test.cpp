#include "log/download_log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <thread>

#include "log/error_text.h"
#include "support/held_file.h"
#include "support/temp_dir.h"

namespace orvane {
namespace {

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

TEST(DownloadLog, SavesAppendToTheDaysFileAndEmptyTheText) {
  test::TempDir dir;
  CDownloadLog log(dir.Str(), March2nd);
  log.AddLine("first run");
  ASSERT_EQ(log.SaveToFile(), 1);
  EXPECT_EQ(log.Text(), "");
  const std::string file = dir.File("2008-03-02/LumtarLog.txt");
  EXPECT_EQ(ReadText(file), "2008030209:05:07: first run\n");

  // Folders exist now: the next save appends, and writes only the new lines.
  log.AddLine("second run");
  ASSERT_EQ(log.SaveToFile(), 1);
  EXPECT_EQ(ReadText(file), "2008030209:05:07: first run\n2008030209:05:07: second run\n");
}

TEST(DownloadLog, AFailedSaveKeepsTheTextForTheNextOne) {
  test::TempDir dir;
  CDownloadLog log(dir.Str(), March2nd);
  log.AddLine("kept");
  const std::string file = dir.File("2008-03-02/LumtarLog.txt");
  std::filesystem::create_directories(dir.File("2008-03-02"));

  {
    // Another program holds the file.
    test::HeldFile holder(file);
    ASSERT_TRUE(holder.Held());
    EXPECT_EQ(log.SaveToFile(), 0);
    EXPECT_EQ(log.Text(), "2008030209:05:07: kept\n");
  }

  // The date folder cannot be made: a plain file stands in its place.
  CDownloadLog blocked(dir.File("2008-03-02/LumtarLog.txt"), March2nd);
  blocked.AddLine("x");
  EXPECT_EQ(blocked.SaveToFile(), 0);
  EXPECT_EQ(blocked.Text(), "2008030209:05:07: x\n");

  log.AddLine("more");
  ASSERT_EQ(log.SaveToFile(), 1);
  EXPECT_EQ(ReadText(file), "2008030209:05:07: kept\n2008030209:05:07: more\n");
}

TEST(DownloadLog, LinesFromTwoThreadsAreAllKept) {
  CDownloadLog log("/nonexistent-unused", March2nd);
  auto writer = [&log](int id) {
    for (int i = 0; i < 500; ++i) log.AddLine("thread %d line %d", id, i);
  };
  std::thread a(writer, 1), b(writer, 2);
  a.join();
  b.join();
  const std::string text = log.Text();
  std::size_t lines = 0;
  for (const char c : text) lines += c == '\n';
  EXPECT_EQ(lines, 1000u);
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
