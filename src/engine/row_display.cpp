#include "engine/row_display.h"

namespace orvane {

void CRowDisplay::SetRow(int row) {
  m_nRow = row;
  m_itemProgress.Begin(HasRow() ? ProgressPlan(static_cast<ImageType>(row)) : std::span<const WeightedStep>{});
  m_nLastItemProgress = -1;
}

void CRowDisplay::EnterStep(RunStep step) {
  m_itemProgress.Enter(step);
  if (!HasRow()) return;
  const int value = m_itemProgress.Value();
  if (value == m_nLastItemProgress) return;
  m_nLastItemProgress = value;
  m_view.SetItemProgress(m_nRow, value);
}

void CRowDisplay::CompleteItem() {
  m_itemProgress.Complete();
  if (!HasRow() || m_nLastItemProgress == 100) return;
  m_nLastItemProgress = 100;
  m_view.SetItemProgress(m_nRow, 100);
}

void CRowDisplay::SetStatusText(const std::string& text, StatusKind kind) {
  if (HasRow()) m_view.SetStatus(m_nRow, text, kind);
  m_log.AddLine("%s", text.c_str());
}

void CRowDisplay::ShowStatus(StringId id) {
  const char* text = LoadText(id);
  if (text[0] != '\0') SetStatusText(text, StatusKind::Progress);
}

void CRowDisplay::SetProgress(int percent) {
  if (HasRow()) {
    const int whole = m_itemProgress.Advance(percent);
    if (whole != m_nLastItemProgress) {
      m_nLastItemProgress = whole;
      m_view.SetItemProgress(m_nRow, whole);
    }
  }
  if (percent == m_nLastProgress && m_nRow == m_nLastProgressRow) return;
  m_nLastProgress = percent;
  m_nLastProgressRow = m_nRow;
  if (!HasRow()) return;
  m_view.SetProgressText(m_nRow, std::to_string(percent) + "%");
}

}  // namespace orvane
