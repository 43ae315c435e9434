#include "routersim/wire.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "diag/framing.h"

namespace orvane::routersim {
namespace {

std::optional<unsigned> ParseDecimalPart(std::string_view part, unsigned max) {
  if (part.empty() || part.size() > 3) return std::nullopt;
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
  if (ec != std::errc() || end != part.data() + part.size() || value > max) return std::nullopt;
  return value;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void PutLe32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

std::optional<Ipv4> ParseIpv4(std::string_view text) {
  Ipv4 ip{};
  for (std::size_t i = 0; i < ip.size(); ++i) {
    const std::size_t dot = text.find('.');
    const bool last = i + 1 == ip.size();
    if (last != (dot == std::string_view::npos)) return std::nullopt;
    const auto part = ParseDecimalPart(text.substr(0, dot), 255);
    if (!part) return std::nullopt;
    ip[i] = static_cast<std::uint8_t>(*part);
    if (!last) text.remove_prefix(dot + 1);
  }
  return ip;
}

std::string FormatIpv4(const Ipv4& ip) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
  return text;
}

std::optional<Mac> ParseMac(std::string_view text) {
  // "xx:xx:xx:xx:xx:xx": 6 pairs and 5 separators.
  if (text.size() != 17) return std::nullopt;
  const char separator = text[2];
  if (separator != ':' && separator != '-') return std::nullopt;
  Mac mac{};
  for (std::size_t i = 0; i < mac.size(); ++i) {
    const std::size_t at = i * 3;
    if (i > 0 && text[at - 1] != separator) return std::nullopt;
    const int high = HexDigit(text[at]);
    const int low = HexDigit(text[at + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    mac[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return mac;
}

std::optional<ControlPacket> AnswerControl(std::span<const std::uint8_t> packet, const Identity& identity) {
  if (packet.size() != kControlPacketSize) return std::nullopt;
  ControlPacket reply{};
  switch (packet[0]) {
    case kControlDiscover: {
      reply[0] = kControlDiscover;
      std::copy(identity.ip.begin(), identity.ip.end(), reply.begin() + kControlIpOffset);
      std::copy(identity.mac.begin(), identity.mac.end(), reply.begin() + kControlMacOffset);
      const std::size_t n = std::min(identity.versionText.size(), kControlTextField);
      std::copy_n(identity.versionText.begin(), n, reply.begin() + kControlTextOffset);
      return reply;
    }
    case kControlEraseNvram:
    case kControlForceDownload:
    case kControlProbe:
      std::copy(packet.begin(), packet.end(), reply.begin());
      return reply;
    default:
      return std::nullopt;
  }
}

std::optional<Trigger> ParseTrigger(std::span<const std::uint8_t> packet) {
  if (packet.size() != kTriggerPacketSize || packet[0] != kTriggerLead) return std::nullopt;
  const std::string_view magic(reinterpret_cast<const char*>(packet.data()) + kTriggerMagicOffset,
                               kTriggerMagicLength);
  Trigger trigger{};
  if (magic == kMagicRouterBegin) {
    trigger.kind = TriggerKind::kRouterBegin;
  } else if (magic == kMagicModuleBegin) {
    trigger.kind = TriggerKind::kModuleBegin;
  } else if (magic == kMagicModuleForce) {
    trigger.kind = TriggerKind::kModuleForce;
  } else {
    return std::nullopt;
  }
  const std::uint8_t* length = packet.data() + kTriggerLengthOffset;
  trigger.totalLength = static_cast<std::uint32_t>(length[0]) | static_cast<std::uint32_t>(length[1]) << 8 |
                        static_cast<std::uint32_t>(length[2]) << 16 | static_cast<std::uint32_t>(length[3]) << 24;
  return trigger;
}

std::array<std::uint8_t, kTriggerPacketSize> BuildResultPacket(std::uint32_t code) {
  std::array<std::uint8_t, kTriggerPacketSize> packet{};
  packet[0] = kTriggerLead;
  std::copy(kMagicRouterBegin.begin(), kMagicRouterBegin.end(), packet.begin() + kTriggerMagicOffset);
  PutLe32(packet.data() + kTriggerLengthOffset, code);
  return packet;
}

std::vector<std::uint8_t> FrameReply(std::span<const std::uint8_t> packet, bool corrupt) {
  std::vector<std::uint8_t> frame(MaxFrameSize(packet.size()));
  std::size_t position = 0;
  frame[position++] = FRAME_FLAG;
  std::uint16_t reg = CRC_INIT;
  EscapeAppend(frame.data(), &position, packet.data(), packet.size(), &reg);
  std::uint16_t fcs = static_cast<std::uint16_t>(~reg);
  if (corrupt) fcs ^= 0x0001;
  const std::uint8_t check[2] = {static_cast<std::uint8_t>(fcs & 0xFF), static_cast<std::uint8_t>(fcs >> 8)};
  EscapeAppend(frame.data(), &position, check, sizeof check, &reg);
  frame[position++] = FRAME_FLAG;
  frame.resize(position);
  return frame;
}

RouterImageKind RouterPayloadKind(std::span<const std::uint8_t> head) {
  if (head.size() < kRouterHeadBytes) return RouterImageKind::kUnknown;
  return static_cast<RouterImageKind>((head[kRouterKindOffset] >> 1) & 3);
}

std::optional<std::string> RouterPayloadVersion(std::span<const std::uint8_t> head) {
  if (head.size() < kRouterHeadBytes) return std::nullopt;
  std::string text;
  for (std::size_t i = kRouterVersionOffset; i < kRouterHeadBytes && head[i] != 0; ++i) {
    if (head[i] < 0x20 || head[i] > 0x7E) return std::nullopt;
    text += static_cast<char>(head[i]);
  }
  if (text.empty() || text.size() == kRouterVersionField) return std::nullopt;
  return text;
}

void PutRouterPayloadVersion(std::vector<std::uint8_t>& payload, std::string_view version) {
  std::fill_n(payload.begin() + kRouterVersionOffset, kRouterVersionField, 0);
  std::copy_n(version.begin(), std::min(version.size(), kRouterVersionField - 1), payload.begin() + kRouterVersionOffset);
}

}  // namespace orvane::routersim
