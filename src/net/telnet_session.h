#pragma once
// A small telnet client for the router's shell: it connects, announces a
// fixed set of options once, lets a receiver thread collect everything the
// router sends, and offers a command step that sends a line, waits a fixed
// time, cuts what has arrived into lines and looks for a marker (a prompt).
// Telnet commands from the router are neither interpreted nor answered; the
// received bytes are taken as text.
//
// Threads: the caller's and the receiver. They share only the receive
// buffer, under its lock; the lines are the caller's. Disconnect, a new
// Connect and destruction end the receiver through the port's abort and wait
// for it, so exactly one receiver runs per connection and none outlives the
// session.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/net_port.h"
#include "net/network_profile.h"
#include "net/telnet_text.h"

namespace orvane {

// Telnet commands (RFC 854) and the options the session announces.
inline constexpr std::uint8_t TELNET_IAC = 0xFF;
inline constexpr std::uint8_t TELNET_WILL = 0xFB;
inline constexpr std::uint8_t TELNET_WONT = 0xFC;
inline constexpr std::uint8_t TELNET_DO = 0xFD;
inline constexpr std::uint8_t TELOPT_ECHO = 0x01;                 // RFC 857
inline constexpr std::uint8_t TELOPT_SUPPRESS_GO_AHEAD = 0x03;    // RFC 858
inline constexpr std::uint8_t TELOPT_REMOTE_FLOW_CONTROL = 0x21;  // RFC 1372

inline constexpr std::uint32_t kTelnetOptionTimeoutMs = 100;
inline constexpr std::uint32_t kTelnetCommandSendTimeoutMs = 1000;
inline constexpr std::uint32_t kTelnetMinReadWaitMs = 500;  // ReadLines never waits less
inline constexpr std::size_t kTelnetMaxReplyBytes = 2045;   // looked at per ReadLines; the rest is lost
inline constexpr std::size_t kTelnetReceiveChunk = 1460;    // one receive of the receiver thread
inline constexpr std::size_t kTelnetInitialCapacity = 16;

class CTelnetSession {
 public:
  // Takes the shell's port and the interface to keep to from the profile.
  explicit CTelnetSession(const NetworkProfile& profile = NetworkProfile{});
  ~CTelnetSession();
  CTelnetSession(const CTelnetSession&) = delete;
  CTelnetSession& operator=(const CTelnetSession&) = delete;

  // Connects to the router's shell (dotted-decimal host), starts the
  // receiver and announces WILL ECHO, WONT REMOTE-FLOW-CONTROL, DO ECHO and
  // DO SUPPRESS-GO-AHEAD. A session still connected is ended first, and
  // what it had received is dropped.
  bool Connect(const std::string& host);
  bool SendOption(std::uint8_t command, std::uint8_t option);
  // The bytes of 8-bit `text` as they stand (the caller adds "\r\n").
  bool SendText(std::string_view text, std::uint32_t timeoutMs);
  // Waits max(waitMs, 500) ms, takes everything received so far (at most
  // 2045 bytes of it are looked at) and cuts it into Lines(). True when
  // there is at least one line.
  bool ReadLines(std::uint32_t waitMs);
  // Which of Lines() are pieces: the last one when the reply ran past the
  // bytes looked at inside a line (the CR LF that SplitReplyLines adds is
  // then no line end of the router's); the first one when an earlier reply
  // was cut inside a line, so that this one starts with the rest of it.
  ReplyPieces Pieces() const { return m_pieces; }
  int FindLine(std::string_view marker) const { return orvane::FindMarkerLine(m_lines, marker); }
  // SendText (1000 ms), ReadLines (waitMs), FindLine (marker): true only if
  // all three succeed. The lines stay for the caller to read.
  bool Command(std::string_view text, std::string_view marker, std::uint32_t waitMs);
  // Empties the lines, ends the receiver and closes the port; the result of
  // closing.
  bool Disconnect();

  const std::vector<std::string>& Lines() const { return m_lines; }
  std::size_t ReceiveCapacity() const;
  const CTcpPort& Port() const { return m_port; }

 private:
  void ReceiverThreadProc();
  void AppendReceived(const std::uint8_t* bytes, std::size_t n);
  void EndReceiver();

  const std::uint16_t m_nTelnetPort;
  CTcpPort m_port;
  std::vector<std::string> m_lines;
  ReplyPieces m_pieces;
  // The next reply starts inside a line: the last reply was cut, and the
  // bytes dropped with it did not end at a line end.
  bool m_bNextStartsInLine = false;

  mutable std::mutex m_receiveLock;
  std::unique_ptr<std::uint8_t[]> m_pReceive;
  std::size_t m_nReceiveCapacity = kTelnetInitialCapacity;
  std::size_t m_nReceiveLength = 0;
  // Since the last ReadLines: bytes were dropped, and the last two of them
  // (the received byte before the last dropped one, and that one).
  bool m_bDropped = false;
  std::uint8_t m_droppedEnd[2] = {0, 0};
  std::uint8_t m_lastReceived = 0;  // the last byte received, kept or dropped

  std::thread m_receiver;
  std::atomic<bool> m_bStopReceiver{false};
};

}  // namespace orvane
