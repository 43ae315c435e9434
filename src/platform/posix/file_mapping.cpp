#include "platform/file_mapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace orvane::platform {
namespace {

std::string SystemReason(const char* step) {
  return std::string(step) + ": " + std::strerror(errno);
}

// What a file that is not a regular one is, in words.
const char* KindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
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
      m_error = std::string("not a regular file: ") + KindOf(named.st_mode);
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
    m_error = std::string("not a regular file: ") + KindOf(info.st_mode);
    ::close(fd);
    return false;
  }
  if (info.st_size == 0) {
    m_error = "the file is empty";
    ::close(fd);
    return false;
  }
  void* view = ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  const int mapErrno = errno;
  ::close(fd);  // the view keeps the file; the descriptor is not needed
  if (view == MAP_FAILED) {
    errno = mapErrno;
    m_error = SystemReason("cannot map");
    return false;
  }
  m_pData = static_cast<const std::uint8_t*>(view);
  m_nSize = static_cast<std::size_t>(info.st_size);
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
