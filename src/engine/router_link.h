#pragma once
// CRouterLink: the updater's way to one router, shared by the check and the
// update run. It holds the router's identity as discovery found it (MAC and
// IPv4 address), the network profile, the framed channel to the router's
// relay port and the module command caller that speaks over it, and the
// module state the last handshake reported.
//
// Threads: used by one thread at a time (the check's or the run's); the
// channel's reader runs beside it from Connect to Disconnect.
#include <string>

#include "diag/diag_caller.h"
#include "diag/diag_log_sink.h"
#include "net/address.h"
#include "net/control_channel.h"
#include "net/framed_channel.h"
#include "net/network_profile.h"

namespace orvane {

// "00-0A-EB-13-7B-00" (upper-case, first byte first).
std::string FormatMac(const MacAddress& mac);

class CRouterLink {
 public:
  CRouterLink(NetworkProfile profile, IDiagLogSink& log);
  ~CRouterLink();
  CRouterLink(const CRouterLink&) = delete;
  CRouterLink& operator=(const CRouterLink&) = delete;

  // The router discovery found.
  void SetRouter(const MacAddress& mac, const Ipv4Address& ip);
  const MacAddress& Mac() const { return m_mac; }
  const Ipv4Address& Ip() const { return m_ip; }
  // "192.168.1.1" and "00-0A-EB-13-7B-00" (upper-case, first byte first).
  std::string AddressText() const;
  std::string MacText() const;
  const NetworkProfile& Profile() const { return m_profile; }

  // Opens the framed channel to the relay port and starts its reader.
  bool Connect();
  // Closes the channel (a second time if the first close reports failure);
  // the result of the last close.
  bool Disconnect();
  // Starts the reader when it is not running (after a router image).
  void EnsureReader();

  // The handshake; its flags are kept in ModuleState().
  DiagResult HandShake(bool leadingFlag);
  const HandShakeState& ModuleState() const { return m_module; }

  // A control packet of `type` carrying this router's address and MAC.
  ControlPacket ControlRequest(std::uint8_t type) const;

  CFramedChannel& Channel() { return m_channel; }
  const CFramedChannel& Channel() const { return m_channel; }
  CDiagCaller& Diag() { return m_diag; }
  // Where the link's users write their log lines (the download log).
  IDiagLogSink& LogSink() { return m_log; }

 private:
  NetworkProfile m_profile;
  IDiagLogSink& m_log;
  MacAddress m_mac{};
  Ipv4Address m_ip{};  // most significant byte first
  CFramedChannel m_channel;
  CDiagCaller m_diag;
  HandShakeState m_module;
};

}  // namespace orvane
