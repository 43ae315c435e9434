// Sockets on POSIX systems: blocking-free sends and receives (MSG_DONTWAIT)
// behind poll(). A receive that poll() lets go copies only what is there at
// that moment, so nothing can reach the caller's buffer after the call.
// The abort event is a self-pipe whose read end is readable while it is set.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/clock.h"
#include "platform/socket.h"

namespace orvane::platform {

const std::uint32_t kErrConnectionReset = ECONNRESET;
const std::uint32_t kErrPending = EINPROGRESS;
const std::uint32_t kErrInterrupted = EINTR;
const std::uint32_t kErrMessageTooLong = EMSGSIZE;
const std::uint32_t kErrNotPermitted = EPERM;

bool IsConnectionLost(std::uint32_t error) {
  return error == static_cast<std::uint32_t>(ECONNABORTED) || error == static_cast<std::uint32_t>(ECONNRESET) ||
         error == static_cast<std::uint32_t>(EPIPE);
}

bool SocketStartup(std::uint32_t* error) {
  if (error) *error = 0;
  return true;
}

void SocketCleanup() {}

// --- AbortEvent ---------------------------------------------------------

struct AbortEvent::Impl {
  int readFd = -1;
  int writeFd = -1;
  mutable std::mutex lock;  // keeps `set` and the pipe's one byte in step
  bool set = false;
};

const AbortEvent::Impl* AbortImpl(const AbortEvent* event) { return event ? event->m_impl.get() : nullptr; }

AbortEvent::AbortEvent() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    m_impl = std::make_unique<Impl>();
    m_impl->readFd = fds[0];
    m_impl->writeFd = fds[1];
  }
}

AbortEvent::~AbortEvent() {
  if (m_impl) {
    close(m_impl->readFd);
    close(m_impl->writeFd);
  }
}

bool AbortEvent::Valid() const { return m_impl != nullptr; }

void AbortEvent::Set() {
  if (!m_impl) return;
  std::lock_guard<std::mutex> guard(m_impl->lock);
  if (m_impl->set) return;
  const std::uint8_t one = 1;
  if (write(m_impl->writeFd, &one, 1) == 1) m_impl->set = true;
}

void AbortEvent::Reset() {
  if (!m_impl) return;
  std::lock_guard<std::mutex> guard(m_impl->lock);
  std::uint8_t drain[16];
  while (read(m_impl->readFd, drain, sizeof drain) > 0) {
  }
  m_impl->set = false;
}

bool AbortEvent::IsSet() const {
  if (!m_impl) return false;
  std::lock_guard<std::mutex> guard(m_impl->lock);
  return m_impl->set;
}

namespace {

using Steady = std::chrono::steady_clock;

// A wait's real-time deadline, from a system-time time-out.
class Deadline {
 public:
  explicit Deadline(std::uint32_t timeoutMs) : m_infinite(timeoutMs == kInfinite) {
    if (!m_infinite) m_end = Steady::now() + std::chrono::milliseconds(ToRealMs(timeoutMs));
  }
  // Milliseconds left for poll(): -1 without limit, 0 once passed.
  int PollMs() const {
    if (m_infinite) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_end - Steady::now()).count();
    if (left <= 0) return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
  }

 private:
  bool m_infinite;
  Steady::time_point m_end{};
};

std::uint32_t LastErrno() { return static_cast<std::uint32_t>(errno); }

int Fd(SocketHandle socket) { return static_cast<int>(socket); }

sockaddr_in ToSockaddr(const Ipv4Endpoint& endpoint) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(endpoint.port);
  std::memcpy(&sa.sin_addr, endpoint.address.data(), 4);
  return sa;
}

Ipv4Endpoint FromSockaddr(const sockaddr_in& sa) {
  Ipv4Endpoint endpoint;
  std::memcpy(endpoint.address.data(), &sa.sin_addr, 4);
  endpoint.port = ntohs(sa.sin_port);
  return endpoint;
}

enum class Ready { kSocket, kAbort, kTimedOut, kFailed };

// Waits until the socket shows `events` (or an error or hang-up), the abort
// event is set, or the deadline passes.
Ready WaitReady(int fd, short events, const Deadline& deadline, const AbortEvent* abort, std::uint32_t* error) {
  const AbortEvent::Impl* abortImpl = AbortImpl(abort);
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {abortImpl ? abortImpl->readFd : -1, POLLIN, 0}};
    const int n = poll(fds, abortImpl ? 2 : 1, deadline.PollMs());
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = LastErrno();
      return Ready::kFailed;
    }
    if (abortImpl && (fds[1].revents & POLLIN)) return Ready::kAbort;
    if (fds[0].revents & POLLNVAL) {
      *error = EBADF;
      return Ready::kFailed;
    }
    if (fds[0].revents != 0) return Ready::kSocket;
    if (n == 0 && deadline.PollMs() == 0) return Ready::kTimedOut;
  }
}

IoResult Failed(std::uint32_t error) { return IoResult{IoStatus::kFailed, 0, error}; }

bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

// The address a socket is bound to; left as it was when the system cannot
// tell.
void ReadBoundEndpoint(SocketHandle socket, Ipv4Endpoint* local) {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&sa), &length) == 0) *local = FromSockaddr(sa);
}

}  // namespace

bool AbortEvent::WaitFor(std::uint32_t ms) const {
  if (!m_impl) {
    Sleep(ms);
    return false;
  }
  const Deadline deadline(ms);
  for (;;) {
    pollfd fd = {m_impl->readFd, POLLIN, 0};
    const int n = poll(&fd, 1, deadline.PollMs());
    if (n > 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || deadline.PollMs() == 0) return IsSet();
  }
}

// --- Creating, connecting, closing -----------------------------------------

SocketHandle OpenStreamSocket(std::uint32_t* error) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = LastErrno();
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(fd);
}

SocketHandle OpenDatagramSocket(std::uint32_t* error) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) {
    *error = LastErrno();
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(fd);
}

bool SetBufferSizes(SocketHandle socket, int receiveBytes, int sendBytes) {
  const bool rcv = setsockopt(Fd(socket), SOL_SOCKET, SO_RCVBUF, &receiveBytes, sizeof receiveBytes) == 0;
  const bool snd = setsockopt(Fd(socket), SOL_SOCKET, SO_SNDBUF, &sendBytes, sizeof sendBytes) == 0;
  return rcv && snd;
}

bool EnableBroadcast(SocketHandle socket, std::uint32_t* error) {
  const int on = 1;
  if (setsockopt(Fd(socket), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    *error = LastErrno();
    return false;
  }
  return true;
}

bool IsBroadcastEnabled(SocketHandle socket) {
  int value = 0;
  socklen_t length = sizeof value;
  return getsockopt(Fd(socket), SOL_SOCKET, SO_BROADCAST, &value, &length) == 0 && value != 0;
}

bool BindToInterface(SocketHandle socket, const SocketBinding& binding, std::uint32_t* error) {
  if (binding.Empty()) return true;
#if defined(SO_BINDTODEVICE)
  if (!binding.device.empty()) {
    if (setsockopt(Fd(socket), SOL_SOCKET, SO_BINDTODEVICE, binding.device.c_str(),
                   static_cast<socklen_t>(binding.device.size())) != 0) {
      *error = LastErrno();
      return false;
    }
    return true;
  }
#endif
  // No binding to a device here: the interface's address instead.
  const sockaddr_in sa = ToSockaddr(Ipv4Endpoint{binding.localAddress, 0});
  if (bind(Fd(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    *error = LastErrno();
    return false;
  }
  return true;
}

bool ConnectStream(SocketHandle socket, const Ipv4Endpoint& peer, const AbortEvent* abort, std::uint32_t* error) {
  const int fd = Fd(socket);
  const sockaddr_in sa = ToSockaddr(peer);
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    *error = LastErrno();
    return false;
  }
  bool ok = true;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno != EINPROGRESS) {
      *error = LastErrno();
      ok = false;
    } else {
      // The system's connect time-out ends a connect that gets no answer;
      // poll() then reports the socket with its error set.
      const Deadline forever(kInfinite);
      switch (WaitReady(fd, POLLOUT, forever, abort, error)) {
        case Ready::kSocket: {
          int soError = 0;
          socklen_t length = sizeof soError;
          if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0) soError = errno;
          if (soError != 0) {
            *error = static_cast<std::uint32_t>(soError);
            ok = false;
          }
          break;
        }
        case Ready::kAbort:
          *error = kErrInterrupted;
          ok = false;
          break;
        case Ready::kTimedOut:
        case Ready::kFailed:
          ok = false;
          break;
      }
    }
  }
  fcntl(fd, F_SETFL, flags);
  return ok;
}

void ShutdownSocket(SocketHandle socket) { shutdown(Fd(socket), SHUT_RDWR); }

bool CloseSocket(SocketHandle socket, std::uint32_t* error) {
  // On Linux the descriptor is released even when close() reports EINTR.
  if (close(Fd(socket)) != 0 && errno != EINTR) {
    *error = LastErrno();
    return false;
  }
  return true;
}

bool ResetAndCloseSocket(SocketHandle socket) {
  const linger lingerOff = {1, 0};
  setsockopt(Fd(socket), SOL_SOCKET, SO_LINGER, &lingerOff, sizeof lingerOff);
  std::uint32_t error = 0;
  return CloseSocket(socket, &error);
}

// --- Sending and receiving ---------------------------------------------

