// The daemon's process shell: numbers, settings, the log, the sleep and
// detaching.
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "watchdog/netvigil.h"
#include "watchdog/nvram/nvram.h"
#include "watchdog_test_support.h"

namespace {

using watchdog_test::ReadFile;
using watchdog_test::SplitLines;

TEST(NetvigilNumbers, IntToTextWritesPlainDecimal) {
  EXPECT_STREQ(nv::int_to_text(0), "0");
  EXPECT_STREQ(nv::int_to_text(12), "12");
  EXPECT_STREQ(nv::int_to_text(-3), "-3");
  EXPECT_STREQ(nv::int_to_text(100), "100");
  EXPECT_STREQ(nv::int_to_text(INT32_MAX), "2147483647");
  EXPECT_STREQ(nv::int_to_text(INT32_MIN), "-2147483648");
}

TEST(NetvigilNumbers, SettingsReadLikeAtoiWithinRange) {
  EXPECT_EQ(nv::text_to_int(""), 0);
  EXPECT_EQ(nv::text_to_int("abc"), 0);
  EXPECT_EQ(nv::text_to_int("12abc"), 12);
  EXPECT_EQ(nv::text_to_int("  -7"), -7);
  EXPECT_EQ(nv::text_to_int("+5"), 5);
  EXPECT_EQ(nv::text_to_int("2 "), 2);
  EXPECT_EQ(nv::text_to_int("99999999999"), INT32_MAX);
  EXPECT_EQ(nv::text_to_int("-99999999999"), INT32_MIN);
  EXPECT_EQ(nv::text_to_int(nullptr), 0);
  // Seconds to milliseconds never wraps into a negative sleep.
  EXPECT_EQ(nv::seconds_to_ms(180), 180000);
  EXPECT_EQ(nv::seconds_to_ms(3000000), INT32_MAX);
  EXPECT_EQ(nv::seconds_to_ms(-3000000), INT32_MIN);
}

TEST(NetvigilNumbers, StoredTimesReadAsStrtollReadsThem) {
  // The daemon's own reading of 64-bit numbers against the C library's, for
  // the spellings a stored time or count may have: where each number ends
  // and its value, with the 64-bit range held at both ends.
  for (const char* text : {"0", "1733712000", "  42 7", "+9", "-3", "12abc", "abc", "",
                           "9223372036854775807", "9223372036854775808", "99999999999999999999",
                           "-9223372036854775808", "-9223372036854775809", "\t\n 5", "- 5"}) {
    char* their_end = nullptr;
    const long long theirs = strtoll(text, &their_end, 10);
    const char* our_end = nullptr;
    EXPECT_EQ(nv::text_to_int64(text, &our_end), theirs) << '"' << text << '"';
    // strtoll leaves `end` at the start when it read no digits at all.
    if (their_end != text) {
      EXPECT_EQ(our_end, their_end) << '"' << text << '"';
    }
    EXPECT_EQ(nv::text_to_time(text), theirs > 0 ? theirs : 0) << '"' << text << '"';
  }
}

// The formatter against the C library's snprintf: the same text, the same
// length, and nothing written past the buffer, for every format the daemon
// uses, with the widths overflowed, negative and 64-bit numbers, and cuts.
#define EXPECT_FORMATS_AS_SNPRINTF(size, ...)                              \
  do {                                                                     \
    char ours[64];                                                         \
    char theirs[64];                                                       \
    memset(ours, '#', sizeof ours);                                        \
    memset(theirs, '#', sizeof theirs);                                    \
    const int our_length = nv::format_text(ours, size, __VA_ARGS__);       \
    const int their_length = snprintf(theirs, size, __VA_ARGS__);          \
    EXPECT_EQ(our_length, their_length) << #__VA_ARGS__ << " in " << size; \
    EXPECT_EQ(std::string(ours, sizeof ours), std::string(theirs, sizeof theirs)) \
        << #__VA_ARGS__ << " in " << size;                                 \
  } while (false)

TEST(NetvigilText, FormatsTheDaemonsConversionsAsSnprintf) {
  for (const size_t size : {size_t{64}, size_t{12}, size_t{1}}) {
    EXPECT_FORMATS_AS_SNPRINTF(size, "[%9s: %4d]:", "main", 341);
    EXPECT_FORMATS_AS_SNPRINTF(size, "[%9s: %4d]:", "__msleep", 80);
    EXPECT_FORMATS_AS_SNPRINTF(size, "[%9s: %4d]:", "longer-than-nine", 123456);
    EXPECT_FORMATS_AS_SNPRINTF(size, "[%9s: %4d]:", "", -7);
    EXPECT_FORMATS_AS_SNPRINTF(size, "[%s] ", "FATAL");
    EXPECT_FORMATS_AS_SNPRINTF(size, "%s%d", "remote_server", INT_MIN);
    EXPECT_FORMATS_AS_SNPRINTF(size, "%s%d", "remote_server", INT_MAX);
    EXPECT_FORMATS_AS_SNPRINTF(size, "would pause %d seconds (%s)\n", 0, "reboot_interval");
    EXPECT_FORMATS_AS_SNPRINTF(size, "time=%lld server=%d reason=%s", 1700000000LL, 2,
                               "unreachable");
    EXPECT_FORMATS_AS_SNPRINTF(size, "%lld %lld", LLONG_MIN, LLONG_MAX);
    EXPECT_FORMATS_AS_SNPRINTF(size, "%lld|%lld|%lld", 4294967296LL, 65536LL, -10LL);
    EXPECT_FORMATS_AS_SNPRINTF(size, "100%% %s", "sure");
    EXPECT_FORMATS_AS_SNPRINTF(size, "%s", "");
  }
}

TEST(NetvigilText, TimeScaleSpellingsReadAsStrtodReadsThem) {
  for (const char* text : {"0.01", "0.05", "1", "1000", "5e-3", "2.5E+1", " \t0.5", "+.25", "5.",
                           "-0.5", "0.000001", "123.456789012345", "1e-9", "00000.0100", "0.1e2",
                           "1e22", "999.999999999999"}) {
    double value = 0.0;
    ASSERT_TRUE(nv::parse_decimal(text, &value)) << text;
    EXPECT_EQ(value, strtod(text, nullptr)) << text;
  }
  // More digits than the exact reading covers: the last place at most one off.
  const char* digits = "0.0123456789012345678901234567";
  double value = 0.0;
  ASSERT_TRUE(nv::parse_decimal(digits, &value));
  const double exact = strtod(digits, nullptr);
  EXPECT_GE(value, nextafter(exact, 0.0));
  EXPECT_LE(value, nextafter(exact, 1.0));
  // Text that strtod does not read to its end is no number.
  for (const char* text : {"", " ", ".", "e3", "1e", "1e+", "0.5x", "1 ", "--1", "1.2.3"}) {
    EXPECT_FALSE(nv::parse_decimal(text, &value)) << text;
  }
}

class NetvigilLog : public watchdog_test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    log_ = folder_ / "netvigil.log";
    nv::g_log_file = log_.c_str();
    nv::g_log_bytes = 0;
    nv::g_time_scale = 1.0;
  }
  void TearDown() override {
    nv::g_log_file = nv::kLogFile;
    nv::g_time_scale = 1.0;
    StoreTest::TearDown();
  }
  std::string Log() const { return ReadFile(log_); }

  std::string log_;
};

