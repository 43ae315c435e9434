#pragma once
// The main dialog's geometry as plain arithmetic: where the buttons, the
// option checkbox and the item list go for a client size, and the list's
// column table with its width rule. The window code only measures and moves.
#include <array>
#include <string>

#include "catalogue/string_table.h"

namespace orvane::app {

// Below this client size the layout stays the one for the minimum.
inline constexpr int kMinClientWidth = 520;
inline constexpr int kMinClientHeight = 144;

struct ClientSize {
  int width = kMinClientWidth;
  int height = kMinClientHeight;
  bool operator==(const ClientSize&) const = default;
};

struct ControlRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const ControlRect&) const = default;
};

struct DialogLayout {
  ControlRect check;   // button 1000
  ControlRect update;  // button 1013
  ControlRect option;  // checkbox 1012
  ControlRect list;    // list 1011
};

// The size the layout works with: each side at least its minimum.
ClientSize ClampClientSize(int width, int height);

// Two 200 × 50 buttons splitting the spare width in three equal gaps, the
// 500 × 20 checkbox centred under them, the list filling the rest with a
// 10-pixel margin. `size` is already clamped.
DialogLayout ComputeLayout(ClientSize size);

struct ColumnSpec {
  StringId heading;
  int widthChars;  // the column is never narrower than widthChars + 2 digits "1"
  bool centred;    // else left-aligned
};

inline constexpr std::array<ColumnSpec, 5> kItemColumns{{
    {IDS_COL_TYPE, 16, true},
    {IDS_COL_ORIGINAL_VERSION, 15, true},
    {IDS_COL_UPDATE_VERSION, 15, true},
    {IDS_COL_PERCENT, 4, true},
    {IDS_COL_STATUS, 20, false},
}};

// The text whose width in the list's font is a column's least width.
std::string ColumnSampleText(const ColumnSpec& column);

// A column's width: the widest of the sample text's width, the width that
// fits the contents and the width that fits contents and heading.
int FitColumnWidth(int sampleWidth, int contentsWidth, int contentsAndHeadingWidth);

}  // namespace orvane::app
