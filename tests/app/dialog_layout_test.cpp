// The main dialog's layout arithmetic.
#include "app/dialog_layout.h"

#include <gtest/gtest.h>

namespace orvane::app {
namespace {

TEST(DialogLayout, MinimumClientPutsCheckAt40AndUpdateAt280) {
  const DialogLayout l = ComputeLayout(ClampClientSize(520, 144));
  EXPECT_EQ(l.check, (ControlRect{40, 6, 200, 50}));
  EXPECT_EQ(l.update, (ControlRect{280, 6, 200, 50}));
  EXPECT_EQ(l.option, (ControlRect{10, 62, 500, 20}));
  EXPECT_EQ(l.list, (ControlRect{10, 88, 500, 50}));
}

TEST(DialogLayout, ShrinkingBelowTheMinimumKeepsTheMinimumLayout) {
  const DialogLayout minimum = ComputeLayout(ClampClientSize(520, 144));
  for (const auto& [w, h] : {std::pair{519, 143}, {300, 500}, {900, 20}, {0, 0}, {-40, -10}}) {
    const ClientSize size = ClampClientSize(w, h);
    EXPECT_GE(size.width, 520);
    EXPECT_GE(size.height, 144);
    const DialogLayout l = ComputeLayout(size);
    if (w < 520) {
      EXPECT_EQ(l.check, minimum.check) << w;
      EXPECT_EQ(l.update, minimum.update) << w;
      EXPECT_EQ(l.option, minimum.option) << w;
      EXPECT_EQ(l.list.width, minimum.list.width) << w;
    }
    if (h < 144) {
      EXPECT_EQ(l.list.height, minimum.list.height) << h;
    }
  }
}

TEST(DialogLayout, ButtonsSplitTheSpareWidthInThreeGapsRoundedTowardZero) {
  // 870 is the template's width in pixels with the 8-pixel dialog font.
  const DialogLayout l = ComputeLayout(ClampClientSize(870, 256));
  EXPECT_EQ(l.check.x, 156);  // (870 - 400) / 3 = 156.67
  EXPECT_EQ(l.update.x, 512);
  EXPECT_EQ(l.option.x, 185);
  EXPECT_EQ(l.list, (ControlRect{10, 88, 850, 162}));
  // The gaps left of Check, between the buttons and right of Update differ
  // by the rounding only.
  const int right = 870 - (l.update.x + l.update.width);
  EXPECT_EQ(l.update.x - (l.check.x + l.check.width), l.check.x);
  EXPECT_LE(right - l.check.x, 2);
  EXPECT_GE(right - l.check.x, 0);
  // Odd spare width for the checkbox: rounded down.
  EXPECT_EQ(ComputeLayout(ClampClientSize(521, 144)).option.x, 10);
}

TEST(DialogLayout, ColumnTableAndItsWidthRule) {
  ASSERT_EQ(kItemColumns.size(), 5u);
  EXPECT_EQ(kItemColumns[0].heading, IDS_COL_TYPE);
  EXPECT_EQ(kItemColumns[3].heading, IDS_COL_PERCENT);
  EXPECT_EQ(kItemColumns[4].heading, IDS_COL_STATUS);
  // Only the status column is left-aligned.
  for (std::size_t i = 0; i < 4; ++i) EXPECT_TRUE(kItemColumns[i].centred) << i;
  EXPECT_FALSE(kItemColumns[4].centred);
  EXPECT_EQ(ColumnSampleText(kItemColumns[0]), std::string(18, '1'));
  EXPECT_EQ(ColumnSampleText(kItemColumns[3]), "111111");
  EXPECT_EQ(FitColumnWidth(90, 40, 60), 90);
  EXPECT_EQ(FitColumnWidth(90, 140, 60), 140);
  EXPECT_EQ(FitColumnWidth(90, 40, 160), 160);
}

}  // namespace
}  // namespace orvane::app
