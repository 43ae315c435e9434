#include "net/telnet_session.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "net/telnet_text.h"
#include "platform/clock.h"

namespace orvane {

CTelnetSession::CTelnetSession(const NetworkProfile& profile)
    : m_nTelnetPort(profile.telnetPort), m_pReceive(new std::uint8_t[kTelnetInitialCapacity]) {
  m_port.SetBinding(profile.binding);
}

CTelnetSession::~CTelnetSession() { Disconnect(); }

bool CTelnetSession::Connect(const std::string& host) {
  // A session still connected (a failed login without Disconnect): its
  // receiver is ended before another starts on the port.
  EndReceiver();
  if (!m_port.SetAddress(host, m_nTelnetPort)) return false;
  if (!m_port.Open()) return false;
  {
    std::lock_guard<std::mutex> guard(m_receiveLock);
    m_nReceiveLength = 0;
    m_bDropped = false;
  }
  m_pieces = {};
  m_bNextStartsInLine = false;
  try {
    m_receiver = std::thread([this] { ReceiverThreadProc(); });
  } catch (...) {
    // Without a receiver nothing arrives; the caller's ReadLines finds no
    // prompt and the login fails there.
  }
  SendOption(TELNET_WILL, TELOPT_ECHO);
  SendOption(TELNET_WONT, TELOPT_REMOTE_FLOW_CONTROL);
  SendOption(TELNET_DO, TELOPT_ECHO);
  SendOption(TELNET_DO, TELOPT_SUPPRESS_GO_AHEAD);
  return true;
}

bool CTelnetSession::SendOption(std::uint8_t command, std::uint8_t option) {
  const std::uint8_t bytes[3] = {TELNET_IAC, command, option};
  return m_port.Send(bytes, sizeof bytes, kTelnetOptionTimeoutMs);
}

bool CTelnetSession::SendText(std::string_view text, std::uint32_t timeoutMs) {
  return m_port.Send(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), timeoutMs);
}

bool CTelnetSession::ReadLines(std::uint32_t waitMs) {
  m_lines.clear();
  platform::Sleep(std::max(waitMs, kTelnetMinReadWaitMs));
  std::uint8_t text[kTelnetMaxReplyBytes];
  std::size_t n = 0;
  bool dropped = false;
  bool droppedInLine = false;
  {
    std::lock_guard<std::mutex> guard(m_receiveLock);
    n = std::min(m_nReceiveLength, kTelnetMaxReplyBytes);
    std::memcpy(text, m_pReceive.get(), n);
    m_nReceiveLength = 0;  // all of it is consumed, also what is not looked at
    dropped = m_bDropped;
    droppedInLine = !(m_droppedEnd[0] == '\r' && m_droppedEnd[1] == '\n');
    m_bDropped = false;
  }
  const bool endsLine = n >= 2 && text[n - 2] == '\r' && text[n - 1] == '\n';
  m_pieces = {m_bNextStartsInLine, dropped && !endsLine};
  m_bNextStartsInLine = dropped && droppedInLine;
  m_lines = SplitReplyLines(std::span<const std::uint8_t>(text, n));
  return !m_lines.empty();
}

bool CTelnetSession::Command(std::string_view text, std::string_view marker, std::uint32_t waitMs) {
  if (!SendText(text, kTelnetCommandSendTimeoutMs)) return false;
  if (!ReadLines(waitMs)) return false;
  return FindLine(marker) >= 0;
}

bool CTelnetSession::Disconnect() {
  m_lines.clear();
  EndReceiver();
  return m_port.Close();
}

std::size_t CTelnetSession::ReceiveCapacity() const {
  std::lock_guard<std::mutex> guard(m_receiveLock);
  return m_nReceiveCapacity;
}

void CTelnetSession::EndReceiver() {
  if (!m_receiver.joinable()) return;
  // Every wait of the receiver (its receive, the port's pauses, a
  // reconnect) gives way to the abort, so the join is prompt.
  m_bStopReceiver = true;
  m_port.Abort();
  m_receiver.join();
  m_bStopReceiver = false;
}

void CTelnetSession::ReceiverThreadProc() {
  std::uint8_t chunk[kTelnetReceiveChunk];
  while (!m_bStopReceiver && m_port.IsOpen()) {
    std::size_t n = 0;
    // No pause of its own: the port pauses after errors and the peer's close.
    if (m_port.Receive(chunk, sizeof chunk, &n, platform::kInfinite) && n > 0) AppendReceived(chunk, n);
  }
}

void CTelnetSession::AppendReceived(const std::uint8_t* bytes, std::size_t n) {
  std::lock_guard<std::mutex> guard(m_receiveLock);
  // ReadLines looks at the first kTelnetMaxReplyBytes and drops the rest, so
  // the rest is dropped here already: a peer that sends without end cannot
  // make the buffer grow without end. What is dropped is remembered, so
  // that the lines it cuts are known as pieces.
  const std::size_t room = kTelnetMaxReplyBytes - std::min(m_nReceiveLength, kTelnetMaxReplyBytes);
  const std::uint8_t before = n >= 2 ? bytes[n - 2] : m_lastReceived;
  m_lastReceived = bytes[n - 1];
  if (n > room) {
    m_bDropped = true;
    m_droppedEnd[0] = before;
    m_droppedEnd[1] = bytes[n - 1];
    n = room;
  }
  if (n == 0) return;
  const std::size_t capacity = GrowReceiveCapacity(m_nReceiveCapacity, m_nReceiveLength, n);
  if (capacity != m_nReceiveCapacity) {
    std::unique_ptr<std::uint8_t[]> grown(new (std::nothrow) std::uint8_t[capacity]);
    if (!grown) return;  // the bytes are dropped; the receiver goes on
    std::memcpy(grown.get(), m_pReceive.get(), m_nReceiveLength);
    m_pReceive = std::move(grown);
    m_nReceiveCapacity = capacity;
  }
  std::memcpy(m_pReceive.get() + m_nReceiveLength, bytes, n);
  m_nReceiveLength += n;
}

}  // namespace orvane