TEST_F(NetvigilLog, LineLayoutIsLevelTagRoutineAndNumber) {
  nv::log_line("main", 341, "Netvigil start!\n");
  nv::log_line("netvigil", 277, "Receive success!\n");
  nv::log_line("main", 391, "ping %s success\n", "example.net");
  EXPECT_EQ(Log(),
            "[INFO] [     main:  341]:Netvigil start!\n"
            "[INFO] [ netvigil:  277]:Receive success!\n"
            "[INFO] [     main:  391]:ping example.net success\n");
}

TEST_F(NetvigilLog, LevelsBelowTheSettingAndOutOfRangeAreDropped) {
  // sys_log_level missing: every level 0..5 reaches the file, nothing else.
  for (int level = -1; level <= 6; ++level) nv::_syslog(log_.c_str(), level, "level %d", level);
  EXPECT_EQ(Log(),
            "[DEBUG] level 0\n[INFO] level 1\n[WARN] level 2\n"
            "[HIGH] level 3\n[ERR] level 4\n[FATAL] level 5\n");

  // "2": the daemon's own lines (all INFO) are no longer written.
  ASSERT_EQ(nvram_set("sys_log_level", "2"), 0);
  nv::log_line("main", 341, "Netvigil start!\n");
  nv::_syslog(log_.c_str(), nv::LEVEL_WARN, "warned\n");
  EXPECT_EQ(SplitLines(Log()).back(), "[WARN] warned");
  EXPECT_EQ(Log().find("start"), std::string::npos);

  // A non-numeric setting counts as 0.
  ASSERT_EQ(nvram_set("sys_log_level", "high"), 0);
  nv::_syslog(log_.c_str(), nv::LEVEL_DEBUG, "debug again\n");
  EXPECT_EQ(SplitLines(Log()).back(), "[DEBUG] debug again");
}

