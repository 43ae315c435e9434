// The `library` settings store: the daemon linked, the way a firmware build
// links it, against a board library (here a stand-in with the board's C
// interface) reads and writes its settings through that library's functions.
#include <gtest/gtest.h>

#include "board_nvram_standin.h"
#include "watchdog/netvigil.h"
#include "watchdog/nvram/nvram_read.h"

namespace {

TEST(BoardSettingsLibrary, DaemonReadsAndWritesThroughTheBoardFunctions) {
  standin_nvram_put("remote_server1", "127.0.0.1");
  standin_nvram_put("ping_out_times", "4");
  EXPECT_STREQ(nv::setting_text("remote_server1"), "127.0.0.1");
  EXPECT_EQ(nv::setting_int("ping_out_times"), 4);
  EXPECT_STREQ(nv::setting_text("remote_server9"), "");  // the board's null pointer

  nv::store_int("ping_times", 7);
  ASSERT_NE(standin_nvram_peek("ping_times"), nullptr);
  EXPECT_STREQ(standin_nvram_peek("ping_times"), "7");
}

TEST(BoardSettingsLibrary, TypedReadIsAValueOrAMissingKey) {
  standin_nvram_put("ping_times", "2");
  const nvram_result read = nvram_read("ping_times");
  ASSERT_EQ(read.outcome, NVRAM_VALUE);
  EXPECT_STREQ(read.value, "2");
  EXPECT_EQ(nvram_read("remote_server9").outcome, NVRAM_MISSING);
}

}  // namespace
