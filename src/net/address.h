#pragma once
// Dotted-decimal IPv4 text, as the ports and the control channel take it.
// Pure functions: no name resolution, no I/O.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane {

using Ipv4Address = std::array<std::uint8_t, 4>;

// Accepts exactly four decimal groups of 1 to 3 digits, each 0..255,
// separated by single dots ("192.168.1.1"); anything else (names, missing
// groups, signs, blanks, trailing text) is refused and `out` is untouched.
bool ParseIpv4(std::string_view text, Ipv4Address* out);

// "%d.%d.%d.%d", one byte per group in stored order.
std::string FormatIpv4(const Ipv4Address& address);

}  // namespace orvane
