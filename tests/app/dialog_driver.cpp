// orvane-dialog-driver.exe: works the running Orvane dialog the way an
// operator would, from another process of the same wine prefix and desktop,
// for the operator test (tests/app/dialog_operator_test.sh).
//
//   find MS                 wait up to MS for the dialog to show; prints its title
//   count                   how many dialog windows exist
//   click ID                posts a click of control ID (as the button
//                           itself would: the driver never waits for it)
//   state                   "ID enabled visible" for 1000, 1013, 1012
//   wait-enabled ID MS      wait up to MS until control ID is enabled
//   rows                    the list's cells, one row per line, tab-separated,
//                           then the row's item data (status colour) in hex
//   layout                  "client W H", then "ID x y w h" per control and
//                           "columns w0 w1 ..." (client coordinates)
//   resize W H              gives the dialog a client area of W x H
//   close                   posts WM_CLOSE (the close box)
//   escape                  posts the Escape key's command (IDCANCEL)
//   warning MS [open]       waits for a "Warning" box of the dialog's
//                           process, prints its text and presses OK
//                           (with "open": leaves it open)
//   minimize | iconic       minimises the dialog / prints 1 when minimised
//   screenshot FILE.bmp     the dialog's window as the screen shows it
//   gone MS                 waits up to MS until no dialog window exists
//   responsive MS           while a check or run keeps Check and Update
//                           disabled, for MS: every 50 ms a WM_NULL round
//                           trip and a repaint of the list, each answered
//                           within 1 s; prints the probes and the slowest;
//                           fails when one goes unanswered or the work ends
//                           before MS
//
// Exit status 0 on success, 1 when what was asked for did not happen.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kDialogClass = L"LumtarDialog";
constexpr int kCheck = 1000;
constexpr int kUpdate = 1013;
constexpr int kOption = 1012;
constexpr int kList = 1011;

HWND FindDialog() { return FindWindowW(kDialogClass, nullptr); }

// The dialog once it is on screen (its title and controls are set up by
// then).
HWND WaitDialog(DWORD ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    HWND dialog = FindDialog();
    if (dialog != nullptr && IsWindowVisible(dialog)) return dialog;
    if (GetTickCount() - start >= ms) return nullptr;
    Sleep(100);
  }
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

std::wstring WindowText(HWND hWnd) {
  wchar_t buffer[1024] = {};
  GetWindowTextW(hWnd, buffer, static_cast<int>(std::size(buffer)));
  return buffer;
}

// Memory inside the dialog's process, for list messages whose structures
// must live there.
class RemoteBuffer {
 public:
  RemoteBuffer(HWND window, std::size_t size) : m_size(size) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    m_process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (m_process != nullptr) m_address = VirtualAllocEx(m_process, nullptr, size, MEM_COMMIT, PAGE_READWRITE);
  }
  ~RemoteBuffer() {
    if (m_address != nullptr) VirtualFreeEx(m_process, m_address, 0, MEM_RELEASE);
    if (m_process != nullptr) CloseHandle(m_process);
  }
  bool Ok() const { return m_address != nullptr; }
  char* Address() const { return static_cast<char*>(m_address); }
  bool Write(std::size_t offset, const void* data, std::size_t size) {
    SIZE_T done = 0;
    return WriteProcessMemory(m_process, Address() + offset, data, size, &done) && done == size;
  }
  bool Read(std::size_t offset, void* data, std::size_t size) {
    SIZE_T done = 0;
    return ReadProcessMemory(m_process, Address() + offset, data, size, &done) && done == size;
  }

 private:
  HANDLE m_process = nullptr;
  void* m_address = nullptr;
  std::size_t m_size;
};

std::wstring CellText(HWND list, RemoteBuffer& remote, int row, int column) {
  constexpr std::size_t kTextOffset = 512;
  constexpr int kChars = 512;
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = reinterpret_cast<wchar_t*>(remote.Address() + kTextOffset);
  item.cchTextMax = kChars;
  remote.Write(0, &item, sizeof item);
  const LRESULT length = SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                                      reinterpret_cast<LPARAM>(remote.Address()));
  std::vector<wchar_t> text(kChars + 1, L'\0');
  remote.Read(kTextOffset, text.data(), kChars * sizeof(wchar_t));
  return std::wstring(text.data(), static_cast<std::size_t>(length > 0 ? length : 0));
}

LPARAM ItemData(HWND list, RemoteBuffer& remote, int row) {
  LVITEMW item{};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  remote.Write(0, &item, sizeof item);
  SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(remote.Address()));
  remote.Read(0, &item, sizeof item);
  return item.lParam;
}

