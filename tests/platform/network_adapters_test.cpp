// The adapter list as the system gives it: every machine has its loopback
// adapter, up, with 127.0.0.1/255.0.0.0.
#include "platform/network_adapters.h"

#include <gtest/gtest.h>

namespace orvane::platform {
namespace {

TEST(NetworkAdaptersTest, TheLoopbackAdapterIsListedUpWithItsAddressAndMask) {
  std::vector<NetworkAdapter> adapters;
  std::string error;
  ASSERT_TRUE(ListNetworkAdapters(&adapters, &error)) << error;
  const NetworkAdapter* loopback = nullptr;
  for (const NetworkAdapter& a : adapters) {
    if (a.loopback) loopback = &a;
    EXPECT_FALSE(a.name.empty());
  }
  ASSERT_NE(loopback, nullptr);
  EXPECT_TRUE(loopback->up);
  bool found = false;
  for (const AdapterAddress& a : loopback->ipv4) {
    found = found || (a.address == Ipv4Bytes{127, 0, 0, 1} && a.mask == Ipv4Bytes{255, 0, 0, 0});
  }
  EXPECT_TRUE(found) << loopback->name << " lacks 127.0.0.1/255.0.0.0";
}

}  // namespace
}  // namespace orvane::platform
