#pragma once
// Internal helpers shared by the code page implementations.
#include <string>
#include <string_view>

namespace orvane::platform::detail {

inline constexpr char32_t kBadChar = 0xFFFD;

// Decodes one code point at `pos` and advances past it; a malformed sequence
// yields kBadChar and advances by one byte.
char32_t DecodeUtf8(std::string_view text, std::size_t& pos);
void AppendUtf8(std::string& out, char32_t cp);

}  // namespace orvane::platform::detail
