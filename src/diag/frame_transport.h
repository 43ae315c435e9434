#pragma once
// What the module's command layer needs of the connection that carries its
// packets: the framed channel implements it, tests script it.
#include <cstddef>
#include <cstdint>

namespace orvane {

class IFrameTransport {
 public:
  virtual ~IFrameTransport() = default;
  // Which incoming packet answers the next request: its first `keyLength`
  // (1..4) bytes read as a little-endian number equal `key` (the channel
  // also hands over negative acknowledgements and error echoes).
  virtual void SetResponseKey(std::uint32_t key, std::uint32_t keyLength) = 0;
  // Sends `data` framed (or raw), with or without the opening flag.
  virtual bool Send(bool raw, const std::uint8_t* data, std::size_t length, bool leadingFlag,
                    std::uint32_t timeoutMs) = 0;
  // One answering packet without flags and check bytes, cut to `capacity`.
  virtual bool Receive(std::uint8_t* buffer, std::size_t capacity, std::size_t* length, std::uint32_t timeoutMs) = 0;
};

// The key of a request: its first `keyLength` bytes as a little-endian number.
constexpr std::uint32_t KeyOf(const std::uint8_t* bytes, std::uint32_t keyLength) {
  std::uint32_t key = 0;
  for (std::uint32_t i = 0; i < keyLength; ++i) key |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
  return key;
}

}  // namespace orvane
