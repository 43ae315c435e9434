#pragma once
// CMyListCtrl: the report list of the update items. Grid lines, whole-row
// selection, the button-face background; row backgrounds alternate between
// two fixed colours; the text of the last column of each row takes the
// colour stored as the row's item data (0x00BBGGRR); the user cannot drag
// column dividers.
//
// The dialog hands the list's NM_CUSTOMDRAW notifications to OnCustomDraw.
// Threads: the user-interface thread only (the update run's worker reaches
// the list through the dialog's item view, which posts to this thread).
#include <windows.h>

#include <commctrl.h>

#include <string>

#include "widgets/my_header_ctrl.h"

namespace orvane::widgets {

class CMyListCtrl {
 public:
  static constexpr COLORREF kEvenRowColour = RGB(240, 247, 249);
  static constexpr COLORREF kOddRowColour = RGB(229, 232, 239);

  CMyListCtrl() = default;
  ~CMyListCtrl();
  CMyListCtrl(const CMyListCtrl&) = delete;
  CMyListCtrl& operator=(const CMyListCtrl&) = delete;

  // Takes over the dialog's list control `id` and sets it up (header,
  // extended styles, background). False when there is no such control.
  bool SubclassDlgItem(int id, HWND parent);
  // The same for a list made elsewhere (tests).
  bool SubclassWindow(HWND hWnd);
  HWND GetSafeHwnd() const { return m_hWnd; }
  CMyHeaderCtrl& Header() { return m_header; }

  // NM_CUSTOMDRAW from the list; returns the notification's result.
  LRESULT OnCustomDraw(NMLVCUSTOMDRAW* draw);

  // The list operations the dialog uses.
  int InsertColumn(int column, const std::wstring& heading, int format, int width);
  int InsertItem(int row, const std::wstring& text);
  bool SetItemText(int row, int column, const std::wstring& text);
  std::wstring GetItemText(int row, int column) const;
  bool SetItemData(int row, LPARAM data);
  LPARAM GetItemData(int row) const;
  bool DeleteAllItems();
  int GetItemCount() const;
  int GetStringWidth(const std::wstring& text) const;
  int GetColumnWidth(int column) const;
  bool SetColumnWidth(int column, int width);
  void SetRedraw(bool redraw);

 private:
  static LRESULT CALLBACK SubclassProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                       DWORD_PTR self);
  void Setup();

  HWND m_hWnd = nullptr;
  CMyHeaderCtrl m_header;
  bool m_bHeaderAttached = false;
  COLORREF m_crItemText = 0;  // the row's default text colour, for the columns before the last
};

}  // namespace orvane::widgets
