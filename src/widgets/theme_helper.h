#pragma once
// CThemeHelperST: the system's visual-styles library reached at run time.
//
// The library is loaded when the object is made and freed when it goes; each
// operation looks its function up by name at every call. Where the library
// or a function is missing the program still runs: no theme is opened,
// drawing and closing report E_FAIL, the parent's background is not drawn and
// the application counts as not themed, so the buttons fall back to their
// classic look.
#include <windows.h>

namespace orvane::widgets {

using ThemeHandle = HANDLE;  // the library's HTHEME

class CThemeHelperST {
 public:
  // `library` is the file loaded; tests name one that does not exist.
  explicit CThemeHelperST(const wchar_t* library = L"UxTheme.dll");
  virtual ~CThemeHelperST();
  CThemeHelperST(const CThemeHelperST&) = delete;
  CThemeHelperST& operator=(const CThemeHelperST&) = delete;

  bool IsLoaded() const { return m_hDll != nullptr; }

  ThemeHandle OpenThemeData(HWND hWnd, const wchar_t* classList);
  HRESULT CloseThemeData(ThemeHandle theme);
  // With a window, its parent's background is drawn first (so the rounded
  // corners of a themed button show the dialog behind them).
  HRESULT DrawThemeBackground(HWND hWnd, ThemeHandle theme, HDC dc, int part, int state, const RECT* rect,
                              const RECT* clip);
  BOOL IsAppThemed();

 private:
  template <typename Function>
  Function Lookup(const char* name) const;

  HMODULE m_hDll = nullptr;
};

// The process-wide helper every themed button draws with; lives from program
// start to exit.
CThemeHelperST& ProcessThemeHelper();

}  // namespace orvane::widgets
