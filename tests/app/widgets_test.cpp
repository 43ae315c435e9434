// The dialog's widgets on real Win32 controls (run under wine in CI).
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include "app/module_version.h"
#include "widgets/my_list_ctrl.h"
#include "widgets/theme_helper.h"
#include "widgets/xp_style_button_st.h"

namespace orvane::widgets {
namespace {

TEST(ThemeHelper, WithoutTheLibraryEverythingFailsSoftly) {
  CThemeHelperST helper(L"no-such-theme-library.dll");
  EXPECT_FALSE(helper.IsLoaded());
  EXPECT_EQ(helper.OpenThemeData(nullptr, L"BUTTON"), nullptr);
  EXPECT_EQ(helper.CloseThemeData(reinterpret_cast<ThemeHandle>(1)), E_FAIL);
  RECT r{0, 0, 10, 10};
  EXPECT_EQ(helper.DrawThemeBackground(nullptr, nullptr, nullptr, 1, 1, &r, nullptr), E_FAIL);
  EXPECT_FALSE(helper.IsAppThemed());
}

TEST(ModuleVersion, AProgramWithoutAVersionBlockGivesNoTitle) {
  // This test program carries no version block.
  app::CModuleVersion version;
  EXPECT_FALSE(version.LoadVersionInfo(app::OwnModuleName()));
  EXPECT_EQ(version.GetValue(L"ProductName"), L"");
  EXPECT_FALSE(version.LoadVersionInfo(L"no-such-module.exe"));
  EXPECT_EQ(version.CodePage(), 1252);
}

// A hidden top-level window holding the controls under test.
class WidgetWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    m_parent = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW, 0, 0, 600, 300, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    if (m_parent == nullptr) GTEST_SKIP() << "no window can be made here (no display)";
  }
  void TearDown() override {
    if (m_parent != nullptr) DestroyWindow(m_parent);
  }
  HWND Child(const wchar_t* windowClass, DWORD style, int id) {
    return CreateWindowExW(0, windowClass, L"", WS_CHILD | WS_VISIBLE | style, 10, 10, 400, 150, m_parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  }
  HWND m_parent = nullptr;
};

using ListControl = WidgetWindow;

TEST_F(ListControl, SetUpGivesGridLinesFullRowSelectAndButtonFaceBackground) {
  CMyListCtrl list;
  ASSERT_TRUE(list.SubclassDlgItem(1011, m_parent) == false);  // no such control yet
  ASSERT_TRUE(list.SubclassWindow(Child(WC_LISTVIEWW, LVS_REPORT, 1011)));
  const DWORD extended = ListView_GetExtendedListViewStyle(list.GetSafeHwnd());
  EXPECT_TRUE(extended & LVS_EX_GRIDLINES);
  EXPECT_TRUE(extended & LVS_EX_FULLROWSELECT);
  EXPECT_EQ(ListView_GetBkColor(list.GetSafeHwnd()), GetSysColor(COLOR_BTNFACE));
  EXPECT_NE(list.Header().GetSafeHwnd(), nullptr);
}

TEST_F(ListControl, RowsAlternateAndOnlyTheLastColumnTakesTheRowColour) {
  CMyListCtrl list;
  ASSERT_TRUE(list.SubclassWindow(Child(WC_LISTVIEWW, LVS_REPORT, 1011)));
  for (int c = 0; c < 5; ++c) list.InsertColumn(c, L"c", LVCFMT_LEFT, 60);
  ASSERT_EQ(list.Header().GetItemCount(), 5);

  NMLVCUSTOMDRAW draw{};
  draw.nmcd.dwDrawStage = CDDS_PREPAINT;
  EXPECT_EQ(list.OnCustomDraw(&draw), CDRF_NOTIFYITEMDRAW);

  const COLORREF defaultText = RGB(1, 2, 3);
  const COLORREF red = RGB(255, 0, 0);
  for (int row = 0; row < 4; ++row) {
    draw = {};
    draw.nmcd.dwDrawStage = CDDS_ITEMPREPAINT;
    draw.nmcd.dwItemSpec = static_cast<DWORD_PTR>(row);
    draw.nmcd.lItemlParam = static_cast<LPARAM>(red);
    draw.clrText = defaultText;
    EXPECT_EQ(list.OnCustomDraw(&draw), CDRF_NOTIFYSUBITEMDRAW);
    EXPECT_EQ(draw.clrTextBk, row % 2 == 0 ? RGB(240, 247, 249) : RGB(229, 232, 239)) << row;

    for (int column = 0; column < 5; ++column) {
      draw.nmcd.dwDrawStage = CDDS_ITEMPREPAINT | CDDS_SUBITEM;
      draw.iSubItem = column;
      EXPECT_EQ(list.OnCustomDraw(&draw), CDRF_DODEFAULT);
      // The status colour must not leak into the next row's first columns.
      EXPECT_EQ(draw.clrText, column == 4 ? red : defaultText) << row << "," << column;
    }
  }
}

TEST_F(ListControl, DividerDragsAreRefusedAndOtherNotificationsPass) {
  CMyListCtrl list;
  ASSERT_TRUE(list.SubclassWindow(Child(WC_LISTVIEWW, LVS_REPORT, 1011)));
  list.InsertColumn(0, L"Type", LVCFMT_LEFT, 60);
  HWND header = list.Header().GetSafeHwnd();

  NMHEADERW notify{};
  notify.hdr.hwndFrom = header;
  notify.hdr.idFrom = static_cast<UINT_PTR>(GetDlgCtrlID(header));
  for (const UINT code : {static_cast<UINT>(HDN_BEGINTRACKW), static_cast<UINT>(HDN_BEGINTRACKA)}) {
    notify.hdr.code = code;
    EXPECT_EQ(SendMessageW(list.GetSafeHwnd(), WM_NOTIFY, notify.hdr.idFrom, reinterpret_cast<LPARAM>(&notify)),
              TRUE);
  }
  // The header keeps the arrow cursor.
  EXPECT_EQ(SendMessageW(header, WM_SETCURSOR, reinterpret_cast<WPARAM>(header), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
            TRUE);

  // Cells and item data through the list operations.
  ASSERT_EQ(list.InsertItem(0, L"Router's BOOT"), 0);
  EXPECT_TRUE(list.SetItemText(0, 0, L"Firmware"));
  EXPECT_EQ(list.GetItemText(0, 0), L"Firmware");
  EXPECT_TRUE(list.SetItemData(0, 0x00FF0000));
  EXPECT_EQ(list.GetItemData(0), 0x00FF0000);
}

using Button = WidgetWindow;

// The colour of the pixel at (x, y) after drawing the button in `state`.
COLORREF Paint(CButtonST& button, UINT state, int x, int y) {
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, 100, 40);
  HGDIOBJ old = SelectObject(dc, bitmap);
  DRAWITEMSTRUCT dis{};
  dis.CtlType = ODT_BUTTON;
  dis.hwndItem = button.GetSafeHwnd();
  dis.hDC = dc;
  dis.rcItem = {0, 0, 100, 40};
  dis.itemState = state;
  button.DrawItem(dis);
  const COLORREF pixel = GetPixel(dc, x, y);
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  return pixel;
}

TEST_F(Button, StaysOwnerDrawnAndFollowsTheDefaultButtonMoves) {
  CXPStyleButtonST button;
  HWND hWnd = Child(L"BUTTON", BS_DEFPUSHBUTTON, 1000);
  ASSERT_TRUE(button.SubclassDlgItem(1000, m_parent));
  EXPECT_TRUE(button.IsDefault());
  EXPECT_EQ(GetWindowLongPtrW(hWnd, GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
  EXPECT_TRUE(SendMessageW(hWnd, WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON);

  // The dialog manager hands the default look to another button.
  SendMessageW(hWnd, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
  EXPECT_FALSE(button.IsDefault());
  EXPECT_EQ(GetWindowLongPtrW(hWnd, GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
  EXPECT_TRUE(SendMessageW(hWnd, WM_GETDLGCODE, 0, 0) & DLGC_UNDEFPUSHBUTTON);
}

TEST_F(Button, WithoutAThemeTheClassicFlatLookUsesTheStateColours) {
  CThemeHelperST noTheme(L"no-such-theme-library.dll");
  CXPStyleButtonST button;
  button.SetThemeHelper(&noTheme);
  Child(L"BUTTON", BS_PUSHBUTTON, 1013);
  ASSERT_TRUE(button.SubclassDlgItem(1013, m_parent));
  button.SetColour(CButtonST::COLOR_BK_OUT, RGB(10, 20, 30));
  button.SetColour(CButtonST::COLOR_BK_IN, RGB(200, 100, 50));
  button.SetColour(CButtonST::COLOR_BK_FOCUS, RGB(0, 90, 0));

  EXPECT_EQ(Paint(button, 0, 50, 2), RGB(10, 20, 30));
  EXPECT_EQ(button.ThemeState(), 1);
  // Pressed: the over colour; the flat look draws no border (draw-border off).
  EXPECT_EQ(Paint(button, ODS_SELECTED, 0, 0), RGB(200, 100, 50));
  EXPECT_EQ(button.ThemeState(), 3);
  // Focused (flat: no focus rectangle).
  EXPECT_EQ(Paint(button, ODS_FOCUS, 3, 3), RGB(0, 90, 0));
  EXPECT_EQ(Paint(button, ODS_DISABLED, 50, 2), RGB(10, 20, 30));
  EXPECT_EQ(button.ThemeState(), 4);
}

}  // namespace
}  // namespace orvane::widgets
