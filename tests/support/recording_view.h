#pragma once
// An item view that keeps every cell and colour written to it, for tests
// that look at what a front end would show.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/item_view.h"

namespace orvane::test {

// Every cell and colour the engine writes, in order.
class RecordingView : public IItemView {
 public:
  struct Write {
    int row;
    int column;  // COLUMN_PERCENT, COLUMN_STATUS, -1 for a colour, kItemProgress
    std::string text;
    std::uint32_t colour;
  };

  void SetCellText(int row, int column, const std::string& text) override {
    std::function<void(int, int, const std::string&)> hook;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_writes.push_back({row, column, text, 0});
      hook = m_hook;
    }
    if (hook) hook(row, column, text);
  }
  void SetRowColour(int row, std::uint32_t colour) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_writes.push_back({row, -1, {}, colour});
  }
  void SetItemProgress(int row, int percent) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_writes.push_back({row, kItemProgress, std::to_string(percent), 0});
  }
  // The "column" under which SetItemProgress is recorded.
  static constexpr int kItemProgress = -2;

  // Called on the engine's thread after each cell text is written.
  void OnCell(std::function<void(int, int, const std::string&)> hook) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_hook = std::move(hook);
  }

  std::vector<Write> Writes() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_writes;
  }
  std::vector<std::string> Texts(int row, int column) const {
    std::vector<std::string> texts;
    for (const Write& w : Writes()) {
      if (w.row == row && w.column == column) texts.push_back(w.text);
    }
    return texts;
  }
  std::string Last(int row, int column) const {
    const auto texts = Texts(row, column);
    return texts.empty() ? std::string() : texts.back();
  }
  std::optional<std::uint32_t> Colour(int row) const {
    std::optional<std::uint32_t> colour;
    for (const Write& w : Writes()) {
      if (w.row == row && w.column == -1) colour = w.colour;
    }
    return colour;
  }
  bool RowTouched(int row) const {
    for (const Write& w : Writes()) {
      if (w.row == row) return true;
    }
    return false;
  }
  std::size_t Count(int row, const std::string& statusText) const {
    const auto texts = Texts(row, COLUMN_STATUS);
    return static_cast<std::size_t>(std::count(texts.begin(), texts.end(), statusText));
  }

 private:
  mutable std::mutex m_lock;
  std::vector<Write> m_writes;
  std::function<void(int, int, const std::string&)> m_hook;
};

}  // namespace orvane::test
