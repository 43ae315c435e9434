#include "widgets/my_header_ctrl.h"

#include <commctrl.h>

namespace orvane::widgets {
namespace {
constexpr UINT_PTR kSubclassId = 0x4844;
}

CMyHeaderCtrl::~CMyHeaderCtrl() {
  if (m_hWnd != nullptr) RemoveWindowSubclass(m_hWnd, SubclassProc, kSubclassId);
}

bool CMyHeaderCtrl::SubclassWindow(HWND hWnd) {
  if (hWnd == nullptr || !SetWindowSubclass(hWnd, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this))) {
    return false;
  }
  m_hWnd = hWnd;
  return true;
}

int CMyHeaderCtrl::GetItemCount() const {
  return m_hWnd != nullptr ? static_cast<int>(SendMessageW(m_hWnd, HDM_GETITEMCOUNT, 0, 0)) : 0;
}

LRESULT CALLBACK CMyHeaderCtrl::SubclassProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                             DWORD_PTR self) {
  switch (message) {
    case WM_SETCURSOR:
      return TRUE;  // handled: the arrow stays, no divider cursor
    case WM_LBUTTONDBLCLK:
      return 0;  // no fitting of a column by a divider double-click
    case WM_NCDESTROY:
      RemoveWindowSubclass(hWnd, SubclassProc, kSubclassId);
      reinterpret_cast<CMyHeaderCtrl*>(self)->m_hWnd = nullptr;
      break;
    default:
      break;
  }
  return DefSubclassProc(hWnd, message, wParam, lParam);
}

}  // namespace orvane::widgets
