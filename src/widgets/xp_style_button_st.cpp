#include "widgets/xp_style_button_st.h"

namespace orvane::widgets {
namespace {

constexpr int kPartPushButton = 1;
constexpr int kStateNormal = 1;
constexpr int kStateHot = 2;
constexpr int kStatePressed = 3;
constexpr int kStateDisabled = 4;
constexpr int kStateDefault = 5;

}  // namespace

CXPStyleButtonST::CXPStyleButtonST() : m_pTheme(&ProcessThemeHelper()) { m_bDrawBorder = false; }

bool CXPStyleButtonST::Themed() const { return m_pTheme != nullptr && m_pTheme->IsAppThemed(); }

int CXPStyleButtonST::ThemeState() const {
  int state = kStateNormal;
  if (m_bIsDefault) state = kStateDefault;
  if (m_bMouseOnButton) state = kStateHot;
  if (m_bIsPressed) state = kStatePressed;
  if (m_bIsDisabled) state = kStateDisabled;
  return state;
}

void CXPStyleButtonST::OnDrawBackground(HDC dc, RECT* rect) {
  m_bThemeDrawn = false;
  if (Themed()) {
    ThemeHandle theme = m_pTheme->OpenThemeData(m_hWnd, L"BUTTON");
    if (theme != nullptr) {
      m_pTheme->DrawThemeBackground(m_hWnd, theme, dc, kPartPushButton, ThemeState(), rect, nullptr);
      m_pTheme->CloseThemeData(theme);
      m_bThemeDrawn = true;
      return;
    }
  }
  CButtonST::OnDrawBackground(dc, rect);
}

void CXPStyleButtonST::OnDrawBorder(HDC dc, RECT* rect) {
  if (m_bThemeDrawn) return;  // the theme's background includes the border
  CButtonST::OnDrawBorder(dc, rect);
}

}  // namespace orvane::widgets
