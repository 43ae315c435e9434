#include "net/router_packets.h"

#include <cstring>

namespace orvane {
namespace {

constexpr const char* kTriggerMagic[] = {
    "Kavrin RUT Begin Download Pkt",  // TRIGGER_RUT_BEGIN
    "Kavrin FWT Begin Download Pkt",  // TRIGGER_FWT_BEGIN
    "Kavrin FWT Force Download Pkt",  // TRIGGER_FWT_FORCE
};

std::uint32_t ReadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

std::array<std::uint8_t, kTriggerPacketSize> BuildTriggerPacket(TriggerKind kind, std::uint32_t totalLength) {
  std::array<std::uint8_t, kTriggerPacketSize> packet{};
  packet[0] = kRouterPacketLead;
  std::memcpy(packet.data() + 1, kTriggerMagic[kind], kTriggerMagicLength);
  for (int i = 0; i < 4; ++i) packet[kTriggerLengthOffset + i] = static_cast<std::uint8_t>(totalLength >> (8 * i));
  return packet;
}

bool ParseResultPacket(const std::uint8_t* packet, std::size_t length, std::uint32_t* code) {
  if (length != kTriggerPacketSize || packet[0] != kRouterPacketLead) return false;
  *code = ReadLe32(packet + kResultCodeOffset);
  return true;
}

}  // namespace orvane
