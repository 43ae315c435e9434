#pragma once
// COrvaneDlg: the updater's one window. A resizable dialog with the list of
// the five update items, a Check button that runs the check on this thread
// and an Update button that starts the update run on a worker thread.
//
//   Check   -> rows cleared, check (blocking), rows filled, evaluation:
//              Update enabled unless a row is "Version unmatched"
//   Update  -> all three controls disabled, worker runs the engine, its
//              cells arrive as posted messages, WM_RUN_NOTIFY 0 at its end
//              enables Check alone
//
// The dialog owns the telnet session and the update engine for its whole
// life. While a run is in progress (from the Update click until its end
// message) closing is refused with a warning and Escape does nothing.
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "app/app_settings.h"
#include "app/dialog_bridge.h"
#include "app/dialog_layout.h"
#include "catalogue/check_procedure.h"
#include "catalogue/update_item.h"
#include "engine/update_engine.h"
#include "net/telnet_session.h"
#include "widgets/my_list_ctrl.h"
#include "widgets/theme_helper.h"
#include "widgets/xp_style_button_st.h"

namespace orvane::app {

// The dialog's window and its item list, for the update run's side.
extern HWND g_hMainDlg;
extern widgets::CMyListCtrl* g_pItemList;

class COrvaneDlg {
 public:
  // `settings`: the network profile the check and the run use; its problems
  // go to the download log. `imageFolder`: where the check looks for images.
  COrvaneDlg(const AppSettings& settings, std::string imageFolder);
  ~COrvaneDlg();
  COrvaneDlg(const COrvaneDlg&) = delete;
  COrvaneDlg& operator=(const COrvaneDlg&) = delete;

  // Runs the dialog modally; returns its end code (or -1 when it could not
  // be made).
  INT_PTR DoModal(HINSTANCE instance);

 private:
  static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

  BOOL OnInitDialog();
  void OnPaint();
  void OnCheck();
  void OnClose();
  void OnCancel();
  void OnSize(int width, int height);
  void OnAllowLower();
  void OnUpdate();
  void OnRunNotify(WPARAM code);
  void OnSetCell(CellText* cell);
  void OnRowColour(int row, COLORREF colour);

  void Layout();
  void FitColumns();
  void InsertItemRows();
  void ApplyEvaluation();
  void EnableControls(bool check, bool update, bool option);
  bool RunInProgress() const { return m_bRunActive; }
  HWND Item(int id) const { return GetDlgItem(m_hWnd, id); }

  HWND m_hWnd = nullptr;
  widgets::CXPStyleButtonST m_btnCheck;
  widgets::CXPStyleButtonST m_btnUpdate;
  HWND m_chkAllowLower = nullptr;  // a plain checkbox, hidden
  widgets::CMyListCtrl m_lstItems;
  BOOL m_bAllowLower = FALSE;
  widgets::CThemeHelperST m_themeHelper;
  HICON m_hIcon = nullptr;
  HICON m_hSmallIcon = nullptr;
  AppSettings m_settings;
  std::string m_imageFolder;
  CTelnetSession m_telnet;
  ClientSize m_clientSize;
  CDialogItemView m_view;
  CWarningPrompter m_prompter;
  CUpdateEngine m_engine;
  CCheckProcedure m_check;

  // The run: true from the Update click until the end message has been
  // handled (the worker still closes the connection and saves the log after
  // the engine's state is back to idle, so the engine's state alone would let
  // the dialog be destroyed under it).
  bool m_bRunActive = false;
  std::atomic<bool> m_bRunFinished{false};
  std::thread m_worker;
};

}  // namespace orvane::app
