// Sockets on Windows: Windows Sockets 2.2 with overlapped sends and receives
// on event objects. Each operation posts one overlapped call with an event of
// its own and waits for that event (and, for a stream receive, for the abort
// event). An operation that the time-out or the abort ends first is cancelled
// (CancelIoEx) and its completion awaited before the call returns, so the
// system never writes into the caller's buffer after the call; if it
// completed after all, its result is kept rather than lost.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // CancelIoEx
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>

#include "platform/clock.h"
#include "platform/socket.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace orvane::platform {

const std::uint32_t kErrConnectionReset = WSAECONNRESET;
const std::uint32_t kErrPending = WSA_IO_PENDING;
const std::uint32_t kErrInterrupted = WSAEINTR;
const std::uint32_t kErrMessageTooLong = WSAEMSGSIZE;
const std::uint32_t kErrNotPermitted = WSAEACCES;

bool IsConnectionLost(std::uint32_t error) { return error == WSAECONNABORTED || error == WSAECONNRESET; }

bool SocketStartup(std::uint32_t* error) {
  WSADATA data;
  const int rc = WSAStartup(MAKEWORD(2, 2), &data);
  if (error) *error = static_cast<std::uint32_t>(rc);
  return rc == 0;
}

void SocketCleanup() { WSACleanup(); }

// --- AbortEvent ---------------------------------------------------------

struct AbortEvent::Impl {
  WSAEVENT event = WSA_INVALID_EVENT;  // manual-reset, created not signalled
};

const AbortEvent::Impl* AbortImpl(const AbortEvent* event) { return event ? event->m_impl.get() : nullptr; }

AbortEvent::AbortEvent() {
  const WSAEVENT event = WSACreateEvent();
  if (event != WSA_INVALID_EVENT) {
    m_impl = std::make_unique<Impl>();
    m_impl->event = event;
  }
}

AbortEvent::~AbortEvent() {
  if (m_impl) WSACloseEvent(m_impl->event);
}

bool AbortEvent::Valid() const { return m_impl != nullptr; }

void AbortEvent::Set() {
  if (m_impl) WSASetEvent(m_impl->event);
}

void AbortEvent::Reset() {
  if (m_impl) WSAResetEvent(m_impl->event);
}

bool AbortEvent::IsSet() const { return m_impl && WaitForSingleObject(m_impl->event, 0) == WAIT_OBJECT_0; }

bool AbortEvent::WaitFor(std::uint32_t ms) const {
  if (!m_impl) {
    Sleep(ms);
    return false;
  }
  return WaitForSingleObject(m_impl->event, ToRealMs(ms)) == WAIT_OBJECT_0;
}

namespace {

SOCKET Sock(SocketHandle socket) { return static_cast<SOCKET>(socket); }

std::uint32_t LastWsaError() { return static_cast<std::uint32_t>(WSAGetLastError()); }

IoResult Failed(std::uint32_t error) { return IoResult{IoStatus::kFailed, 0, error}; }

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

ULONG ClampLength(std::size_t length) {
  return length > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<ULONG>(length);
}

// The event of one overlapped operation, closed on every way out.
class OperationEvent {
 public:
  OperationEvent() : m_event(WSACreateEvent()) {}
  ~OperationEvent() {
    if (m_event != WSA_INVALID_EVENT) WSACloseEvent(m_event);
  }
  OperationEvent(const OperationEvent&) = delete;
  OperationEvent& operator=(const OperationEvent&) = delete;
  bool Valid() const { return m_event != WSA_INVALID_EVENT; }
  WSAEVENT Get() const { return m_event; }

