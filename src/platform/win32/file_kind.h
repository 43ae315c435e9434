#pragma once
// What an opened handle that is not a regular file is, in words: the file
// functions that take regular files only (the image views, the log and
// history appends, the history read) refuse the others with this text,
// read from the handle before anything waits on it.
#include <windows.h>

#include <string>

namespace orvane::platform::detail {

// "a named pipe", "a device", "a folder"; nullptr for a regular file.
inline const char* HandleKindOf(HANDLE file) {
  const DWORD type = ::GetFileType(file);
  if (type == FILE_TYPE_PIPE) return "a named pipe";
  if (type != FILE_TYPE_DISK) return "a device";
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return "a folder";
  }
  return nullptr;
}

inline std::string NotRegularText(const char* kind) { return std::string("not a regular file: ") + kind; }

}  // namespace orvane::platform::detail
