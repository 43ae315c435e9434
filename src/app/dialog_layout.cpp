#include "app/dialog_layout.h"

#include <algorithm>

namespace orvane::app {

ClientSize ClampClientSize(int width, int height) {
  return {std::max(width, kMinClientWidth), std::max(height, kMinClientHeight)};
}

DialogLayout ComputeLayout(ClientSize size) {
  constexpr int kButtonWidth = 200;
  constexpr int kButtonHeight = 50;
  constexpr int kOptionWidth = 500;
  const int gap = (size.width - 2 * kButtonWidth) / 3;  // C++ division rounds toward zero
  DialogLayout layout;
  layout.check = {gap, 6, kButtonWidth, kButtonHeight};
  layout.update = {2 * gap + kButtonWidth, 6, kButtonWidth, kButtonHeight};
  // Rounded down, also for a negative spare width.
  const int spare = size.width - kOptionWidth;
  layout.option = {spare >= 0 ? spare / 2 : -((-spare + 1) / 2), 62, kOptionWidth, 20};
  layout.list = {10, 88, size.width - 20, size.height - 94};
  return layout;
}

std::string ColumnSampleText(const ColumnSpec& column) {
  return std::string(static_cast<std::size_t>(column.widthChars + 2), '1');
}

int FitColumnWidth(int sampleWidth, int contentsWidth, int contentsAndHeadingWidth) {
  return std::max({sampleWidth, contentsWidth, contentsAndHeadingWidth});
}

}  // namespace orvane::app
