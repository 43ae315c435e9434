#include "engine/router_link.h"

#include <cstdio>

#include "net/net_port.h"

namespace orvane {

CRouterLink::CRouterLink(NetworkProfile profile, IDiagLogSink& log)
    : m_profile(std::move(profile)), m_log(log), m_diag(m_channel, log) {}

CRouterLink::~CRouterLink() { m_channel.Close(); }

void CRouterLink::SetRouter(const MacAddress& mac, const Ipv4Address& ip) {
  m_mac = mac;
  m_ip = ip;
}

std::string CRouterLink::AddressText() const {
  char text[20];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", m_ip[0], m_ip[1], m_ip[2], m_ip[3]);
  return text;
}

std::string FormatMac(const MacAddress& mac) {
  char text[24];
  std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

std::string CRouterLink::MacText() const { return FormatMac(m_mac); }

bool CRouterLink::Connect() {
  if (!m_channel.Open(AddressText(), m_profile.relayTcpPort, PORT_TCP, m_profile.binding)) return false;
  m_channel.StartReader();
  return true;
}

bool CRouterLink::Disconnect() {
  bool closed = m_channel.Close();
  if (!closed) closed = m_channel.Close();
  return closed;
}

void CRouterLink::EnsureReader() {
  if (!m_channel.ReaderRunning()) m_channel.StartReader();
}

DiagResult CRouterLink::HandShake(bool leadingFlag) { return m_diag.DIAG_HandShake(leadingFlag, &m_module); }

ControlPacket CRouterLink::ControlRequest(std::uint8_t type) const {
  ControlPacket packet;
  packet.type = type;
  packet.ip = m_ip;
  packet.mac = m_mac;
  return packet;
}

}  // namespace orvane
