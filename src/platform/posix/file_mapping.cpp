#include "platform/file_mapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/posix/file_kind.h"

namespace orvane::platform {
namespace {

// What the last system call's failure was, after `step`.
std::string SystemReason(const char* step) {
  return std::string(step) + ": " + std::strerror(errno);
}

// Interrupted reads and writes retried before the copy gives up.
constexpr int kMaxInterruptions = 100;

// Reads at most `length` bytes of the file at `offset` into `dest`. Returns
// the count read (0 at the file's end) or -1 with errno set; an interrupted
// read is retried, counted in `interrupted`.
ssize_t ReadAt(int fd, std::uint8_t* dest, std::size_t length, std::size_t offset, int& interrupted) {
  for (;;) {
    const ssize_t n = ::pread(fd, dest, length, static_cast<off_t>(offset));
    if (n >= 0 || errno != EINTR || ++interrupted > kMaxInterruptions) return n;
  }
}

// Reads the file from its start into `dest` until `capacity` bytes are in
// or the file ends, whichever comes first. Returns the count read, or -1
// with errno set. Every pass takes at least one byte or ends the loop.
ssize_t ReadWhole(int fd, std::uint8_t* dest, std::size_t capacity) {
  std::size_t done = 0;
  int interrupted = 0;
  while (done < capacity) {
    const ssize_t n = ReadAt(fd, dest + done, capacity - done, done, interrupted);
    if (n < 0) return -1;
    if (n == 0) break;  // the file is shorter now than when its size was read
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// The buffer through which a file passes into its memory file. Written with
// write() rather than through a writable view, the memory file's pages are
// allocated without a page fault each (a tenth of the time for a large
// image); 64 KiB on the stack, so the copy takes no heap.
constexpr std::size_t kCopyChunk = 64 * 1024;

// Copies the file from its start to the end of `memory` until `capacity`
// bytes are in or the file ends. Returns the count copied, or -1 with errno
// set. Every pass moves at least one byte or ends the loop.
ssize_t CopyWhole(int fd, int memory, std::size_t capacity) {
  std::uint8_t chunk[kCopyChunk];
  std::size_t done = 0;
  int interrupted = 0;
  while (done < capacity) {
    const ssize_t got = ReadAt(fd, chunk, std::min(kCopyChunk, capacity - done), done, interrupted);
    if (got < 0) return -1;
    if (got == 0) break;  // the file is shorter now than when its size was read
    std::size_t put = 0;
    while (put < static_cast<std::size_t>(got)) {
      const ssize_t n = ::write(memory, chunk + put, static_cast<std::size_t>(got) - put);
      if (n > 0) {
        put += static_cast<std::size_t>(n);
      } else if (n == 0 || errno != EINTR || ++interrupted > kMaxInterruptions) {
        if (n == 0) errno = ENOSPC;
        return -1;
      }
    }
    done += put;
  }
  return static_cast<ssize_t>(done);
}

// A finished copy (data set), a failed one (error set), or none because the
// system has no memory files (unavailable).
struct Copy {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::string error;
  bool unavailable = false;
};

Copy Failed(std::string error) {
  Copy copy;
  copy.error = std::move(error);
  return copy;
}

// The copy in a sealed memory file: the file's bytes written into it, then
// sealed against every change (no writes, no shrinking, no growing, no
// further seals) and mapped read-only. The memory file's descriptor is
// closed; the view keeps its pages.
Copy SealedCopy(int fd, std::size_t capacity) {
  const int memory = ::memfd_create("orvane-image", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (memory < 0) {
    // No memory files in this kernel, or a sandbox forbids them.
    if (errno == ENOSYS || errno == EPERM) {
      Copy none;
      none.unavailable = true;
      return none;
    }
    return Failed(SystemReason("cannot make the frozen copy"));
  }
  const auto fail = [memory](const char* step) {
    Copy failed = Failed(SystemReason(step));
    ::close(memory);
    return failed;
  };
  const ssize_t got = CopyWhole(fd, memory, capacity);
  if (got < 0) return fail("cannot copy");
  if (got == 0) {
    ::close(memory);
    return Failed("the file is empty");
  }
  if (::fcntl(memory, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
    return fail("cannot seal the frozen copy");
  }
  const auto size = static_cast<std::size_t>(got);
  void* view = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, memory, 0);
  if (view == MAP_FAILED) return fail("cannot map the frozen copy");
  ::close(memory);
  Copy copy;
  copy.data = static_cast<const std::uint8_t*>(view);
  copy.size = size;
  return copy;
}

// The copy in private anonymous memory, for systems without memory files:
// read in, the pages past what was read given back, the rest made
// read-only. Nothing else refers to these pages, so nothing can change them.
Copy PrivateCopy(int fd, std::size_t capacity) {
  // Populated at once: one fault per page while reading would cost more
  // than the read itself.
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_POPULATE
  flags |= MAP_POPULATE;
#endif
  void* block = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (block == MAP_FAILED) return Failed(SystemReason("cannot make the frozen copy"));
  auto* bytes = static_cast<std::uint8_t*>(block);
  const ssize_t got = ReadWhole(fd, bytes, capacity);
  const int readErrno = errno;
  const auto size = got > 0 ? static_cast<std::size_t>(got) : 0;
  // Whole pages past the copy's end; Unmap() releases [data, data + size).
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t kept = size == 0 ? 0 : (size + page - 1) / page * page;
  if (kept < capacity) ::munmap(bytes + kept, capacity - kept);
  if (got <= 0) {
    errno = readErrno;
    return Failed(got < 0 ? SystemReason("cannot read") : std::string("the file is empty"));
  }
  if (::mprotect(block, size, PROT_READ) != 0) {
    Copy failed = Failed(SystemReason("cannot protect the frozen copy"));
    ::munmap(block, size);
    return failed;
  }
  Copy copy;
  copy.data = bytes;
  copy.size = size;
  return copy;
}

}  // namespace

MappedFile::~MappedFile() { Unmap(); }

MappedFile::MappedFile(MappedFile&& other) noexcept
    : m_pData(std::exchange(other.m_pData, nullptr)),
      m_nSize(std::exchange(other.m_nSize, 0)),
      m_error(std::move(other.m_error)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    Unmap();
    m_pData = std::exchange(other.m_pData, nullptr);
    m_nSize = std::exchange(other.m_nSize, 0);
    m_error = std::move(other.m_error);
  }
  return *this;
}

bool MappedFile::Map(const std::string& path) {
  Unmap();
  m_error.clear();
  // Without blocking: opening a named pipe would otherwise wait for a
  // writer, and a device for its line. The type is then read from the
  // opened descriptor; a symbolic link is followed to what it names.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    const int openErrno = errno;
    struct stat named {};
    // A socket cannot be opened at all; say what it is.
    if (::stat(path.c_str(), &named) == 0 && S_ISSOCK(named.st_mode)) {
      m_error = detail::NotRegularText(named.st_mode);
      return false;
    }
    errno = openErrno;
    m_error = SystemReason("cannot open");
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    m_error = SystemReason("cannot read its size");
    ::close(fd);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    m_error = detail::NotRegularText(info.st_mode);
    ::close(fd);
    return false;
  }
  if (info.st_size == 0) {
    m_error = "the file is empty";
    ::close(fd);
    return false;
  }
  // At most the size seen now: bytes appended during the copy are not
  // part of the image that was found.
  const auto capacity = static_cast<std::size_t>(info.st_size);
  Copy copy = SealedCopy(fd, capacity);
  if (copy.unavailable) copy = PrivateCopy(fd, capacity);
  ::close(fd);  // the copy is all that is kept
  if (copy.data == nullptr) {
    m_error = std::move(copy.error);
    return false;
  }
  m_pData = copy.data;
  m_nSize = copy.size;
  return true;
}

void MappedFile::Unmap() {
  if (m_pData != nullptr) {
    ::munmap(const_cast<std::uint8_t*>(m_pData), m_nSize);
    m_pData = nullptr;
    m_nSize = 0;
  }
}

}  // namespace orvane::platform
