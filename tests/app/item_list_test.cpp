// The colours the dialog draws the engine's status kinds in. The values are
// the list control's 0x00BBGGRR, written out here as the operator test reads
// them from a row's item data.
#include "app/item_list.h"

#include <gtest/gtest.h>

namespace orvane::app {
namespace {

constexpr std::uint32_t kBlue = 0x00FF0000;
constexpr std::uint32_t kRed = 0x000000FF;

TEST(StatusTextColour, TheRunShowsStepsInBlackResultsInBlueOrRed) {
  const std::uint32_t grey = 0x00808080;
  EXPECT_EQ(StatusTextColour(StatusKind::Progress, grey), 0x00000000u);
  EXPECT_EQ(StatusTextColour(StatusKind::Succeeded, grey), kBlue);
  EXPECT_EQ(StatusTextColour(StatusKind::Failed, grey), kRed);
}

TEST(StatusTextColour, TheCheckShowsWhatRunsInBlueWhatBlocksInRedAndAbsentItemsInTheSystemsGrey) {
  const std::uint32_t grey = 0x00808080;
  EXPECT_EQ(StatusTextColour(StatusKind::Waiting, grey), kBlue);
  EXPECT_EQ(StatusTextColour(StatusKind::Skipped, grey), kBlue);
  EXPECT_EQ(StatusTextColour(StatusKind::Blocked, grey), kRed);
  EXPECT_EQ(StatusTextColour(StatusKind::Absent, grey), grey);
  // The grey is the system's, whatever the theme makes it.
  EXPECT_EQ(StatusTextColour(StatusKind::Absent, 0x006D6D6D), 0x006D6D6Du);
}

}  // namespace
}  // namespace orvane::app
