#include "net/net_port.h"

#include "net/address.h"
#include "platform/clock.h"

namespace orvane {

using platform::IoResult;
using platform::IoStatus;
using platform::kInvalidSocket;
using platform::SocketHandle;

// --- INetPort -----------------------------------------------------------

INetPort::~INetPort() { INetPort::Close(); }

bool INetPort::IsOpen() const {
  std::lock_guard<std::mutex> guard(m_socketLock);
  return m_socket != kInvalidSocket;
}

SocketHandle INetPort::Handle() const {
  std::lock_guard<std::mutex> guard(m_socketLock);
  return m_socket;
}

SocketHandle INetPort::Borrow() {
  std::lock_guard<std::mutex> guard(m_socketLock);
  if (m_socket == kInvalidSocket) return kInvalidSocket;
  ++m_nBorrowers;
  return m_socket;
}

void INetPort::GiveBack() {
  std::lock_guard<std::mutex> guard(m_socketLock);
  if (--m_nBorrowers == 0) m_returned.notify_all();
}

std::uint64_t INetPort::Generation() const {
  std::lock_guard<std::mutex> guard(m_socketLock);
  return m_nGeneration;
}

bool INetPort::Install(SocketHandle fresh, std::uint64_t generation) {
  std::lock_guard<std::mutex> guard(m_socketLock);
  if (generation != m_nGeneration || m_socket != kInvalidSocket) return false;
  m_socket = fresh;
  return true;
}

bool INetPort::CloseLocked(std::unique_lock<std::mutex>& lock, bool countAsOwner) {
  if (countAsOwner) ++m_nGeneration;
  if (m_socket == kInvalidSocket) return true;
  const SocketHandle handle = m_socket;
  // No new borrower gets the handle from here on; the present ones are
  // woken and awaited, so the handle is not closed (and perhaps reused by
  // the system) under an operation that still uses it.
  m_socket = kInvalidSocket;
  if (m_nBorrowers > 0) {
    platform::ShutdownSocket(handle);
    m_returned.wait(lock, [this] { return m_nBorrowers == 0; });
  }
  std::uint32_t error = 0;
  if (!platform::CloseSocket(handle, &error)) {
    m_nLastError = error;
    if (m_socket == kInvalidSocket) m_socket = handle;
    return false;
  }
  return true;
}

bool INetPort::Close() {
  std::unique_lock<std::mutex> lock(m_socketLock);
  return CloseLocked(lock, true);
}

bool INetPort::Retire(SocketHandle expected) {
  std::unique_lock<std::mutex> lock(m_socketLock);
  if (m_socket != expected || expected == kInvalidSocket) return false;
  CloseLocked(lock, false);
  return true;
}

bool INetPort::SetAddress(const std::string& host, std::uint16_t port) {
  Ipv4Address address;
  if (!ParseIpv4(host, &address)) return false;
  m_addr.address = address;
  m_addr.port = port;
  return true;
}

// --- CTcpPort -------------------------------------------------------------

CTcpPort::~CTcpPort() { INetPort::Close(); }

void CTcpPort::Abort() { m_abort.Set(); }

void CTcpPort::Pause(std::uint32_t ms) {
  // A pause is a wait like any other: an abort ends it and is used up, so
  // that a later pause is not cut short by it again (a reader facing a
  // closed peer would otherwise spin).
  if (m_abort.WaitFor(ms)) m_abort.Reset();
}

bool CTcpPort::Connect(const platform::AbortEvent* abort, std::uint64_t generation) {
  std::uint32_t error = 0;
  const SocketHandle fresh = platform::OpenStreamSocket(&error);
  if (fresh == kInvalidSocket) {
    m_nLastError = error;
    return false;
  }
  // No socket buffers: the framed channel reads one byte per call, and a
  // send is done when the peer has taken it. The system may keep a minimum.
  platform::SetBufferSizes(fresh, 0, 0);
  std::uint32_t ignored = 0;
  if (!platform::BindToInterface(fresh, m_binding, &error)) {
    m_nLastError = error;
    platform::CloseSocket(fresh, &ignored);
    return false;
  }
  if (!platform::ConnectStream(fresh, m_addr, abort, &error)) {
    m_nLastError = error;
    platform::CloseSocket(fresh, &ignored);
    return false;
  }
  if (!Install(fresh, generation)) {
    platform::CloseSocket(fresh, &ignored);
    return false;
  }
  return true;
}

bool CTcpPort::Open() {
  Close();
  return Connect(nullptr, Generation());
}

void CTcpPort::Reconnect(SocketHandle seen, bool abortable) {
  const std::uint64_t generation = Generation();
  if (!Retire(seen)) return;  // another thread has reconnected already
  // A reconnect on the receiving side gives way to Abort(), so that a
  // reader being stopped is never held up by a connect.
  Connect(abortable ? &m_abort : nullptr, generation);
}

bool CTcpPort::Send(const std::uint8_t* data, std::size_t length, std::uint32_t timeoutMs) {
  if (!IsOpen()) return false;
  std::size_t position = 0;
  while (position < length) {
    const SocketHandle socket = Borrow();
    if (socket == kInvalidSocket) return false;
    const IoResult result = platform::StreamSend(socket, data + position, length - position, timeoutMs);
    GiveBack();
    switch (result.status) {
      case IoStatus::kDone:
        position += result.bytes;
        continue;
      case IoStatus::kTimedOut:
      case IoStatus::kAborted:
        m_nLastError = platform::kErrPending;
        return false;
      case IoStatus::kFailed:
        m_nLastError = result.error;
        if (platform::IsConnectionLost(result.error)) {
          Reconnect(socket, false);
          platform::Sleep(kErrorPauseMs);
        }
        return false;
    }
  }
  m_nLastError = 0;
  return true;
}

bool CTcpPort::Receive(std::uint8_t* buffer, std::size_t capacity, std::size_t* received, std::uint32_t timeoutMs) {
  *received = 0;
  if (!m_abort.Valid()) {
    Pause(kErrorPauseMs);
    return false;
  }
  const SocketHandle socket = Borrow();
  if (socket == kInvalidSocket) {
    Pause(kErrorPauseMs);
    return false;
  }
  const IoResult result = platform::StreamReceive(socket, buffer, capacity, timeoutMs, &m_abort);
  GiveBack();
  switch (result.status) {
    case IoStatus::kDone:
      if (result.bytes == 0) {  // the peer closed the connection
        Pause(kPeerClosedPauseMs);
        return false;
      }
      m_nLastError = 0;
      *received = result.bytes;
      return true;
    case IoStatus::kAborted:
      m_nLastError = NETPORT_ERR_ABORTED;
      m_abort.Reset();
      Pause(kErrorPauseMs);
      return false;
    case IoStatus::kTimedOut:
      m_nLastError = NETPORT_ERR_TIMEOUT;
      Pause(kErrorPauseMs);
      return false;
    case IoStatus::kFailed:
      m_nLastError = result.error;
      if (platform::IsConnectionLost(result.error)) Reconnect(socket, true);
      Pause(kErrorPauseMs);
      return false;
  }
  return false;
}

// --- CUdpPort ---------------------------------------------------------------

CUdpPort::~CUdpPort() { INetPort::Close(); }

bool CUdpPort::Open() {
  Close();
  const std::uint64_t generation = Generation();
  std::uint32_t error = 0;
  const SocketHandle fresh = platform::OpenDatagramSocket(&error);
  if (fresh == kInvalidSocket) {
    m_nLastError = error;
    return false;
  }
  std::uint32_t ignored = 0;
  if (!platform::BindToInterface(fresh, m_binding, &error)) {
    m_nLastError = error;
    platform::CloseSocket(fresh, &ignored);
    return false;
  }
  if (m_addr.address[3] == 255 && !platform::EnableBroadcast(fresh, &error)) {
    m_nLastError = error;
    platform::CloseSocket(fresh, &ignored);
    return false;
  }
  if (!Install(fresh, generation)) {
    platform::CloseSocket(fresh, &ignored);
    return false;
  }
  return true;
}

bool CUdpPort::Send(const std::uint8_t* data, std::size_t length, std::uint32_t timeoutMs) {
  const SocketHandle socket = Borrow();
  if (socket == kInvalidSocket) return false;
  const IoResult result = platform::DatagramSend(socket, data, length, m_addr, timeoutMs);
  GiveBack();
  switch (result.status) {
    case IoStatus::kDone:
      m_nLastError = 0;
      return result.bytes == length;
    case IoStatus::kTimedOut:
    case IoStatus::kAborted:
      m_nLastError = platform::kErrPending;
      return false;
    case IoStatus::kFailed:
      m_nLastError = result.error;
      return false;
  }
  return false;
}

bool CUdpPort::Receive(std::uint8_t* buffer, std::size_t capacity, std::size_t* received, std::uint32_t timeoutMs) {
  *received = 0;
  const SocketHandle socket = Borrow();
  if (socket == kInvalidSocket) return false;
  const IoResult result = platform::DatagramReceive(socket, buffer, capacity, timeoutMs, nullptr);
  GiveBack();
  switch (result.status) {
    case IoStatus::kDone:
      m_nLastError = 0;
      *received = result.bytes;
      return result.bytes > 0;
    case IoStatus::kTimedOut:
    case IoStatus::kAborted:
      m_nLastError = platform::kErrPending;
      return false;
    case IoStatus::kFailed:
      m_nLastError = result.error;
      return false;
  }
  return false;
}

}  // namespace orvane
