#include "catalogue/update_item.h"

namespace orvane {

void LoadItemNames(UpdateItems& items) {
  for (int i = 0; i < kItemCount; ++i) items[i].m_strName = LoadText(static_cast<std::uint16_t>(IDS_ITEM_BOOT + i));
}

std::array<std::uint32_t, 6> ParseVersionNumbers(const std::string& text) {
  std::array<std::uint32_t, 6> numbers{};
  std::size_t count = 0;
  std::uint32_t value = 0;
  bool inNumber = false;
  // The position behind the last character counts as one more separator.
  for (std::size_t i = 0; i <= text.size() && count < numbers.size(); ++i) {
    const char c = i < text.size() ? text[i] : '\0';
    if (c >= '0' && c <= '9') {
      value = (inNumber ? value * 10 : 0) + static_cast<std::uint32_t>(c - '0');
      inNumber = true;
    } else if (inNumber) {
      numbers[count++] = value;
      inNumber = false;
    }
  }
  return numbers;
}

void CompareItemVersion(CUpdateItem& item) {
  const std::string update = item.GetUpdateVersion();
  if (item.m_strOriginalVersion.empty() || update.empty()) {
    item.m_nMatch = MATCH_YES;
    return;
  }
  const auto original = ParseVersionNumbers(item.m_strOriginalVersion);
  const auto image = ParseVersionNumbers(update);
  // Only the first two numbers must agree: an image may be older, equal or
  // newer than the device within the same line.
  item.m_nMatch = (original[0] == image[0] && original[1] == image[1]) ? MATCH_YES : MATCH_NO;
}

Evaluation EvaluateItems(const UpdateItems& items, bool allowNotNewer) {
  Evaluation result{};
  bool anyUnmatched = false;
  bool anyNotNewer = false;
  for (int row = 0; row < kItemCount; ++row) {
    const CUpdateItem& item = items[row];
    RowEvaluation& out = result.rows[row];
    if (!item.HasImage()) {
      out = {IDS_NOT_FOUND, StatusKind::Absent, false, item.m_bSelected != 0};
    } else if (item.m_nMatch == MATCH_NO) {
      out = {IDS_VERSION_UNMATCHED, StatusKind::Blocked, true, false};
      anyUnmatched = true;
    } else if (item.m_nMatch == MATCH_NOT_NEWER) {
      anyNotNewer = true;
      out = allowNotNewer ? RowEvaluation{IDS_WAITING_UPDATE, StatusKind::Waiting, true, true}
                          : RowEvaluation{IDS_SKIP_UPDATE, StatusKind::Skipped, true, false};
    } else {
      out = {IDS_WAITING_UPDATE, StatusKind::Waiting, true, true};
    }
  }
  if (anyUnmatched) {
    // One mismatching image blocks the whole update.
    result.checkEnabled = true;
    result.updateEnabled = false;
    result.optionEnabled = false;
    result.focus = Focus::Check;
  } else {
    result.checkEnabled = false;
    result.updateEnabled = true;
    result.optionEnabled = anyNotNewer;
    result.focus = Focus::Update;
  }
  return result;
}

void ApplySelection(const Evaluation& evaluation, UpdateItems& items) {
  for (int row = 0; row < kItemCount; ++row) {
    if (evaluation.rows[row].selectionChanged) items[row].m_bSelected = evaluation.rows[row].selected ? 1 : 0;
  }
}

}  // namespace orvane
