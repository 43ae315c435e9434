// Discovery, the telnet login and a framed exchange against the router
// simulator, started in-process on loopback ports that the system picks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "net/control_channel.h"
#include "net/framed_channel.h"
#include "net/loopback_peer.h"
#include "net/network_profile.h"
#include "net/telnet_session.h"
#include "platform/clock.h"
#include "routersim/router_sim.h"

namespace orvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

class NetAgainstSimulatorTest : public testing::ScaledTime {
 protected:
  void SetUp() override {
    m_config.settings["app_version"] = "2.1.0.3.9";
    m_sim = std::make_unique<routersim::RouterSim>(m_config);
    std::string error;
    ASSERT_TRUE(m_sim->Start(&error)) << error;
    const routersim::Ports ports = m_sim->BoundPorts();
    m_profile.broadcastAddress = testing::kLoopback;
    m_profile.relayTcpPort = ports.relay;
    m_profile.controlUdpPort = ports.control;
    m_profile.telnetPort = ports.telnet;
  }
  void TearDown() override { m_sim->Stop(); }

  routersim::Config m_config;
  std::unique_ptr<routersim::RouterSim> m_sim;
  NetworkProfile m_profile;
};

TEST_F(NetAgainstSimulatorTest, DiscoveryFindsTheRouterAndItEchoesAProbe) {
  CControlChannel channel(m_profile.broadcastAddress, m_profile.controlUdpPort);
  ASSERT_TRUE(channel.IsOpened());
  MacAddress mac{};
  Ipv4Address ip{};
  std::string text;
  ASSERT_TRUE(channel.Discover(&mac, &ip, &text));
  EXPECT_EQ(mac, (MacAddress{m_config.mac[0], m_config.mac[1], m_config.mac[2], m_config.mac[3], m_config.mac[4],
                             m_config.mac[5]}));
  EXPECT_EQ(ip, (Ipv4Address{127, 0, 0, 1}));
  EXPECT_EQ(text, "2.1.0.3.9");

  CControlChannel probe(m_profile.broadcastAddress, m_profile.controlUdpPort);
  probe.Request().type = 10;
  probe.Request().ip = ip;
  probe.Request().mac = mac;
  EXPECT_TRUE(probe.Exchange(2000));
}

TEST_F(NetAgainstSimulatorTest, TelnetLoginAndVersionQuery) {
  CTelnetSession session(m_profile);
  ASSERT_TRUE(session.Connect("127.0.0.1"));
  ASSERT_TRUE(session.ReadLines(500));
  ASSERT_GE(session.FindLine(":"), 0);
  ASSERT_TRUE(session.Command("qmbzx\r\n", ":", 500));
  ASSERT_TRUE(session.Command("qmbzx\r\n", "#", 500));
  ASSERT_TRUE(session.Command("nvram get app_version\r\n", "#", 500));
  const auto& lines = session.Lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("2.1.0.3.9", 0) == 0;
  })) << ::testing::PrintToString(lines);
  EXPECT_TRUE(session.Disconnect());
}

TEST_F(NetAgainstSimulatorTest, WrongPasswordGetsNoShellPrompt) {
  CTelnetSession session(m_profile);
  ASSERT_TRUE(session.Connect("127.0.0.1"));
  ASSERT_TRUE(session.ReadLines(500));
  ASSERT_TRUE(session.Command("qmbzx\r\n", ":", 500));
  EXPECT_FALSE(session.Command("wrong\r\n", "#", 500));
  // A login prompt follows instead.
  EXPECT_GE(session.FindLine(":"), 0);
}

// The router trigger, built from its byte layout: 0xFF, the 29-byte text,
// the total length (32-bit little-endian), six zero bytes.
Bytes RouterTrigger(std::uint32_t totalLength) {
  Bytes packet(40, 0);
  packet[0] = 0xFF;
  const char* magic = "Kavrin RUT Begin Download Pkt";
  std::memcpy(packet.data() + 1, magic, 29);
  for (int i = 0; i < 4; ++i) packet[30 + i] = static_cast<std::uint8_t>(totalLength >> (8 * i));
  return packet;
}

TEST_F(NetAgainstSimulatorTest, RouterImageGoesRawAndTheFramedVerdictComesBack) {
  CFramedChannel channel;
  ASSERT_TRUE(channel.Open("127.0.0.1", m_profile.relayTcpPort, PORT_TCP));
  ASSERT_TRUE(channel.StartReader());

  Bytes image(20000);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
  const Bytes trigger = RouterTrigger(static_cast<std::uint32_t>(image.size()));
  ASSERT_TRUE(channel.Send(false, trigger.data(), trigger.size(), true, 2000));

  // The image goes raw with the reader stopped, which is started again for
  // the router's result packet.
  channel.StopReader();
  for (std::size_t at = 0; at < image.size(); at += 4096) {
    const std::size_t n = std::min<std::size_t>(4096, image.size() - at);
    ASSERT_TRUE(channel.Send(true, image.data() + at, n, false, 5000)) << channel.LastError();
  }
  channel.SetResponseKey(0xFF, 1);
  ASSERT_TRUE(channel.StartReader());
  std::uint8_t reply[64];
  std::size_t length = 0;
  ASSERT_TRUE(channel.Receive(reply, sizeof reply, &length, 120000));
  ASSERT_EQ(length, 40u);
  EXPECT_EQ(reply[0], 0xFF);
  const std::uint32_t code = reply[30] | reply[31] << 8 | reply[32] << 16 | static_cast<std::uint32_t>(reply[33]) << 24;
  EXPECT_EQ(code, 4u);

  ASSERT_TRUE(m_sim->WaitFor([](const routersim::Received& r) { return !r.images.empty() && r.images[0].complete; },
                             5000));
  EXPECT_EQ(m_sim->Snapshot().images[0].data, image);
  EXPECT_TRUE(channel.Close());
}

}  // namespace
}  // namespace orvane
