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
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
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
    m_error = "not a regular file";
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