TEST_F(NetvigilLog, LineFeedsAreCompletedButNeverDoubled) {
  nv::_syslog(log_.c_str(), nv::LEVEL_INFO, "no line feed");
  nv::_syslog(log_.c_str(), nv::LEVEL_INFO, "%s", "");  // empty message: tag only
  nv::_syslog(log_.c_str(), nv::LEVEL_INFO, "one\n");
  EXPECT_EQ(Log(), "[INFO] no line feed\n[INFO] [INFO] one\n");
}

TEST_F(NetvigilLog, ServerTextIsWrittenAsTextNotAsFormat) {
  nv::log_line("main", 381, "ping %s\n", "a%s%n%d");
  EXPECT_EQ(Log(), "[INFO] [     main:  381]:ping a%s%n%d\n");
}

TEST_F(NetvigilLog, OverlongLineIsCutToTheBufferAndStillEnds) {
  const std::string server(5000, 'x');
  nv::log_line("main", 381, "ping %s\n", server.c_str());
  nv::log_line("main", 399, "ping %s failure\n", "short");
  const std::vector<std::string> lines = SplitLines(Log());
  ASSERT_EQ(lines.size(), 2u);
  // 2047 characters with the line feed: the 2048-byte buffer with its zero.
  EXPECT_EQ(lines[0].size() + 1, static_cast<size_t>(nv::kLogLineBuffer - 1));
  EXPECT_EQ(lines[0].rfind("[INFO] [     main:  381]:ping xxx", 0), 0u);
  EXPECT_EQ(lines[0].find_first_not_of('x', 32), std::string::npos);
  EXPECT_EQ(lines[1], "[INFO] [     main:  399]:ping short failure");
}

TEST_F(NetvigilLog, SleepErrorLineKeepsItsOwnTwoLineFeeds) {
  nv::__msleep(-1000);  // a negative wait is refused by the system
  EXPECT_EQ(Log(), "[INFO] [ __msleep:   80]:msleep : select error \n\n");
}

TEST_F(NetvigilLog, ProcessStartsTheFileAfreshPast4096Bytes) {
  watchdog_test::WriteFile(log_, "from an earlier process\n");
  const std::string line = std::string(99, 'a') + "\n";  // 100 bytes
  for (int i = 0; i < 40; ++i) nv::write_log_file(log_.c_str(), line.c_str());
  // An earlier process's lines do not count: 4000 bytes appended so far.
  EXPECT_EQ(Log().size(), 24u + 4000u);

  const std::string crossing = std::string(99, 'b') + "\n";  // 4100 > 4096
  nv::write_log_file(log_.c_str(), crossing.c_str());
  EXPECT_EQ(Log(), crossing);
  EXPECT_EQ(nv::g_log_bytes, 0);  // the line that starts the file is not counted

  // So 4096 more bytes still append, and the next byte starts afresh again.
  const std::string block = std::string(4095, 'c') + "\n";
  nv::write_log_file(log_.c_str(), block.c_str());
  EXPECT_EQ(Log(), crossing + block);
  nv::write_log_file(log_.c_str(), "d\n");
  EXPECT_EQ(Log(), "d\n");
}

TEST(NetvigilTime, WaitFollowsTheTimeScale) {
  nv::g_time_scale = 1.0;
  timeval wait = nv::daemon_wait(2500);
  EXPECT_EQ(wait.tv_sec, 2);
  EXPECT_EQ(wait.tv_usec, 500000);
  nv::g_time_scale = 0.01;
  wait = nv::daemon_wait(180000);
  EXPECT_EQ(wait.tv_sec, 1);
  EXPECT_EQ(wait.tv_usec, 800000);
  nv::g_time_scale = 1e-9;
  wait = nv::daemon_wait(1);
  EXPECT_EQ(wait.tv_sec, 0);
  EXPECT_EQ(wait.tv_usec, 1);  // a real wait never becomes none

  nv::g_time_scale = 0.01;
  timespec start{};
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  EXPECT_EQ(nv::__msleep(3000), 0);
  clock_gettime(CLOCK_MONOTONIC, &end);
  nv::g_time_scale = 1.0;
  const double elapsed_ms =
      (end.tv_sec - start.tv_sec) * 1000.0 + (end.tv_nsec - start.tv_nsec) / 1e6;
  EXPECT_GE(elapsed_ms, 29.0);
  EXPECT_LT(elapsed_ms, 2000.0);
}

