#include "platform/system_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace orvane::platform {

std::size_t AppendToFileExclusive(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return 0;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::lseek(fd, 0, SEEK_END) < 0) {
    ::close(fd);
    return 0;
  }
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  // On the disk before the lock goes: a power cut keeps what was written.
  if (left < bytes.size()) ::fdatasync(fd);
  ::close(fd);  // releases the lock
  return bytes.size() - left;
}

std::string LogFileText(std::string_view utf8) { return std::string(utf8); }

bool SystemErrorText(std::uint32_t code, std::string& text) {
  char buffer[256];
  // The GNU strerror_r returns the text, possibly not in `buffer`.
  const char* message = ::strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  if (message == nullptr || std::strncmp(message, "Unknown error", 13) == 0) return false;
  text = std::string(message) + "\r\n";
  return true;
}

}  // namespace orvane::platform

namespace orvane::platform {

std::string DefaultLogFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/orvane/DownloadLog";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.local/state/orvane/DownloadLog";
  return "/tmp/orvane/DownloadLog";
}

std::string DefaultKeyFolder() { return "/etc/orvane/keys"; }

}  // namespace orvane::platform
