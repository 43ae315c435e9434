#include "net/telnet_text.h"

#include <cctype>

#include "platform/codepage.h"

namespace orvane {

std::size_t GrowReceiveCapacity(std::size_t capacity, std::size_t length, std::size_t incoming) {
  if (capacity - length >= incoming) return capacity;
  std::size_t k = 2;
  while (capacity * k - length < incoming) ++k;
  return capacity * k;
}

std::vector<std::string> SplitReplyLines(std::span<const std::uint8_t> text) {
  std::string bytes(text.begin(), text.end());
  if (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0) bytes += "\r\n";
  // A zero byte ends the text.
  const std::size_t zero = bytes.find('\0');
  if (zero != std::string::npos) bytes.resize(zero);

  std::vector<std::string> lines;
  std::size_t position = 0;
  while (position < bytes.size()) {
    const std::size_t end = bytes.find("\r\n", position);
    if (end == std::string::npos) break;
    lines.push_back(platform::AnsiToUtf8(std::string_view(bytes).substr(position, end - position)));
    position = end + 2;
  }
  return lines;
}

int FindMarkerLine(const std::vector<std::string>& lines, std::string_view marker) {
  if (lines.empty()) return -1;
  const int last = static_cast<int>(lines.size()) - 1;
  if (marker == "#") return lines[last].find('#') != std::string::npos ? last : -1;
  for (int i = last; i >= 0; --i) {
    if (lines[i].find(marker) != std::string::npos) return i;
  }
  return -1;
}

bool IsVersionText(const std::string& text) {
  if (text.empty()) return false;
  std::size_t length = 0;
  while (length < text.size() && (std::isdigit(static_cast<unsigned char>(text[length])) || text[length] == '.')) {
    ++length;
  }
  constexpr std::size_t kShortestVersion = 9;  // "1.1.1.1.1"
  if (length < kShortestVersion) return false;
  std::string head = text.substr(0, length);
  if (head.back() != '.') head += '.';
  int dots = 0;
  for (std::size_t i = 0; i < head.size(); ++i) {
    if (head[i] != '.') continue;
    if (i == 0 || head[i - 1] == '.') return false;  // an empty group
    ++dots;
  }
  constexpr int kVersionGroups = 5;  // each group closed by a dot, the last one's added above
  return dots == kVersionGroups;
}

VersionLinePick PickVersionLine(const std::vector<std::string>& lines, std::string& target, ReplyPieces pieces) {
  VersionLinePick refused;
  for (std::size_t i = lines.size(); i-- > 0;) {
    const std::string& line = lines[i];
    if (!IsVersionText(line)) continue;
    const bool piece = (i == 0 && pieces.firstIsTail) || (i + 1 == lines.size() && pieces.lastIsCut);
    if (piece || line.size() > kMaxVersionLineBytes) {
      // The one nearest the end is the one said.
      if (refused.result == VersionLine::kNone) {
        refused = {piece ? VersionLine::kCut : VersionLine::kTooLong, line.size()};
      }
      continue;
    }
    target = line;
    return {VersionLine::kPicked, line.size()};
  }
  return refused;
}

}  // namespace orvane
