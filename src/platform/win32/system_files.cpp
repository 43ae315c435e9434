#include "platform/system_files.h"

#include <windows.h>

#include "platform/codepage.h"

namespace orvane::platform {

bool AppendToFileExclusive(const std::string& path, std::string_view bytes) {
  const std::wstring wide = Utf8ToWide(path);
  HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_WRITE, 0 /* no sharing */, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  if (::SetFilePointer(file, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER && ::GetLastError() != NO_ERROR) {
    ::CloseHandle(file);
    return false;
  }
  DWORD written = 0;
  const BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
  return ok && written == bytes.size();
}

std::string LogFileText(std::string_view utf8) { return Utf8ToAnsi(utf8); }

bool SystemErrorText(std::uint32_t code, std::string& text) {
  wchar_t* message = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  if (n == 0 || message == nullptr) return false;
  text = WideToUtf8(std::wstring_view(message, n));
  ::LocalFree(message);
  return true;
}

}  // namespace orvane::platform

namespace orvane::platform {

std::string DefaultLogFolder() { return "C:\\DownloadLog"; }

}  // namespace orvane::platform
