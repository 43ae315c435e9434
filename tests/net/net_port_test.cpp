// Network ports against in-test peers on loopback.
#include "net/net_port.h"

#include <gtest/gtest.h>

#include <thread>

#include "net/address.h"
#include "net/loopback_peer.h"
#include "platform/clock.h"

namespace orvane {
namespace {

using testing::kLoopback;
using testing::OwnedSocket;
using testing::TcpListener;

TEST(AddressTest, OnlyDottedDecimalIsAccepted) {
  Ipv4Address a{};
  EXPECT_TRUE(ParseIpv4("192.168.1.255", &a));
  EXPECT_EQ(a, (Ipv4Address{192, 168, 1, 255}));
  EXPECT_EQ(FormatIpv4(a), "192.168.1.255");
  for (const char* bad : {"router", "192.168.1", "192.168.1.256", "1.2.3.4.5", "1.2.3.4 ", " 1.2.3.4", "1..2.3",
                          "1.2.3.-4", "1.2.3.0004", "", "1.2.3.4:80"}) {
    Ipv4Address untouched{9, 9, 9, 9};
    EXPECT_FALSE(ParseIpv4(bad, &untouched)) << bad;
    EXPECT_EQ(untouched, (Ipv4Address{9, 9, 9, 9})) << bad;
  }
}

TEST(UdpPortTest, BroadcastIsSwitchedOnOnlyForAnAddressEndingIn255) {
  // Opening sends nothing: the broadcast address is safe to use here.
  CUdpPort broadcast;
  ASSERT_TRUE(broadcast.SetAddress("192.168.1.255", 1280));
  EXPECT_EQ(broadcast.Address(), (platform::Ipv4Endpoint{{192, 168, 1, 255}, 1280}));
  ASSERT_TRUE(broadcast.Open());
  EXPECT_TRUE(platform::IsBroadcastEnabled(broadcast.Handle()));

  CUdpPort unicast;
  ASSERT_TRUE(unicast.SetAddress("192.168.1.1", 1280));
  ASSERT_TRUE(unicast.Open());
  EXPECT_FALSE(platform::IsBroadcastEnabled(unicast.Handle()));

  // A refused host leaves the address as it was.
  EXPECT_FALSE(unicast.SetAddress("localhost", 99));
  EXPECT_EQ(unicast.Address(), (platform::Ipv4Endpoint{{192, 168, 1, 1}, 1280}));
}

TEST(UdpPortTest, DatagramsBothWaysAndTheEmptyOne) {
  testing::UdpPeer peer;
  ASSERT_TRUE(peer.Valid());
  CUdpPort port;
  ASSERT_TRUE(port.SetAddress(kLoopback, peer.Port()));
  ASSERT_TRUE(port.Open());

  EXPECT_TRUE(port.Send(nullptr, 0, 1000));  // an empty datagram is sent
  EXPECT_EQ(port.LastError(), 0u);
  bool got = false;
  platform::Ipv4Endpoint from;
  EXPECT_TRUE(peer.Receive(&from, &got).empty());
  EXPECT_TRUE(got);

  // The reply goes to the port the system picked at the first send.
  ASSERT_TRUE(peer.SendTo({1, 2, 3}, from));
  std::uint8_t buffer[8];
  std::size_t n = 0;
  ASSERT_TRUE(port.Receive(buffer, sizeof buffer, &n, 1000));
  EXPECT_EQ(n, 3u);

  // An empty datagram in is a failed receive; one too long for the buffer too.
  ASSERT_TRUE(peer.SendTo({}, from));
  EXPECT_FALSE(port.Receive(buffer, sizeof buffer, &n, 1000));
  EXPECT_EQ(port.LastError(), 0u);
  ASSERT_TRUE(peer.SendTo(std::vector<std::uint8_t>(9, 7), from));
  EXPECT_FALSE(port.Receive(buffer, sizeof buffer, &n, 1000));
  EXPECT_EQ(port.LastError(), platform::kErrMessageTooLong);
}

class TcpPortTest : public testing::ScaledTime {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_listener.Valid());
    ASSERT_TRUE(m_port.SetAddress(kLoopback, m_listener.Port()));
    ASSERT_TRUE(m_port.Open());
    m_peer = m_listener.Accept();
    ASSERT_TRUE(m_peer.Valid());
  }

