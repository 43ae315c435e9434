#pragma once
// COrvaneDlg: the updater's one window. A resizable dialog with the list of
// the five update items, a Check button and an Update button. Both start
// their work on a worker thread, so the window repaints, moves and answers
// while it goes on:
//
//   Check   -> all three controls disabled, rows cleared, worker runs the
//              check (its warnings arrive as posted messages) and, when it
//              failed, the diagnosis (its findings go to the download log),
//              WM_APP_CHECK_DONE at its end: rows filled, evaluation
//              (Update enabled unless a row is "Version unmatched"), or
//              after a failed check Check alone
//   Update  -> all three controls disabled, worker runs the session's
//              update (run, verification when orvane.ini asks for it, the
//              verdict, the history line), its cells arrive as posted
//              messages; WM_RUN_NOTIFY 0 at its end enables Check alone and
//              shows the boxes of the run's report (run_messages.h)
//
// The dialog owns its update session for its whole life; it renders the
// session's check and run reports and never judges a run itself. While a check or a run is in progress (from the click until its end
// message has been handled) closing is refused with a warning and Escape
// does nothing.
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "app/app_settings.h"
#include "app/dialog_bridge.h"
#include "app/dialog_layout.h"
#include "catalogue/update_item.h"
#include "engine/run_report.h"
#include "engine/update_session.h"
#include "widgets/my_list_ctrl.h"
#include "widgets/xp_style_button_st.h"

namespace orvane::app {

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
  // What the worker thread is doing; changed on the UI thread only.
  enum class Work { None, Check, Run };

  static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

  BOOL OnInitDialog();
  void OnPaint();
  void OnCheck();
  void OnCheckDone(bool ok);
  // On the check's worker after a failed check: runs the diagnosis and
  // writes its findings to the download log.
  void LogDiagnosis();
  void ShowCheckResult(bool ok);
  void OnClose();
  void OnCancel();
  void OnSize(int width, int height);
  void OnAllowLower();
  void OnUpdate();
  void OnRunNotify(WPARAM code);
  void OnSetCell(CellText* cell);
  void OnRowColour(int row, COLORREF colour);

  // Starts `body` on the worker thread as `work`; false when no thread could
  // be made. The body's last act is EndOfWork.
  bool StartWorker(Work work, std::function<void()> body);
  // On the worker: marks its work done and posts `message` to the dialog.
  void EndOfWork(UINT message, WPARAM wParam);
  // On the UI thread, after the end message: waits for the worker's thread
  // (it has nothing left to do) and frees the dialog for the next work.
  void JoinWorker();
  // The "Warning" box; a check that ends while one is open shows its result
  // when the last box is closed, as it did when the check held this thread.
  void ShowWarning(const std::wstring& text);

  void Layout();
  void FitColumns();
  void InsertItemRows();
  void ApplyEvaluation();
  void EnableControls(bool check, bool update, bool option);
  bool Busy() const { return m_work != Work::None; }
  HWND Item(int id) const { return GetDlgItem(m_hWnd, id); }

  HWND m_hWnd = nullptr;
  widgets::CXPStyleButtonST m_btnCheck;
  widgets::CXPStyleButtonST m_btnUpdate;
  HWND m_chkAllowLower = nullptr;  // a plain checkbox, hidden
  widgets::CMyListCtrl m_lstItems;
  BOOL m_bAllowLower = FALSE;
  HICON m_hIcon = nullptr;
  HICON m_hSmallIcon = nullptr;
  AppSettings m_settings;
  std::string m_imageFolder;
  ClientSize m_clientSize;
  CDialogItemView m_view;
  CWarningPrompter m_prompter;
  CUpdateSession m_session;
  CheckReport m_checkReport;  // the last check's; written by its worker before the end message

  // The worker: busy from the click until its end message has been handled
  // (a run still verifies and records after the engine's state is back to
  // idle, so the engine's state alone would let the dialog be destroyed
  // under it). `m_bWorkDone` is set by the worker just before
  // its end message, so a stray end message never waits for a working
  // thread.
  Work m_work = Work::None;
  std::atomic<bool> m_bWorkDone{false};
  std::thread m_worker;
  RunReport m_report;  // the last run's; written by its worker before the end message
  HCURSOR m_hCursorBeforeCheck = nullptr;

  // Open "Warning" boxes, and a check result that waits for them to close.
  int m_nWarningBoxes = 0;
  bool m_bCheckResultPending = false;
  bool m_bPendingCheckOk = false;
};

}  // namespace orvane::app
