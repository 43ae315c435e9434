#pragma once
// CXPStyleButtonST: a CButtonST whose background and border come from the
// system's visual theme (the push-button part) while the
// application is themed; without a theme it looks and behaves exactly like
// its base.
#include "widgets/button_st.h"
#include "widgets/theme_helper.h"

namespace orvane::widgets {

class CXPStyleButtonST : public CButtonST {
 public:
  CXPStyleButtonST();
  // null: never themed.
  void SetThemeHelper(CThemeHelperST* helper) { m_pTheme = helper; }

  // The theme state drawn for the button's current state: 1 normal, 5
  // default, 2 pointer over, 3 pressed, 4 disabled (a later one wins).
  int ThemeState() const;

 protected:
  void OnDrawBackground(HDC dc, RECT* rect) override;
  void OnDrawBorder(HDC dc, RECT* rect) override;

 private:
  bool Themed() const;

  CThemeHelperST* m_pTheme;
  bool m_bThemeDrawn = false;  // this painting's background came from the theme
};

}  // namespace orvane::widgets