  // Receive with `timeoutMs`, returning its duration in system ms.
  std::uint32_t TimedReceive(bool* ok, std::uint32_t timeoutMs) {
    const std::uint32_t start = platform::TickCount();
    std::size_t n = 0;
    *ok = m_port.Receive(m_buffer, sizeof m_buffer, &n, timeoutMs);
    return ElapsedSince(start);
  }

  TcpListener m_listener;
  CTcpPort m_port;
  OwnedSocket m_peer;
  std::uint8_t m_buffer[64] = {};
};

TEST_F(TcpPortTest, ReceiveTimesOutAfterItsTimeOutAndThePause) {
  bool ok = true;
  const std::uint32_t took = TimedReceive(&ok, 500);
  EXPECT_FALSE(ok);
  EXPECT_EQ(m_port.LastError(), NETPORT_ERR_TIMEOUT);
  testing::ExpectDuration(took, 500 + kErrorPauseMs, "time-out and pause");
}

TEST_F(TcpPortTest, AbortBeforeTheWaitEndsTheNextWaitOnlyOnce) {
  m_port.Abort();
  bool ok = true;
  std::uint32_t took = TimedReceive(&ok, platform::kInfinite);
  EXPECT_FALSE(ok);
  EXPECT_EQ(m_port.LastError(), NETPORT_ERR_ABORTED);
  testing::ExpectDuration(took, kErrorPauseMs, "pending abort");

  // The receive that saw it reset it: the next one waits normally.
  took = TimedReceive(&ok, 300);
  EXPECT_FALSE(ok);
  EXPECT_EQ(m_port.LastError(), NETPORT_ERR_TIMEOUT);
  testing::ExpectDuration(took, 300 + kErrorPauseMs, "after the abort");
}

TEST_F(TcpPortTest, AbortFromAnotherThreadEndsAWaitingReceive) {
  const std::uint32_t start = platform::TickCount();
  std::thread aborter([&] {
    platform::Sleep(200);
    m_port.Abort();
  });
  bool ok = true;
  TimedReceive(&ok, platform::kInfinite);
  const std::uint32_t took = ElapsedSince(start);
  aborter.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(m_port.LastError(), NETPORT_ERR_ABORTED);
  testing::ExpectDuration(took, 200 + kErrorPauseMs, "abort during the wait");
}

TEST_F(TcpPortTest, DataArrivesAndZeroLengthSendSendsNothing) {
  EXPECT_TRUE(m_port.Send(nullptr, 0, 1000));
  EXPECT_EQ(m_port.LastError(), 0u);
  const std::string text = "hello router";
  ASSERT_TRUE(m_port.Send(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), 1000));
  const auto got = m_peer.ReadBytes(text.size());
  EXPECT_EQ(std::string(got.begin(), got.end()), text);

  ASSERT_TRUE(m_peer.SendAll(std::string("ok")));
  std::size_t n = 0;
  ASSERT_TRUE(m_port.Receive(m_buffer, sizeof m_buffer, &n, 1000));
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(m_port.LastError(), 0u);
}

TEST_F(TcpPortTest, PeerCloseCostsTheLongPauseOnEveryReceive) {
  m_peer.Close();
  for (int i = 0; i < 2; ++i) {
    bool ok = true;
    const std::uint32_t took = TimedReceive(&ok, 500);
    EXPECT_FALSE(ok);
    testing::ExpectDuration(took, kPeerClosedPauseMs, "peer closed");
  }
}

TEST_F(TcpPortTest, AbortCutsThePeerClosedPauseShortOnlyOnce) {
  m_peer.Close();
  std::thread aborter([&] {
    platform::Sleep(200);
    m_port.Abort();
  });
  bool ok = true;
  std::uint32_t took = TimedReceive(&ok, 500);
  aborter.join();
  EXPECT_FALSE(ok);
  EXPECT_LT(took, kPeerClosedPauseMs);
  // The abort is used up: the next pause is whole again (a loop on Receive
  // must not spin).
  took = TimedReceive(&ok, 500);
  testing::ExpectDuration(took, kPeerClosedPauseMs, "pause after the cut-short one");
}

