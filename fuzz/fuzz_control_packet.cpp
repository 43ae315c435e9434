// A datagram on the control port, as discovery and the control echo take
// it: decoded as a frame into the channel's 512-byte buffer, then read as a
// control packet and judged as a router announcement. Never a read outside
// the datagram, and an announcement only for a whole packet of type 1 with
// a MAC address whose fields read back as they were sent.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "diag/framing.h"
#include "net/control_channel.h"
#include "net/control_packet.h"

namespace {

void CheckPacket(std::span<const std::uint8_t> packet) {
  orvane::ControlPacket decoded;
  const bool whole = orvane::DecodeControlPacket(packet, &decoded);
  if (whole != (packet.size() >= orvane::kControlPacketSize)) std::abort();
  const bool announcement = orvane::IsRouterAnnouncement(packet);
  if (announcement && !(whole && decoded.type == orvane::CTRL_DISCOVER && orvane::HasMac(decoded))) std::abort();
  if (!whole) {
    if (announcement) std::abort();
    return;
  }
  if (announcement != (decoded.type == orvane::CTRL_DISCOVER && orvane::HasMac(decoded))) std::abort();
  // The fields read back to the first 32 bytes, and the text stops at its
  // zero byte within its 21 bytes.
  const orvane::ControlBytes again = orvane::EncodeControlPacket(decoded);
  if (std::memcmp(again.data(), packet.data(), again.size()) != 0) std::abort();
  const std::string text = orvane::ControlText(decoded);
  if (text.size() > orvane::kControlTextSize || text.find('\0') != std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The receive buffer holds 512 bytes; a longer datagram never reaches the decoder.
  if (size > orvane::kControlBufferSize) return 0;
  const std::vector<std::uint8_t> datagram(data, data + size);  // exact size: ASan sees any overread
  std::array<std::uint8_t, orvane::kControlBufferSize> buffer;
  const std::size_t length = orvane::DecodeFrame(datagram.data(), datagram.size(), buffer.data());
  if (length > 0) CheckPacket(std::span<const std::uint8_t>(buffer.data(), length));
  // The packet reader on its own, over the raw bytes too.
  CheckPacket(std::span<const std::uint8_t>(datagram.data(), datagram.size()));
  return 0;
}
