#pragma once
// The text rules of the telnet session, as pure functions: how its receive
// buffer grows, how received text is cut into lines, which line holds a
// marker, and which line holds a version the shell printed.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// Capacity of the receive buffer after `incoming` bytes arrive into one of
// `capacity` bytes holding `length`: unchanged when they fit, else capacity
// times the smallest whole k >= 2 that makes room. 20 bytes into an empty
// 16-byte buffer give 32; 100 bytes into an empty 32-byte buffer give 128.
std::size_t GrowReceiveCapacity(std::size_t capacity, std::size_t length, std::size_t incoming);

// Cuts received text into lines at CR LF. A missing final CR LF is added
// first; empty lines stay (as empty strings); a zero byte ends the text;
// bytes after the last CR LF are not a line. The lines are 8-bit text in the
// system's code page, returned as UTF-8. No byte is removed: telnet commands
// and echoes stay in the lines.
std::vector<std::string> SplitReplyLines(std::span<const std::uint8_t> text);

// The index of the line holding `marker`, or -1. The marker "#" (the shell
// prompt) counts only in the last line; any other marker is searched from
// the last line to the first.
int FindMarkerLine(const std::vector<std::string>& lines, std::string_view marker);

// Does `text` begin with a router version: five dot-separated decimal
// groups ("1.0.0.12.3", optionally "1.0.0.12.3."), then anything that is
// not a digit or a dot?
bool IsVersionText(const std::string& text);

// The longest line, in bytes, that is taken as a version line: a version
// and a few words behind it ("2.1.0.3.7 (build 5)"). A longer line that
// begins like a version is something else the shell printed, or garbage.
inline constexpr std::size_t kMaxVersionLineBytes = 128;

// Which lines of a reply are only pieces of the router's lines. A reply is
// cut where the bytes looked at end (the rest is dropped), and what comes
// after the dropped bytes starts inside a line whose beginning is gone.
struct ReplyPieces {
  bool firstIsTail = false;  // the first line is the end of a line an earlier reply cut
  bool lastIsCut = false;    // the last line lost its end (and its CR LF) to the cut
};

// What PickVersionLine found.
enum class VersionLine {
  kPicked,    // a version line, copied into the target
  kNone,      // no line begins with a version
  kTooLong,   // a line begins with a version but is longer than kMaxVersionLineBytes
  kCut,       // a line begins with a version but is a piece of a longer one
};

struct VersionLinePick {
  VersionLine result = VersionLine::kNone;
  std::size_t bytes = 0;  // the length of the line picked or refused
  explicit operator bool() const { return result == VersionLine::kPicked; }
};

// From the last line back, the first version line that is a whole line of
// the router's (see `pieces`) and at most kMaxVersionLineBytes long is
// copied whole into `target` (the lines are UTF-8 already, as the session
// cut them). A version-like line that is too long or only a piece is no
// version line: it is passed over, and said in the result when no other
// line is picked; `target` is then unchanged.
VersionLinePick PickVersionLine(const std::vector<std::string>& lines, std::string& target,
                                ReplyPieces pieces = {});

}  // namespace orvane
