#include "net/address.h"

#include <cstdio>

namespace orvane {

bool ParseIpv4(std::string_view text, Ipv4Address* out) {
  Ipv4Address parsed{};
  std::size_t pos = 0;
  for (std::size_t group = 0; group < 4; ++group) {
    if (group > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    unsigned value = 0;
    std::size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    parsed[group] = static_cast<std::uint8_t>(value);
  }
  if (pos != text.size()) return false;
  *out = parsed;
  return true;
}

std::string FormatIpv4(const Ipv4Address& address) {
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", address[0], address[1], address[2], address[3]);
  return text;
}

}  // namespace orvane
