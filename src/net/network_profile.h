#pragma once
// Where the router's services are: one value that every network component
// takes its addresses and ports from. The defaults are the real router's;
// tests and demonstrations pass a loopback profile with the ports that their
// simulator picked.
#include <cstdint>
#include <string>

#include "platform/socket.h"

namespace orvane {

// The real router's fixed values.
inline constexpr const char* kDefaultBroadcastAddress = "192.168.1.255";
inline constexpr std::uint16_t DISCOVERY_PORT = 1280;  // relay (TCP) and control (UDP)
inline constexpr std::uint16_t kDefaultTelnetPort = 23;

struct NetworkProfile {
  // Where discovery is sent; dotted-decimal IPv4 text.
  std::string broadcastAddress = kDefaultBroadcastAddress;
  // The router's relay to the wireless module: the framed channel's TCP port.
  std::uint16_t relayTcpPort = DISCOVERY_PORT;
  // The router's control responder: discovery and the router update's commands.
  std::uint16_t controlUdpPort = DISCOVERY_PORT;
  // The router's shell.
  std::uint16_t telnetPort = kDefaultTelnetPort;
  // The PC's interface that every socket towards the router keeps to (one
  // lane of a station: its broadcasts and connections leave there only, and
  // its PC address is that interface's). Empty: the system's routing, as a
  // PC with one adapter on the router's LAN needs.
  platform::SocketBinding binding;

  bool operator==(const NetworkProfile&) const = default;
};

}  // namespace orvane
