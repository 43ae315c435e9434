#pragma once
// The relay's view of one TCP connection's incoming bytes, without any I/O.
//
// Normally the stream is cut after every 0x7E that closes a non-empty piece;
// a piece that decodes to a trigger packet is the router's, everything else
// belongs to the module. After "Kavrin RUT Begin Download Pkt" with total
// length L the next L bytes are a router image, taken raw: no flag, escape
// or check sequence means anything inside it.
//
//   stream:  7E <trigger> 7E | L image bytes | 41 54 .. 0D 7E | 7E <diag> 7E ...
//   events:  OnTrigger        OnImageBytes..  OnModulePiece     OnModulePiece
//            (RUT: image starts) OnImageEnd
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "routersim/wire.h"

namespace orvane::routersim {

class IRelayEvents {
 public:
  virtual ~IRelayEvents() = default;
  virtual void OnTrigger(const Trigger& trigger) = 0;
  // Bytes of the router image in progress, in order.
  virtual void OnImageBytes(std::span<const std::uint8_t> bytes) = 0;
  // The announced length has arrived in full (also at once for L = 0).
  virtual void OnImageEnd() = 0;
  // A piece for the module: see IModule::OnRelayBytes.
  virtual void OnModulePiece(std::span<const std::uint8_t> wire, std::span<const std::uint8_t> packet) = 0;
};

class RelayStream {
 public:
  // The longest piece collected while waiting for a flag. The module's
  // largest frame (a 4096-byte block behind its write header, all stuffed)
  // takes 8209 bytes; beyond this limit the bytes are handed on unframed.
  static constexpr std::size_t kMaxPieceBytes = 16384;

  // Processes `bytes` in order, calling `events` as pieces complete.
  void Feed(std::span<const std::uint8_t> bytes, IRelayEvents& events);

  bool InImage() const { return m_imageRemaining > 0; }
  // Bytes held back because their piece has not been closed by a flag yet.
  std::size_t PendingBytes() const { return m_piece.size(); }

 private:
  void ClosePiece(IRelayEvents& events);

  std::vector<std::uint8_t> m_piece;    // wire bytes of the piece being collected
  std::size_t m_bodyBytes = 0;          // bytes in m_piece other than opening flags
  std::uint32_t m_imageRemaining = 0;   // raw image bytes still expected
  std::vector<std::uint8_t> m_decoded;  // decode buffer, reused
};

}  // namespace orvane::routersim
