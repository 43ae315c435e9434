#pragma once
// IPv4 TCP and UDP sockets with per-call time-outs.
//
// The network ports (net/net_port.h) build their behaviour on these calls:
// results, pauses, reconnects and last-error values live there; this layer
// only hides the operating system's socket interface.
//
// Contract of every send and receive here:
//   * it waits at most its time-out (system milliseconds of platform/clock.h,
//     so the time scale applies; kInfinite waits without limit);
//   * when it returns, it is finished with the caller's buffer: an operation
//     that ended by time-out or abort is cancelled and its cancellation
//     awaited before the call returns, so no byte is written there later;
//   * a stream receive can be ended at once by an AbortEvent set from another
//     thread; an abort that was set while nobody waited ends the next wait.
//
// Error codes are this platform's own: Windows Sockets codes on Windows,
// errno values elsewhere. The names below give the codes that callers react
// to; FormatErrorText-style lookups turn any of them into text.
//
// Threads: a socket may be used by two threads at once, one sending and one
// receiving. Closing a socket that another thread still uses is the caller's
// business: wake it with ShutdownSocket() and let it finish first.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orvane::platform {

// A socket handle: SOCKET on Windows, a file descriptor elsewhere.
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

// An IPv4 address and port. The address bytes are in written order
// (192.168.1.1 is {192, 168, 1, 1}); the port is a plain number.
struct Ipv4Endpoint {
  std::array<std::uint8_t, 4> address{};
  std::uint16_t port = 0;

  bool operator==(const Ipv4Endpoint&) const = default;
};

// This platform's codes for the conditions the ports and their tests tell
// apart.
extern const std::uint32_t kErrConnectionReset;    // Windows 10054, POSIX ECONNRESET
extern const std::uint32_t kErrPending;            // Windows 997, POSIX EINPROGRESS
extern const std::uint32_t kErrInterrupted;        // Windows 10004, POSIX EINTR: a connect ended by abort
extern const std::uint32_t kErrMessageTooLong;     // Windows 10040, POSIX EMSGSIZE
extern const std::uint32_t kErrNotPermitted;       // Windows 10013, POSIX EPERM: a binding refused

// True for the codes after which a stream connection is gone for good:
// aborted and reset (on POSIX also the broken pipe that a send after a reset
// reports).
bool IsConnectionLost(std::uint32_t error);

// Starts the socket library (Windows Sockets 2.2); nothing to do elsewhere.
// Each successful start is matched by one SocketCleanup().
bool SocketStartup(std::uint32_t* error);
void SocketCleanup();

// A manual-reset event that a stream receive or connect waits on beside its
// socket. Set() may be called from any thread.
class AbortEvent {
 public:
  AbortEvent();  // not set; Valid() is false when the system refused it
  ~AbortEvent();
  AbortEvent(const AbortEvent&) = delete;
  AbortEvent& operator=(const AbortEvent&) = delete;

  bool Valid() const;
  void Set();
  void Reset();
  bool IsSet() const;
  // Waits up to `ms` system milliseconds for the event; true when it is set.
  // Does not reset it. An invalid event waits the whole time.
  bool WaitFor(std::uint32_t ms) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> m_impl;
  friend const Impl* AbortImpl(const AbortEvent* event);
};

enum class IoStatus : std::uint8_t {
  kDone,      // completed; `bytes` transferred (a stream receive of 0 bytes: the peer closed)
  kTimedOut,  // the time-out passed first; nothing was transferred
  kAborted,   // the abort event was set first (stream receive only); it stays set
  kFailed,    // `error` holds the system's code
};

struct IoResult {
  IoStatus status = IoStatus::kFailed;
  std::size_t bytes = 0;
  std::uint32_t error = 0;
};

// --- Creating, connecting, closing --------------------------------------

SocketHandle OpenStreamSocket(std::uint32_t* error);
SocketHandle OpenDatagramSocket(std::uint32_t* error);

// SO_RCVBUF and SO_SNDBUF, in bytes. The system may round them up (Linux
// keeps a minimum); false when either option was refused.
bool SetBufferSizes(SocketHandle socket, int receiveBytes, int sendBytes);

