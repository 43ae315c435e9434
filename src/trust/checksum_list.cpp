#include "trust/checksum_list.h"

namespace orvane::trust {
namespace {

constexpr std::string_view kPrefix = "SHA256 (";
constexpr std::string_view kSeparator = ") = ";

std::string_view Plain(std::string_view name) {
  if (name.substr(0, 2) == "./") name.remove_prefix(2);
  return name;
}

}  // namespace

ChecksumList ParseChecksumList(std::string_view text) {
  ChecksumList list;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t separator = line.rfind(kSeparator);
    ChecksumEntry entry;
    if (list.entries.size() < kMaxChecksumEntries && line.substr(0, kPrefix.size()) == kPrefix &&
        separator != std::string_view::npos && separator > kPrefix.size() &&
        ParseHex(line.substr(separator + kSeparator.size()), entry.digest.data(), entry.digest.size())) {
      entry.name = std::string(line.substr(kPrefix.size(), separator - kPrefix.size()));
      list.entries.push_back(std::move(entry));
    } else if (!line.empty() || end != std::string_view::npos) {
      ++list.otherLines;
    }
  }
  return list;
}

std::string ChecksumLine(const std::string& name, const Sha256Digest& digest) {
  return std::string(kPrefix) + name + std::string(kSeparator) + HexText(digest) + "\n";
}

ListMatch MatchFile(const ChecksumList& list, std::string_view fileName, const Sha256Digest& digest) {
  bool named = false;
  for (const ChecksumEntry& entry : list.entries) {
    if (Plain(entry.name) != Plain(fileName)) continue;
    if (entry.digest != digest) return ListMatch::HashDiffers;
    named = true;
  }
  return named ? ListMatch::Listed : ListMatch::NotListed;
}

}  // namespace orvane::trust
