#include "app/orvane_dlg.h"

#include <memory>
#include <system_error>
#include <utility>
#include <vector>

#include "app/item_list.h"
#include "app/module_version.h"
#include "app/resource.h"
#include "catalogue/string_table.h"
#include "app/run_messages.h"
#include "engine/diagnosis.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/system_files.h"
#include "trust/trusted_keys.h"

namespace orvane::app {
namespace {

std::wstring Text(std::uint16_t id) { return platform::Utf8ToWide(LoadText(id)); }

// The keys built in and every *.pub in "keys" beside the program.
trust::TrustedKeys DialogTrustedKeys() {
  trust::TrustedKeys keys;
  trust::AddBuiltInKeys(keys);
  trust::AddKeyFolder(keys, platform::DefaultKeyFolder());
  return keys;
}

SessionOptions DialogSession(const AppSettings& settings, const std::string& imageFolder) {
  SessionOptions options;
  options.profile = settings.profile;
  options.imageDirectory = imageFolder;
  options.frontEnd = kFrontEndDialog;
  options.verify = settings.verify;
  options.trustedKeys = DialogTrustedKeys();
  options.allowUnsigned = settings.allowUnsigned;
  return options;
}

}  // namespace

COrvaneDlg::COrvaneDlg(const AppSettings& settings, std::string imageFolder)
    : m_settings(settings),
      m_imageFolder(std::move(imageFolder)),
      m_session(DialogSession(settings, m_imageFolder), m_view, m_prompter) {
  m_hIcon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                          GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
  m_hSmallIcon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                               IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), 0));
}

COrvaneDlg::~COrvaneDlg() {
  // The dialog cannot close during a check or a run; a worker whose end
  // message never came is waited for before the engine goes.
  if (m_worker.joinable()) m_worker.join();
  if (m_hIcon != nullptr) DestroyIcon(m_hIcon);
  if (m_hSmallIcon != nullptr) DestroyIcon(m_hSmallIcon);
}

INT_PTR COrvaneDlg::DoModal(HINSTANCE instance) {
  return DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_ORVANE_DIALOG), nullptr, DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK COrvaneDlg::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  COrvaneDlg* dialog = nullptr;
  if (message == WM_INITDIALOG) {
    dialog = reinterpret_cast<COrvaneDlg*>(lParam);
    SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
    dialog->m_hWnd = hWnd;
  } else {
    dialog = reinterpret_cast<COrvaneDlg*>(GetWindowLongPtrW(hWnd, DWLP_USER));
  }
  if (dialog == nullptr) return FALSE;
  return dialog->OnMessage(message, wParam, lParam);
}

INT_PTR COrvaneDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_PAINT:
      if (!IsIconic(m_hWnd)) return FALSE;
      OnPaint();
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(m_hIcon);
    case WM_CLOSE:
      OnClose();
      return TRUE;
    case WM_SETCURSOR:
      // The wait cursor over the whole window while a check runs.
      if (m_work != Work::Check) return FALSE;
      SetCursor(LoadCursorW(nullptr, IDC_WAIT));
      SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_SIZE:
      OnSize(LOWORD(lParam), HIWORD(lParam));
      return TRUE;
    case WM_DRAWITEM: {
      const DRAWITEMSTRUCT* dis = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (dis->CtlID == IDC_CHECK) {
        m_btnCheck.DrawItem(*dis);
        return TRUE;
      }
      if (dis->CtlID == IDC_UPDATE) {
        m_btnUpdate.DrawItem(*dis);
        return TRUE;
      }
      return FALSE;
    }
    case WM_NOTIFY: {
      NMHDR* header = reinterpret_cast<NMHDR*>(lParam);
      if (header->idFrom == IDC_ITEM_LIST && header->code == NM_CUSTOMDRAW) {
        SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT,
                          m_lstItems.OnCustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(lParam)));
        return TRUE;
      }
      return FALSE;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_CHECK:
          if (HIWORD(wParam) == BN_CLICKED) OnCheck();
          return TRUE;
        case IDC_ALLOW_LOWER:
          if (HIWORD(wParam) == BN_CLICKED) OnAllowLower();
          return TRUE;
        case IDC_UPDATE:
          if (HIWORD(wParam) == BN_CLICKED) OnUpdate();
          return TRUE;
        case IDCANCEL:
          OnCancel();
          return TRUE;
        case IDOK:
          // There is no OK button: Enter reaches the default button (Check)
          // or nothing, and never ends the dialog.
          return TRUE;
        default:
          return FALSE;
      }
    case WM_RUN_NOTIFY:
      OnRunNotify(wParam);
      return TRUE;
    case WM_APP_SET_CELL:
      OnSetCell(reinterpret_cast<CellText*>(lParam));
      return TRUE;
    case WM_APP_ROW_COLOUR:
      OnRowColour(static_cast<int>(wParam), static_cast<COLORREF>(lParam));
      return TRUE;
    case WM_APP_WARNING: {
      std::unique_ptr<std::wstring> text(reinterpret_cast<std::wstring*>(lParam));
      ShowWarning(*text);
      return TRUE;
    }
    case WM_APP_CHECK_DONE:
      OnCheckDone(wParam != 0);
      return TRUE;
    default:
      return FALSE;
  }
}

