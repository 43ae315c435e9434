#include "net/control_channel.h"

#include <array>

#include "diag/framing.h"
#include "platform/clock.h"
#include "platform/codepage.h"

namespace orvane {

CControlChannel::CControlChannel(const Ipv4Address& address, std::uint16_t port,
                                 const platform::SocketBinding& binding) {
  OpenPort(FormatIpv4(address), port, binding);
}

CControlChannel::CControlChannel(const std::string& host, std::uint16_t port,
                                 const platform::SocketBinding& binding) {
  OpenPort(host, port, binding);
}

void CControlChannel::OpenPort(const std::string& host, std::uint16_t port, const platform::SocketBinding& binding) {
  m_pPort = std::make_unique<CUdpPort>();
  m_pPort->SetBinding(binding);
  if (m_pPort->SetAddress(host, port) && m_pPort->Open()) {
    m_bOpened = true;
  } else {
    m_pPort.reset();
  }
}

void CControlChannel::Close() {
  if (m_pPort) {
    m_pPort->Close();
    m_pPort.reset();
  }
  m_bOpened = false;
}

bool CControlChannel::SendPacket(const std::uint8_t* packet, std::size_t length, std::uint32_t timeoutMs) {
  if (!m_bOpened || !m_pPort) return false;
  if (MaxFrameSize(length) > kControlBufferSize) return false;
  std::array<std::uint8_t, kControlBufferSize> frame;
  const std::size_t n = EncodeFrame(packet, length, frame.data(), 1);
  return m_pPort->Send(frame.data(), n, timeoutMs);
}

bool CControlChannel::ReceivePacket(std::span<std::uint8_t, kControlBufferSize> buffer, std::size_t* length,
                                    std::uint32_t timeoutMs) {
  *length = ReceiveFrame(buffer, timeoutMs).value_or(0);
  return *length > 0;
}

std::optional<std::size_t> CControlChannel::ReceiveFrame(std::span<std::uint8_t, kControlBufferSize> buffer,
                                                         std::uint32_t timeoutMs) {
  if (!m_bOpened || !m_pPort) return std::nullopt;
  std::array<std::uint8_t, kControlBufferSize> datagram;
  std::size_t received = 0;
  if (!m_pPort->Receive(datagram.data(), datagram.size(), &received, timeoutMs)) return std::nullopt;
  return DecodeFrame(datagram.data(), received, buffer.data());
}

ControlEcho CControlChannel::ExchangeEcho(std::uint32_t timeoutMs) {
  if (!m_bOpened) return ControlEcho::NotSent;
  const ControlBytes request = EncodeControlPacket(m_request);
  if (!SendPacket(request.data(), request.size(), kControlSendTimeoutMs)) return ControlEcho::NotSent;
  std::array<std::uint8_t, kControlBufferSize> buffer;
  std::size_t length = 0;
  if (!ReceivePacket(buffer, &length, timeoutMs) || length != kControlPacketSize) return ControlEcho::NoEcho;
  DecodeControlPacket(std::span<const std::uint8_t>(buffer.data(), length), &m_reply);
  return m_reply == m_request ? ControlEcho::Echoed : ControlEcho::NoEcho;
}

bool CControlChannel::SendDiscoveryRequest() {
  m_request = ControlPacket{};
  m_request.type = CTRL_DISCOVER;
  const ControlBytes request = EncodeControlPacket(m_request);
  return SendPacket(request.data(), request.size(), kControlSendTimeoutMs);
}

bool CControlChannel::NextAnnouncement(std::uint32_t start, std::uint32_t timeoutMs, ControlPacket* reply,
                                       DiscoveryNoise* noise) {
  DiscoveryNoise ignored;
  DiscoveryNoise& counts = noise != nullptr ? *noise : ignored;
  for (;;) {
    const std::uint32_t elapsed = platform::TickCount() - start;
    if (elapsed >= timeoutMs) return false;
    std::array<std::uint8_t, kControlBufferSize> buffer;
    // No datagram, or one that is no good frame (a corrupted reply, another
    // program's traffic): waited on until the time-out.
    const std::optional<std::size_t> length = ReceiveFrame(buffer, timeoutMs - elapsed);
    if (!length) continue;
    if (*length == 0) {
      ++counts.badFrame;
      continue;
    }
    const std::span<const std::uint8_t> packet(buffer.data(), *length);
    switch (CheckAnnouncement(packet)) {
      case AnnouncementCheck::kAnnouncement:
        DecodeControlPacket(packet, reply);
        return true;
      case AnnouncementCheck::kShort: ++counts.shortPacket; break;
      case AnnouncementCheck::kOtherType: ++counts.otherType; break;
      case AnnouncementCheck::kNoMac: ++counts.noMac; break;
    }
  }
}

bool CControlChannel::Discover(MacAddress* mac, Ipv4Address* ip, std::string* text) {
  if (!m_bOpened || !SendDiscoveryRequest()) return false;
  // One wait from the request on: what arrives meanwhile never extends it.
  ControlPacket reply;
  if (!NextAnnouncement(platform::TickCount(), kDiscoverReplyTimeoutMs, &reply)) return false;
  *mac = reply.mac;
  *ip = reply.ip;
  if (text) *text = platform::AnsiToUtf8(ControlText(reply));
  return true;
}

bool CControlChannel::DiscoverAll(std::vector<RouterAnnouncement>* routers, std::size_t maxRouters,
                                  DiscoveryNoise* noise) {
  routers->clear();
  if (noise != nullptr) *noise = DiscoveryNoise{};
  if (!m_bOpened || !SendDiscoveryRequest()) return false;
  const std::uint32_t start = platform::TickCount();
  ControlPacket reply;
  while (routers->size() < maxRouters && NextAnnouncement(start, kDiscoverReplyTimeoutMs, &reply, noise)) {
    bool known = false;
    for (const RouterAnnouncement& router : *routers) known = known || router.mac == reply.mac;
    if (!known) routers->push_back({reply.mac, reply.ip, platform::AnsiToUtf8(ControlText(reply))});
  }
  return true;
}

}  // namespace orvane
