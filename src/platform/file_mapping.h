#pragma once
// A read-only view of a whole file that nobody can change while it lives.
//
// The file is opened for reading without waiting on it, its type is read
// from the opened handle and only a regular file (a symbolic link is
// followed) is taken, as a whole; a named pipe, a device, a socket or a
// folder is refused with what it is.
//
// What the view shows is frozen when Map() runs, so that the bytes validated
// are the bytes sent later, whatever another program does to the file in
// between (truncating it would otherwise end the process with a bus error at
// the next read of a lost page, rewriting it would send unchecked bytes):
//
//   POSIX    the file's bytes are copied once, at Map(), into a sealed
//            memory file (no writes, no shrinking, no growing, seals fixed)
//            mapped read-only; where the system offers no memory files, into
//            private anonymous memory made read-only. The file is closed at
//            once. Cost: the image's size in memory (shared memory, or
//            anonymous memory in the second case) per mapped file, for as
//            long as the view lives, and one read of the file at Map().
//            The copy holds the bytes actually read: a file that shrinks
//            while it is copied gives the shorter copy.
//   Windows  nothing is copied: the file is opened sharing reading only and
//            that handle stays open until Unmap(), so no other program can
//            open it for writing, truncate, remove or rename it meanwhile
//            (and a file already open for writing elsewhere is refused: a
//            sharing violation). The view's pages are the file's own (file
//            cache, not extra memory).
//
// Image files are validated and sent straight from this view; nothing else
// copies them into buffers.
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

  // Takes the file at `path` (UTF-8) as described above. Any earlier view is
  // released first. On failure the object is empty and Error() names the
  // failing step and the system's reason ("not a regular file: a named
  // pipe"). An empty file fails.
  bool Map(const std::string& path);
  void Unmap();

  bool IsMapped() const { return m_pData != nullptr; }
  const std::uint8_t* Data() const { return m_pData; }
  std::size_t Size() const { return m_nSize; }
  const std::string& Error() const { return m_error; }

 private:
  const std::uint8_t* m_pData = nullptr;
  std::size_t m_nSize = 0;
#ifdef _WIN32
  void* m_hFile = nullptr;  // the file, held without write sharing while the view lives
#endif
  std::string m_error;
};

}  // namespace orvane::platform
