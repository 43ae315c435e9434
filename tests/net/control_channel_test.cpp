// Control packets and the control channel against an in-test responder.
#include "net/control_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <vector>

#include "net/loopback_peer.h"
#include "platform/clock.h"
#include "support/frames.h"

namespace orvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Puts 8-bit text into the packet's text field, zero-padded.
void PutText(ControlPacket* packet, const std::string& text) {
  packet->text.fill(0);
  std::copy_n(text.begin(), std::min(text.size(), packet->text.size()), packet->text.begin());
}

TEST(ControlPacketTest, LayoutByteForByte) {
  ControlPacket packet;
  packet.type = CTRL_DISCOVER;
  packet.ip = {192, 168, 1, 1};
  packet.mac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  PutText(&packet, "2.1.0.3.7");
  const ControlBytes bytes = EncodeControlPacket(packet);
  const Bytes expected = {
      0x01,                                // type
      0xC0, 0xA8, 0x01, 0x01,              // 192.168.1.1 in written order
      0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E,  // MAC in written order
      '2', '.', '1', '.', '0', '.', '3', '.', '7', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // text, zero padded
  EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), expected);

  ControlPacket decoded;
  ASSERT_TRUE(DecodeControlPacket(bytes, &decoded));
  EXPECT_EQ(decoded, packet);
  EXPECT_EQ(ControlText(decoded), "2.1.0.3.7");
  EXPECT_FALSE(DecodeControlPacket(std::span<const std::uint8_t>(bytes.data(), 31), &decoded));
}

TEST(ControlPacketTest, AFullTextFieldHasNoZeroAndReadsAs21Characters) {
  ControlPacket packet;
  packet.text.fill('v');
  EXPECT_EQ(ControlText(packet), std::string(21, 'v'));
}

// A responder on loopback that answers each request through `reply`,
// which returns the datagrams to send back.
class Responder {
 public:
  using Script = std::function<std::vector<Bytes>(const Bytes& request)>;

  explicit Responder(Script script) : m_script(std::move(script)) {
    m_thread = std::thread([this] {
      bool got = false;
      platform::Ipv4Endpoint from;
      const Bytes request = m_peer.Receive(&from, &got, 5000);
      if (!got) return;
      m_request = request;
      for (const Bytes& datagram : m_script(request)) {
        m_peer.SendTo(datagram, from);
        platform::Sleep(20);  // keep the order of arrival
      }
    });
  }
  ~Responder() { m_thread.join(); }
  std::uint16_t Port() const { return m_peer.Port(); }
  const Bytes& Request() const { return m_request; }

 private:
  testing::UdpPeer m_peer;
  Script m_script;
  Bytes m_request;
  std::thread m_thread;
};

Bytes Datagram(const ControlPacket& packet, bool leadingFlag = true) {
  const ControlBytes bytes = EncodeControlPacket(packet);
  return test::Framed(Bytes(bytes.begin(), bytes.end()), leadingFlag);
}

ControlPacket Announcement(std::uint8_t lastMacByte, const std::string& text) {
  ControlPacket packet;
  packet.type = CTRL_DISCOVER;
  packet.ip = {127, 0, 0, 1};
  packet.mac = {0x02, 0, 0, 0, 0, lastMacByte};
  PutText(&packet, text);
  return packet;
}

class ControlChannelTest : public testing::ScaledTime {};

TEST_F(ControlChannelTest, DiscoverSkipsRepliesWithoutMacOrTooShortAndTakesTheFirstRouter) {
  Responder responder([](const Bytes&) {
    ControlPacket noMac = Announcement(0, "none");
    noMac.mac = {};
    return std::vector<Bytes>{Datagram(noMac), test::Framed({0x01, 0x7F, 0x00}, true), Datagram(Announcement(1, "first"), false),
                              Datagram(Announcement(2, "second"))};
  });
  CControlChannel channel(Ipv4Address{127, 0, 0, 1}, responder.Port());
  ASSERT_TRUE(channel.IsOpened());
  MacAddress mac{};
  Ipv4Address ip{};
  std::string text;
  ASSERT_TRUE(channel.Discover(&mac, &ip, &text));
  EXPECT_EQ(mac, (MacAddress{0x02, 0, 0, 0, 0, 1}));
  EXPECT_EQ(ip, (Ipv4Address{127, 0, 0, 1}));
  EXPECT_EQ(text, "first");

  // The request: a framed 32-byte packet of type 1, opening flag included.
  ControlPacket expected;
  expected.type = CTRL_DISCOVER;
  EXPECT_EQ(responder.Request(), Datagram(expected));
}

TEST_F(ControlChannelTest, DiscoverWithoutAnswerFailsAfterOneReplyTimeOut) {
  testing::UdpPeer silent;
  CControlChannel channel("127.0.0.1", silent.Port());
  ASSERT_TRUE(channel.IsOpened());
  MacAddress mac{};
  Ipv4Address ip{};
  const std::uint32_t start = platform::TickCount();
  EXPECT_FALSE(channel.Discover(&mac, &ip, nullptr));
  testing::ExpectDuration(ElapsedSince(start), kDiscoverReplyTimeoutMs, "discovery without answer");
}

TEST_F(ControlChannelTest, AReplyThatFailsItsCheckIsSkipped) {
  Responder responder([](const Bytes&) {
    Bytes bad = Datagram(Announcement(1, "x"));
    bad[5] ^= 0x01;
    return std::vector<Bytes>{bad, Datagram(Announcement(2, "late"))};
  });
  CControlChannel channel("127.0.0.1", responder.Port());
  MacAddress mac{};
  Ipv4Address ip{};
  std::string text;
  ASSERT_TRUE(channel.Discover(&mac, &ip, &text));
  EXPECT_EQ(text, "late");
}

