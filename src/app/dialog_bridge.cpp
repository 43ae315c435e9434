#include "app/dialog_bridge.h"

#include <memory>

#include "platform/codepage.h"

namespace orvane::app {

void CDialogItemView::SetCellText(int row, int column, const std::string& text) {
  if (m_hDialog == nullptr) return;
  auto payload = std::make_unique<CellText>(CellText{row, column, platform::Utf8ToWide(text)});
  if (PostMessageW(m_hDialog, WM_APP_SET_CELL, 0, reinterpret_cast<LPARAM>(payload.get()))) payload.release();
}

void CDialogItemView::SetRowColour(int row, std::uint32_t colour) {
  if (m_hDialog == nullptr) return;
  PostMessageW(m_hDialog, WM_APP_ROW_COLOUR, static_cast<WPARAM>(row), static_cast<LPARAM>(colour));
}

void CWarningPrompter::Warning(const std::string& text) {
  if (m_hDialog == nullptr) return;
  auto payload = std::make_unique<std::wstring>(platform::Utf8ToWide(text));
  if (PostMessageW(m_hDialog, WM_APP_WARNING, 0, reinterpret_cast<LPARAM>(payload.get()))) payload.release();
}

void ShowWarningBox(HWND owner, const std::wstring& text) {
  MessageBoxW(owner, text.c_str(), L"Warning", MB_OK | MB_ICONWARNING);
}

}  // namespace orvane::app
