#pragma once
// A file held open the way another program holds it exclusively: opened
// without sharing on Windows, under an exclusive advisory lock elsewhere.
// Created if missing; released when the object goes. The lock belongs to
// this object's own opening of the file, so the file functions of this
// process meet it as they would meet another program's.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "platform/clock.h"

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
    // Not inherited: a program the test starts must meet the lock, not share it.
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
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

// A file held as HeldFile holds it, let go after `ms` system milliseconds
// (platform/clock.h) by a thread of its own; the object's end waits for
// that.
class HeldFor {
 public:
  HeldFor(const std::string& path, std::uint32_t ms)
      : m_file(std::make_unique<HeldFile>(path)), m_held(m_file->Held()) {
    m_thread = std::thread([this, ms] {
      platform::Sleep(ms);
      m_file.reset();
    });
  }
  ~HeldFor() { m_thread.join(); }
  HeldFor(const HeldFor&) = delete;
  HeldFor& operator=(const HeldFor&) = delete;

  bool Held() const { return m_held; }

 private:
  std::unique_ptr<HeldFile> m_file;
  bool m_held;
  std::thread m_thread;
};

}  // namespace orvane::test
