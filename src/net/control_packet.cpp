#include "net/control_packet.h"

#include <algorithm>

namespace orvane {

namespace {
constexpr std::size_t kTypeOffset = 0;
constexpr std::size_t kIpOffset = 1;
constexpr std::size_t kMacOffset = 5;
constexpr std::size_t kTextOffset = 11;
}  // namespace

ControlBytes EncodeControlPacket(const ControlPacket& packet) {
  ControlBytes bytes{};
  bytes[kTypeOffset] = packet.type;
  std::copy(packet.ip.begin(), packet.ip.end(), bytes.begin() + kIpOffset);
  std::copy(packet.mac.begin(), packet.mac.end(), bytes.begin() + kMacOffset);
  std::copy(packet.text.begin(), packet.text.end(), bytes.begin() + kTextOffset);
  return bytes;
}

bool DecodeControlPacket(std::span<const std::uint8_t> bytes, ControlPacket* out) {
  if (bytes.size() < kControlPacketSize) return false;
  ControlPacket packet;
  packet.type = bytes[kTypeOffset];
  std::copy_n(bytes.begin() + kIpOffset, packet.ip.size(), packet.ip.begin());
  std::copy_n(bytes.begin() + kMacOffset, packet.mac.size(), packet.mac.begin());
  std::copy_n(bytes.begin() + kTextOffset, packet.text.size(), packet.text.begin());
  *out = packet;
  return true;
}

std::string ControlText(const ControlPacket& packet) {
  const auto end = std::find(packet.text.begin(), packet.text.end(), 0);
  return std::string(packet.text.begin(), end);
}

bool HasMac(const ControlPacket& packet) {
  return std::any_of(packet.mac.begin(), packet.mac.end(), [](std::uint8_t b) { return b != 0; });
}

AnnouncementCheck CheckAnnouncement(std::span<const std::uint8_t> packet) {
  ControlPacket decoded;
  if (!DecodeControlPacket(packet, &decoded)) return AnnouncementCheck::kShort;
  if (decoded.type != CTRL_DISCOVER) return AnnouncementCheck::kOtherType;
  if (!HasMac(decoded)) return AnnouncementCheck::kNoMac;
  return AnnouncementCheck::kAnnouncement;
}

bool IsRouterAnnouncement(std::span<const std::uint8_t> packet) {
  return CheckAnnouncement(packet) == AnnouncementCheck::kAnnouncement;
}

}  // namespace orvane
