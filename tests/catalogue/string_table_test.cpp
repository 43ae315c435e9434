#include "catalogue/string_table.h"

#include <gtest/gtest.h>

#include <string>

namespace orvane {
namespace {

TEST(StringTable, HoldsTheOperatorTextsExactly) {
  // Texts whose exact form matters: trailing blank, line breaks, format
  // placeholders, typos the operators know.
  EXPECT_STREQ(LoadText(116), "Sending router module's update data ");
  EXPECT_STREQ(LoadText(117), "Enterforcing download mode");
  EXPECT_STREQ(LoadText(138), "Winsock's version error\nExpected: 2.2, Actual: %d.%d");
  EXPECT_STREQ(LoadText(140), "Download is still running!\nPlease wait!");
  EXPECT_STREQ(LoadText(135), "Found none valid .bin file under current directory");
  EXPECT_STREQ(LoadText(IDS_ITEM_DASHBOARD), "Dashboard");
}

TEST(StringTable, UnknownIdsAreEmptyAndTheTableIsComplete) {
  int present = 0;
  for (int id = 0; id < 400; ++id) {
    if (std::string(LoadText(static_cast<std::uint16_t>(id))).empty()) continue;
    EXPECT_GE(id, 102);
    EXPECT_LE(id, 160);
    ++present;
  }
  // 102..160 without 104, 108, 118, 126, 133, 136, 142, 156.
  EXPECT_EQ(present, 51);
  for (const int gap : {104, 108, 118, 126, 133, 136, 142, 156}) EXPECT_STREQ(LoadText(gap), "") << gap;
}

}  // namespace
}  // namespace orvane
