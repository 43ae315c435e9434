#pragma once
// CMyHeaderCtrl: the item list's column header with fixed dividers: the
// divider cursor never shows and a double-click on a divider does nothing.
#include <windows.h>

namespace orvane::widgets {

class CMyHeaderCtrl {
 public:
  CMyHeaderCtrl() = default;
  ~CMyHeaderCtrl();
  CMyHeaderCtrl(const CMyHeaderCtrl&) = delete;
  CMyHeaderCtrl& operator=(const CMyHeaderCtrl&) = delete;

  bool SubclassWindow(HWND hWnd);
  HWND GetSafeHwnd() const { return m_hWnd; }
  int GetItemCount() const;

 private:
  static LRESULT CALLBACK SubclassProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                       DWORD_PTR self);
  HWND m_hWnd = nullptr;
};

}  // namespace orvane::widgets