TEST(NetvigilEnvironment, OverridesApplyOnlyWhenSet) {
  unsetenv("NETVIGIL_LOG_FILE");
  unsetenv("NETVIGIL_LINK_MARKER");
  unsetenv("NETVIGIL_TIME_SCALE");
  nv::load_environment();
  EXPECT_STREQ(nv::g_log_file, "/var/log/netvigil.log");
  EXPECT_STREQ(nv::g_link_marker, "/tmp/ppp/link.ppp0");
  EXPECT_EQ(nv::g_time_scale, 1.0);

  setenv("NETVIGIL_LOG_FILE", "/elsewhere/log", 1);
  setenv("NETVIGIL_LINK_MARKER", "/elsewhere/link", 1);
  setenv("NETVIGIL_TIME_SCALE", "0.05", 1);
  nv::load_environment();
  EXPECT_STREQ(nv::g_log_file, "/elsewhere/log");
  EXPECT_STREQ(nv::g_link_marker, "/elsewhere/link");
  EXPECT_EQ(nv::g_time_scale, 0.05);

  for (const char* bad : {"0", "-1", "fast", "2000", "0.5x"}) {
    setenv("NETVIGIL_TIME_SCALE", bad, 1);
    nv::load_environment();
    EXPECT_EQ(nv::g_time_scale, 1.0) << bad;
  }
  unsetenv("NETVIGIL_LOG_FILE");
  unsetenv("NETVIGIL_LINK_MARKER");
  unsetenv("NETVIGIL_TIME_SCALE");
  nv::load_environment();
}

TEST(NetvigilEnvironment, UptimeIsReadFromTheOverriddenFileOnlyWhenSet) {
  watchdog_test::TempFolder folder;
  ASSERT_TRUE(folder.ok());
  unsetenv("NETVIGIL_UPTIME_FILE");
  nv::load_environment();
  EXPECT_STREQ(nv::g_uptime_file, "/proc/uptime");

  const std::string uptime = folder / "uptime";
  watchdog_test::WriteFile(uptime, "4321.09 8000.00\n");
  setenv("NETVIGIL_UPTIME_FILE", uptime.c_str(), 1);
  nv::load_environment();
  EXPECT_EQ(nv::read_uptime(), 4321);
  watchdog_test::WriteFile(uptime, "");
  EXPECT_EQ(nv::read_uptime(), -1);
  unlink(uptime.c_str());
  EXPECT_EQ(nv::read_uptime(), -1);
  unsetenv("NETVIGIL_UPTIME_FILE");
  nv::load_environment();
}

// Runs nv::daemon in a child of this test; the detached grandchild reports
// its working directory, where its standard streams lead and whether it
// leads a new session, through a pipe.
std::string DetachAndReport(int keep_directory, int keep_streams) {
  int report[2];
  if (pipe(report) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    if (chdir("/tmp") != 0) _exit(3);
    if (nv::daemon(keep_directory, keep_streams) != 0) _exit(4);
    char text[512] = {};
    char cwd[128] = {};
    char streams[3][64] = {};
    if (getcwd(cwd, sizeof cwd) == nullptr) _exit(5);
    for (int fd = 0; fd < 3; ++fd) {
      char link[32];
      snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
      const ssize_t n = readlink(link, streams[fd], sizeof streams[fd] - 1);
      if (n < 0) snprintf(streams[fd], sizeof streams[fd], "closed");
    }
    const bool leader = getsid(0) == getpid();
    const int n = snprintf(text, sizeof text, "%s|%s|%s|%s|%s", cwd, streams[0], streams[1],
                           streams[2], leader ? "session" : "no session");
    if (write(report[1], text, static_cast<size_t>(n)) != n) _exit(6);
    _exit(0);
  }
  close(report[1]);
  int status = -1;
  waitpid(child, &status, 0);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(report[0]);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "starter ended badly";
  return text;
}

TEST(NetvigilDaemon, DetachesIntoANewSession) {
  char own_stdin[64] = {};
  ASSERT_GT(readlink("/proc/self/fd/0", own_stdin, sizeof own_stdin - 1), 0);
  const std::string stdin_target = own_stdin;

  const std::string kept = DetachAndReport(1, 1);
  EXPECT_EQ(kept.rfind("/tmp|" + stdin_target + "|", 0), 0u) << kept;
  EXPECT_NE(kept.find("|session"), std::string::npos) << kept;

  EXPECT_EQ(DetachAndReport(0, 0), "/|/dev/null|/dev/null|/dev/null|session");
}

}  // namespace