int Rows(HWND dialog) {
  HWND list = GetDlgItem(dialog, kList);
  RemoteBuffer remote(list, 4096);
  if (!remote.Ok()) return 1;
  const int rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
  const int columns = static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
  for (int row = 0; row < rows; ++row) {
    std::string line;
    for (int column = 0; column < columns; ++column) {
      line += Narrow(CellText(list, remote, row, column));
      line += '\t';
    }
    std::printf("%s%06lx\n", line.c_str(), static_cast<unsigned long>(ItemData(list, remote, row)));
  }
  return 0;
}

RECT ClientRectOf(HWND dialog, HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

int Layout(HWND dialog) {
  RECT client;
  GetClientRect(dialog, &client);
  std::printf("client %ld %ld\n", client.right, client.bottom);
  for (const int id : {kCheck, kUpdate, kOption, kList}) {
    const RECT r = ClientRectOf(dialog, GetDlgItem(dialog, id));
    std::printf("%d %ld %ld %ld %ld\n", id, r.left, r.top, r.right - r.left, r.bottom - r.top);
  }
  HWND list = GetDlgItem(dialog, kList);
  std::printf("columns");
  for (int column = 0; column < 5; ++column) {
    std::printf(" %d", static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0)));
  }
  std::printf("\n");
  return 0;
}

int Resize(HWND dialog, int width, int height) {
  RECT window;
  RECT client;
  GetWindowRect(dialog, &window);
  GetClientRect(dialog, &client);
  const int frameX = (window.right - window.left) - client.right;
  const int frameY = (window.bottom - window.top) - client.bottom;
  return SetWindowPos(dialog, nullptr, 0, 0, width + frameX, height + frameY, SWP_NOMOVE | SWP_NOZORDER) ? 0 : 1;
}

struct WarningSearch {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindWarning(HWND hWnd, LPARAM param) {
  auto* search = reinterpret_cast<WarningSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hWnd, &pid);
  wchar_t className[64] = {};
  GetClassNameW(hWnd, className, 64);
  if (pid == search->pid && std::wcscmp(className, L"#32770") == 0 && WindowText(hWnd) == L"Warning" &&
      IsWindowVisible(hWnd)) {
    search->found = hWnd;
    return FALSE;
  }
  return TRUE;
}

int Warning(HWND dialog, DWORD ms, bool pressOk) {
  WarningSearch search{0, nullptr};
  GetWindowThreadProcessId(dialog, &search.pid);
  const DWORD start = GetTickCount();
  while (search.found == nullptr) {
    EnumWindows(FindWarning, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) break;
    if (GetTickCount() - start >= ms) {
      std::printf("no warning\n");
      return 1;
    }
    Sleep(100);
  }
  // The message text is the box's static control 0xFFFF.
  std::wstring text = WindowText(GetDlgItem(search.found, 0xFFFF));
  for (wchar_t& c : text) {
    if (c == L'\n') c = L'|';
  }
  std::printf("warning: %s\n", Narrow(text).c_str());
  if (pressOk) PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  return 0;
}

int Screenshot(HWND dialog, const wchar_t* path) {
  SetForegroundWindow(dialog);
  RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  Sleep(500);
  RECT r;
  GetWindowRect(dialog, &r);
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up, as a .bmp file stores it
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  SelectObject(memory, old);
  GdiFlush();

  const DWORD stride = static_cast<DWORD>((width * 3 + 3) & ~3);
  const DWORD imageSize = stride * static_cast<DWORD>(height);
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info.bmiHeader;
  file.bfSize = file.bfOffBits + imageSize;
  info.bmiHeader.biSizeImage = imageSize;
  int status = 1;
  if (FILE* out = _wfopen(path, L"wb")) {
    std::fwrite(&file, sizeof file, 1, out);
    std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out);
    std::fwrite(bits, 1, imageSize, out);
    std::fclose(out);
    status = 0;
  }
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  std::printf("screenshot %dx%d\n", width, height);
  return status;
}

// One repaint round trip: the list is invalidated from here and must be
// painted (its update region emptied) by the dialog's thread within `ms`.
bool Repainted(HWND window, DWORD ms) {
  InvalidateRect(window, nullptr, FALSE);
  const DWORD start = GetTickCount();
  while (GetUpdateRect(window, nullptr, FALSE)) {
    if (GetTickCount() - start >= ms) return false;
    Sleep(10);
  }
  return true;
}

