// The framed channel over a TCP connection to an in-test peer.
#include "net/framed_channel.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "net/loopback_peer.h"
#include "platform/clock.h"
#include "support/frames.h"

namespace orvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::kLoopback;
using testing::OwnedSocket;
using testing::TcpListener;

class FramedChannelTest : public testing::ScaledTime {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_listener.Valid());
    ASSERT_TRUE(m_channel.Open(kLoopback, m_listener.Port(), PORT_TCP));
    m_peer = m_listener.Accept();
    ASSERT_TRUE(m_peer.Valid());
  }

  Bytes Take(std::uint32_t timeoutMs, bool* ok) {
    std::uint8_t buffer[512];
    std::size_t n = 0;
    *ok = m_channel.Receive(buffer, sizeof buffer, &n, timeoutMs);
    return Bytes(buffer, buffer + n);
  }

  TcpListener m_listener;
  CFramedChannel m_channel;
  OwnedSocket m_peer;
};

TEST(FramedChannelStateTest, OpenTakesOnlyKnownTypesAndClosedChannelRefusesTraffic) {
  CFramedChannel channel;
  EXPECT_EQ(channel.State(), CHANNEL_CLOSED);
  EXPECT_FALSE(channel.Open("127.0.0.1", 9, 3));
  EXPECT_FALSE(channel.Open("no.such.host", 9, PORT_TCP));
  EXPECT_EQ(channel.State(), CHANNEL_CLOSED);
  const std::uint8_t byte = 1;
  EXPECT_FALSE(channel.Send(true, &byte, 1, false, 100));
  std::uint8_t buffer[4];
  std::size_t n = 7;
  EXPECT_FALSE(channel.Receive(buffer, sizeof buffer, &n, 100));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(channel.LastError(), 0u);
  EXPECT_TRUE(channel.Close());
  EXPECT_TRUE(channel.Close());
}

TEST_F(FramedChannelTest, FramedAndRawSendsPutExactlyTheirBytesOnTheWire) {
  const Bytes packet = {0x4B, 0x7E, 0x7D, 0x00};
  ASSERT_TRUE(m_channel.Send(false, packet.data(), packet.size(), true, 1000));
  ASSERT_TRUE(m_channel.Send(false, packet.data(), packet.size(), false, 1000));
  const Bytes raw = {'A', 'T', '$', 'Q', 'C', 'D', 'M', 'G', '\r', 0x7E};
  ASSERT_TRUE(m_channel.Send(true, raw.data(), raw.size(), false, 1000));

  Bytes expected = test::Framed(packet, true);
  const Bytes bare = test::Framed(packet, false);
  expected.insert(expected.end(), bare.begin(), bare.end());
  expected.insert(expected.end(), raw.begin(), raw.end());
  EXPECT_EQ(m_peer.ReadBytes(expected.size()), expected);
}

TEST_F(FramedChannelTest, LargestPacketFitsTheFrameBufferInTheWorstCase) {
  // Every byte stuffed: 2 * 4102 + 6 = 8210 bytes, the whole buffer.
  const Bytes packet(kMaxFramedPacket, 0x7E);
  std::thread reader([&] {
    const Bytes got = m_peer.ReadBytes(kFrameBufferSize + 1, 1000);
    EXPECT_LE(got.size(), kFrameBufferSize);
    EXPECT_EQ(got, test::Framed(packet, true));
  });
  EXPECT_TRUE(m_channel.Send(false, packet.data(), packet.size(), true, 5000));
  reader.join();
  // One byte more could overrun the buffer: refused.
  const Bytes tooLong(kMaxFramedPacket + 1, 0x00);
  EXPECT_FALSE(m_channel.Send(false, tooLong.data(), tooLong.size(), true, 1000));
}

