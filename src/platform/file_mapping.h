#pragma once
// Read-only mapping of a whole file.
//
// The file is opened for reading (others may read it too) without waiting on
// it, its type is read from the opened handle and only a regular file (a
// symbolic link is followed) is mapped, as a whole; a named pipe, a device,
// a socket or a folder is refused with what it is. The handles are closed
// again at once; only the view stays until Unmap() or
// destruction. Image files are validated and sent straight from the view,
// never copied into buffers.
#include <cstddef>
#include <cstdint>
#include <string>

namespace orvane::platform {

class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;

  // Maps the file at `path` (UTF-8). Any earlier view is unmapped first. On
  // failure the object is empty and Error() names the failing step and the
  // system's reason ("not a regular file: a named pipe"). An empty file
  // cannot be mapped and fails.
  bool Map(const std::string& path);
  void Unmap();

  bool IsMapped() const { return m_pData != nullptr; }
  const std::uint8_t* Data() const { return m_pData; }
  std::size_t Size() const { return m_nSize; }
  const std::string& Error() const { return m_error; }

 private:
  const std::uint8_t* m_pData = nullptr;
  std::size_t m_nSize = 0;
  std::string m_error;
};

}  // namespace orvane::platform
