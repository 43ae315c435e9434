#pragma once
// Two small system helpers that the daemon and its file store share.
#include <errno.h>
#include <stddef.h>
#include <unistd.h>

namespace nv {

// Writes all `length` bytes to `fd`, going on after a short write or an
// interrupted one; false on the first error.
inline bool write_all(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t put = write(fd, data, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    length -= static_cast<size_t>(put);
  }
  return true;
}

// The process runs with its own identity (not set-user-id or set-group-id):
// only then may the caller's environment choose files and programs.
inline bool identity_is_own() { return getuid() == geteuid() && getgid() == getegid(); }

}  // namespace nv
