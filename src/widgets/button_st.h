#pragma once
// CButtonST: an owner-drawn push button with an icon beside its text, a flat
// look that lights up under the pointer, and configurable colours.
//
// The button takes over an existing dialog control (SubclassDlgItem): its
// type becomes owner-drawn, and the dialog hands it every WM_DRAWITEM for its
// id (DrawItem). Painting: background, border, icon, text; the first two
// are steps a derived class may replace (CXPStyleButtonST draws them with the
// system theme). Focus shows in the colours, not as a dotted rectangle.
//
// Threads: the user-interface thread only.
#include <windows.h>

#include <string>

namespace orvane::widgets {

class CButtonST {
 public:
  // The six colours: background and text for the pointer over the button (or
  // pressed), for the normal state, and for the focused state.
  enum Colour { COLOR_BK_IN, COLOR_FG_IN, COLOR_BK_OUT, COLOR_FG_OUT, COLOR_BK_FOCUS, COLOR_FG_FOCUS, COLOR_COUNT };

  CButtonST();
  virtual ~CButtonST();
  CButtonST(const CButtonST&) = delete;
  CButtonST& operator=(const CButtonST&) = delete;

  // Takes over the control `id` of the dialog `parent`. False when there is
  // no such control.
  bool SubclassDlgItem(int id, HWND parent);
  HWND GetSafeHwnd() const { return m_hWnd; }

  // The pointer-over icon and an optional normal icon (0: the same), loaded
  // from the program's resources at their stored size; redraws.
  void SetIcon(int iconIn, int iconOut = 0);
  void SetText(const std::wstring& text);
  void SetColour(Colour which, COLORREF colour);

  bool IsDefault() const { return m_bIsDefault; }

  // The dialog's WM_DRAWITEM for this control.
  void DrawItem(const DRAWITEMSTRUCT& dis);

 protected:
  virtual void OnDrawBackground(HDC dc, RECT* rect);
  virtual void OnDrawBorder(HDC dc, RECT* rect);
  // The control's messages; the default hands them on to the button class.
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);

  void Invalidate() const;

  HWND m_hWnd = nullptr;
  bool m_bDrawBorder = true;  // the thin 3-D edge under the pointer and when pressed
  bool m_bMouseOnButton = false;
  bool m_bIsPressed = false;
  bool m_bIsFocused = false;
  bool m_bIsDisabled = false;
  bool m_bIsDefault = false;
  COLORREF m_crColors[COLOR_COUNT];

 private:
  struct Icon {
    HICON handle = nullptr;
    int width = 0;
    int height = 0;
  };

  static LRESULT CALLBACK SubclassProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                       DWORD_PTR self);
  void OnMouseMove(WPARAM keys);
  void CancelHover();
  void FreeIcons();
  void DrawIcon(HDC dc, const RECT& item, bool hasText, RECT* caption);
  void DrawText(HDC dc, const std::wstring& text, const RECT& caption);

  Icon m_icons[2];  // [0] pointer over (or the only one), [1] normal
};

}  // namespace orvane::widgets
