#include "net/frame_assembler.h"

#include "diag/framing.h"

namespace orvane {

bool FrameAssembler::Push(std::uint8_t byte) {
  if (byte == FRAME_FLAG) return m_nCount >= 3;
  if (m_nCount < kFrameAssemblySize) {
    m_bytes[m_nCount++] = byte;
  } else {
    m_nCount = 0;
  }
  return false;
}

std::size_t FrameAssembler::DecodeFrame() {
  const std::size_t length = orvane::DecodeFrame(m_bytes.data(), m_nCount, m_bytes.data());
  m_nCount = 0;
  return length;
}

}  // namespace orvane