TEST_F(ControlChannelTest, AStreamOfOtherDatagramsDoesNotKeepDiscoveryWaiting) {
  // A datagram every 20 ms for three times the reply wait, none a router's.
  Responder responder([](const Bytes&) {
    ControlPacket other = Announcement(1, "x");
    other.type = 7;
    return std::vector<Bytes>(3 * kDiscoverReplyTimeoutMs / 20, Datagram(other));
  });
  CControlChannel channel("127.0.0.1", responder.Port());
  MacAddress mac{};
  Ipv4Address ip{};
  const std::uint32_t start = platform::TickCount();
  EXPECT_FALSE(channel.Discover(&mac, &ip, nullptr));
  testing::ExpectDuration(ElapsedSince(start), kDiscoverReplyTimeoutMs, "discovery amid other datagrams");
}

TEST_F(ControlChannelTest, DiscoverAllKeepsEveryRouterOnceAndCountsWhatItPassedOver) {
  Responder responder([](const Bytes&) {
    ControlPacket noMac = Announcement(0, "none");
    noMac.mac = {};
    ControlPacket other = Announcement(3, "other");
    other.type = CTRL_DISCOVER + 1;
    Bytes corrupted = Datagram(Announcement(4, "corrupted"));
    corrupted[corrupted.size() - 2] ^= 0x01;  // a check byte
    return std::vector<Bytes>{Datagram(Announcement(1, "first")), Datagram(noMac), corrupted,
                              test::Framed({0x01, 0x7F, 0x00}, true), Datagram(other),
                              Datagram(Announcement(2, "second")), Datagram(noMac), Datagram(Announcement(1, "again"))};
  });
  CControlChannel channel("127.0.0.1", responder.Port());
  std::vector<RouterAnnouncement> routers;
  DiscoveryNoise noise;
  const std::uint32_t start = platform::TickCount();
  ASSERT_TRUE(channel.DiscoverAll(&routers, kMaxAnnouncements, &noise));
  testing::ExpectDuration(ElapsedSince(start), kDiscoverReplyTimeoutMs, "collecting every router");
  ASSERT_EQ(routers.size(), 2u);
  EXPECT_EQ(routers[0], (RouterAnnouncement{{0x02, 0, 0, 0, 0, 1}, {127, 0, 0, 1}, "first"}));
  EXPECT_EQ(routers[1].mac, (MacAddress{0x02, 0, 0, 0, 0, 2}));
  EXPECT_EQ(routers[1].text, "second");
  EXPECT_EQ(noise, (DiscoveryNoise{.badFrame = 1, .shortPacket = 1, .otherType = 1, .noMac = 2}));
}

TEST_F(ControlChannelTest, ExchangeWantsTheIdenticalPacketBack) {
  const auto echo = [](const Bytes& request) { return std::vector<Bytes>{request}; };
  {
    Responder responder(echo);
    CControlChannel channel("127.0.0.1", responder.Port());
    channel.Request().type = 10;
    channel.Request().ip = {127, 0, 0, 1};
    EXPECT_EQ(ControlEcho::Echoed, channel.ExchangeEcho(2000));
    EXPECT_EQ(channel.Reply(), channel.Request());
  }
  {
    Responder responder([](const Bytes& request) {
      Bytes changed = test::Unframed(request).value_or(Bytes(32, 0));
      changed[20] ^= 0x01;
      return std::vector<Bytes>{test::Framed(changed, true)};
    });
    CControlChannel channel("127.0.0.1", responder.Port());
    channel.Request().type = 6;
    EXPECT_EQ(ControlEcho::NoEcho, channel.ExchangeEcho(2000)) << "another packet is no echo";
    EXPECT_NE(channel.Reply(), channel.Request());
  }
  {
    Responder responder([](const Bytes&) { return std::vector<Bytes>{test::Framed(Bytes(31, 0), true)}; });
    CControlChannel channel("127.0.0.1", responder.Port());
    channel.Request().type = 7;
    EXPECT_EQ(ControlEcho::NoEcho, channel.ExchangeEcho(2000)) << "a short packet is no echo";
  }
}

TEST_F(ControlChannelTest, ARequestThePortRefusesIsNotSentAndLeavesItsError) {
  // No datagram can go to port 0: the system refuses the send.
  CControlChannel channel("127.0.0.1", 0);
  ASSERT_TRUE(channel.IsOpened());
  channel.Request().type = 10;
  EXPECT_EQ(ControlEcho::NotSent, channel.ExchangeEcho(100));
  ASSERT_NE(channel.Port(), nullptr);
  EXPECT_NE(0u, channel.Port()->LastError());
}

TEST_F(ControlChannelTest, AChannelOnAnUnconvertibleAddressDidNotOpen) {
  CControlChannel channel("router.local", 1280);
  EXPECT_FALSE(channel.IsOpened());
  EXPECT_EQ(channel.Port(), nullptr);
  MacAddress mac{};
  Ipv4Address ip{};
  EXPECT_FALSE(channel.Discover(&mac, &ip, nullptr));
  EXPECT_EQ(ControlEcho::NotSent, channel.ExchangeEcho(100));
  const std::uint8_t byte = 1;
  EXPECT_FALSE(channel.SendPacket(&byte, 1, 100));
}

}  // namespace
}  // namespace orvane
