#include "widgets/theme_helper.h"

namespace orvane::widgets {

CThemeHelperST::CThemeHelperST(const wchar_t* library) : m_hDll(LoadLibraryW(library)) {}

CThemeHelperST::~CThemeHelperST() {
  if (m_hDll != nullptr) FreeLibrary(m_hDll);
}

template <typename Function>
Function CThemeHelperST::Lookup(const char* name) const {
  if (m_hDll == nullptr) return nullptr;
  // Through the generic function pointer type, which may be cast to any
  // other without a warning.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(m_hDll, name)));
}

ThemeHandle CThemeHelperST::OpenThemeData(HWND hWnd, const wchar_t* classList) {
  using Fn = ThemeHandle(WINAPI*)(HWND, LPCWSTR);
  const Fn fn = Lookup<Fn>("OpenThemeData");
  return fn != nullptr ? fn(hWnd, classList) : nullptr;
}

HRESULT CThemeHelperST::CloseThemeData(ThemeHandle theme) {
  using Fn = HRESULT(WINAPI*)(ThemeHandle);
  const Fn fn = Lookup<Fn>("CloseThemeData");
  return fn != nullptr ? fn(theme) : E_FAIL;
}

HRESULT CThemeHelperST::DrawThemeBackground(HWND hWnd, ThemeHandle theme, HDC dc, int part, int state,
                                            const RECT* rect, const RECT* clip) {
  if (hWnd != nullptr) {
    using ParentFn = HRESULT(WINAPI*)(HWND, HDC, const RECT*);
    const ParentFn parent = Lookup<ParentFn>("DrawThemeParentBackground");
    if (parent != nullptr) parent(hWnd, dc, rect);
  }
  using Fn = HRESULT(WINAPI*)(ThemeHandle, HDC, int, int, const RECT*, const RECT*);
  const Fn fn = Lookup<Fn>("DrawThemeBackground");
  return fn != nullptr ? fn(theme, dc, part, state, rect, clip) : E_FAIL;
}

BOOL CThemeHelperST::IsAppThemed() {
  using Fn = BOOL(WINAPI*)();
  const Fn fn = Lookup<Fn>("IsAppThemed");
  return fn != nullptr ? fn() : FALSE;
}

CThemeHelperST& ProcessThemeHelper() {
  static CThemeHelperST helper;
  return helper;
}

}  // namespace orvane::widgets