 private:
  WSAEVENT m_event;
};

// Waits for a posted operation and fetches its result. When the time-out,
// the abort event or a failed wait comes first, the operation is cancelled
// and its end awaited; if it completed before the cancel took effect, its
// result stands.
IoResult Complete(SOCKET socket, WSAOVERLAPPED* overlapped, std::uint32_t timeoutMs, const AbortEvent* abort) {
  const AbortEvent::Impl* abortImpl = AbortImpl(abort);
  WSAEVENT events[2] = {overlapped->hEvent, abortImpl ? abortImpl->event : WSA_INVALID_EVENT};
  const DWORD count = abortImpl ? 2 : 1;
  const DWORD wait = WSAWaitForMultipleEvents(count, events, FALSE, ToRealMs(timeoutMs), FALSE);
  DWORD bytes = 0;
  DWORD flags = 0;
  if (wait == WSA_WAIT_EVENT_0) {
    if (WSAGetOverlappedResult(socket, overlapped, &bytes, FALSE, &flags)) {
      return IoResult{IoStatus::kDone, bytes, 0};
    }
    return Failed(LastWsaError());
  }
  IoResult early;
  if (wait == WSA_WAIT_EVENT_0 + 1) {
    early = IoResult{IoStatus::kAborted, 0, 0};
  } else if (wait == WSA_WAIT_TIMEOUT) {
    early = IoResult{IoStatus::kTimedOut, 0, 0};
  } else {
    early = Failed(LastWsaError());
  }
  CancelIoEx(reinterpret_cast<HANDLE>(socket), overlapped);
  if (WSAGetOverlappedResult(socket, overlapped, &bytes, TRUE, &flags)) {
    return IoResult{IoStatus::kDone, bytes, 0};
  }
  return early;
}

// Posts nothing itself: judges what the posting call returned.
IoResult AfterPost(int rc, SOCKET socket, WSAOVERLAPPED* overlapped, std::uint32_t timeoutMs,
                   const AbortEvent* abort) {
  if (rc == 0) {
    // Completed at once; the overlapped result holds the count.
    DWORD bytes = 0;
    DWORD flags = 0;
    if (WSAGetOverlappedResult(socket, overlapped, &bytes, FALSE, &flags)) {
      return IoResult{IoStatus::kDone, bytes, 0};
    }
    return Failed(LastWsaError());
  }
  const std::uint32_t error = LastWsaError();
  if (error != WSA_IO_PENDING) return Failed(error);
  return Complete(socket, overlapped, timeoutMs, abort);
}

void DisableUdpConnReset(SOCKET socket) {
  // Without this a receive fails with WSAECONNRESET after a send of ours
  // met a closed port.
  BOOL off = FALSE;
  DWORD returned = 0;
  WSAIoctl(socket, SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &returned, nullptr, nullptr);
}

// The address a socket is bound to; left as it was when the system cannot
// tell.
void ReadBoundEndpoint(SocketHandle socket, Ipv4Endpoint* local) {
  sockaddr_in sa{};
  int length = sizeof sa;
  if (getsockname(Sock(socket), reinterpret_cast<sockaddr*>(&sa), &length) == 0) *local = FromSockaddr(sa);
}

}  // namespace

// --- Creating, connecting, closing -----------------------------------------

SocketHandle OpenStreamSocket(std::uint32_t* error) {
  const SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (s == INVALID_SOCKET) {
    *error = LastWsaError();
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(s);
}

SocketHandle OpenDatagramSocket(std::uint32_t* error) {
  const SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (s == INVALID_SOCKET) {
    *error = LastWsaError();
    return kInvalidSocket;
  }
  DisableUdpConnReset(s);
  return static_cast<SocketHandle>(s);
}

bool SetBufferSizes(SocketHandle socket, int receiveBytes, int sendBytes) {
  const bool rcv = setsockopt(Sock(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBytes),
                              sizeof receiveBytes) == 0;
  const bool snd = setsockopt(Sock(socket), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBytes),
                              sizeof sendBytes) == 0;
  return rcv && snd;
}

