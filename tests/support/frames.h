#pragma once
// Packets to frames and back with the system's own framing, for tests that
// compare what went on the wire.
#include <cstdint>
#include <optional>
#include <vector>

#include "diag/framing.h"

namespace orvane::test {

using Bytes = std::vector<std::uint8_t>;

// The frame of `packet`, opening with a flag when `leadingFlag`.
inline Bytes Framed(const Bytes& packet, bool leadingFlag) {
  Bytes frame(MaxFrameSize(packet.size()));
  frame.resize(EncodeFrame(packet.data(), packet.size(), frame.data(), leadingFlag ? 1 : 0));
  return frame;
}

// The packet inside `frame`; nullopt when its check sequence is wrong.
inline std::optional<Bytes> Unframed(const Bytes& frame) {
  Bytes packet(frame.size());
  const std::size_t n = DecodeFrame(frame.data(), frame.size(), packet.data());
  if (n == 0) return std::nullopt;
  packet.resize(n);
  return packet;
}

}  // namespace orvane::test