TEST_F(FramedChannelTest, ReceiveWithoutTheReaderTakesTheFirstFrameUnfiltered) {
  m_channel.SetResponseKey(0x4B, 1);  // no filter without the reader
  Bytes stream = test::Framed({0x29, 0x01, 0x02}, false);
  ASSERT_TRUE(m_peer.SendAll(stream));
  bool ok = false;
  const Bytes got = Take(2000, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(got, (Bytes{0x29, 0x01, 0x02}));

  // A frame that fails its check ends the receive with false.
  Bytes bad = test::Framed({0x29, 0x01, 0x02}, true);
  bad[2] ^= 0x40;
  ASSERT_TRUE(m_peer.SendAll(bad));
  Take(2000, &ok);
  EXPECT_FALSE(ok);
}

TEST_F(FramedChannelTest, ReceiveWithoutTheReaderGivesUpAfterItsTimeOut) {
  const std::uint32_t start = platform::TickCount();
  bool ok = true;
  Take(1000, &ok);
  EXPECT_FALSE(ok);
  const std::uint32_t took = ElapsedSince(start);
  // Each idle round is a 500 ms wait, the port's 100 ms pause and 100 ms more.
  EXPECT_GE(took, 1000u);
  EXPECT_LE(took, 1000u + 700u + 400u);
}

TEST_F(FramedChannelTest, ReaderQueuesFramesWithAndWithoutOpeningFlagAndTheNewestMatchWins) {
  ASSERT_TRUE(m_channel.StartReader());
  ASSERT_TRUE(m_channel.StartReader());  // a second start starts nothing
  EXPECT_TRUE(m_channel.ReaderRunning());
  m_channel.SetResponseKey(0x4B, 1);
  Bytes stream = test::Framed({0x4B, 0x01}, true);
  const Bytes second = test::Framed({0x4B, 0x02}, false);
  const Bytes other = test::Framed({0x29, 0x03}, false);
  stream.insert(stream.end(), second.begin(), second.end());
  stream.insert(stream.end(), other.begin(), other.end());
  ASSERT_TRUE(m_peer.SendAll(stream));
  // All three in the queue before the take.
  for (int i = 0; i < 100 && m_channel.Queue().Count() < 3; ++i) platform::Sleep(20);
  ASSERT_EQ(m_channel.Queue().Count(), 3);
  bool ok = false;
  EXPECT_EQ(Take(1000, &ok), (Bytes{0x4B, 0x02}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(m_channel.Queue().Count(), 0);

  // A send while the reader runs, and its reply.
  const Bytes request = {0x4B, 0x09};
  ASSERT_TRUE(m_channel.Send(false, request.data(), request.size(), false, 1000));
  EXPECT_EQ(m_peer.ReadBytes(test::Framed(request, false).size()), test::Framed(request, false));
  ASSERT_TRUE(m_peer.SendAll(test::Framed({0x4B, 0x0A}, false)));
  EXPECT_EQ(Take(2000, &ok), (Bytes{0x4B, 0x0A}));
  EXPECT_TRUE(ok);
}

TEST_F(FramedChannelTest, StopReaderEndsAReaderBlockedInItsReceivePromptly) {
  ASSERT_TRUE(m_channel.StartReader());
  platform::Sleep(100);  // the reader waits for a byte, without a time-out
  const std::uint32_t start = platform::TickCount();
  m_channel.StopReader();
  testing::ExpectAtMost(ElapsedSince(start), kErrorPauseMs, "stop with the reader waiting");
  EXPECT_FALSE(m_channel.ReaderRunning());
  m_channel.StopReader();

  // Without the reader the channel reads the port itself again.
  ASSERT_TRUE(m_peer.SendAll(test::Framed({0x4B, 0x01, 0x02}, true)));
  bool ok = false;
  EXPECT_EQ(Take(3000, &ok), (Bytes{0x4B, 0x01, 0x02}));
  EXPECT_TRUE(ok);
}

TEST_F(FramedChannelTest, StopRightAfterStartEndsTheReader) {
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(m_channel.StartReader());
    m_channel.StopReader();
    EXPECT_FALSE(m_channel.ReaderRunning());
  }
}

TEST_F(FramedChannelTest, StopReaderIsPromptWhileThePeerHasClosed) {
  ASSERT_TRUE(m_channel.StartReader());
  m_peer.Close();
  platform::Sleep(200);  // the reader is in the port's long pause now
  const std::uint32_t start = platform::TickCount();
  m_channel.StopReader();
  EXPECT_LT(ElapsedSince(start), kPeerClosedPauseMs);
}

TEST_F(FramedChannelTest, StopReaderIsPromptWhileTheReaderReconnectsToAPeerThatDoesNotAnswer) {
  // Fill the listener's accept queue so that the reader's reconnect after a
  // reset hangs in its connect.
  const auto fillers = testing::FillAcceptQueue(m_listener.Port());
  if (fillers.empty()) GTEST_SKIP() << "this system refuses connections past the accept queue instead of dropping them";

  ASSERT_TRUE(m_channel.StartReader());
  m_peer.Reset();
  platform::Sleep(300);  // the reader met the reset and is connecting again
  const std::uint32_t start = platform::TickCount();
  m_channel.StopReader();
  EXPECT_LT(ElapsedSince(start), 1000u);
  EXPECT_TRUE(m_channel.Close());
}

TEST_F(FramedChannelTest, CloseStopsTheReaderAndASecondCloseFindsNothing) {
  ASSERT_TRUE(m_channel.StartReader());
  EXPECT_TRUE(m_channel.Close());
  EXPECT_FALSE(m_channel.ReaderRunning());
  EXPECT_EQ(m_channel.State(), CHANNEL_CLOSED);
  EXPECT_TRUE(m_channel.Close());
}

TEST_F(FramedChannelTest, DestroyingAChannelWithItsReaderRunningEndsTheReader) {
  auto channel = std::make_unique<CFramedChannel>();
  ASSERT_TRUE(channel->Open(kLoopback, m_listener.Port(), PORT_TCP));
  OwnedSocket peer = m_listener.Accept();
  ASSERT_TRUE(channel->StartReader());
  channel.reset();  // must not leave the reader running on freed memory
  EXPECT_TRUE(peer.ReadBytes(1, 1000).empty());  // the connection is closed
}

}  // namespace
}  // namespace orvane
