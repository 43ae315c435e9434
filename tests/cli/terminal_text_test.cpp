// What reaches the terminal of a text from a router or a file: nothing that
// steers a terminal, and at most the room of its column, shortened visibly.
#include "cli/terminal_text.h"

#include <gtest/gtest.h>

#include <string>

namespace orvane::cli {
namespace {

TEST(TerminalTextTest, EveryControlIsWrittenOutAndTheRestPassesAsItIs) {
  // A title change, a screen clear and a bell, as a router could send them.
  EXPECT_EQ(TerminalText("2.1.0.3.7\x1b]0;owned\x07\x1b[2J"), "2.1.0.3.7\\x1b]0;owned\\x07\\x1b[2J");
  EXPECT_EQ(TerminalText("a\tb\r\nc\x7f"), "a\\x09b\\x0d\\x0ac\\x7f");
  EXPECT_EQ(TerminalText(std::string("nul\0here", 8)), "nul\\x00here");
  // The C1 controls in UTF-8 (CSI U+009B, OSC U+009D), as a character each.
  EXPECT_EQ(TerminalText("\xc2\x9b" "2J \xc2\x9d"), "\\u009b2J \\u009d");
  // Printable text beyond ASCII stays: the first character past C1, a euro
  // sign, a replacement character that was there already, a backslash.
  EXPECT_EQ(TerminalText("\xc2\xa0\xe2\x82\xac \xef\xbf\xbd C:\\logs"), "\xc2\xa0\xe2\x82\xac \xef\xbf\xbd C:\\logs");
}

TEST(TerminalTextTest, MalformedUtf8IsWrittenOutByteByByte) {
  EXPECT_EQ(TerminalText("\xff\xfe"), "\\xff\\xfe");
  EXPECT_EQ(TerminalText("cut \xe2\x82"), "cut \\xe2\\x82");         // a sequence cut short
  EXPECT_EQ(TerminalText("\xc0\x9b"), "\\xc0\\x9b");                 // an overlong CSI
  EXPECT_EQ(TerminalText("\xed\xa0\x80"), "\\xed\\xa0\\x80");         // a surrogate
  EXPECT_EQ(TerminalText("\x9b" "2J"), "\\x9b2J");                   // a lone 8-bit CSI
}

TEST(TerminalTextTest, ALongTextIsShortenedVisiblyAtAWholeCharacter) {
  EXPECT_EQ(Shortened("2.1.0.3.7", 9), "2.1.0.3.7");
  EXPECT_EQ(Shortened("2.1.0.3.7 (build 5)", 12), "2.1.0.3.7...");
  // Characters are counted, not bytes: four euro signs are four.
  EXPECT_EQ(Shortened("\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac", 4),
            "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac");
  EXPECT_EQ(Shortened("\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac", 4), "\xe2\x82\xac...");
  // An escape is never cut in two: it goes whole or not at all.
  EXPECT_EQ(Shortened("ab\x1b[2Jcdefgh", 8), "ab...");
  EXPECT_EQ(Shortened("ab\x1b[2Jcdefgh", 9), "ab\\x1b...");
  EXPECT_EQ(Shortened("abcdef", 2), "..");
}

TEST(TerminalTextTest, ACellKeepsItsWidthWhateverItHolds) {
  EXPECT_EQ(Cell("-", 4), "-   ");
  EXPECT_EQ(Cell("\xe2\x82\xac", 3), "\xe2\x82\xac  ");
  const std::string row = Cell(std::string(2048, 'x'), 20) + " " + Cell("\x1b[2J", 20);
  EXPECT_EQ(TextWidth(row), 41u);
  EXPECT_EQ(row.find('\x1b'), std::string::npos);
  EXPECT_EQ(row.substr(0, 20), std::string(17, 'x') + "...");
}

}  // namespace
}  // namespace orvane::cli
