#include "platform/system_files.h"

#include <windows.h>

#include "platform/codepage.h"

namespace orvane::platform {
namespace {
constexpr std::size_t kMaxChunk = 0x40000000;  // one WriteFile call
}  // namespace

std::size_t AppendToFileExclusive(const std::string& path, std::string_view bytes) {
  const std::wstring wide = Utf8ToWide(path);
  HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_WRITE, 0 /* no sharing */, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  if (::SetFilePointer(file, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER && ::GetLastError() != NO_ERROR) {
    ::CloseHandle(file);
    return 0;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t left = bytes.size() - done;
    const DWORD chunk = static_cast<DWORD>(left < kMaxChunk ? left : kMaxChunk);
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) break;
    done += written;
  }
  // On the disk before the handle goes: a power cut keeps what was written.
  if (done > 0) ::FlushFileBuffers(file);
  ::CloseHandle(file);
  return done;
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

std::string DefaultKeyFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 6; ++attempt) {
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return "keys";
    if (length < path.size()) {
      path.resize(length);
      const std::size_t slash = path.find_last_of(L"\\/");
      return WideToUtf8(slash == std::wstring::npos ? L"" : path.substr(0, slash + 1)) + "keys";
    }
    path.resize(path.size() * 2);
  }
  return "keys";
}

}  // namespace orvane::platform
