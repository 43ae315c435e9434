#include "net/framed_channel.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "diag/framing.h"
#include "net/frame_assembler.h"
#include "platform/clock.h"

namespace orvane {

CFramedChannel::~CFramedChannel() { Close(); }

bool CFramedChannel::Open(const std::string& host, std::uint16_t port, int type,
                          const platform::SocketBinding& binding) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_pPort) {
    CloseLocked();
    platform::Sleep(kErrorPauseMs);
  }
  std::unique_ptr<INetPort> created;
  if (type == PORT_TCP) created = std::make_unique<CTcpPort>();
  if (created) created->SetBinding(binding);
  if (created && created->SetAddress(host, port) && created->Open()) {
    m_pPort = std::move(created);
    m_nState = CHANNEL_OPEN;
    return true;
  }
  m_pPort.reset();
  m_nState = CHANNEL_CLOSED;
  return false;
}

bool CFramedChannel::StartReader() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_pReader) return true;
  // The stop request is cleared here, before the thread exists, and not by
  // the reader itself: a StopReader that follows at once must find it set.
  m_nStopRequest = 0;
  {
    std::lock_guard<std::mutex> done(m_readerDoneLock);
    m_bReaderDone = false;
  }
  try {
    m_pReader = std::make_unique<std::thread>([this] { ReaderThreadProc(); });
  } catch (...) {
    m_pReader.reset();
    return false;
  }
  m_bReaderRunning = true;
  platform::Sleep(kReaderStartPauseMs);
  return true;
}

void CFramedChannel::StopReader() {
  std::lock_guard<std::mutex> guard(m_lock);
  StopReaderLocked();
}

void CFramedChannel::StopReaderLocked() {
  if (!m_pReader) return;
  m_nStopRequest = 1;
  // Every wait of the reader gives way to the abort. Should the reader still
  // be busy after kReaderStopWaitMs (an abort consumed by a wait that
  // started just before the stop request was seen), abort again and keep
  // waiting: the thread must end before its channel can go.
  std::unique_lock<std::mutex> done(m_readerDoneLock);
  for (;;) {
    if (m_pPort) m_pPort->Abort();
    if (m_readerDoneChanged.wait_for(done, std::chrono::milliseconds(platform::ToRealMs(kReaderStopWaitMs)),
                                     [this] { return m_bReaderDone; })) {
      break;
    }
  }
  done.unlock();
  m_pReader->join();
  m_pReader.reset();
  m_bReaderRunning = false;
}

bool CFramedChannel::Close() {
  std::lock_guard<std::mutex> guard(m_lock);
  return CloseLocked();
}

bool CFramedChannel::CloseLocked() {
  bool result = true;
  if (m_pPort) {
    StopReaderLocked();
    result = m_pPort->Close();
    m_pPort.reset();
  }
  m_nState = CHANNEL_CLOSED;
  return result;
}

std::uint32_t CFramedChannel::LastError() const { return m_pPort ? m_pPort->LastError() : 0; }

std::uint8_t* CFramedChannel::FrameBuffer() {
  if (!m_pFrameBuffer) m_pFrameBuffer.reset(new (std::nothrow) std::uint8_t[kFrameBufferSize]);
  return m_pFrameBuffer.get();
}

bool CFramedChannel::Send(bool raw, const std::uint8_t* data, std::size_t length, bool leadingFlag,
                          std::uint32_t timeoutMs) {
  if (m_nState != CHANNEL_OPEN || !m_pPort) return false;
  if (raw) return m_pPort->Send(data, length, timeoutMs);
  // A longer packet could overrun the frame buffer.
  if (length > kMaxFramedPacket) return false;
  std::uint8_t* frame = FrameBuffer();
  if (!frame) return false;
  const std::size_t n = EncodeFrame(data, length, frame, leadingFlag ? 1 : 0);
  return m_pPort->Send(frame, n, timeoutMs);
}

bool CFramedChannel::Receive(std::uint8_t* buffer, std::size_t capacity, std::size_t* length,
                             std::uint32_t timeoutMs) {
  *length = 0;
  if (m_nState != CHANNEL_OPEN) return false;
  if (m_bReaderRunning) return m_queue.TakeFrame(buffer, capacity, length, timeoutMs);
  return ReceiveDirect(buffer, capacity, length, timeoutMs);
}

bool CFramedChannel::ReceiveDirect(std::uint8_t* buffer, std::size_t capacity, std::size_t* length,
                                   std::uint32_t timeoutMs) {
  const std::uint32_t start = platform::TickCount();
  FrameAssembler assembler;
  for (;;) {
    if (!m_pPort) return false;
    std::uint8_t byte = 0;
    std::size_t received = 0;
    if (m_pPort->Receive(&byte, 1, &received, kDirectByteTimeoutMs) && received == 1) {
      if (assembler.Push(byte)) break;
    } else {
      platform::Sleep(kDirectIdlePauseMs);
    }
    if (timeoutMs != platform::kInfinite && static_cast<std::uint32_t>(platform::TickCount() - start) > timeoutMs) {
      return false;
    }
  }
  const std::size_t packetLength = assembler.DecodeFrame();
  if (packetLength == 0) return false;
  const std::size_t n = std::min(packetLength, capacity);
  std::memcpy(buffer, assembler.Data(), n);
  *length = n;
  return true;
}

void CFramedChannel::ReaderThreadProc() {
  FrameAssembler assembler;
  INetPort* port = m_pPort.get();  // stays for the reader's life: Close stops the reader first
  while (port && m_nStopRequest == 0) {
    std::uint8_t byte = 0;
    std::size_t received = 0;
    // No pause of its own: the port pauses after errors, aborts and the
    // peer's close.
    if (port->Receive(&byte, 1, &received, platform::kInfinite) && received == 1 && assembler.Push(byte)) {
      const std::size_t packetLength = assembler.DecodeFrame();
      if (packetLength > 0) m_queue.PushFrame(assembler.Data(), packetLength);
    }
  }
  std::lock_guard<std::mutex> done(m_readerDoneLock);
  m_bReaderDone = true;
  m_readerDoneChanged.notify_all();
}

}  // namespace orvane
