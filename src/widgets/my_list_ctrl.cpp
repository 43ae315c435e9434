#include "widgets/my_list_ctrl.h"

namespace orvane::widgets {
namespace {
constexpr UINT_PTR kSubclassId = 0x4C43;
}

CMyListCtrl::~CMyListCtrl() {
  if (m_hWnd != nullptr) RemoveWindowSubclass(m_hWnd, SubclassProc, kSubclassId);
}

bool CMyListCtrl::SubclassDlgItem(int id, HWND parent) { return SubclassWindow(GetDlgItem(parent, id)); }

bool CMyListCtrl::SubclassWindow(HWND hWnd) {
  if (hWnd == nullptr || !SetWindowSubclass(hWnd, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this))) {
    return false;
  }
  m_hWnd = hWnd;
  Setup();
  return true;
}

void CMyListCtrl::Setup() {
  if (!m_bHeaderAttached) {
    m_bHeaderAttached = m_header.SubclassWindow(ListView_GetHeader(m_hWnd));
  }
  ListView_SetExtendedListViewStyleEx(m_hWnd, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT,
                                      LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
  ListView_SetBkColor(m_hWnd, GetSysColor(COLOR_BTNFACE));
}

LRESULT CALLBACK CMyListCtrl::SubclassProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                           DWORD_PTR self) {
  CMyListCtrl* list = reinterpret_cast<CMyListCtrl*>(self);
  if (message == WM_NOTIFY) {
    const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
    // The header asks its list before a divider drag starts: refused.
    if (header->hwndFrom == list->m_header.GetSafeHwnd() &&
        (header->code == HDN_BEGINTRACKW || header->code == HDN_BEGINTRACKA)) {
      return TRUE;
    }
  } else if (message == WM_NCDESTROY) {
    RemoveWindowSubclass(hWnd, SubclassProc, kSubclassId);
    list->m_hWnd = nullptr;
  }
  return DefSubclassProc(hWnd, message, wParam, lParam);
}

LRESULT CMyListCtrl::OnCustomDraw(NMLVCUSTOMDRAW* draw) {
  switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
      draw->clrTextBk = (draw->nmcd.dwItemSpec % 2 == 0) ? kEvenRowColour : kOddRowColour;
      m_crItemText = draw->clrText;
      return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM:
      draw->clrTextBk = (draw->nmcd.dwItemSpec % 2 == 0) ? kEvenRowColour : kOddRowColour;
      if (draw->iSubItem == m_header.GetItemCount() - 1) {
        draw->clrText = static_cast<COLORREF>(draw->nmcd.lItemlParam);
      } else {
        draw->clrText = m_crItemText;
      }
      return CDRF_DODEFAULT;
    default:
      return CDRF_DODEFAULT;
  }
}

int CMyListCtrl::InsertColumn(int column, const std::wstring& heading, int format, int width) {
  LVCOLUMNW col{};
  col.mask = LVCF_TEXT | LVCF_FMT | LVCF_WIDTH | LVCF_SUBITEM;
  col.fmt = format;
  col.cx = width;
  col.pszText = const_cast<wchar_t*>(heading.c_str());
  col.iSubItem = column;
  return static_cast<int>(SendMessageW(m_hWnd, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column),
                                       reinterpret_cast<LPARAM>(&col)));
}

int CMyListCtrl::InsertItem(int row, const std::wstring& text) {
  LVITEMW item{};
  item.mask = LVIF_TEXT | LVIF_PARAM;
  item.iItem = row;
  item.pszText = const_cast<wchar_t*>(text.c_str());
  item.lParam = 0;
  return static_cast<int>(SendMessageW(m_hWnd, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
}

bool CMyListCtrl::SetItemText(int row, int column, const std::wstring& text) {
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = const_cast<wchar_t*>(text.c_str());
  return SendMessageW(m_hWnd, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item)) != 0;
}

std::wstring CMyListCtrl::GetItemText(int row, int column) const {
  wchar_t buffer[512] = {};
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = buffer;
  item.cchTextMax = static_cast<int>(std::size(buffer));
  SendMessageW(m_hWnd, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  return buffer;
}

bool CMyListCtrl::SetItemData(int row, LPARAM data) {
  LVITEMW item{};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  item.lParam = data;
  return SendMessageW(m_hWnd, LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item)) != 0;
}

LPARAM CMyListCtrl::GetItemData(int row) const {
  LVITEMW item{};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  SendMessageW(m_hWnd, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
  return item.lParam;
}

bool CMyListCtrl::DeleteAllItems() { return ListView_DeleteAllItems(m_hWnd) != FALSE; }

int CMyListCtrl::GetItemCount() const { return ListView_GetItemCount(m_hWnd); }

int CMyListCtrl::GetStringWidth(const std::wstring& text) const {
  return static_cast<int>(SendMessageW(m_hWnd, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

int CMyListCtrl::GetColumnWidth(int column) const { return ListView_GetColumnWidth(m_hWnd, column); }

bool CMyListCtrl::SetColumnWidth(int column, int width) {
  return ListView_SetColumnWidth(m_hWnd, column, width) != FALSE;
}

void CMyListCtrl::SetRedraw(bool redraw) { SendMessageW(m_hWnd, WM_SETREDRAW, redraw ? TRUE : FALSE, 0); }

}  // namespace orvane::widgets
