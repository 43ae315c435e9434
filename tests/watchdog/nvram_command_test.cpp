// The `command` settings store against the project's own `nvram` program
// (tools/nvram over a private file store), found on PATH like the firmware's.
// The program is NETVIGIL_TEST_NVRAM_PROGRAM, or the one built beside these
// tests; under qemu-mipsel the native program is run from the emulated test.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "watchdog/nvram/nvram.h"
#include "watchdog/nvram/nvram_cache.h"
#include "watchdog/nvram/nvram_command.h"
#include "watchdog_test_support.h"

namespace {

using watchdog_test::ReadFile;
using watchdog_test::WriteFile;

std::string NvramProgram() {
  const char* given = getenv("NETVIGIL_TEST_NVRAM_PROGRAM");
  if (given != nullptr && *given != '\0') return given;
#ifdef NVRAM_PROGRAM
  return NVRAM_PROGRAM;
#else
  return "";
#endif
}

class NvramCommandStore : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.ok());
    const std::string program = NvramProgram();
    if (program.empty()) {
      GTEST_SKIP() << "no native nvram program: set NETVIGIL_TEST_NVRAM_PROGRAM";
    }
    bin_ = folder_ / "bin";
    ASSERT_EQ(mkdir(bin_.c_str(), 0755), 0);
    ASSERT_EQ(symlink(program.c_str(), (bin_ + "/nvram").c_str()), 0);
    store_ = folder_ / "nvram.txt";
    const char* path = getenv("PATH");
    saved_path_ = path != nullptr ? path : "";
    setenv("PATH", bin_.c_str(), 1);  // nothing else: the program must come from here
    setenv("NVRAM_FILE", store_.c_str(), 1);
  }
  void TearDown() override {
    if (!saved_path_.empty()) setenv("PATH", saved_path_.c_str(), 1);
    unsetenv("NVRAM_FILE");
  }
  // Puts a shell script in place of the program.
  void ReplaceProgram(const std::string& script) {
    const std::string path = bin_ + "/nvram";
    unlink(path.c_str());
    WriteFile(path, "#!/bin/sh\n" + script);
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
  }

  watchdog_test::TempFolder folder_;
  std::string bin_, store_, saved_path_;
};

TEST_F(NvramCommandStore, SetAndGetGoThroughTheProgramWithoutAShell) {
  // Blanks, quotes and shell syntax reach the program as they are.
  const char* value = "a b 'c' $(touch injected);*";
  ASSERT_EQ(nvram_set("remote_server1", value), 0);
  ASSERT_EQ(nvram_set("wan_ppp_demand", ""), 0);
  EXPECT_EQ(ReadFile(store_),
            std::string("remote_server1=") + value + "\nwan_ppp_demand=\n");
  EXPECT_STREQ(nvram_get("remote_server1"), value);  // its line feed dropped
  EXPECT_STREQ(nvram_get("wan_ppp_demand"), "");     // present but empty
  EXPECT_EQ(nvram_get("remote_server2"), nullptr);   // the program's exit 1
}

TEST_F(NvramCommandStore, LongValueIsCutToTheBuffer) {
  const std::string long_value(3 * kNvramValueBuffer, 'x');
  WriteFile(store_, "remote_server1=" + long_value + "\n");
  const char* got = nvram_get("remote_server1");
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(std::string(got), long_value.substr(0, kNvramValueBuffer - 1));
}

TEST_F(NvramCommandStore, SettingLongerThanTheBufferIsRefusedUnwritten) {
  // "k=" and the value's zero take 3 of the buffer's bytes.
  const std::string longest(kNvramSettingBuffer - 3, 'v');
  ASSERT_EQ(nvram_set("k", longest.c_str()), 0);
  errno = 0;
  EXPECT_EQ(nvram_set("k", (longest + "v").c_str()), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ReadFile(store_), "k=" + longest + "\n");
}

TEST_F(NvramCommandStore, MissingOrFailingProgramGivesNoValue) {
  ReplaceProgram("echo 5\nexit 3\n");  // prints a value, then fails
  EXPECT_EQ(nvram_get("ping_times"), nullptr);
  errno = 0;
  EXPECT_EQ(nvram_set("ping_times", "1"), -1);
  EXPECT_EQ(errno, EIO);

  unlink((bin_ + "/nvram").c_str());
  EXPECT_EQ(nvram_get("ping_times"), nullptr);
  EXPECT_EQ(nvram_set("ping_times", "1"), -1);
}

TEST_F(NvramCommandStore, TypedReadTellsAMissingKeyFromAProgramThatFailed) {
  ASSERT_EQ(nvram_set("ping_times", "3"), 0);
  nvram_result read = nvram_read("ping_times");
  ASSERT_EQ(read.outcome, NVRAM_VALUE);
  EXPECT_STREQ(read.value, "3");
  EXPECT_EQ(nvram_read("ping_out_times").outcome, NVRAM_MISSING);  // the program's exit 1

  struct Case {
    const char* script;  // in place of the program; empty: no program at all
    nvram_failure failure;
    int detail;
  };
  const Case cases[] = {
      {"echo 5\nexit 3\n", NVRAM_FAILURE_STATUS, 3},  // prints a value, then fails
      {"kill -9 $$\n", NVRAM_FAILURE_SIGNAL, 9},
      {"", NVRAM_FAILURE_STATUS, 127},  // the shell's "no such command"
  };
  for (const Case& c : cases) {
    if (*c.script != '\0') {
      ReplaceProgram(c.script);
    } else {
      unlink((bin_ + "/nvram").c_str());
    }
    read = nvram_read("ping_times");
    EXPECT_EQ(read.outcome, NVRAM_UNREADABLE) << c.script;
    EXPECT_EQ(read.value, nullptr) << c.script;
    EXPECT_EQ(read.failure, c.failure) << c.script;
    EXPECT_EQ(read.detail, c.detail) << c.script;
    EXPECT_EQ(nvram_get("ping_times"), nullptr) << c.script;
  }

  // A program that never ends: opening a FIFO that nobody writes blocks.
  const std::string never_written = folder_ / "never-written";
  ASSERT_EQ(mkfifo(never_written.c_str(), 0600), 0);
  ReplaceProgram("exec 3<'" + never_written + "'\n");
  const char* const argv[] = {"nvram", "get", "ping_times", nullptr};
  char output[16];
  const nvram_command_end end = nvram_command_call(argv, output, sizeof output, 200);
  EXPECT_EQ(end.failure, NVRAM_FAILURE_TIMEOUT);
  EXPECT_EQ(end.detail, 200);
}

