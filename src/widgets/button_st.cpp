#include "widgets/button_st.h"

#include <commctrl.h>

#include <vector>

namespace orvane::widgets {
namespace {

// Top and left edges in `topLeft`, bottom and right in `bottomRight`.
void Draw3dRect(HDC dc, const RECT& r, COLORREF topLeft, COLORREF bottomRight) {
  HBRUSH a = CreateSolidBrush(topLeft);
  HBRUSH b = CreateSolidBrush(bottomRight);
  const int w = r.right - r.left;
  const int h = r.bottom - r.top;
  RECT edge{r.left, r.top, r.left + w - 1, r.top + 1};
  FillRect(dc, &edge, a);
  edge = {r.left, r.top, r.left + 1, r.top + h - 1};
  FillRect(dc, &edge, a);
  edge = {r.right - 1, r.top, r.right, r.bottom};
  FillRect(dc, &edge, b);
  edge = {r.left, r.bottom - 1, r.right, r.bottom};
  FillRect(dc, &edge, b);
  DeleteObject(a);
  DeleteObject(b);
}

void FillSolid(HDC dc, const RECT& r, COLORREF colour) {
  HBRUSH brush = CreateSolidBrush(colour);
  FillRect(dc, &r, brush);
  DeleteObject(brush);
}

constexpr UINT_PTR kSubclassId = 0x4253;  // any value; one subclass per button

}  // namespace

CButtonST::CButtonST() {
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  const COLORREF text = GetSysColor(COLOR_BTNTEXT);
  m_crColors[COLOR_BK_IN] = face;
  m_crColors[COLOR_FG_IN] = text;
  m_crColors[COLOR_BK_OUT] = face;
  m_crColors[COLOR_FG_OUT] = text;
  m_crColors[COLOR_BK_FOCUS] = face;
  m_crColors[COLOR_FG_FOCUS] = text;
}

CButtonST::~CButtonST() {
  if (m_hWnd != nullptr) RemoveWindowSubclass(m_hWnd, SubclassProc, kSubclassId);
  FreeIcons();
}

bool CButtonST::SubclassDlgItem(int id, HWND parent) {
  HWND hWnd = GetDlgItem(parent, id);
  if (hWnd == nullptr) return false;
  if (!SetWindowSubclass(hWnd, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this))) return false;
  m_hWnd = hWnd;
  // A default push button in the template stays the dialog's default while
  // its type becomes owner-drawn (the style handler below keeps that type).
  const LONG_PTR style = GetWindowLongPtrW(hWnd, GWL_STYLE);
  m_bIsDefault = (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
  SendMessageW(hWnd, BM_SETSTYLE, static_cast<WPARAM>(style & BS_TYPEMASK), TRUE);
  return true;
}

void CButtonST::Invalidate() const {
  if (m_hWnd != nullptr) InvalidateRect(m_hWnd, nullptr, FALSE);
}

void CButtonST::FreeIcons() {
  for (Icon& icon : m_icons) {
    if (icon.handle != nullptr) DestroyIcon(icon.handle);
    icon = {};
  }
}

void CButtonST::SetIcon(int iconIn, int iconOut) {
  FreeIcons();
  HINSTANCE instance = GetModuleHandleW(nullptr);
  const int ids[2] = {iconIn, iconOut};
  for (int i = 0; i < 2; ++i) {
    if (ids[i] == 0) continue;
    HICON handle = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(ids[i]), IMAGE_ICON, 0, 0, 0));
    if (handle == nullptr) continue;
    Icon& icon = m_icons[i];
    icon.handle = handle;
    ICONINFO info{};
    if (GetIconInfo(handle, &info)) {
      // An icon's hot spot is its centre.
      icon.width = static_cast<int>(info.xHotspot * 2);
      icon.height = static_cast<int>(info.yHotspot * 2);
      if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
      if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
    }
  }
  Invalidate();
}

void CButtonST::SetText(const std::wstring& text) {
  if (m_hWnd != nullptr) SetWindowTextW(m_hWnd, text.c_str());
  Invalidate();
}

void CButtonST::SetColour(Colour which, COLORREF colour) {
  m_crColors[which] = colour;
  Invalidate();
}

LRESULT CALLBACK CButtonST::SubclassProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                         DWORD_PTR self) {
  CButtonST* button = reinterpret_cast<CButtonST*>(self);
  if (message == WM_NCDESTROY) {
    RemoveWindowSubclass(hWnd, SubclassProc, kSubclassId);
    button->m_hWnd = nullptr;
    return DefSubclassProc(hWnd, message, wParam, lParam);
  }
  return button->WindowProc(message, wParam, lParam);
}

LRESULT CButtonST::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case BM_SETSTYLE:
      // The dialog manager moves the default-button look from button to
      // button with this message; remember it and stay owner-drawn.
      m_bIsDefault = (wParam & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
      return DefSubclassProc(m_hWnd, message, (wParam & ~static_cast<WPARAM>(BS_TYPEMASK)) | BS_OWNERDRAW, lParam);
    case WM_GETDLGCODE: {
      LRESULT code = DefSubclassProc(m_hWnd, message, wParam, lParam);
      code |= m_bIsDefault ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON;
      return code;
    }
    case WM_LBUTTONDBLCLK:
      // A quick second click is a click, not a double-click notification.
      return DefSubclassProc(m_hWnd, WM_LBUTTONDOWN, wParam, lParam);
    case WM_ERASEBKGND:
      return TRUE;  // DrawItem paints every pixel
    case WM_MOUSEMOVE:
      OnMouseMove(wParam);
      break;
    case WM_MOUSELEAVE:
    case WM_KILLFOCUS:
      CancelHover();
      break;
    default:
      break;
  }
  return DefSubclassProc(m_hWnd, message, wParam, lParam);
}

