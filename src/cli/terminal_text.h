#pragma once
// How a text that came from outside the program (a router's version line or
// reply, an image file's header or name, a line of the run history) reaches
// the terminal or a text listing: with nothing in it that steers a
// terminal, and short enough for its column, so that every row stays one
// whole line. Every text the CLI prints goes through TerminalText; the
// table cells through Cell. JSON output keeps the texts as they were read.
#include <cstddef>
#include <string>
#include <string_view>

namespace orvane::cli {

// The longest text shown after the fixed columns of a row (an outcome, a
// step's detail, a verification's reason), in characters, "..." included.
inline constexpr std::size_t kLongestTailText = 160;

// `text` with every character that a terminal takes as a command written
// out as an escape: the C0 controls (tab and line ends included) and DEL as
// "\x1b", the C1 controls U+0080..U+009F as "\u009b", and each byte that is
// not part of well-formed UTF-8 as "\xff". Everything else passes as it is
// (a backslash too: the escapes are for the eye, not for reading back).
std::string TerminalText(std::string_view text);

// How many characters (code points) `shown` takes on a line; each byte of
// malformed UTF-8 counts as one.
std::size_t TextWidth(std::string_view shown);

// TerminalText(text), cut to `width` characters with "..." as its last
// three when it is longer: a long text is shortened visibly, never cut
// silently.
std::string Shortened(std::string_view text, std::size_t width);

// Shortened(text, width) padded with blanks to `width` characters: a table
// cell that never runs into the next one.
std::string Cell(std::string_view text, std::size_t width);

}  // namespace orvane::cli