TEST_F(NvramCommandStore, SetIdProcessIgnoresTheCallersPath) {
  if (geteuid() != 0) GTEST_SKIP() << "taking a set-user-id identity needs root";
  const std::string ran = folder_ / "ran";
  ReplaceProgram(": > '" + ran + "'\necho 1\n");  // the caller's program, on PATH
  // Where the shell, running as the real user, can read it and leave its mark.
  ASSERT_EQ(chmod(folder_.path().c_str(), 0777), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Real user nobody, effective user root: as if started set-user-id root.
    if (setresuid(65534, 0, 0) != 0) _exit(2);
    _exit(nvram_get("ping_times") == nullptr ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(access(ran.c_str(), F_OK), 0) << "the program on the caller's PATH ran";
}

// The kept texts live in a fixed area: each key's text stays apart from the
// others' when it changes, grows or shrinks, and a full area refuses only
// new room.
TEST(NvramKeptValues, TextsStayApartAndAFullAreaRefusesOnlyNewRoom) {
  // Eight bytes and the zero fill the first room exactly, so that the next
  // record follows without a gap on 32- and 64-bit machines alike.
  char* a = nvram_keep_value("kept_a", "12345678", 8);
  char* b = nvram_keep_value("kept_b", "x", 1);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(nvram_keep_value("kept_a", "12345678", 8), a);  // unchanged: the same text
  EXPECT_STREQ(nvram_keep_value("kept_a", "9", 1), "9");
  EXPECT_STREQ(nvram_keep_value("kept_a", "123456789", 9), "123456789");  // one past its room
  EXPECT_STREQ(b, "x");
  EXPECT_STREQ(nvram_keep_value("kept_b", "xyz", 3), "xyz");
  const std::string longer(kNvramValueBuffer - 1, 'y');
  EXPECT_STREQ(nvram_keep_value("kept_a", longer.c_str(), longer.size()), longer.c_str());
  EXPECT_STREQ(nvram_keep_value("kept_a", "", 0), "");
  EXPECT_STREQ(nvram_keep_value("kept_b", "xyz", 3), "xyz");

  // Filling the area, in a child so that this process keeps its room.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    size_t keys = 0;
    for (;; ++keys) {
      const std::string name = "key_" + std::to_string(keys);
      if (nvram_keep_value(name.c_str(), "1", 1) == nullptr) break;
      // Moved once, to the largest room.
      if (nvram_keep_value(name.c_str(), longer.c_str(), longer.size()) == nullptr) break;
    }
    if (keys < kNvramKeptKeys) _exit(1);
    for (int tiny = 0; tiny < 10000; ++tiny) {  // the last bytes of the area
      if (nvram_keep_value(("tiny_" + std::to_string(tiny)).c_str(), "1", 1) == nullptr) break;
    }
    if (nvram_keep_value("one_more", "1", 1) != nullptr) _exit(2);
    // Known keys still change within their room.
    const char* shorter = nvram_keep_value("key_0", "short", 5);
    if (shorter == nullptr || strcmp(shorter, "short") != 0) _exit(3);
    const char* back = nvram_keep_value("key_0", longer.c_str(), longer.size());
    if (back == nullptr || longer != back) _exit(3);
    _exit(0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: fewer keys than promised; 2: a key past the area; "
                                       "3: a kept key could not change";
}

// Whether process `pid` has ended (gone, or a zombie waiting for its parent).
bool Ended(pid_t pid) {
  if (kill(pid, 0) != 0) return errno == ESRCH;
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t name_end = stat.rfind(')');
  return name_end != std::string::npos && stat.compare(name_end, 3, ") Z") == 0;
}

TEST_F(NvramCommandStore, ProgramThatHangsOrFloodsIsKilledInTimeAndReaped) {
  const char* const argv[] = {"nvram", "get", "ping_times", nullptr};
  const std::string record = folder_ / "started";
  for (const std::string& script : {
           // Never ends: waits for a busy loop of its own.
           "while :; do :; done &\necho $! > '" + record + "'\nwait\n",
           // Floods its output.
           std::string("while :; do echo xxxxxxxxxxxxxxxx; done\n")}) {
    ReplaceProgram(script);
    char output[16];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(nvram_command_run(argv, output, sizeof output, 300), -1) << script;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << script;
    EXPECT_LT(strlen(output), sizeof output);
    // Reaped: this test process has no child left.
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << script;
    EXPECT_EQ(errno, ECHILD);
  }
  // What the program started went with it.
  const pid_t started = static_cast<pid_t>(atoi(ReadFile(record).c_str()));
  ASSERT_GT(started, 0);
  bool ended = false;
  for (int i = 0; i < 100 && !(ended = Ended(started)); ++i) usleep(10000);
  EXPECT_TRUE(ended);
}

}  // namespace