// SO_BROADCAST on a datagram socket.
bool EnableBroadcast(SocketHandle socket, std::uint32_t* error);
bool IsBroadcastEnabled(SocketHandle socket);

// The network interface a socket keeps to: its traffic leaves there, and
// only what arrives there reaches it. Empty: the system's routing decides.
struct SocketBinding {
  // The interface's name. On Linux the socket is bound to it
  // (SO_BINDTODEVICE: root or CAP_NET_RAW on older kernels; refused with
  // kErrNotPermitted); elsewhere it only names the interface.
  std::string device;
  // The interface's IPv4 address, written order. Where the system has no
  // binding to a device (Windows), the socket is bound to this address
  // (port 0), so that its datagrams, broadcasts among them, leave through
  // that adapter. All zero: none.
  std::array<std::uint8_t, 4> localAddress{};

  bool Empty() const { return device.empty() && localAddress == std::array<std::uint8_t, 4>{}; }
  bool operator==(const SocketBinding&) const = default;
};

// Binds a new socket (before it connects or sends) to `binding`; true for
// an empty binding. `error` gets the system's code on failure
// (kErrNotPermitted when the system refused for lack of privilege, ENODEV /
// WSAEADDRNOTAVAIL for an interface or address that is not there).
bool BindToInterface(SocketHandle socket, const SocketBinding& binding, std::uint32_t* error);

// Connects a stream socket. Waits as long as the system's own connect
// time-out; with `abort` given, also ends (kErrInterrupted) once it is set.
// The abort event is not reset. The socket is left in blocking mode.
bool ConnectStream(SocketHandle socket, const Ipv4Endpoint& peer, const AbortEvent* abort,
                   std::uint32_t* error);

// Wakes every thread waiting on the socket (their operations end) and
// refuses further sends and receives on it. The handle stays valid.
void ShutdownSocket(SocketHandle socket);

bool CloseSocket(SocketHandle socket, std::uint32_t* error);

// Closes a connected stream socket with a reset (linger 0) instead of the
// orderly close: the peer's next operation fails with kErrConnectionReset.
bool ResetAndCloseSocket(SocketHandle socket);

// --- Sending and receiving -------------------------------------------------

// One pass of a stream send: waits up to `timeoutMs` until the socket takes
// bytes, then sends as many of `length` as it takes (at least one).
IoResult StreamSend(SocketHandle socket, const std::uint8_t* data, std::size_t length,
                    std::uint32_t timeoutMs);

// Receives up to `capacity` bytes that have arrived; waits up to `timeoutMs`
// for the first of them. With `abort` given, bytes already there are taken
// first; otherwise an abort set before or during the wait ends it.
IoResult StreamReceive(SocketHandle socket, std::uint8_t* buffer, std::size_t capacity,
                       std::uint32_t timeoutMs, const AbortEvent* abort);

// One datagram to `peer`; empty datagrams are allowed.
IoResult DatagramSend(SocketHandle socket, const std::uint8_t* data, std::size_t length,
                      const Ipv4Endpoint& peer, std::uint32_t timeoutMs);

// One datagram from any sender, who is reported in `from` (may be null). A
// datagram longer than `capacity` fails with kErrMessageTooLong.
IoResult DatagramReceive(SocketHandle socket, std::uint8_t* buffer, std::size_t capacity,
                         std::uint32_t timeoutMs, Ipv4Endpoint* from);

// --- The serving side (in-process peers of tests and tools) ---------------

// A listening stream socket bound to `local` (port 0: the system picks one);
// `bound` receives the address actually bound.
SocketHandle ListenStream(const Ipv4Endpoint& local, int backlog, Ipv4Endpoint* bound,
                          std::uint32_t* error);
// Accepts one connection, waiting up to `timeoutMs`; kInvalidSocket on
// time-out (error 0) or failure.
SocketHandle AcceptStream(SocketHandle listener, std::uint32_t timeoutMs, Ipv4Endpoint* peer,
                          std::uint32_t* error);
// A datagram socket bound to `local` (port 0: the system picks one).
SocketHandle BindDatagram(const Ipv4Endpoint& local, Ipv4Endpoint* bound, std::uint32_t* error);

}  // namespace orvane::platform
