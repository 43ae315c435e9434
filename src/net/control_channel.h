#pragma once
// The control channel: a UDP port towards one address and port of the
// router's control responder, for discovery and for the router update's
// command packets, which the router echoes. It lives for one step: built,
// used, closed.
//
// Every operation blocks its thread for at most its time-outs; nothing is
// logged here. Every operation on a channel that did not open fails.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/address.h"
#include "net/control_packet.h"
#include "net/net_port.h"

namespace orvane {

// Send and receive buffers of the control channel.
inline constexpr std::size_t kControlBufferSize = 512;
inline constexpr std::uint32_t kControlSendTimeoutMs = 2000;
inline constexpr std::uint32_t kDiscoverReplyTimeoutMs = 1000;  // from the request to the router's answer

using MacAddress = std::array<std::uint8_t, 6>;

// One router's answer to discovery.
struct RouterAnnouncement {
  MacAddress mac{};
  Ipv4Address ip{};
  std::string text;  // the version text, UTF-8

  bool operator==(const RouterAnnouncement&) const = default;
};

// What one request-and-echo exchange came to.
enum class ControlEcho { Echoed, NotSent, NoEcho };

// The datagrams that came back to a discovery but were no usable
// announcement, by what was wrong with them: a router that answers this way
// is there, but its answer cannot be used.
struct DiscoveryNoise {
  std::size_t badFrame = 0;   // no good frame (a bad check sequence, a broken frame)
  std::size_t shortPacket = 0;
  std::size_t otherType = 0;
  std::size_t noMac = 0;      // an announcement with an all-zero MAC address

  std::size_t Total() const { return badFrame + shortPacket + otherType + noMac; }
  bool operator==(const DiscoveryNoise&) const = default;
};

// The most routers DiscoverAll keeps: more answers than that are no LAN an
// operator can sort out by the list anyway.
inline constexpr std::size_t kMaxAnnouncements = 16;

class CControlChannel {
 public:
  // Opens a UDP port to address:port; a broadcast address (ending in 255)
  // switches broadcast on. With a `binding`, the port's socket keeps to
  // that interface (a socket that cannot be bound does not open).
  CControlChannel(const Ipv4Address& address, std::uint16_t port,
                  const platform::SocketBinding& binding = platform::SocketBinding{});
  // The same from dotted-decimal text; a text that is not one does not open.
  CControlChannel(const std::string& host, std::uint16_t port,
                  const platform::SocketBinding& binding = platform::SocketBinding{});
  ~CControlChannel() { Close(); }
  CControlChannel(const CControlChannel&) = delete;
  CControlChannel& operator=(const CControlChannel&) = delete;

  bool IsOpened() const { return m_bOpened; }
  void Close();

  // Sends `length` bytes as one framed datagram (opening flag); true when
  // the whole datagram went out. A packet whose frame would not fit the
  // 512-byte buffer is refused.
  bool SendPacket(const std::uint8_t* packet, std::size_t length, std::uint32_t timeoutMs);
  // Receives one datagram and decodes it into `buffer` (the decoder writes
  // the packet and its check bytes). True when it held a good frame;
  // `*length` is the packet length, 0 on failure.
  bool ReceivePacket(std::span<std::uint8_t, kControlBufferSize> buffer, std::size_t* length,
                     std::uint32_t timeoutMs);

  // Sends Request() and expects it back unchanged within `timeoutMs`; the
  // answer is kept in Reply(). NotSent when the channel did not open or the
  // port refused the datagram (Port()->LastError() tells why); NoEcho when
  // no reply, or another one than the request, came.
  ControlEcho ExchangeEcho(std::uint32_t timeoutMs);
  // The same, true when the request was echoed.
  bool Exchange(std::uint32_t timeoutMs) { return ExchangeEcho(timeoutMs) == ControlEcho::Echoed; }

  // Broadcasts a discovery request and takes the first router that answers:
  // a whole packet of type 1 with a MAC address. Anything else (a datagram
  // that is no good frame, another packet type, no MAC) is skipped; false
  // when no router answered within 1000 ms of the request, however much
  // else arrived. `text` (may be null) receives the version text as UTF-8.
  bool Discover(MacAddress* mac, Ipv4Address* ip, std::string* text);

  // Broadcasts one discovery request and keeps every router that answers
  // within 1000 ms of it, by the same rules as Discover, each MAC once and in
  // the order of their first answer; the wait always runs to its end unless
  // `maxRouters` have answered. False when the request could not be sent.
  // `noise` (may be null) counts the datagrams passed over.
  bool DiscoverAll(std::vector<RouterAnnouncement>* routers, std::size_t maxRouters = kMaxAnnouncements,
                   DiscoveryNoise* noise = nullptr);

  ControlPacket& Request() { return m_request; }
  const ControlPacket& Reply() const { return m_reply; }
  const INetPort* Port() const { return m_pPort.get(); }

 private:
  void OpenPort(const std::string& host, std::uint16_t port, const platform::SocketBinding& binding);
  // Sends the discovery request (m_request becomes it).
  bool SendDiscoveryRequest();
  // The next router announcement that arrives before `timeoutMs` have
  // passed since `start` (a TickCount); datagrams that are no good frame or
  // no announcement are passed over (counted in `noise`, may be null).
  // False when the time is up.
  bool NextAnnouncement(std::uint32_t start, std::uint32_t timeoutMs, ControlPacket* reply,
                        DiscoveryNoise* noise = nullptr);
  // One datagram, decoded into `buffer`: the packet length, 0 for a
  // datagram that is no good frame; nothing when none came in time.
  std::optional<std::size_t> ReceiveFrame(std::span<std::uint8_t, kControlBufferSize> buffer, std::uint32_t timeoutMs);

  std::unique_ptr<CUdpPort> m_pPort;
  bool m_bOpened = false;
  ControlPacket m_request;
  ControlPacket m_reply;
};

}  // namespace orvane
