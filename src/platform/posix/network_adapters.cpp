// The adapter list through getifaddrs: one entry per interface and address
// family; the IPv4 entries carry address and netmask.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/network_adapters.h"

namespace orvane::platform {
namespace {

Ipv4Bytes BytesOf(const sockaddr* address) {
  Ipv4Bytes bytes{};
  if (address != nullptr && address->sa_family == AF_INET) {
    const in_addr value = reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
    std::memcpy(bytes.data(), &value.s_addr, bytes.size());  // network order: most significant first
  }
  return bytes;
}

}  // namespace

bool ListNetworkAdapters(std::vector<NetworkAdapter>* adapters, std::string* error) {
  adapters->clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_name == nullptr) continue;
    auto found = std::find_if(adapters->begin(), adapters->end(),
                              [&](const NetworkAdapter& a) { return a.name == entry->ifa_name; });
    if (found == adapters->end()) {
      NetworkAdapter adapter;
      adapter.name = entry->ifa_name;
      adapter.up = (entry->ifa_flags & IFF_UP) != 0 && (entry->ifa_flags & IFF_RUNNING) != 0;
      adapter.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
      adapters->push_back(adapter);
      found = adapters->end() - 1;
    }
    if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
      found->ipv4.push_back({BytesOf(entry->ifa_addr), BytesOf(entry->ifa_netmask)});
    }
  }
  freeifaddrs(list);
  return true;
}

}  // namespace orvane::platform
