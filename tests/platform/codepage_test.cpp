#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace orvane::platform {
namespace {

TEST(CodePage, EveryByteSurvivesARoundTrip) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  const std::string utf8 = AnsiToUtf8(all);
  EXPECT_EQ(Utf8ToAnsi(utf8), all);
}

TEST(CodePage, WesternTextConverts) {
  EXPECT_EQ(AnsiToUtf8("V1.0 caf\xE9"), "V1.0 caf\xC3\xA9");
  EXPECT_EQ(AnsiToUtf8("\x80"), "\xE2\x82\xAC");  // euro sign
  EXPECT_EQ(Utf8ToAnsi("\xE2\x82\xAC 5"), "\x80 5");
  EXPECT_EQ(AnsiToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(CodePage, UnmappableAndMalformedBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToAnsi("\xE4\xB8\xAD"), "?");       // a CJK character
  EXPECT_EQ(Utf8ToAnsi("a\xC3"), "a?");             // cut short
  EXPECT_EQ(Utf8ToAnsi("\xC0\xAF"), "?");           // overlong encoding of /
}

TEST(Unicode, Utf16WithSurrogatesAndMalformedInput) {
  const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xA1";  // A é € 📡
  const std::wstring wide = Utf8ToWide(text);
  EXPECT_EQ(WideToUtf8(wide), text);
  if constexpr (sizeof(wchar_t) == 2) EXPECT_EQ(wide.size(), 5u);
  else EXPECT_EQ(wide.size(), 4u);
  EXPECT_EQ(WideToUtf8(Utf8ToWide("\xFF")), "\xEF\xBF\xBD");  // U+FFFD
}

}  // namespace
}  // namespace orvane::platform
