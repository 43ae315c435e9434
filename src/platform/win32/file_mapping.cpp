#include "platform/file_mapping.h"

#include <windows.h>

#include <utility>

#include "platform/codepage.h"
#include "platform/win32/file_kind.h"

namespace orvane::platform {
namespace {

std::string SystemReason(const char* step) {
  const DWORD code = ::GetLastError();
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string reason = std::string(step) + ": ";
  if (n != 0 && text != nullptr) {
    reason += WideToUtf8(std::wstring(text, n));
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  } else {
    reason += "error " + std::to_string(code);
  }
  if (text != nullptr) ::LocalFree(text);
  return reason;
}

// The text for a failed open: a sharing violation means that another
// program has the file open for writing (or holds it exclusively), which the
// system's own text does not say.
std::string OpenFailure() {
  if (::GetLastError() == ERROR_SHARING_VIOLATION) {
    return "cannot open: the file is open for writing elsewhere or held exclusively by another program "
           "(sharing violation)";
  }
  return SystemReason("cannot open");
}

}  // namespace

MappedFile::~MappedFile() { Unmap(); }

MappedFile::MappedFile(MappedFile&& other) noexcept
    : m_pData(std::exchange(other.m_pData, nullptr)),
      m_nSize(std::exchange(other.m_nSize, 0)),
      m_hFile(std::exchange(other.m_hFile, nullptr)),
      m_error(std::move(other.m_error)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    Unmap();
    m_pData = std::exchange(other.m_pData, nullptr);
    m_nSize = std::exchange(other.m_nSize, 0);
    m_hFile = std::exchange(other.m_hFile, nullptr);
    m_error = std::move(other.m_error);
  }
  return *this;
}

bool MappedFile::Map(const std::string& path) {
  Unmap();
  m_error.clear();
  const std::wstring widePath = Utf8ToWide(path);
  // Others may read the file while it is held, but nobody may open it for
  // writing (nor remove it): the handle stays open as long as the view, so
  // the bytes validated are the bytes sent. Backup semantics lets a folder open too,
  // so that it is refused below for what it is rather than as an access
  // failure.
  HANDLE file = ::CreateFileW(widePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    m_error = OpenFailure();
    return false;
  }
  // The type of the opened handle: a pipe or a device (a console, a
  // serial port) is refused before anything waits on it.
  if (const char* kind = detail::HandleKindOf(file)) {
    m_error = detail::NotRegularText(kind);
    ::CloseHandle(file);
    return false;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file, &size)) {
    m_error = SystemReason("cannot read its size");
    ::CloseHandle(file);
    return false;
  }
  if (size.QuadPart == 0) {
    m_error = "the file is empty";
    ::CloseHandle(file);
    return false;
  }
  HANDLE mapping = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) {
    m_error = SystemReason("cannot map");
    ::CloseHandle(file);
    return false;
  }
  void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  if (view == nullptr) m_error = SystemReason("cannot map a view");
  // The view keeps the mapping alive; the file's handle is kept, for its
  // sharing mode is what keeps writers out.
  ::CloseHandle(mapping);
  if (view == nullptr) {
    ::CloseHandle(file);
    return false;
  }
  m_pData = static_cast<const std::uint8_t*>(view);
  m_nSize = static_cast<std::size_t>(size.QuadPart);
  m_hFile = file;
  return true;
}

void MappedFile::Unmap() {
  if (m_pData != nullptr) {
    ::UnmapViewOfFile(m_pData);
    m_pData = nullptr;
    m_nSize = 0;
  }
  if (m_hFile != nullptr) {
    ::CloseHandle(static_cast<HANDLE>(m_hFile));
    m_hFile = nullptr;
  }
}

}  // namespace orvane::platform
