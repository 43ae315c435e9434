#pragma once
// How the dialog's worker threads (the check's and the update run's) reach
// the dialog: the item view, the warnings and the end messages, all posted to
// the dialog's window and carried out by its user-interface thread.
//
// Posted, not sent: a worker never waits for the user-interface thread, so
// nothing the dialog does while a check or a run is on (a modal message box,
// waiting for the worker at its end) can deadlock with it. Messages posted by
// one thread arrive in the order they were posted, so a row's colour, its
// text, a warning and the worker's end message keep their order. A text
// travels as a heap object that the dialog frees when it takes the message;
// if the post fails (the window is gone) the sender frees it.
#include <windows.h>

#include <cstdint>
#include <string>

#include "catalogue/prompter.h"
#include "engine/item_view.h"

namespace orvane::app {

// The end-of-run message and its one code (first parameter).
inline constexpr UINT WM_RUN_NOTIFY = 0x81F4;
inline constexpr WPARAM RUN_NOTIFY_ENABLE_CHECK = 0;

// Private messages of the dialog, carried out on its thread.
inline constexpr UINT WM_APP_SET_CELL = WM_APP + 1;    // lParam: CellText*, owned by the receiver
inline constexpr UINT WM_APP_ROW_COLOUR = WM_APP + 2;  // wParam: row, lParam: 0x00BBGGRR colour
inline constexpr UINT WM_APP_WARNING = WM_APP + 3;     // lParam: std::wstring*, owned by the receiver
inline constexpr UINT WM_APP_CHECK_DONE = WM_APP + 4;  // wParam: 1 when the check succeeded, 0 when not

struct CellText {
  int row;
  int column;
  std::wstring text;
};

// The list's "%" and "Status" cells and the rows' colours, as the engine
// writes them (from any thread): a status posts the row's colour for its
// kind, then its text.
class CDialogItemView : public IItemView {
 public:
  void Attach(HWND dialog) { m_hDialog = dialog; }
  void SetProgressText(int row, const std::string& text) override;
  void SetStatus(int row, const std::string& text, StatusKind kind) override;

 private:
  void PostCell(int row, int column, const std::string& text);

  HWND m_hDialog = nullptr;
};

// The check's warnings: posted to the dialog, whose thread shows each in the
// "Warning" box (from any thread, the dialog's own included).
class CWarningPrompter : public IPrompter {
 public:
  void Attach(HWND dialog) { m_hDialog = dialog; }
  void Warning(const std::string& text) override;

 private:
  HWND m_hDialog = nullptr;
};

// Shows `text` in the "Warning" box owned by `owner` (may be null).
void ShowWarningBox(HWND owner, const std::wstring& text);

}  // namespace orvane::app
