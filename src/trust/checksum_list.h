#pragma once
// The SHA-256 list that a signature file carries, in the BSD tag form that
// `sha256sum --tag` and `signify -C` read and write:
//
//   SHA256 (router_app.bin) = 3a7bd3e2360a3d29eea436fcfb7e44c735d117c42d1c1835420b6b9942dd4f1b
//
// Lines of other forms (another algorithm, a blank line) are counted and
// passed over; names are taken as written between "SHA256 (" and the last
// ") = ". Bounded: at most kMaxChecksumEntries entries are kept.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "trust/crypto.h"

namespace orvane::trust {

inline constexpr std::size_t kMaxChecksumEntries = 4096;

struct ChecksumEntry {
  std::string name;
  Sha256Digest digest{};
};

struct ChecksumList {
  std::vector<ChecksumEntry> entries;
  std::size_t otherLines = 0;  // lines that are no SHA-256 entry (or past the bound)
};

ChecksumList ParseChecksumList(std::string_view text);

// "SHA256 (name) = <64 hex digits>\n".
std::string ChecksumLine(const std::string& name, const Sha256Digest& digest);

enum class ListMatch {
  Listed,       // named, and every entry of the name has this digest
  NotListed,    // no entry names the file
  HashDiffers,  // an entry names it with another digest
};

// A name as a listed file: "router_app.bin" and "./router_app.bin" both
// name the file router_app.bin of the list's folder.
ListMatch MatchFile(const ChecksumList& list, std::string_view fileName, const Sha256Digest& digest);

}  // namespace orvane::trust
