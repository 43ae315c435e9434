#pragma once
// `orvane image ...`: inspect, scan and pack image files.
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "catalogue/string_table.h"
#include "cli/trust_commands.h"

namespace orvane::cli {

// Exit statuses of every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct InspectOptions {
  bool json = false;
  std::vector<std::string> files;
  TrustOptions trust;  // judges each file against the SHA256.sig of its folder
};
// 0 when every file is valid (and, with trusted keys, signed), 1 otherwise.
int InspectImages(const InspectOptions& options, std::ostream& out, std::ostream& err);

struct ScanOptions {
  bool json = false;
  std::string directory;
  TrustOptions trust;
};
// 0 when discovery assigned at least one file without a warning (and, with
// trusted keys, every assigned file is signed); 2 for unreadable keys.
int ScanDirectory(const ScanOptions& options, std::ostream& out, std::ostream& err);

// A warning of image discovery as the command line prints it: the dialog's
// "under current directory" becomes the folder that was searched.
std::string WarningText(StringId id, const std::string& folder);

struct PackOptions {
  std::string type;
  std::string version;
  std::string unlockHex;               // 16 hex digits, empty = all zero
  std::vector<std::string> targets;    // per unit, in order; the rest follow on
  std::uint32_t blockSize = 4096;
  std::string output;
  std::vector<std::string> payloads;
};
int PackImage(const PackOptions& options, std::ostream& out, std::ostream& err);

// A regular file's bytes; false with `error` ("PATH: ...") otherwise.
bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& data, std::string& error);
// Writes beside the target and renames, so a failed write never leaves a
// half-written file where it would be picked up.
bool WriteFileAtomically(const std::string& path, const std::vector<std::uint8_t>& data, std::string& error);

}  // namespace orvane::cli