BOOL COrvaneDlg::OnInitDialog() {
  // The controls the dialog works with.
  m_btnCheck.SubclassDlgItem(IDC_CHECK, m_hWnd);
  m_btnUpdate.SubclassDlgItem(IDC_UPDATE, m_hWnd);
  m_chkAllowLower = Item(IDC_ALLOW_LOWER);
  m_lstItems.SubclassDlgItem(IDC_ITEM_LIST, m_hWnd);
  CheckDlgButton(m_hWnd, IDC_ALLOW_LOWER, m_bAllowLower ? BST_CHECKED : BST_UNCHECKED);

  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon ? m_hSmallIcon : m_hIcon));

  // The workers' side: cells and warnings come here.
  m_view.Attach(m_hWnd);
  m_prompter.Attach(m_hWnd);
  if (m_settings.problems.empty()) {
    m_session.Log().AddLine("Settings: %s", DescribeSettings(m_settings).c_str());
  } else {
    for (const std::string& problem : m_settings.problems) {
      m_session.Log().AddLine("%s %s", kSettingsFileName, problem.c_str());
    }
    m_session.Log().AddLine("Settings: %s", DescribeSettings(m_settings).c_str());
  }
  m_session.Log().AddLine("Trusted keys: %s",
                          trust::DescribeTrustedKeys(m_session.Options().trustedKeys).c_str());

  CModuleVersion version;
  if (version.LoadVersionInfo(OwnModuleName())) {
    const std::wstring title = version.GetValue(L"ProductName") + L" - " + version.GetValue(L"ProductVersion");
    SetWindowTextW(m_hWnd, title.c_str());
  }

  m_btnCheck.SetText(Text(IDS_CHECK_BUTTON));
  m_btnCheck.SetIcon(IDI_CHECK);
  m_btnUpdate.SetText(Text(IDS_UPDATE_BUTTON));
  m_btnUpdate.SetIcon(IDI_UPDATE);
  SetWindowTextW(m_chkAllowLower, Text(IDS_ALLOW_LOWER).c_str());

  m_lstItems.SetRedraw(false);
  for (std::size_t i = 0; i < kItemColumns.size(); ++i) {
    const ColumnSpec& column = kItemColumns[i];
    const std::wstring heading = Text(column.heading);
    m_lstItems.InsertColumn(static_cast<int>(i), heading, column.centred ? LVCFMT_CENTER : LVCFMT_LEFT,
                            m_lstItems.GetStringWidth(platform::Utf8ToWide(ColumnSampleText(column))));
  }
  m_lstItems.SetRedraw(true);

  RECT client;
  GetClientRect(m_hWnd, &client);
  m_clientSize = ClampClientSize(client.right, client.bottom);
  Layout();

  return TRUE;
}

void COrvaneDlg::OnPaint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(m_hWnd, &paint);
  SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(m_hWnd, &client);
  const int x = (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, m_hIcon);
  EndPaint(m_hWnd, &paint);
}

void COrvaneDlg::EnableControls(bool check, bool update, bool option) {
  EnableWindow(Item(IDC_CHECK), check);
  EnableWindow(Item(IDC_UPDATE), update);
  EnableWindow(m_chkAllowLower, option);
}

bool COrvaneDlg::StartWorker(Work work, std::function<void()> body) {
  m_bWorkDone = false;
  try {
    m_worker = std::thread(std::move(body));
  } catch (const std::system_error&) {
    return false;
  }
  m_work = work;
  return true;
}

