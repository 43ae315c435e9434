#include <winsock2.h>

#include "app/orvane_app.h"

#include <commctrl.h>

#include <cstdio>
#include <string>

#include "app/app_settings.h"
#include "app/dialog_bridge.h"
#include "app/module_version.h"
#include "app/orvane_dlg.h"
#include "catalogue/string_table.h"
#include "log/error_text.h"
#include "platform/clock.h"
#include "platform/codepage.h"

namespace orvane::app {
namespace {

void ShowErrorCode(std::uint32_t code) { ShowWarningBox(nullptr, platform::Utf8ToWide(FormatErrorText(code))); }

// The settings file beside the program; defaults when there is none.
AppSettings LoadSettings() {
  const std::wstring path = OwnModuleFolder() + L"\\" + platform::Utf8ToWide(kSettingsFileName);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return AppSettings{};
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  // A settings file is a few lines; anything past 64 KiB is not one.
  while (text.size() < 65536 && ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    text.append(buffer, got);
  }
  CloseHandle(file);
  return ParseSettings(text);
}

}  // namespace

int COrvaneApp::Run() {
  InitInstance();
  return ExitInstance();
}

bool COrvaneApp::StartSockets() {
  WSADATA data{};
  const int rc = WSAStartup(MAKEWORD(2, 2), &data);
  if (rc != 0) {
    ShowErrorCode(static_cast<std::uint32_t>(rc));
    return false;
  }
  if (data.wVersion != MAKEWORD(2, 2)) {
    WSACleanup();
    char text[160];
    std::snprintf(text, sizeof text, LoadText(IDS_WINSOCK_VERSION), LOBYTE(data.wVersion), HIBYTE(data.wVersion));
    ShowWarningBox(nullptr, platform::Utf8ToWide(text));
    return false;
  }
  m_bSocketsStarted = true;
  return true;
}

bool COrvaneApp::InitInstance() {
  // 1. The standard dialog class once more, under the program's own name.
  WNDCLASSEXW dialogClass{};
  dialogClass.cbSize = sizeof dialogClass;
  if (GetClassInfoExW(m_hInstance, L"#32770", &dialogClass) || GetClassInfoExW(nullptr, L"#32770", &dialogClass)) {
    dialogClass.hInstance = m_hInstance;
    dialogClass.lpszClassName = kDialogClassName;
    RegisterClassExW(&dialogClass);
  }

  // 2. One copy at a time.
  HANDLE mutex = CreateMutexW(nullptr, TRUE, kInstanceMutexName);
  if (mutex == nullptr) {
    ShowErrorCode(GetLastError());
    return false;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    HWND first = FindWindowW(kDialogClassName, nullptr);
    if (first != nullptr && IsIconic(first)) ShowWindow(first, SW_RESTORE);
    return false;  // the handle goes with the process
  }

  // 3. Windows Sockets 2.2.
  if (!StartSockets()) {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return false;
  }

  // 4. The common controls the dialog uses (list view, header, buttons).
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  // 5. The settings beside the program, then the dialog.
  const AppSettings settings = LoadSettings();
  platform::SetTimeScale(settings.timeScale);
  {
    COrvaneDlg dialog(settings, platform::WideToUtf8(OwnModuleFolder()));
    dialog.DoModal(m_hInstance);
    // 6. The next copy may start.
    ReleaseMutex(mutex);
    CloseHandle(mutex);
  }  // 7. The dialog and its engine go.
  return false;
}

int COrvaneApp::ExitInstance() {
  if (m_bSocketsStarted) WSACleanup();
  m_bSocketsStarted = false;
  return 0;
}

}  // namespace orvane::app
