#pragma once
// Control packets: the 32-byte datagrams of router discovery and of the
// router update's commands, on the router's control port (UDP).
//
//   offset 0   type         1 byte   CTRL_DISCOVER = 1; the router update's own types
//          1   IPv4 address 4 bytes  in written order (192.168.1.1 is C0 A8 01 01)
//          5   MAC address  6 bytes  in written order; all zero means none
//         11   text        21 bytes  8-bit text, ended by a zero byte, padded with zeros
//
// On the wire each datagram is one frame: an opening 0x7E, the 32 packet
// bytes and the 2 check bytes stuffed, a closing 0x7E (at most 70 bytes).
// Replies are accepted with or without the opening flag.
//
// Pure functions over byte spans: no I/O.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace orvane {

inline constexpr std::size_t kControlPacketSize = 32;
inline constexpr std::size_t kControlTextSize = 21;
inline constexpr std::uint8_t CTRL_DISCOVER = 1;

using ControlBytes = std::array<std::uint8_t, kControlPacketSize>;

struct ControlPacket {
  std::uint8_t type = 0;
  std::array<std::uint8_t, 4> ip{};
  std::array<std::uint8_t, 6> mac{};
  std::array<std::uint8_t, kControlTextSize> text{};

  bool operator==(const ControlPacket&) const = default;
};

ControlBytes EncodeControlPacket(const ControlPacket& packet);
// Reads the first 32 bytes; false (and `out` untouched) when there are fewer.
bool DecodeControlPacket(std::span<const std::uint8_t> bytes, ControlPacket* out);

// The text field up to its first zero byte, at most 21 bytes (8-bit text).
std::string ControlText(const ControlPacket& packet);

bool HasMac(const ControlPacket& packet);

// What a decoded reply to discovery is: a router's announcement (a whole
// packet of type CTRL_DISCOVER with a MAC address), or why it is none.
enum class AnnouncementCheck {
  kAnnouncement,
  kShort,      // fewer than 32 bytes: its missing bytes would be read as addresses
  kOtherType,  // a whole packet of another type
  kNoMac,      // type CTRL_DISCOVER, but the MAC address is all zero
};
AnnouncementCheck CheckAnnouncement(std::span<const std::uint8_t> packet);

// Is this decoded reply a router's answer to discovery?
bool IsRouterAnnouncement(std::span<const std::uint8_t> packet);

}  // namespace orvane
