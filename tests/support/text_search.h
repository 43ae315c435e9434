#pragma once
// Looking for text in what a test collected: program output, a log file, a
// shell's reply. Contains is an assertion result, so a failing
// EXPECT_TRUE(Contains(text, part)) shows both the text and the part.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::test {

inline ::testing::AssertionResult Contains(std::string_view text, std::string_view part) {
  if (text.find(part) != std::string_view::npos) {
    return ::testing::AssertionSuccess() << "\"" << text << "\" contains \"" << part << "\"";
  }
  return ::testing::AssertionFailure() << "\"" << text << "\" lacks \"" << part << "\"";
}

// Every part in `text`, each after the end of the one before it.
inline ::testing::AssertionResult InOrder(std::string_view text, const std::vector<std::string_view>& parts) {
  std::size_t from = 0;
  for (const std::string_view part : parts) {
    const std::size_t at = text.find(part, from);
    if (at == std::string_view::npos) {
      return ::testing::AssertionFailure() << "\"" << text << "\" lacks \"" << part << "\""
                                           << (from == 0 ? "" : " after the parts before it");
    }
    from = at + part.size();
  }
  return ::testing::AssertionSuccess() << "\"" << text << "\" holds the parts in order";
}

// A path as a JSON string holds it (Windows paths have backslashes).
inline std::string JsonPath(const std::string& path) {
  std::string out;
  for (const char c : path) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// How often `part` occurs, counting occurrences that do not overlap.
inline std::size_t Occurrences(std::string_view text, std::string_view part) {
  if (part.empty()) return 0;
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

// The lines of `text`, cut at LF with a CR before it dropped; a final line
// end does not start another line.
inline std::vector<std::string> LinesOf(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

}  // namespace orvane::test
