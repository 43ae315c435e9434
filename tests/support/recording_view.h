#pragma once
// An item view that keeps everything written to it, for tests that look at
// what a front end would show.
#include <algorithm>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/item_view.h"

namespace orvane {

// A kind by name in a failed expectation.
inline void PrintTo(StatusKind kind, std::ostream* out) {
  constexpr const char* kNames[] = {"Progress", "Succeeded", "Failed", "Waiting", "Skipped", "Blocked", "Absent"};
  *out << kNames[static_cast<int>(kind)];
}

}  // namespace orvane

namespace orvane::test {

// Every "%" text, status and whole-item progress the engine writes, in order.
class RecordingView : public IItemView {
 public:
  enum class Cell { Progress, Status, ItemProgress };
  struct Write {
    int row;
    Cell cell;
    std::string text;  // the "%" or status text; the whole progress as digits
    StatusKind kind = StatusKind::Progress;  // a status's kind
  };
  // Called on the engine's thread after a write of its cell.
  using Hook = std::function<void(int row, const std::string& text)>;

  void SetProgressText(int row, const std::string& text) override { Record({row, Cell::Progress, text}); }
  void SetStatus(int row, const std::string& text, StatusKind kind) override {
    Record({row, Cell::Status, text, kind});
  }
  void SetItemProgress(int row, int percent) override {
    Record({row, Cell::ItemProgress, std::to_string(percent)});
  }

  void OnStatus(Hook hook) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_onStatus = std::move(hook);
  }
  void OnProgressText(Hook hook) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_onProgress = std::move(hook);
  }

  std::vector<Write> Writes() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_writes;
  }
  // The row's texts of one cell, in order.
  std::vector<std::string> Texts(int row, Cell cell) const {
    std::vector<std::string> texts;
    for (const Write& w : Writes()) {
      if (w.row == row && w.cell == cell) texts.push_back(w.text);
    }
    return texts;
  }
  std::vector<std::string> Statuses(int row) const { return Texts(row, Cell::Status); }
  std::vector<std::string> ProgressTexts(int row) const { return Texts(row, Cell::Progress); }
  std::vector<int> ItemProgress(int row) const {
    std::vector<int> values;
    for (const std::string& t : Texts(row, Cell::ItemProgress)) values.push_back(std::stoi(t));
    return values;
  }
  // The kinds of the row's statuses, in order.
  std::vector<StatusKind> Kinds(int row) const {
    std::vector<StatusKind> kinds;
    for (const Write& w : Writes()) {
      if (w.row == row && w.cell == Cell::Status) kinds.push_back(w.kind);
    }
    return kinds;
  }
  // The row's last status text and its kind; empty / none before any.
  std::string LastStatus(int row) const { return LastText(row, Cell::Status); }
  std::optional<StatusKind> LastKind(int row) const {
    const auto kinds = Kinds(row);
    return kinds.empty() ? std::nullopt : std::optional(kinds.back());
  }
  // The row's last "%" text; empty before any.
  std::string LastProgress(int row) const { return LastText(row, Cell::Progress); }
  bool RowTouched(int row) const {
    for (const Write& w : Writes()) {
      if (w.row == row) return true;
    }
    return false;
  }
  // How often the row's status showed `statusText`.
  std::size_t Count(int row, const std::string& statusText) const {
    const auto texts = Statuses(row);
    return static_cast<std::size_t>(std::count(texts.begin(), texts.end(), statusText));
  }

 private:
  void Record(Write write) {
    Hook hook;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_writes.push_back(write);
      if (write.cell == Cell::Status) hook = m_onStatus;
      if (write.cell == Cell::Progress) hook = m_onProgress;
    }
    if (hook) hook(write.row, write.text);
  }
  std::string LastText(int row, Cell cell) const {
    const auto texts = Texts(row, cell);
    return texts.empty() ? std::string() : texts.back();
  }

  mutable std::mutex m_lock;
  std::vector<Write> m_writes;
  Hook m_onStatus;
  Hook m_onProgress;
};

}  // namespace orvane::test
