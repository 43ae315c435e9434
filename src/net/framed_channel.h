#pragma once
// The framed channel: the one connection over which the updater talks to the
// wireless module (through the router's relay) and pushes router images.
//
// It owns one network port, a reader thread that turns the incoming byte
// stream into packets (FrameAssembler) and queues them (CFrameQueue), and
// the 8210-byte buffer in which outgoing frames are built.
//
//   Send     framed (EncodeFrame, optional opening flag) or raw; works with
//            or without the reader.
//   Receive  with the reader running: the newest queued packet matching the
//            response key (the queue is emptied whatever it returns);
//            without it: the first complete frame read from the port
//            (ReceiveDirect), unfiltered.
//
// Threads: the caller's thread and the reader. The reader only receives
// from the port and pushes to the queue; the caller sends and takes, so a
// send and a receive may run on the socket at once. m_lock serialises Open,
// Close, StartReader and StopReader; the reader never takes it.
//
// StopReader ends the reader through the port's Abort() and waits until the
// thread has ended. Every wait of the reader (the receive, the port's
// pauses, a reconnect) gives way to the abort, so this is prompt; the
// thread is never killed, and no thread outlives the channel's memory.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "diag/frame_transport.h"
#include "net/frame_queue.h"
#include "net/net_port.h"

namespace orvane {

inline constexpr int CHANNEL_OPEN = 0;
inline constexpr int CHANNEL_CLOSED = 2;

// Where outgoing frames are built: the largest frame the system builds (a
// 4096-byte block behind its 7-byte write header, every byte that can need
// stuffing stuffed) takes 8209 bytes.
inline constexpr std::size_t kFrameBufferSize = 8210;
// The longest packet a framed Send takes: its worst-case frame, 2n + 6
// bytes, fills the frame buffer exactly.
inline constexpr std::size_t kMaxFramedPacket = (kFrameBufferSize - 6) / 2;  // 4102

inline constexpr std::uint32_t kDirectByteTimeoutMs = 500;  // ReceiveDirect: wait per byte
inline constexpr std::uint32_t kDirectIdlePauseMs = 100;    // ReceiveDirect: after a wait without a byte
inline constexpr std::uint32_t kReaderStartPauseMs = 100;   // StartReader: let the reader get going
inline constexpr std::uint32_t kReaderStopWaitMs = 10000;   // StopReader: abort again after this long

class CFramedChannel : public IFrameTransport {
 public:
  CFramedChannel() = default;
  ~CFramedChannel() override;
  CFramedChannel(const CFramedChannel&) = delete;
  CFramedChannel& operator=(const CFramedChannel&) = delete;

  // Opens a new TCP port to host:port (`type` PORT_TCP; any other type
  // fails); does not start the reader. An open channel is closed first.
  // With a `binding`, the port's sockets keep to that interface.
  bool Open(const std::string& host, std::uint16_t port, int type,
            const platform::SocketBinding& binding = platform::SocketBinding{});
  bool StartReader();
  void StopReader();
  // Stops the reader, closes and destroys the port; the result of closing
  // the socket (true when there was no port).
  bool Close();

  // Raw: the bytes as they stand. Framed: at most kMaxFramedPacket bytes,
  // built in the frame buffer. True when the port sent every byte.
  bool Send(bool raw, const std::uint8_t* data, std::size_t length, bool leadingFlag,
            std::uint32_t timeoutMs) override;
  // One decoded packet (no flags, no check bytes), at most `capacity`
  // bytes of it; `*length` is 0 unless it succeeds.
  bool Receive(std::uint8_t* buffer, std::size_t capacity, std::size_t* length, std::uint32_t timeoutMs) override;
  void SetResponseKey(std::uint32_t key, std::uint32_t keyLength) override { m_queue.SetResponseKey(key, keyLength); }
  // How Receive waits for the reader's packet (net/frame_queue.h).
  void SetArrivalWait(ArrivalWait wait) { m_queue.SetArrivalWait(wait); }
  // The port's last error; 0 when there is no port.
  std::uint32_t LastError() const;

  int State() const { return m_nState.load(); }
  bool ReaderRunning() const { return m_bReaderRunning.load(); }
  const CFrameQueue& Queue() const { return m_queue; }

 private:
  // The frame buffer, allocated on first use; null if that failed.
  std::uint8_t* FrameBuffer();
  bool ReceiveDirect(std::uint8_t* buffer, std::size_t capacity, std::size_t* length, std::uint32_t timeoutMs);
  void ReaderThreadProc();
  void StopReaderLocked();
  bool CloseLocked();

  std::atomic<int> m_nState{CHANNEL_CLOSED};
  std::unique_ptr<std::thread> m_pReader;
  std::atomic<bool> m_bReaderRunning{false};
  std::atomic<int> m_nStopRequest{0};
  std::mutex m_lock;
  std::unique_ptr<INetPort> m_pPort;
  CFrameQueue m_queue;
  std::unique_ptr<std::uint8_t[]> m_pFrameBuffer;

  // The reader tells StopReader that it has left its loop.
  std::mutex m_readerDoneLock;
  std::condition_variable m_readerDoneChanged;
  bool m_bReaderDone = false;
};

}  // namespace orvane
