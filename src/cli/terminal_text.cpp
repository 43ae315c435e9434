#include "cli/terminal_text.h"

#include <cstdio>

#include "platform/unicode_detail.h"

namespace orvane::cli {
namespace {

constexpr char32_t kDelete = 0x7F;
constexpr char32_t kFirstC1 = 0x80;
constexpr char32_t kLastC1 = 0x9F;
constexpr char32_t kFirstPrintable = 0x20;
// U+FFFD as it stands in well-formed UTF-8 (the decoder's answer for a
// malformed sequence too).
constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";
constexpr std::string_view kEllipsis = "...";

void AppendEscape(std::string& out, const char* format, unsigned value) {
  char escape[8];
  std::snprintf(escape, sizeof escape, format, value);
  out += escape;
}

// Appends how the character at `pos` is shown and advances past it; the
// number of characters appended (an escape takes as many as it has).
std::size_t AppendShown(std::string& out, std::string_view text, std::size_t& pos) {
  const std::size_t start = pos;
  const char32_t cp = platform::detail::DecodeUtf8(text, pos);
  const std::string_view piece = text.substr(start, pos - start);
  const std::size_t before = out.size();
  if (cp == platform::detail::kBadChar && piece != kReplacementCharacter) {
    for (const char byte : piece) AppendEscape(out, "\\x%02x", static_cast<unsigned char>(byte));
  } else if (cp < kFirstPrintable || cp == kDelete) {
    AppendEscape(out, "\\x%02x", static_cast<unsigned>(cp));
  } else if (cp >= kFirstC1 && cp <= kLastC1) {
    AppendEscape(out, "\\u%04x", static_cast<unsigned>(cp));
  } else {
    out += piece;
    return 1;
  }
  return out.size() - before;  // the escapes are ASCII
}

}  // namespace

std::string TerminalText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) AppendShown(out, text, pos);
  return out;
}

std::size_t TextWidth(std::string_view shown) {
  std::size_t width = 0;
  for (std::size_t pos = 0; pos < shown.size(); ++width) platform::detail::DecodeUtf8(shown, pos);
  return width;
}

std::string Shortened(std::string_view text, std::size_t width) {
  std::string shown = TerminalText(text);
  if (TextWidth(shown) <= width) return shown;
  if (width <= kEllipsis.size()) return std::string(kEllipsis.substr(0, width));
  // Whole characters and whole escapes up to the room left for the "...".
  const std::size_t room = width - kEllipsis.size();
  std::string cut;
  std::size_t used = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    std::string piece;
    const std::size_t pieceWidth = AppendShown(piece, text, pos);
    if (used + pieceWidth > room) break;
    cut += piece;
    used += pieceWidth;
  }
  return cut + std::string(kEllipsis);
}

std::string Cell(std::string_view text, std::size_t width) {
  std::string cell = Shortened(text, width);
  const std::size_t shown = TextWidth(cell);
  if (shown < width) cell.append(width - shown, ' ');
  return cell;
}

}  // namespace orvane::cli
