#pragma once
// The dialog's item list as the engine's rows land in it: the columns of the
// "%" and "Status" cells, and the colour (0x00BBGGRR, as the list control
// keeps it in the row's item data) each kind of status text is drawn in.
// Portable, so its tests run natively.
#include <cstdint>

#include "app/dialog_layout.h"
#include "catalogue/status_kind.h"

namespace orvane::app {

inline constexpr int kColumnPercent = 3;
inline constexpr int kColumnStatus = 4;
static_assert(kItemColumns[kColumnPercent].heading == IDS_COL_PERCENT);
static_assert(kItemColumns[kColumnStatus].heading == IDS_COL_STATUS);
// The list draws the last column in the row's colour.
static_assert(kColumnStatus == static_cast<int>(kItemColumns.size()) - 1);

inline constexpr std::uint32_t kColourBlack = 0x00000000;
inline constexpr std::uint32_t kColourBlue = 0x00FF0000;
inline constexpr std::uint32_t kColourRed = 0x000000FF;

// The colour of a status text of `kind`; `greyText` is the system's
// grey-text colour, which an absent item's text takes.
constexpr std::uint32_t StatusTextColour(StatusKind kind, std::uint32_t greyText) {
  switch (kind) {
    case StatusKind::Progress:
      return kColourBlack;
    case StatusKind::Succeeded:
    case StatusKind::Waiting:
    case StatusKind::Skipped:
      return kColourBlue;
    case StatusKind::Failed:
    case StatusKind::Blocked:
      return kColourRed;
    case StatusKind::Absent:
      break;
  }
  return greyText;
}

}  // namespace orvane::app
