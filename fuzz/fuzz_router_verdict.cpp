// The router's verdict on an image, as the engine takes it from the frame
// queue: a decoded packet of any length. Only a 40-byte packet led by 0xFF
// is a verdict, and its code is the little-endian number at offset 30.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "diag/framing.h"
#include "net/router_packets.h"

namespace {

void CheckVerdict(const std::uint8_t* packet, std::size_t length) {
  std::uint32_t code = 0xA5A5A5A5u;
  const bool verdict = orvane::ParseResultPacket(packet, length, &code);
  const bool shaped = length == orvane::kTriggerPacketSize && packet[0] == orvane::kRouterPacketLead;
  if (verdict != shaped) std::abort();
  if (!verdict) {
    if (code != 0xA5A5A5A5u) std::abort();  // no code out without a verdict
    return;
  }
  const std::uint8_t* p = packet + orvane::kResultCodeOffset;
  if (code != (p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);  // exact size: ASan sees any overread
  CheckVerdict(bytes.data(), bytes.size());
  if (size >= 3) {
    std::vector<std::uint8_t> packet(size);
    const std::size_t length = orvane::DecodeFrame(bytes.data(), bytes.size(), packet.data());
    if (length > 0) {
      packet.resize(length);  // what the queue hands over: the packet without its check bytes
      CheckVerdict(packet.data(), packet.size());
    }
  }
  return 0;
}
