#pragma once
// How the engine reaches the screen: the five rows of the item list. The
// dialog implements it by marshalling to its UI thread, the command line by
// printing; a worker thread may call it.
#include <cstdint>
#include <string>

namespace orvane {

inline constexpr int COLUMN_PERCENT = 3;
inline constexpr int COLUMN_STATUS = 4;

class IItemView {
 public:
  virtual ~IItemView() = default;
  // Row 0..4 (the ImageType), column COLUMN_PERCENT or COLUMN_STATUS. The
  // "%" cell shows the current step's own percentage, which starts again at
  // 0 for a new step.
  virtual void SetCellText(int row, int column, const std::string& text) = 0;
  // The colour (0x00BBGGRR) of the row's "Status" text.
  virtual void SetRowColour(int row, std::uint32_t colour) = 0;
  // The whole item's progress, 0..100, from its weighted step plan: it only
  // moves forward. For bars; the dialog's "%" cell does not use it.
  virtual void SetItemProgress(int /*row*/, int /*percent*/) {}
};

}  // namespace orvane
