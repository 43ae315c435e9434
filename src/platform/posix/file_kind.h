#pragma once
// What a file that is not a regular one is, in words: the file functions
// that take regular files only (the image views, the log and history
// appends, the history read) refuse the others with this text.
#include <sys/stat.h>

#include <string>

namespace orvane::platform::detail {

inline const char* FileKindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

// "not a regular file: a named pipe".
inline std::string NotRegularText(mode_t mode) { return std::string("not a regular file: ") + FileKindOf(mode); }

}  // namespace orvane::platform::detail
