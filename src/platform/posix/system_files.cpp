#include "platform/system_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/posix/file_kind.h"

namespace orvane::platform {
namespace {

// Between two tries for a lock that another holds (system milliseconds).
constexpr std::uint32_t kLockRetryMs = 10;
// Interrupted system calls retried before the operation gives up.
constexpr int kMaxInterruptions = 100;
// What a new file's mode is before the umask.
constexpr mode_t kFileMode = 0644;

std::string ErrorWords(int code) { return SystemErrorWords(static_cast<std::uint32_t>(code)); }

FileResult Failure(FileProblem problem, std::string reason, std::size_t bytes = 0) {
  return FileFailure(problem, std::move(reason), bytes);
}

// Opens `path` without blocking (a named pipe would wait for its other end,
// a terminal for its line) and keeps it only when it is a regular file,
// by the type of the opened descriptor. -1 with `failure` set otherwise.
int OpenRegular(const std::string& path, int flags, FileResult& failure) {
  int fd = -1;
  int interrupted = 0;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, kFileMode);
  } while (fd < 0 && errno == EINTR && ++interrupted < kMaxInterruptions);
  if (fd < 0) {
    const int openErrno = errno;
    // A socket cannot be opened at all, a pipe without a reader not for
    // writing: say what is there rather than the open's complaint.
    struct stat named {};
    if (::stat(path.c_str(), &named) == 0 && !S_ISREG(named.st_mode)) {
      failure = Failure(FileProblem::NotRegular, detail::NotRegularText(named.st_mode));
    } else {
      failure = Failure(openErrno == ENOENT && (flags & O_CREAT) == 0 ? FileProblem::Missing : FileProblem::CannotOpen,
                        ErrorWords(openErrno));
    }
    return -1;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    failure = Failure(FileProblem::CannotOpen, ErrorWords(errno));
    ::close(fd);
    return -1;
  }
  if (!S_ISREG(info.st_mode)) {
    failure = Failure(FileProblem::NotRegular, detail::NotRegularText(info.st_mode));
    ::close(fd);
    return -1;
  }
  // A regular file's reads and writes block as they should.
  const int status = ::fcntl(fd, F_GETFL);
  if (status >= 0) ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
  return fd;
}

// Takes the file's exclusive lock, waiting up to `waitMs` of system time
// for another holder to let it go.
bool LockExclusive(int fd, std::uint32_t waitMs, FileResult& failure) {
  const std::uint32_t start = TickCount();
  int interrupted = 0;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR && ++interrupted < kMaxInterruptions) continue;
    if (errno != EWOULDBLOCK) {
      failure = Failure(FileProblem::CannotOpen, "cannot lock it: " + ErrorWords(errno));
      return false;
    }
    const std::uint32_t spent = TickCount() - start;
    if (spent >= waitMs) {
      failure = Failure(FileProblem::Held, kHeldByAnotherProgram);
      return false;
    }
    Sleep(std::min(kLockRetryMs, waitMs - spent));
  }
}

// Writes `bytes` at the descriptor's position; the count that went out,
// with the failure's errno in `error` when it is short.
std::size_t WriteAll(int fd, std::string_view bytes, int& error) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  int interrupted = 0;
  error = 0;
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR && ++interrupted < kMaxInterruptions) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;  // a regular file that takes nothing has no room
      break;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return bytes.size() - left;
}

}  // namespace

FileResult AppendToFileExclusive(const std::string& path, std::string_view bytes, const AppendOptions& options) {
  FileResult failure;
  // Read access too: a torn last line is looked for.
  const int fd = OpenRegular(path, O_RDWR | O_CREAT, failure);
  if (fd < 0) return failure;
  if (!LockExclusive(fd, options.lockWaitMs, failure)) {
    ::close(fd);
    return failure;
  }
  // The size under the lock: what every writer before left.
  struct stat info {};
  if (::fstat(fd, &info) != 0 || ::lseek(fd, 0, SEEK_END) < 0) {
    failure = Failure(FileProblem::CannotWrite, "cannot move to its end: " + ErrorWords(errno));
    ::close(fd);
    return failure;
  }
  const off_t before = info.st_size;
  std::string ended;
  std::string_view out = bytes;
  if (options.endTornLine && before > 0) {
    char last = '\n';
    if (::pread(fd, &last, 1, before - 1) == 1 && last != '\n') {
      ended.reserve(bytes.size() + 1);
      ended = '\n';
      ended += bytes;
      out = ended;
    }
  }
  const std::size_t lineEnd = out.size() - bytes.size();  // 1 when a torn line is ended first
  int error = 0;
  const std::size_t done = WriteAll(fd, out, error);
  FileResult result;
  if (done == out.size()) {
    result.bytes = bytes.size();
  } else {
    // Taken back whole: no part of a line stays for the next writer to
    // follow. Only when the cut fails does a part stay, and count.
    std::size_t stayed = 0;
    if (done > 0 && ::ftruncate(fd, before) != 0) stayed = done > lineEnd ? done - lineEnd : 0;
    result = Failure(FileProblem::CannotWrite, ErrorWords(error), stayed);
  }
  // On the disk before the lock goes: a power cut keeps what was written.
  if (done > 0) ::fdatasync(fd);
  ::close(fd);  // releases the lock
  return result;
}

FileResult CreateNewFile(const std::string& path, std::string_view bytes) {
  int fd = -1;
  int interrupted = 0;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, kFileMode);
  } while (fd < 0 && errno == EINTR && ++interrupted < kMaxInterruptions);
  if (fd < 0) {
    const int openErrno = errno;
    return Failure(openErrno == EEXIST ? FileProblem::Exists : FileProblem::CannotOpen, ErrorWords(openErrno));
  }
  int error = 0;
  const std::size_t done = WriteAll(fd, bytes, error);
  if (done == bytes.size()) ::fdatasync(fd);
  ::close(fd);
  if (done != bytes.size()) {
    ::unlink(path.c_str());
    return Failure(FileProblem::CannotWrite, ErrorWords(error));
  }
  FileResult result;
  result.bytes = done;
  return result;
}

FileResult ReadRegularFile(const std::string& path, std::string& bytes, std::uint32_t) {
  // Readers take no lock here: an append goes out in one write, and a
  // line cut short by a reader's timing is the reader's to skip.
  bytes.clear();
  FileResult failure;
  const int fd = OpenRegular(path, O_RDONLY, failure);
  if (fd < 0) return failure;
  constexpr std::size_t kChunk = 64 * 1024;
  char chunk[kChunk];
  int interrupted = 0;
  for (;;) {
    const ssize_t n = ::read(fd, chunk, kChunk);
    if (n < 0 && errno == EINTR && ++interrupted < kMaxInterruptions) continue;
    if (n < 0) {
      failure = Failure(FileProblem::CannotRead, ErrorWords(errno));
      ::close(fd);
      return failure;
    }
    if (n == 0) break;
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  FileResult result;
  result.bytes = bytes.size();
  return result;
}

std::uint32_t ProcessId() { return static_cast<std::uint32_t>(::getpid()); }

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