void COrvaneDlg::EndOfWork(UINT message, WPARAM wParam) {
  m_bWorkDone = true;
  // The end message must arrive: a full queue drains, as the UI thread never
  // waits for this thread before the message is there.
  while (!PostMessageW(m_hWnd, message, wParam, 0) && IsWindow(m_hWnd)) platform::Sleep(50);
}

void COrvaneDlg::JoinWorker() {
  if (m_worker.joinable()) m_worker.join();
  m_work = Work::None;
}

void COrvaneDlg::ShowWarning(const std::wstring& text) {
  ++m_nWarningBoxes;
  ShowWarningBox(m_hWnd, text);
  --m_nWarningBoxes;
  if (m_nWarningBoxes == 0 && m_bCheckResultPending) {
    m_bCheckResultPending = false;
    ShowCheckResult(m_bPendingCheckOk);
  }
}

void COrvaneDlg::OnCheck() {
  if (Busy()) return;  // the buttons are disabled then; a stray message changes nothing
  EnableControls(false, false, false);

  m_lstItems.DeleteAllItems();
  RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);

  m_hCursorBeforeCheck = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  const bool started = StartWorker(Work::Check, [this] {
    m_checkReport = m_session.Check();
    const bool ok = m_checkReport.ok;
    // After a failed check, what stood in its way goes to the download log
    // (the warning box has said the check's own words already). Not after
    // a refusal of the images' signatures: it sent nothing, and the
    // diagnosis would go to the network.
    if (!ok && m_checkReport.Warning() != IDS_IMAGE_NOT_SIGNED) LogDiagnosis();
    EndOfWork(WM_APP_CHECK_DONE, ok ? 1 : 0);
  });
  // Without a thread there is no check: the dialog is as after a failed one.
  if (!started) ShowCheckResult(false);
}

void COrvaneDlg::LogDiagnosis() {
  DiagnosisOptions options;
  options.profile = m_settings.profile;
  options.imageDirectory = m_imageFolder;
  options.trustedKeys = m_session.Options().trustedKeys;
  options.allowUnsigned = m_settings.allowUnsigned;
  LogFindings(RunDiagnosis(options), m_session.Log());
}

void COrvaneDlg::OnCheckDone(bool ok) {
  if (m_work != Work::Check || !m_bWorkDone || m_bCheckResultPending) return;  // not the check's end
  if (m_worker.joinable()) m_worker.join();
  // A warning box of the check (or the refused close) is still open: the
  // result shows once it is closed, so the box keeps the focus.
  if (m_nWarningBoxes > 0) {
    m_bCheckResultPending = true;
    m_bPendingCheckOk = ok;
    return;
  }
  ShowCheckResult(ok);
}

void COrvaneDlg::ShowCheckResult(bool ok) {
  JoinWorker();
  SetCursor(m_hCursorBeforeCheck);
  if (!ok) {
    EnableWindow(Item(IDC_CHECK), TRUE);
    SetFocus(Item(IDC_CHECK));
    EnableWindow(Item(IDC_UPDATE), FALSE);
    EnableWindow(m_chkAllowLower, FALSE);
    return;
  }
  InsertItemRows();
  Layout();
  ApplyEvaluation();
}

void COrvaneDlg::InsertItemRows() {
  for (int row = 0; row < kItemCount; ++row) {
    const CheckRow& item = m_checkReport.rows[row];
    m_lstItems.InsertItem(row, platform::Utf8ToWide(item.name));
    m_lstItems.SetItemText(row, 1, platform::Utf8ToWide(item.installed));
    m_lstItems.SetItemText(row, 2, platform::Utf8ToWide(item.update));
  }
}

void COrvaneDlg::ApplyEvaluation() {
  m_checkReport = m_session.Reevaluate(m_bAllowLower != FALSE);
  const Evaluation& evaluation = m_checkReport.evaluation;
  for (int row = 0; row < kItemCount && row < m_lstItems.GetItemCount(); ++row) {
    const CheckRow& r = m_checkReport.rows[row];
    m_lstItems.SetItemData(row, static_cast<LPARAM>(StatusTextColour(r.kind, GetSysColor(COLOR_GRAYTEXT))));
    m_lstItems.SetItemText(row, kColumnStatus, Text(r.status));
  }
  EnableControls(evaluation.checkEnabled, evaluation.updateEnabled, evaluation.optionEnabled);
  if (evaluation.focus == Focus::Check) SetFocus(Item(IDC_CHECK));
  if (evaluation.focus == Focus::Update) SetFocus(Item(IDC_UPDATE));
}

