// A station lane's interface, as the operator names it, among the PC's
// adapters.
#include "engine/station.h"

#include <gtest/gtest.h>

#include "support/text_search.h"

namespace orvane {
namespace {

using platform::NetworkAdapter;
using test::Contains;

std::vector<NetworkAdapter> Adapters() {
  return {
      {"lo", true, true, {{{127, 0, 0, 1}, {255, 0, 0, 0}}}},
      // An office network first, then the router's.
      {"eth0", true, false, {{{10, 4, 0, 7}, {255, 255, 0, 0}}, {{192, 168, 1, 20}, {255, 255, 255, 0}}}},
      {"usb1", true, false, {{{192, 168, 1, 21}, {255, 255, 255, 0}}}},
      {"usb2", true, false, {}},
      {"office", true, false, {{{192, 168, 7, 3}, {255, 255, 255, 0}}}},
  };
}

TEST(StationInterface, ALaneTakesTheInterfacesAddressOnTheBroadcastsNetwork) {
  const LaneInterface byName = FindLaneInterface("eth0", Adapters(), kDefaultBroadcastAddress);
  ASSERT_TRUE(byName.ok) << byName.error;
  EXPECT_EQ(byName.binding.device, "eth0");
  EXPECT_EQ(byName.binding.localAddress, (platform::Ipv4Bytes{192, 168, 1, 20}));

  // Named by its address (as on Windows), the interface is found and bound
  // to that address.
  const LaneInterface byAddress = FindLaneInterface("192.168.1.21", Adapters(), kDefaultBroadcastAddress);
  ASSERT_TRUE(byAddress.ok) << byAddress.error;
  EXPECT_EQ(byAddress.binding.device, "usb1");
  EXPECT_EQ(byAddress.binding.localAddress, (platform::Ipv4Bytes{192, 168, 1, 21}));

  // Another broadcast's network: eth0's other address.
  const LaneInterface office = FindLaneInterface("eth0", Adapters(), "10.4.255.255");
  ASSERT_TRUE(office.ok) << office.error;
  EXPECT_EQ(office.binding.localAddress, (platform::Ipv4Bytes{10, 4, 0, 7}));
}

TEST(StationInterface, AnInterfaceThatCannotServeSaysWhy) {
  const LaneInterface none = FindLaneInterface("usb9", Adapters(), kDefaultBroadcastAddress);
  EXPECT_FALSE(none.ok);
  EXPECT_EQ(none.error, "no interface \"usb9\" (there are: lo, eth0, usb1, usb2, office)");
  for (const char* name : {"usb2", "office", "lo"}) {
    const LaneInterface off = FindLaneInterface(name, Adapters(), kDefaultBroadcastAddress);
    EXPECT_FALSE(off.ok) << name;
    EXPECT_TRUE(Contains(off.error, std::string("\"") + name + "\" has no IPv4 address on the network of 192.168.1.255"))
        << off.error;
    EXPECT_TRUE(off.binding.Empty()) << name;
  }
  // An address of eth0 that is not on the broadcast's network does not
  // stand for its other one.
  EXPECT_FALSE(FindLaneInterface("10.4.0.7", Adapters(), kDefaultBroadcastAddress).ok);
  EXPECT_FALSE(FindLaneInterface("eth0", Adapters(), "not an address").ok);
}

}  // namespace
}  // namespace orvane