TEST_F(TcpPortTest, ResetDuringReceiveReconnectsForTheNextCall) {
  std::thread resetter([&] {
    platform::Sleep(100);
    m_peer.Reset();
  });
  bool ok = true;
  TimedReceive(&ok, 1000);
  resetter.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(m_port.LastError(), platform::kErrConnectionReset);

  // The port connected again by itself; the next call goes over the new connection.
  OwnedSocket again = m_listener.Accept(1000);
  ASSERT_TRUE(again.Valid());
  EXPECT_TRUE(m_port.IsOpen());
  ASSERT_TRUE(again.SendAll(std::string("second")));
  std::size_t n = 0;
  ASSERT_TRUE(m_port.Receive(m_buffer, sizeof m_buffer, &n, 1000));
  EXPECT_EQ(std::string(m_buffer, m_buffer + n), "second");
}

TEST_F(TcpPortTest, ResetDuringSendReconnectsForTheNextCall) {
  m_peer.Reset();
  platform::Sleep(50);
  const std::vector<std::uint8_t> block(256, 0x55);
  bool failed = false;
  // The first send after a reset may still be taken by the system; one of
  // the next reports the reset.
  for (int i = 0; i < 5 && !failed; ++i) failed = !m_port.Send(block.data(), block.size(), 1000);
  ASSERT_TRUE(failed);
  EXPECT_TRUE(platform::IsConnectionLost(m_port.LastError())) << m_port.LastError();

  OwnedSocket again = m_listener.Accept(1000);
  ASSERT_TRUE(again.Valid());
  ASSERT_TRUE(m_port.Send(block.data(), block.size(), 1000));
  EXPECT_EQ(again.ReadBytes(block.size()), block);
}

TEST_F(TcpPortTest, ResetWithNobodyListeningLeavesThePortClosed) {
  m_listener.Close();
  std::thread resetter([&] {
    platform::Sleep(100);
    m_peer.Reset();
  });
  bool ok = true;
  TimedReceive(&ok, 1000);
  resetter.join();
  EXPECT_FALSE(ok);
  EXPECT_FALSE(m_port.IsOpen());
  const std::uint8_t byte = 1;
  EXPECT_FALSE(m_port.Send(&byte, 1, 100));
}

TEST_F(TcpPortTest, ClosedPortFailsAndClosesTwice) {
  EXPECT_TRUE(m_port.Close());
  EXPECT_TRUE(m_port.Close());
  const std::uint8_t byte = 1;
  EXPECT_FALSE(m_port.Send(&byte, 1, 100));
  bool ok = true;
  const std::uint32_t took = TimedReceive(&ok, platform::kInfinite);
  EXPECT_FALSE(ok);
  testing::ExpectDuration(took, kErrorPauseMs, "receive on a closed port");
  // Open after Close reaches the same peer.
  ASSERT_TRUE(m_port.Open());
  EXPECT_TRUE(m_listener.Accept(1000).Valid());
}

TEST_F(TcpPortTest, OpenToAPortWithoutListenerFailsWithTheSystemsCode) {
  const std::uint16_t port = m_listener.Port();
  m_listener.Close();
  CTcpPort refused;
  ASSERT_TRUE(refused.SetAddress(kLoopback, port));
  EXPECT_FALSE(refused.Open());
  EXPECT_NE(refused.LastError(), 0u);
  EXPECT_FALSE(refused.IsOpen());
}

using UdpPortTimeTest = testing::ScaledTime;

TEST_F(UdpPortTimeTest, ReceiveTimeOutLeavesThePendingCode) {
  testing::UdpPeer peer;
  CUdpPort port;
  ASSERT_TRUE(port.SetAddress(kLoopback, peer.Port()));
  ASSERT_TRUE(port.Open());
  std::uint8_t buffer[8];
  std::size_t n = 0;
  const std::uint32_t start = platform::TickCount();
  EXPECT_FALSE(port.Receive(buffer, sizeof buffer, &n, 400));
  testing::ExpectDuration(ElapsedSince(start), 400, "udp time-out, no pause");
  EXPECT_EQ(port.LastError(), platform::kErrPending);
}

}  // namespace
}  // namespace orvane
