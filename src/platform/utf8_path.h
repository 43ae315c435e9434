#pragma once
// Paths to and from the UTF-8 text that every layer above this one keeps
// them in (std::filesystem would otherwise read narrow text in the ANSI code
// page on Windows).
#include <filesystem>
#include <string>
#include <system_error>

namespace orvane::platform {

inline std::filesystem::path Utf8Path(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string PathText(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// A folder as the operator should read it: absolute and without "." or
// ".." steps; the text as given when the system cannot make it absolute.
inline std::string AbsolutePathText(const std::string& text) {
  std::error_code error;
  const std::filesystem::path full = std::filesystem::absolute(Utf8Path(text), error);
  if (error) return text;
  return PathText(full.lexically_normal());
}

}  // namespace orvane::platform