namespace {

// What one non-blocking call's return `n` means: done (its count), failed,
// or nothing yet (it would block, or a signal came first: wait, then call
// again).
std::optional<IoResult> Outcome(ssize_t n) {
  if (n >= 0) return IoResult{IoStatus::kDone, static_cast<std::size_t>(n), 0};
  if (errno == EINTR || WouldBlock(errno)) return std::nullopt;
  return Failed(LastErrno());
}

// Calls `attempt` (one non-blocking call, its Outcome) until it has an
// outcome, waiting for `events` on the socket between calls, within
// `timeoutMs`, and ending early when `abort` is set.
template <typename Attempt>
IoResult UntilDone(int fd, short events, std::uint32_t timeoutMs, const AbortEvent* abort, Attempt attempt) {
  const Deadline deadline(timeoutMs);
  for (;;) {
    if (const std::optional<IoResult> done = attempt()) return *done;
    std::uint32_t error = 0;
    switch (WaitReady(fd, events, deadline, abort, &error)) {
      case Ready::kSocket:
        break;  // call again: data, room, the peer's close or the error the socket holds
      case Ready::kAbort:
        return IoResult{IoStatus::kAborted, 0, 0};
      case Ready::kTimedOut:
        return IoResult{IoStatus::kTimedOut, 0, 0};
      case Ready::kFailed:
        return Failed(error);
    }
  }
}

}  // namespace

IoResult StreamSend(SocketHandle socket, const std::uint8_t* data, std::size_t length, std::uint32_t timeoutMs) {
  const int fd = Fd(socket);
  return UntilDone(fd, POLLOUT, timeoutMs, nullptr,
                   [&] { return Outcome(send(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL)); });
}

IoResult StreamReceive(SocketHandle socket, std::uint8_t* buffer, std::size_t capacity, std::uint32_t timeoutMs,
                       const AbortEvent* abort) {
  const int fd = Fd(socket);
  return UntilDone(fd, POLLIN, timeoutMs, abort, [&] { return Outcome(recv(fd, buffer, capacity, MSG_DONTWAIT)); });
}

IoResult DatagramSend(SocketHandle socket, const std::uint8_t* data, std::size_t length, const Ipv4Endpoint& peer,
                      std::uint32_t timeoutMs) {
  const int fd = Fd(socket);
  const sockaddr_in sa = ToSockaddr(peer);
  return UntilDone(fd, POLLOUT, timeoutMs, nullptr, [&] {
    return Outcome(sendto(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa),
                          sizeof sa));
  });
}

IoResult DatagramReceive(SocketHandle socket, std::uint8_t* buffer, std::size_t capacity, std::uint32_t timeoutMs,
                         Ipv4Endpoint* from) {
  const int fd = Fd(socket);
  return UntilDone(fd, POLLIN, timeoutMs, nullptr, [&]() -> std::optional<IoResult> {
    sockaddr_in sa{};
    socklen_t saLength = sizeof sa;
    // MSG_TRUNC makes recvfrom() report the datagram's full length, so an
    // oversized one is told apart from one that fitted exactly.
    const ssize_t n =
        recvfrom(fd, buffer, capacity, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&sa), &saLength);
    if (n >= 0 && static_cast<std::size_t>(n) > capacity) return Failed(kErrMessageTooLong);
    if (n >= 0 && from) *from = FromSockaddr(sa);
    return Outcome(n);
  });
}

// --- The serving side ------------------------------------------------------

SocketHandle ListenStream(const Ipv4Endpoint& local, int backlog, Ipv4Endpoint* bound, std::uint32_t* error) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = LastErrno();
    return kInvalidSocket;
  }
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in sa = ToSockaddr(local);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, backlog) != 0) {
    *error = LastErrno();
    close(fd);
    return kInvalidSocket;
  }
  const SocketHandle handle = static_cast<SocketHandle>(fd);
  if (bound) ReadBoundEndpoint(handle, bound);
  return handle;
}

SocketHandle AcceptStream(SocketHandle listener, std::uint32_t timeoutMs, Ipv4Endpoint* peer, std::uint32_t* error) {
  *error = 0;
  const Deadline deadline(timeoutMs);
  for (;;) {
    sockaddr_in sa{};
    socklen_t saLength = sizeof sa;
    const int fd = accept4(Fd(listener), reinterpret_cast<sockaddr*>(&sa), &saLength, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      const int flags = fcntl(fd, F_GETFL);
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
      if (peer) *peer = FromSockaddr(sa);
      return static_cast<SocketHandle>(fd);
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (!WouldBlock(errno)) {
      *error = LastErrno();
      return kInvalidSocket;
    }
    pollfd pfd = {Fd(listener), POLLIN, 0};
    const int n = poll(&pfd, 1, deadline.PollMs());
    if (n < 0 && errno != EINTR) {
      *error = LastErrno();
      return kInvalidSocket;
    }
    if (n == 0 && deadline.PollMs() == 0) return kInvalidSocket;
  }
}

SocketHandle BindDatagram(const Ipv4Endpoint& local, Ipv4Endpoint* bound, std::uint32_t* error) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) {
    *error = LastErrno();
    return kInvalidSocket;
  }
  const sockaddr_in sa = ToSockaddr(local);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    *error = LastErrno();
    close(fd);
    return kInvalidSocket;
  }
  const SocketHandle handle = static_cast<SocketHandle>(fd);
  if (bound) ReadBoundEndpoint(handle, bound);
  return handle;
}

}  // namespace orvane::platform