void CButtonST::OnMouseMove(WPARAM keys) {
  POINT point;
  GetCursorPos(&point);
  HWND under = WindowFromPoint(point);
  // While the left button is held down outside the lit state, nothing changes.
  if ((keys & MK_LBUTTON) != 0 && !m_bMouseOnButton) return;
  // The button lights up under the pointer even when its window is not the
  // active one.
  if (under == m_hWnd) {
    if (!m_bMouseOnButton) {
      m_bMouseOnButton = true;
      Invalidate();
      TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, m_hWnd, 0};
      TrackMouseEvent(&track);
    }
  } else {
    CancelHover();
  }
}

void CButtonST::CancelHover() {
  if (m_bMouseOnButton) {
    m_bMouseOnButton = false;
    Invalidate();
  }
}

void CButtonST::OnDrawBackground(HDC dc, RECT* rect) {
  COLORREF colour = m_crColors[COLOR_BK_OUT];
  if (m_bMouseOnButton || m_bIsPressed) {
    colour = m_crColors[COLOR_BK_IN];
  } else if (m_bIsFocused) {
    colour = m_crColors[COLOR_BK_FOCUS];
  }
  FillSolid(dc, *rect, colour);
}

void CButtonST::OnDrawBorder(HDC dc, RECT* rect) {
  if (!m_bDrawBorder) return;
  if (m_bIsPressed) {
    Draw3dRect(dc, *rect, GetSysColor(COLOR_BTNSHADOW), GetSysColor(COLOR_BTNHILIGHT));
  } else if (m_bMouseOnButton) {
    Draw3dRect(dc, *rect, GetSysColor(COLOR_BTNHILIGHT), GetSysColor(COLOR_BTNSHADOW));
  }
}

void CButtonST::DrawIcon(HDC dc, const RECT& item, bool hasText, RECT* caption) {
  const bool over = m_bIsPressed || m_bMouseOnButton;
  const Icon& icon = (!over && m_icons[1].handle != nullptr) ? m_icons[1] : m_icons[0];
  if (icon.handle == nullptr) return;
  const int itemWidth = item.right - item.left;
  const int itemHeight = item.bottom - item.top;
  int x = item.left + 3;
  const int y = item.top + (itemHeight - icon.height) / 2;
  if (hasText) {
    caption->left += icon.width + 3;
  } else {
    x = item.left + (itemWidth - icon.width) / 2;
  }
  const int shift = m_bIsPressed ? 1 : 0;
  const UINT flags = DST_ICON | (m_bIsDisabled ? DSS_DISABLED : DSS_NORMAL);
  DrawStateW(dc, nullptr, nullptr, reinterpret_cast<LPARAM>(icon.handle), 0, x + shift, y + shift, icon.width,
             icon.height, flags);
}

void CButtonST::DrawText(HDC dc, const std::wstring& text, const RECT& caption) {
  RECT measured = caption;
  ::DrawTextW(dc, text.c_str(), -1, &measured, DT_WORDBREAK | DT_CENTER | DT_CALCRECT);
  RECT centred = measured;
  OffsetRect(&centred, ((caption.right - caption.left) - (measured.right - measured.left)) / 2,
             ((caption.bottom - caption.top) - (measured.bottom - measured.top)) / 2);
  if (m_bIsPressed) OffsetRect(&centred, 1, 1);
  if (m_bIsDisabled) {
    OffsetRect(&centred, 1, 1);
    SetTextColor(dc, GetSysColor(COLOR_3DHILIGHT));
    ::DrawTextW(dc, text.c_str(), -1, &centred, DT_WORDBREAK | DT_CENTER);
    OffsetRect(&centred, -1, -1);
    SetTextColor(dc, GetSysColor(COLOR_3DSHADOW));
    ::DrawTextW(dc, text.c_str(), -1, &centred, DT_WORDBREAK | DT_CENTER);
    return;
  }
  COLORREF colour = m_crColors[COLOR_FG_OUT];
  if (m_bMouseOnButton || m_bIsPressed) {
    colour = m_crColors[COLOR_FG_IN];
  } else if (m_bIsFocused) {
    colour = m_crColors[COLOR_FG_FOCUS];
  }
  SetTextColor(dc, colour);
  ::DrawTextW(dc, text.c_str(), -1, &centred, DT_WORDBREAK | DT_CENTER);
}

void CButtonST::DrawItem(const DRAWITEMSTRUCT& dis) {
  HDC dc = dis.hDC;
  m_bIsPressed = (dis.itemState & ODS_SELECTED) != 0;
  m_bIsFocused = (dis.itemState & ODS_FOCUS) != 0;
  m_bIsDisabled = (dis.itemState & ODS_DISABLED) != 0;

  const int saved = SaveDC(dc);
  SetBkMode(dc, TRANSPARENT);
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0));
  if (font != nullptr) SelectObject(dc, font);

  RECT item = dis.rcItem;
  OnDrawBackground(dc, &item);
  OnDrawBorder(dc, &item);

  const int length = GetWindowTextLengthW(m_hWnd);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  GetWindowTextW(m_hWnd, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(length));

  RECT caption = dis.rcItem;
  DrawIcon(dc, dis.rcItem, !text.empty(), &caption);
  if (!text.empty()) DrawText(dc, text, caption);
  // The flat look draws no focus rectangle: focus shows in the colours.
  RestoreDC(dc, saved);
}

}  // namespace orvane::widgets
