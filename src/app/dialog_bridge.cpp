#include "app/dialog_bridge.h"

#include <memory>

#include "app/item_list.h"
#include "platform/codepage.h"

namespace orvane::app {

void CDialogItemView::PostCell(int row, int column, const std::string& text) {
  auto payload = std::make_unique<CellText>(CellText{row, column, platform::Utf8ToWide(text)});
  if (PostMessageW(m_hDialog, WM_APP_SET_CELL, 0, reinterpret_cast<LPARAM>(payload.get()))) payload.release();
}

void CDialogItemView::SetProgressText(int row, const std::string& text) {
  if (m_hDialog == nullptr) return;
  PostCell(row, kColumnPercent, text);
}

void CDialogItemView::SetStatus(int row, const std::string& text, StatusKind kind) {
  if (m_hDialog == nullptr) return;
  const std::uint32_t colour = StatusTextColour(kind, GetSysColor(COLOR_GRAYTEXT));
  PostMessageW(m_hDialog, WM_APP_ROW_COLOUR, static_cast<WPARAM>(row), static_cast<LPARAM>(colour));
  PostCell(row, kColumnStatus, text);
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
