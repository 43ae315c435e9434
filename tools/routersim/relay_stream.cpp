#include "routersim/relay_stream.h"

#include <algorithm>

#include "diag/framing.h"

namespace orvane::routersim {

void RelayStream::Feed(std::span<const std::uint8_t> bytes, IRelayEvents& events) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (m_imageRemaining > 0) {
      const std::size_t n = std::min<std::size_t>(m_imageRemaining, bytes.size() - at);
      m_imageRemaining -= static_cast<std::uint32_t>(n);
      events.OnImageBytes(bytes.subspan(at, n));
      at += n;
      if (m_imageRemaining == 0) events.OnImageEnd();
      continue;
    }
    const std::uint8_t b = bytes[at++];
    m_piece.push_back(b);
    if (b != FRAME_FLAG) {
      ++m_bodyBytes;
      if (m_piece.size() >= kMaxPieceBytes) {
        // No flag in sight: hand the bytes on as they are rather than grow.
        events.OnModulePiece(m_piece, {});
        m_piece.clear();
        m_bodyBytes = 0;
      }
      continue;
    }
    // A flag with nothing before it opens the next frame; keep it with it.
    if (m_bodyBytes > 0) ClosePiece(events);
  }
}

void RelayStream::ClosePiece(IRelayEvents& events) {
  // The piece is [opening flags] body 0x7E; decode the body and its closing
  // flag only, so that extra opening flags (a lone flag sent to resync, say)
  // cost nothing.
  const std::size_t opening = m_piece.size() - m_bodyBytes - 1;
  m_decoded.resize(m_piece.size());
  const std::size_t length = DecodeFrame(m_piece.data() + opening, m_piece.size() - opening, m_decoded.data());
  const std::span<const std::uint8_t> packet(m_decoded.data(), length);
  const auto trigger = length > 0 ? ParseTrigger(packet) : std::nullopt;
  if (trigger) {
    events.OnTrigger(*trigger);
    if (trigger->kind == TriggerKind::kRouterBegin) {
      m_imageRemaining = trigger->totalLength;
      if (m_imageRemaining == 0) events.OnImageEnd();
    }
  } else {
    events.OnModulePiece(m_piece, packet);
  }
  m_piece.clear();
  m_bodyBytes = 0;
}

}  // namespace orvane::routersim
