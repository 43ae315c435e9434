#pragma once
// What another program may do to an image file while the updater holds it:
// cut it short, or write other bytes over it from its start, each through a
// handle of its own as a separate program would. Each returns whether the
// change reached the file.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace orvane::test {

inline bool TruncateFile(const std::string& path, std::uintmax_t keep) {
  std::error_code error;
  std::filesystem::resize_file(path, keep, error);
  return !error && std::filesystem::file_size(path, error) == keep && !error;
}

// In place: opening does not truncate, so only the write changes the file.
inline bool OverwriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return out.good();
}

}  // namespace orvane::test
