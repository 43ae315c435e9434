#pragma once
// A file held open the way another program holds it exclusively: opened
// without sharing on Windows, under an exclusive advisory lock elsewhere.
// Created if missing; released when the object goes.
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace orvane::test {

class HeldFile {
 public:
  explicit HeldFile(const std::string& path) {
#ifdef _WIN32
    m_handle = ::CreateFileW(std::filesystem::path(path).wstring().c_str(), GENERIC_WRITE, 0, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    m_held = m_handle != INVALID_HANDLE_VALUE;
#else
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    m_held = m_fd >= 0 && ::flock(m_fd, LOCK_EX) == 0;
#endif
  }
  ~HeldFile() {
#ifdef _WIN32
    if (m_handle != INVALID_HANDLE_VALUE) ::CloseHandle(m_handle);
#else
    if (m_fd >= 0) ::close(m_fd);
#endif
  }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  bool Held() const { return m_held; }

 private:
#ifdef _WIN32
  HANDLE m_handle = INVALID_HANDLE_VALUE;
#else
  int m_fd = -1;
#endif
  bool m_held = false;
};

}  // namespace orvane::test