void COrvaneDlg::OnClose() {
  if (Busy()) {
    ShowWarning(Text(IDS_STILL_RUNNING));
    return;
  }
  EndDialog(m_hWnd, IDCANCEL);
}

void COrvaneDlg::OnCancel() {
  if (Busy()) return;  // Escape during a check or a run: nothing at all
  EndDialog(m_hWnd, IDCANCEL);
}

void COrvaneDlg::OnSize(int width, int height) {
  m_clientSize = ClampClientSize(width, height);
  Layout();
}

void COrvaneDlg::Layout() {
  if (m_lstItems.GetSafeHwnd() == nullptr) return;
  const DialogLayout layout = ComputeLayout(m_clientSize);
  const auto place = [](HWND control, const ControlRect& r) {
    MoveWindow(control, r.x, r.y, r.width, r.height, TRUE);
  };
  place(Item(IDC_CHECK), layout.check);
  place(Item(IDC_UPDATE), layout.update);
  place(m_chkAllowLower, layout.option);
  place(m_lstItems.GetSafeHwnd(), layout.list);
  FitColumns();
  // Moved controls are repainted with the dialog, not just invalidated.
  RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void COrvaneDlg::FitColumns() {
  m_lstItems.SetRedraw(false);
  for (std::size_t i = 0; i < kItemColumns.size(); ++i) {
    const int column = static_cast<int>(i);
    const int sample = m_lstItems.GetStringWidth(platform::Utf8ToWide(ColumnSampleText(kItemColumns[i])));
    m_lstItems.SetColumnWidth(column, LVSCW_AUTOSIZE);
    const int contents = m_lstItems.GetColumnWidth(column);
    m_lstItems.SetColumnWidth(column, LVSCW_AUTOSIZE_USEHEADER);
    const int withHeading = m_lstItems.GetColumnWidth(column);
    m_lstItems.SetColumnWidth(column, FitColumnWidth(sample, contents, withHeading));
  }
  m_lstItems.SetRedraw(true);
}

void COrvaneDlg::OnAllowLower() {
  if (Busy()) return;  // disabled then; the items belong to the worker
  m_bAllowLower = IsDlgButtonChecked(m_hWnd, IDC_ALLOW_LOWER) == BST_CHECKED;
  ApplyEvaluation();
}

void COrvaneDlg::OnUpdate() {
  if (Busy()) return;
  const bool started = StartWorker(Work::Run, [this] {
    m_report = m_session.Update();
    EndOfWork(WM_RUN_NOTIFY, RUN_NOTIFY_ENABLE_CHECK);
  });
  // No thread, no run: the dialog stays as the check left it.
  if (started) EnableControls(false, false, false);
}

void COrvaneDlg::OnRunNotify(WPARAM code) {
  if (code != RUN_NOTIFY_ENABLE_CHECK) return;
  // The run's last act is this message; its thread is ending.
  std::vector<std::string> boxes;
  if (m_work == Work::Run && m_bWorkDone) {
    JoinWorker();
    boxes = RunMessages(m_report, m_session.Items());
    m_report = RunReport{};
  }
  EnableWindow(Item(IDC_CHECK), TRUE);
  // What no row shows (relay refused, NVRAM erase refused, not verified).
  for (const std::string& box : boxes) ShowWarning(platform::Utf8ToWide(box));
}

void COrvaneDlg::OnSetCell(CellText* cell) {
  std::unique_ptr<CellText> owned(cell);
  if (owned->row < 0 || owned->row >= m_lstItems.GetItemCount()) return;
  m_lstItems.SetItemText(owned->row, owned->column, owned->text);
}

void COrvaneDlg::OnRowColour(int row, COLORREF colour) {
  if (row < 0 || row >= m_lstItems.GetItemCount()) return;
  m_lstItems.SetItemData(row, static_cast<LPARAM>(colour));
  ListView_RedrawItems(m_lstItems.GetSafeHwnd(), row, row);
}

}  // namespace orvane::app
