#pragma once
// Asynchronous HDLC-like framing of the module's packets, and its CRC.
//
// Between the flags a frame holds only the escaped packet and its escaped
// check sequence (no address or control field):
//   [0x7E] packet... fcs-lo fcs-hi 0x7E      (0x7E/0x7D stuffed as 0x7D, b^0x20)
// The check sequence is CRC-16/X.25 (the HDLC FCS-16 of RFC 1662): reflected
// polynomial 0x8408, preset 0xFFFF, complemented, sent low byte first.
//
// Pure functions over caller-owned buffers: no state, no allocation, no
// logging; callers log and retry.
#include <cstddef>
#include <cstdint>

namespace orvane {

inline constexpr std::uint8_t FRAME_FLAG = 0x7E;
inline constexpr std::uint8_t FRAME_ESCAPE = 0x7D;
inline constexpr std::uint8_t ESCAPE_XOR = 0x20;
inline constexpr std::uint16_t CRC_INIT = 0xFFFF;
// Register value after a whole intact body (packet plus its check sequence).
inline constexpr std::uint16_t CRC_GOOD_RESIDUE = 0xF0B8;

// Worst case size of a frame of an n-byte packet: leading flag, every packet
// and check byte stuffed, closing flag.
constexpr std::size_t MaxFrameSize(std::size_t packetLength) { return 2 * packetLength + 6; }

// One step of the CRC register (not complemented).
std::uint16_t CrcUpdate(std::uint16_t reg, std::uint8_t byte);

// CRC-16/X.25 of `length` bytes: preset 0xFFFF, complemented at the end.
// Crc16 of "123456789" is 0x906E; of nothing, 0x0000.
std::uint16_t Crc16(const std::uint8_t* data, std::size_t length);

// Appends `length` data bytes to `out` at `*position`, stuffing 0x7E and
// 0x7D, and advances `*position` past what it wrote. Folds the unstuffed
// bytes into `*crc` (the running register, not complemented). Writes no flag
// and no check sequence; `out` must hold 2 * length more bytes.
void EscapeAppend(std::uint8_t* out, std::size_t* position, const std::uint8_t* data, std::size_t length,
                  std::uint16_t* crc);

// Writes the whole frame of `packet` to `out` and returns its length. With
// `leadingFlag` nonzero the frame opens with 0x7E; the closing 0x7E is
// always written. `out` must hold MaxFrameSize(length) bytes.
std::size_t EncodeFrame(const std::uint8_t* packet, std::size_t length, std::uint8_t* out, int leadingFlag);

// Unstuffs one received frame into `out` (packet followed by its two check
// bytes) and returns the packet length, or 0 when the frame is not valid:
// a bad residue, fewer than 3 body bytes, or a body ending in a lone escape.
// One flag is dropped at each end if present; inner 0x7E bytes are data.
// `out` may be `frame` itself (decoding in place) and must hold `length`
// bytes. Never reads outside frame[0, length).
std::size_t DecodeFrame(const std::uint8_t* frame, std::size_t length, std::uint8_t* out);

}  // namespace orvane
