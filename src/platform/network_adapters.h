#pragma once
// The PC's network adapters as the operating system lists them: name, up or
// down, and each IPv4 address with its mask. Read once per call; nothing is
// kept.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane::platform {

// Four bytes, most significant first (192.168.1.2 is {192, 168, 1, 2}).
using Ipv4Bytes = std::array<std::uint8_t, 4>;

struct AdapterAddress {
  Ipv4Bytes address{};
  Ipv4Bytes mask{};
};

struct NetworkAdapter {
  std::string name;  // UTF-8: the interface name, on Windows its friendly name
  bool up = false;   // administratively up and, where the system tells, with a link
  bool loopback = false;
  std::vector<AdapterAddress> ipv4;
};

// Every adapter with its IPv4 addresses (an adapter without one is listed
// too). False with the system's reason in `error` when the list cannot be
// read.
bool ListNetworkAdapters(std::vector<NetworkAdapter>* adapters, std::string* error);

}  // namespace orvane::platform
