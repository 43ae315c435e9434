#pragma once
// Network ports: one IPv4 socket with a fixed peer, whose operations never
// block longer than a caller-given time-out (system milliseconds of
// platform/clock.h; kInfinite waits without limit).
//
//   CTcpPort  a connected stream port. Its Receive can be ended at once by
//             Abort() from another thread, and it reconnects by itself when
//             the peer resets or aborts the connection.
//   CUdpPort  a datagram port; broadcast is switched on when the peer's
//             address ends in 255. It never pauses and never reconnects.
//
// Pauses that callers looping on Receive rely on (they do not pause
// themselves): 100 ms after an error, a time-out or an abort, 1500 ms after
// the peer closed the connection. A pause is a wait too: Abort() ends it
// early, and is used up by it like by a receive.
//
// LastError() after a failure: the system's socket error code (Windows
// Sockets codes or errno values, see platform/socket.h), or one of the
// NETPORT_* values.
// A send or a UDP receive that timed out leaves platform::kErrPending.
//
// Threads: one thread uses a port, except that a TCP port may receive on one
// thread while another sends, and Abort() may come from any thread. Every
// operation borrows the socket for its duration; Close() and a reconnect
// wake the borrowers and wait for them, so a socket is never closed, nor its
// handle reused, under an operation that still uses it.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/socket.h"

namespace orvane {

// The port type code the framed channel's Open takes.
inline constexpr int PORT_TCP = 2;

// LastError() values of a TCP receive that the port itself ended.
inline constexpr std::uint32_t NETPORT_ERR_ABORTED = 1;          // ended by Abort()
inline constexpr std::uint32_t NETPORT_ERR_TIMEOUT = 258;        // ended by its time-out

inline constexpr std::uint32_t kErrorPauseMs = 100;       // after an error, a time-out or an abort
inline constexpr std::uint32_t kPeerClosedPauseMs = 1500;  // after the peer closed the connection

class INetPort {
 public:
  virtual ~INetPort();
  INetPort(const INetPort&) = delete;
  INetPort& operator=(const INetPort&) = delete;

  virtual bool Send(const std::uint8_t* data, std::size_t length, std::uint32_t timeoutMs) = 0;
  // `*received` is 0 unless the receive succeeded.
  virtual bool Receive(std::uint8_t* buffer, std::size_t capacity, std::size_t* received,
                       std::uint32_t timeoutMs) = 0;
  // Closes the socket; true when there was none. On failure the handle
  // stays and LastError() tells why.
  virtual bool Close();
  // Takes a dotted-decimal IPv4 host (no names) and a port as the peer.
  // Does not touch LastError(); a refused host leaves the address as it was.
  virtual bool SetAddress(const std::string& host, std::uint16_t port);
  // The interface every socket of the port is bound to from its next Open
  // (and reconnect) on; empty: the system's routing. A socket that cannot
  // be bound is not used: Open fails with the system's code in LastError()
  // (platform::kErrNotPermitted without the privilege).
  void SetBinding(const platform::SocketBinding& binding) { m_binding = binding; }
  const platform::SocketBinding& Binding() const { return m_binding; }
  virtual bool Open() = 0;
  virtual void Abort() {}

  std::uint32_t LastError() const { return m_nLastError.load(); }
  bool IsOpen() const;
  const platform::Ipv4Endpoint& Address() const { return m_addr; }
  // The socket in use now (kInvalidSocket when closed); for inspection only.
  platform::SocketHandle Handle() const;

 protected:
  INetPort() = default;

  // Lends the socket to one operation; kInvalidSocket (and nothing to give
  // back) when the port is closed.
  platform::SocketHandle Borrow();
  void GiveBack();
  // Makes `fresh` the port's socket, unless an Open or Close of the owner
  // came in between (`generation` no longer current): then false and
  // `fresh` is the caller's to close.
  bool Install(platform::SocketHandle fresh, std::uint64_t generation);
  std::uint64_t Generation() const;
  // Closes the socket if it is still `expected`, after waking and awaiting
  // every borrower. False when another thread got there first.
  bool Retire(platform::SocketHandle expected);

  std::atomic<std::uint32_t> m_nLastError{0};
  platform::Ipv4Endpoint m_addr;
  platform::SocketBinding m_binding;

 private:
  bool CloseLocked(std::unique_lock<std::mutex>& lock, bool countAsOwner);

  mutable std::mutex m_socketLock;
  std::condition_variable m_returned;
  platform::SocketHandle m_socket = platform::kInvalidSocket;
  int m_nBorrowers = 0;
  std::uint64_t m_nGeneration = 0;  // counts the owner's Open and Close
};

class CTcpPort : public INetPort {
 public:
  CTcpPort() = default;
  ~CTcpPort() override;

  // Sends all bytes, pass by pass; the time-out applies to each pass.
  bool Send(const std::uint8_t* data, std::size_t length, std::uint32_t timeoutMs) override;
  // Receives what has arrived, up to `capacity`.
  bool Receive(std::uint8_t* buffer, std::size_t capacity, std::size_t* received,
               std::uint32_t timeoutMs) override;
  // A new stream socket without socket buffers, connected to the peer (the
  // system's own connect time-out applies). Any open socket is closed first.
  bool Open() override;
  // Ends a waiting Receive at once; with none waiting, the next Receive
  // that has to wait ends at once instead.
  void Abort() override;

 private:
  // Replaces the connection that failed under `seen` by a new one to the
  // same peer; once per failure, however many threads met it. When the new
  // connection cannot be made the port stays closed.
  void Reconnect(platform::SocketHandle seen, bool abortable);
  bool Connect(const platform::AbortEvent* abort, std::uint64_t generation);
  void Pause(std::uint32_t ms);

  platform::AbortEvent m_abort;
};

class CUdpPort : public INetPort {
 public:
  CUdpPort() = default;
  ~CUdpPort() override;

  // One datagram to the peer; true when all `length` bytes went out.
  bool Send(const std::uint8_t* data, std::size_t length, std::uint32_t timeoutMs) override;
  // One datagram from any sender; an empty one counts as a failure, and so
  // does one longer than `capacity`.
  bool Receive(std::uint8_t* buffer, std::size_t capacity, std::size_t* received,
               std::uint32_t timeoutMs) override;
  // A new datagram socket, neither bound nor connected: the system picks
  // the local port at the first send, and replies arrive there.
  bool Open() override;
};

}  // namespace orvane
