// The adapter list through GetAdaptersAddresses (IPv4 only): each adapter's
// friendly name, its operational state and its unicast addresses with their
// prefix lengths.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstring>
#include <vector>

#include "platform/network_adapters.h"
#include "platform/system_files.h"
#include "platform/codepage.h"

namespace orvane::platform {
namespace {

// The first buffer; the call says how much more it needs, a few times at most.
constexpr ULONG kFirstBufferBytes = 16 * 1024;
constexpr int kBufferAttempts = 3;

Ipv4Bytes MaskOf(unsigned prefixLength) {
  Ipv4Bytes mask{};
  for (unsigned bit = 0; bit < 32 && bit < prefixLength; ++bit) {
    mask[bit / 8] = static_cast<std::uint8_t>(mask[bit / 8] | (0x80u >> (bit % 8)));
  }
  return mask;
}

}  // namespace

bool ListNetworkAdapters(std::vector<NetworkAdapter>* adapters, std::string* error) {
  adapters->clear();
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  ULONG size = kFirstBufferBytes;
  std::vector<unsigned char> buffer;
  ULONG rc = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < kBufferAttempts && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.assign(size, 0);
    rc = GetAdaptersAddresses(AF_INET, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (rc == ERROR_NO_DATA) return true;
  if (rc != NO_ERROR) {
    std::string text;
    if (error) *error = SystemErrorText(rc, text) ? text : "error " + std::to_string(rc);
    return false;
  }
  for (const IP_ADAPTER_ADDRESSES* entry = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
       entry != nullptr; entry = entry->Next) {
    NetworkAdapter adapter;
    adapter.name = entry->FriendlyName != nullptr ? WideToUtf8(entry->FriendlyName) : std::string(entry->AdapterName);
    adapter.up = entry->OperStatus == IfOperStatusUp;
    adapter.loopback = entry->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = entry->FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
      const SOCKADDR* address = unicast->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != AF_INET) continue;
      AdapterAddress item;
      const in_addr value = reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
      std::memcpy(item.address.data(), &value.s_addr, item.address.size());
      item.mask = MaskOf(unicast->OnLinkPrefixLength);
      adapter.ipv4.push_back(item);
    }
    adapters->push_back(std::move(adapter));
  }
  return true;
}

}  // namespace orvane::platform
