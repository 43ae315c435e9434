// The file-backed settings store.
#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "watchdog/nvram/nvram_file.h"
#include "watchdog/nvram/nvram_read.h"
#include "watchdog_test_support.h"

namespace {

using watchdog_test::ListFolder;
using watchdog_test::ReadFile;
using watchdog_test::WriteFile;

class NvramStore : public watchdog_test::StoreTest {};

std::string Get(const char* key) {
  const char* value = nvram_get(key);
  return value != nullptr ? value : "<missing>";
}

TEST_F(NvramStore, SetGetUnsetRoundTrip) {
  EXPECT_EQ(Get("ping_times"), "<missing>");  // no store file yet
  ASSERT_EQ(nvram_set("ping_times", "3"), 0);
  ASSERT_EQ(nvram_set("remote_server1", "host=with=equals"), 0);
  ASSERT_EQ(nvram_set("wan_ppp_demand", ""), 0);
  EXPECT_EQ(Get("ping_times"), "3");
  EXPECT_EQ(Get("remote_server1"), "host=with=equals");
  EXPECT_EQ(Get("wan_ppp_demand"), "");  // present but empty is not missing
  EXPECT_EQ(Get("ping"), "<missing>");   // a prefix of a key is not the key

  ASSERT_EQ(nvram_set("ping_times", "4"), 0);
  EXPECT_EQ(ReadFile(store_), "ping_times=4\nremote_server1=host=with=equals\nwan_ppp_demand=\n");

  ASSERT_EQ(nvram_unset("remote_server1"), 0);
  ASSERT_EQ(nvram_unset("not_there"), 0);
  EXPECT_EQ(Get("remote_server1"), "<missing>");
  EXPECT_EQ(ReadFile(store_), "ping_times=4\nwan_ppp_demand=\n");
}

TEST_F(NvramStore, TypedReadTellsAValueAMissingKeyAndAnUnreadableStoreApart) {
  EXPECT_EQ(nvram_read("ping_times").outcome, NVRAM_MISSING);  // no store file: an empty store
  ASSERT_EQ(nvram_set("ping_times", "3"), 0);
  ASSERT_EQ(nvram_set("wan_ppp_demand", ""), 0);
  nvram_result read = nvram_read("ping_times");
  ASSERT_EQ(read.outcome, NVRAM_VALUE);
  EXPECT_STREQ(read.value, "3");
  read = nvram_read("wan_ppp_demand");
  ASSERT_EQ(read.outcome, NVRAM_VALUE);
  EXPECT_STREQ(read.value, "");
  for (const char* key : {"ping_out_times", "", "a=b"}) {
    read = nvram_read(key);
    EXPECT_EQ(read.outcome, NVRAM_MISSING) << key;
    EXPECT_EQ(read.value, nullptr) << key;
  }

  // A store that is there but cannot be read: a folder in its place.
  ASSERT_EQ(unlink(store_.c_str()), 0);
  ASSERT_EQ(mkdir(store_.c_str(), 0755), 0);
  read = nvram_read("ping_times");
  EXPECT_EQ(read.outcome, NVRAM_UNREADABLE);
  EXPECT_EQ(read.failure, NVRAM_FAILURE_FILE);
  EXPECT_EQ(read.detail, EISDIR);
  EXPECT_EQ(Get("ping_times"), "<missing>");  // nvram_get: no value, as before
}

TEST_F(NvramStore, RefusesKeysAndValuesThatWouldBreakTheFile) {
  ASSERT_EQ(nvram_set("a", "1"), 0);
  const std::string before = ReadFile(store_);
  for (const char* key : {"", "a=b", "a\nb"}) {
    errno = 0;
    EXPECT_EQ(nvram_set(key, "x"), -1) << key;
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(nvram_set("b", "two\nlines"), -1);
  EXPECT_EQ(nvram_set(nullptr, "x"), -1);
  EXPECT_EQ(nvram_set("b", nullptr), -1);
  EXPECT_EQ(nvram_unset("a=b"), -1);
  EXPECT_EQ(nvram_get(nullptr), nullptr);
  EXPECT_EQ(ReadFile(store_), before);  // a refused change leaves the store as it was
}

TEST_F(NvramStore, KeepsForeignLinesAndDropsDuplicates) {
  // A hand-edited store: a comment-like line, a missing final line feed, a
  // key twice. A change keeps what it does not understand and leaves one line
  // per key, in its first place.
  WriteFile(store_, "# note\nk=1\nother=x\nk=2");
  EXPECT_EQ(Get("k"), "1");
  ASSERT_EQ(nvram_set("k", "9"), 0);
  EXPECT_EQ(ReadFile(store_), "# note\nk=9\nother=x\n");
  ASSERT_EQ(nvram_set("new", "v"), 0);
  EXPECT_EQ(ReadFile(store_), "# note\nk=9\nother=x\nnew=v\n");
}

TEST_F(NvramStore, ReturnedTextOutlivesReadsOfOtherKeys) {
  ASSERT_EQ(nvram_set("reboot_interval", "60"), 0);
  ASSERT_EQ(nvram_set("ping_interval", "5"), 0);
  const char* interval = nvram_get("reboot_interval");
  ASSERT_NE(interval, nullptr);
  EXPECT_STREQ(nvram_get("ping_interval"), "5");
  EXPECT_STREQ(nvram_get("reboot_interval"), "60");
  EXPECT_STREQ(interval, "60");
}

TEST_F(NvramStore, ReplacesTheFileWholeAndLeavesNoTemporaryFiles) {
  ASSERT_EQ(nvram_set("a", "1"), 0);
  ASSERT_EQ(nvram_set("b", "2"), 0);
  std::vector<std::string> names = ListFolder(folder_.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"nvram.txt", "nvram.txt.lock"}));
}

TEST_F(NvramStore, ConcurrentWritersLoseNoChange) {
  // Two processes each store their own keys at the same time; without the
  // writers' lock one rewrite would drop the other's fresh key.
  constexpr int kKeysPerWriter = 40;
  pid_t writers[2];
  for (int w = 0; w < 2; ++w) {
    writers[w] = fork();
    ASSERT_GE(writers[w], 0);
    if (writers[w] == 0) {
      int failures = 0;
      for (int i = 0; i < kKeysPerWriter; ++i) {
        const std::string key = "w" + std::to_string(w) + "_" + std::to_string(i);
        failures += nvram_set(key.c_str(), "v") != 0;
      }
      _exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t writer : writers) {
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  int present = 0;
  for (int w = 0; w < 2; ++w) {
    for (int i = 0; i < kKeysPerWriter; ++i) {
      const std::string key = "w" + std::to_string(w) + "_" + std::to_string(i);
      present += nvram_get(key.c_str()) != nullptr;
    }
  }
  EXPECT_EQ(present, 2 * kKeysPerWriter);
}

}  // namespace