bool EnableBroadcast(SocketHandle socket, std::uint32_t* error) {
  const int on = 1;
  if (setsockopt(Sock(socket), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
    *error = LastWsaError();
    return false;
  }
  return true;
}

bool IsBroadcastEnabled(SocketHandle socket) {
  int value = 0;
  int length = sizeof value;
  return getsockopt(Sock(socket), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<char*>(&value), &length) == 0 &&
         value != 0;
}

bool BindToInterface(SocketHandle socket, const SocketBinding& binding, std::uint32_t* error) {
  if (binding.localAddress == std::array<std::uint8_t, 4>{}) return true;
  // Bound to the adapter's address, the socket's datagrams (broadcasts too)
  // and connections leave through that adapter.
  const sockaddr_in sa = ToSockaddr(Ipv4Endpoint{binding.localAddress, 0});
  if (bind(static_cast<SOCKET>(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == SOCKET_ERROR) {
    *error = LastWsaError();
    return false;
  }
  return true;
}

bool ConnectStream(SocketHandle socket, const Ipv4Endpoint& peer, const AbortEvent* abort, std::uint32_t* error) {
  const SOCKET s = Sock(socket);
  const sockaddr_in sa = ToSockaddr(peer);
  const AbortEvent::Impl* abortImpl = AbortImpl(abort);
  if (!abortImpl) {
    if (connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
      *error = LastWsaError();
      return false;
    }
    return true;
  }
  // Abortable: a non-blocking connect whose end is reported on an event.
  OperationEvent connected;
  if (!connected.Valid() || WSAEventSelect(s, connected.Get(), FD_CONNECT) != 0) {
    *error = LastWsaError();
    return false;
  }
  bool ok = true;
  if (connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    const std::uint32_t posted = LastWsaError();
    if (posted != WSAEWOULDBLOCK) {
      *error = posted;
      ok = false;
    } else {
      WSAEVENT events[2] = {connected.Get(), abortImpl->event};
      const DWORD wait = WSAWaitForMultipleEvents(2, events, FALSE, WSA_INFINITE, FALSE);
      if (wait == WSA_WAIT_EVENT_0) {
        WSANETWORKEVENTS network{};
        if (WSAEnumNetworkEvents(s, connected.Get(), &network) != 0) {
          *error = LastWsaError();
          ok = false;
        } else if (network.iErrorCode[FD_CONNECT_BIT] != 0) {
          *error = static_cast<std::uint32_t>(network.iErrorCode[FD_CONNECT_BIT]);
          ok = false;
        }
      } else if (wait == WSA_WAIT_EVENT_0 + 1) {
        *error = kErrInterrupted;
        ok = false;
      } else {
        *error = LastWsaError();
        ok = false;
      }
    }
  }
  // Back to a plain blocking socket for the overlapped operations.
  WSAEventSelect(s, nullptr, 0);
  u_long blocking = 0;
  ioctlsocket(s, FIONBIO, &blocking);
  return ok;
}

void ShutdownSocket(SocketHandle socket) {
  shutdown(Sock(socket), SD_BOTH);
  // Ends the overlapped operations that other threads wait for.
  CancelIoEx(reinterpret_cast<HANDLE>(Sock(socket)), nullptr);
}

bool CloseSocket(SocketHandle socket, std::uint32_t* error) {
  if (closesocket(Sock(socket)) != 0) {
    *error = LastWsaError();
    return false;
  }
  return true;
}

bool ResetAndCloseSocket(SocketHandle socket) {
  const linger lingerOff = {1, 0};
  setsockopt(Sock(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lingerOff), sizeof lingerOff);
  std::uint32_t error = 0;
  return CloseSocket(socket, &error);
}

// --- Sending and receiving ---------------------------------------------

IoResult StreamSend(SocketHandle socket, const std::uint8_t* data, std::size_t length, std::uint32_t timeoutMs) {
  OperationEvent event;
  if (!event.Valid()) return Failed(LastWsaError());
  WSAOVERLAPPED overlapped{};
  overlapped.hEvent = event.Get();
  WSABUF buffer{ClampLength(length), reinterpret_cast<CHAR*>(const_cast<std::uint8_t*>(data))};
  DWORD sent = 0;
  const int rc = WSASend(Sock(socket), &buffer, 1, &sent, 0, &overlapped, nullptr);
  return AfterPost(rc, Sock(socket), &overlapped, timeoutMs, nullptr);
}

IoResult StreamReceive(SocketHandle socket, std::uint8_t* buffer, std::size_t capacity, std::uint32_t timeoutMs,
                       const AbortEvent* abort) {
  OperationEvent event;
  if (!event.Valid()) return Failed(LastWsaError());
  WSAOVERLAPPED overlapped{};
  overlapped.hEvent = event.Get();
  WSABUF wsaBuffer{ClampLength(capacity), reinterpret_cast<CHAR*>(buffer)};
  DWORD received = 0;
  DWORD flags = 0;
  const int rc = WSARecv(Sock(socket), &wsaBuffer, 1, &received, &flags, &overlapped, nullptr);
  return AfterPost(rc, Sock(socket), &overlapped, timeoutMs, abort);
}

IoResult DatagramSend(SocketHandle socket, const std::uint8_t* data, std::size_t length, const Ipv4Endpoint& peer,
                      std::uint32_t timeoutMs) {
  OperationEvent event;
  if (!event.Valid()) return Failed(LastWsaError());
  WSAOVERLAPPED overlapped{};
  overlapped.hEvent = event.Get();
  const sockaddr_in sa = ToSockaddr(peer);
  WSABUF buffer{ClampLength(length), reinterpret_cast<CHAR*>(const_cast<std::uint8_t*>(data))};
  DWORD sent = 0;
  const int rc = WSASendTo(Sock(socket), &buffer, 1, &sent, 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa,
                           &overlapped, nullptr);
  return AfterPost(rc, Sock(socket), &overlapped, timeoutMs, nullptr);
}

IoResult DatagramReceive(SocketHandle socket, std::uint8_t* buffer, std::size_t capacity, std::uint32_t timeoutMs,
                         Ipv4Endpoint* from) {
  OperationEvent event;
  if (!event.Valid()) return Failed(LastWsaError());
  WSAOVERLAPPED overlapped{};
  overlapped.hEvent = event.Get();
  // The sender's address is written when the operation completes: both
  // stay alive until Complete() has seen the end of the operation.
  sockaddr_in sa{};
  INT saLength = sizeof sa;
  WSABUF wsaBuffer{ClampLength(capacity), reinterpret_cast<CHAR*>(buffer)};
  DWORD received = 0;
  DWORD flags = 0;
  const int rc = WSARecvFrom(Sock(socket), &wsaBuffer, 1, &received, &flags, reinterpret_cast<sockaddr*>(&sa),
                             &saLength, &overlapped, nullptr);
  const IoResult result = AfterPost(rc, Sock(socket), &overlapped, timeoutMs, nullptr);
  if (result.status == IoStatus::kDone && from) *from = FromSockaddr(sa);
  return result;
}

// --- The serving side ------------------------------------------------------

SocketHandle ListenStream(const Ipv4Endpoint& local, int backlog, Ipv4Endpoint* bound, std::uint32_t* error) {
  const SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (s == INVALID_SOCKET) {
    *error = LastWsaError();
    return kInvalidSocket;
  }
  const sockaddr_in sa = ToSockaddr(local);
  if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || listen(s, backlog) != 0) {
    *error = LastWsaError();
    closesocket(s);
    return kInvalidSocket;
  }
  const SocketHandle handle = static_cast<SocketHandle>(s);
  if (bound) ReadBoundEndpoint(handle, bound);
  return handle;
}

SocketHandle AcceptStream(SocketHandle listener, std::uint32_t timeoutMs, Ipv4Endpoint* peer, std::uint32_t* error) {
  *error = 0;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Sock(listener), &readable);
  const std::uint32_t realMs = ToRealMs(timeoutMs);
  timeval limit{static_cast<long>(realMs / 1000), static_cast<long>((realMs % 1000) * 1000)};
  const int n = select(0, &readable, nullptr, nullptr, timeoutMs == kInfinite ? nullptr : &limit);
  if (n == 0) return kInvalidSocket;
  if (n < 0) {
    *error = LastWsaError();
    return kInvalidSocket;
  }
  sockaddr_in sa{};
  int saLength = sizeof sa;
  const SOCKET s = accept(Sock(listener), reinterpret_cast<sockaddr*>(&sa), &saLength);
  if (s == INVALID_SOCKET) {
    *error = LastWsaError();
    return kInvalidSocket;
  }
  if (peer) *peer = FromSockaddr(sa);
  return static_cast<SocketHandle>(s);
}

SocketHandle BindDatagram(const Ipv4Endpoint& local, Ipv4Endpoint* bound, std::uint32_t* error) {
  const SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (s == INVALID_SOCKET) {
    *error = LastWsaError();
    return kInvalidSocket;
  }
  DisableUdpConnReset(s);
  const sockaddr_in sa = ToSockaddr(local);
  if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    *error = LastWsaError();
    closesocket(s);
    return kInvalidSocket;
  }
  const SocketHandle handle = static_cast<SocketHandle>(s);
  if (bound) ReadBoundEndpoint(handle, bound);
  return handle;
}

}  // namespace orvane::platform
