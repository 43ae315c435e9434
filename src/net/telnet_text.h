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

// From the last line back, the first version line is copied whole into
// `target` (the lines are UTF-8 already, as the session cut them); false and
// `target` unchanged when there is none.
bool PickVersionLine(const std::vector<std::string>& lines, std::string& target);

}  // namespace orvane
