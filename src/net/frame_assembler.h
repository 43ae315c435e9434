#pragma once
// Splits the byte stream of the framed channel into frames, one byte at a
// time, in a fixed array of 1024 bytes (no allocation per frame).
//
// Rules, byte by byte:
//   * a byte other than 0x7E is collected; the byte that arrives when 1024
//     are already collected is dropped and the collection starts over (the
//     frame is abandoned);
//   * a 0x7E behind at least 3 collected bytes closes a frame;
//   * a 0x7E behind fewer than 3 is ignored (a leading flag, or the flag
//     right after a frame, costs nothing).
// Pure: no I/O, no locks; one assembler per reading thread.
#include <array>
#include <cstddef>
#include <cstdint>

namespace orvane {

inline constexpr std::size_t kFrameAssemblySize = 1024;

class FrameAssembler {
 public:
  // Feeds one byte; true when it closed a frame, which DecodeFrame() then
  // turns into its packet.
  bool Push(std::uint8_t byte);

  // Decodes the closed frame in place and starts a new collection. Returns
  // the packet length (0 for a frame that fails its check); the packet is
  // then Data()[0, length) until the next Push.
  std::size_t DecodeFrame();

  const std::uint8_t* Data() const { return m_bytes.data(); }

 private:
  std::array<std::uint8_t, kFrameAssemblySize> m_bytes{};
  std::size_t m_nCount = 0;
};

}  // namespace orvane