int Responsive(HWND dialog, DWORD ms) {
  constexpr DWORD kAnswerMs = 1000;
  HWND list = GetDlgItem(dialog, kList);
  const auto working = [&] {
    return !IsWindowEnabled(GetDlgItem(dialog, kCheck)) && !IsWindowEnabled(GetDlgItem(dialog, kUpdate));
  };
  const DWORD start = GetTickCount();
  int probes = 0;
  DWORD slowest = 0;
  while (GetTickCount() - start < ms) {
    if (!working()) {
      std::printf("work ended after %lu ms (%d probes)\n", static_cast<unsigned long>(GetTickCount() - start),
                  probes);
      return 1;
    }
    const DWORD sent = GetTickCount();
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kAnswerMs, &result) == 0 ||
        !Repainted(list, kAnswerMs)) {
      std::printf("no answer after %lu ms (%d probes answered)\n",
                  static_cast<unsigned long>(GetTickCount() - start), probes);
      return 1;
    }
    if (GetTickCount() - sent > slowest) slowest = GetTickCount() - sent;
    ++probes;
    Sleep(50);
  }
  std::printf("answered %d probes in %lu ms, slowest %lu ms\n", probes, static_cast<unsigned long>(ms),
              static_cast<unsigned long>(slowest));
  return 0;
}

BOOL CALLBACK CountDialogs(HWND hWnd, LPARAM param) {
  wchar_t className[64] = {};
  GetClassNameW(hWnd, className, 64);
  if (std::wcscmp(className, kDialogClass) == 0) ++*reinterpret_cast<int*>(param);
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: orvane-dialog-driver COMMAND [ARGS]\n");
    return 2;
  }
  const std::wstring command = argv[1];
  const auto arg = [&](int i) { return i < argc ? std::wcstol(argv[i], nullptr, 10) : 0L; };

  if (command == L"count") {
    int count = 0;
    EnumWindows(CountDialogs, reinterpret_cast<LPARAM>(&count));
    std::printf("%d\n", count);
    return 0;
  }
  if (command == L"find") {
    HWND dialog = WaitDialog(static_cast<DWORD>(arg(2)));
    if (dialog == nullptr) {
      std::printf("no dialog\n");
      return 1;
    }
    std::printf("title: %s\n", Narrow(WindowText(dialog)).c_str());
    return 0;
  }
  if (command == L"gone") {
    const DWORD start = GetTickCount();
    while (FindDialog() != nullptr) {
      if (GetTickCount() - start >= static_cast<DWORD>(arg(2))) return 1;
      Sleep(100);
    }
    return 0;
  }

  HWND dialog = FindDialog();
  if (dialog == nullptr) {
    std::printf("no dialog\n");
    return 1;
  }
  if (command == L"click") {
    const int id = static_cast<int>(arg(2));
    return PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                        reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)))
               ? 0
               : 1;
  }
  if (command == L"state") {
    for (const int id : {kCheck, kUpdate, kOption}) {
      HWND control = GetDlgItem(dialog, id);
      std::printf("%d %d %d\n", id, IsWindowEnabled(control) ? 1 : 0, IsWindowVisible(control) ? 1 : 0);
    }
    return 0;
  }
  if (command == L"wait-enabled") {
    HWND control = GetDlgItem(dialog, static_cast<int>(arg(2)));
    const DWORD start = GetTickCount();
    while (!IsWindowEnabled(control)) {
      if (GetTickCount() - start >= static_cast<DWORD>(arg(3))) return 1;
      Sleep(100);
    }
    return 0;
  }
  if (command == L"rows") return Rows(dialog);
  if (command == L"layout") return Layout(dialog);
  if (command == L"resize") return Resize(dialog, static_cast<int>(arg(2)), static_cast<int>(arg(3)));
  if (command == L"close") return PostMessageW(dialog, WM_CLOSE, 0, 0) ? 0 : 1;
  if (command == L"escape") return PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0) ? 0 : 1;
  if (command == L"warning") {
    return Warning(dialog, static_cast<DWORD>(arg(2)), !(argc > 3 && std::wstring(argv[3]) == L"open"));
  }
  if (command == L"minimize") return ShowWindow(dialog, SW_MINIMIZE) >= 0 ? 0 : 1;
  if (command == L"iconic") {
    std::printf("%d\n", IsIconic(dialog) ? 1 : 0);
    return 0;
  }
  if (command == L"responsive") return Responsive(dialog, static_cast<DWORD>(arg(2)));
  if (command == L"screenshot" && argc > 2) return Screenshot(dialog, argv[2]);
  std::fprintf(stderr, "orvane-dialog-driver: unknown command\n");
  return 2;
}
