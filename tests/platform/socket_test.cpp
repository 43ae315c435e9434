// The platform socket layer on loopback: what the ports above build on.
#include "platform/socket.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "net/loopback_peer.h"
#include "platform/clock.h"

namespace orvane {
namespace {

using platform::IoStatus;
using testing::OwnedSocket;
using testing::TcpListener;

struct ConnectedPair {
  TcpListener listener;
  OwnedSocket client;
  OwnedSocket server;
};

void Connect(ConnectedPair* pair) {
  ASSERT_TRUE(pair->listener.Valid());
  std::uint32_t error = 0;
  pair->client = OwnedSocket(platform::OpenStreamSocket(&error));
  ASSERT_TRUE(pair->client.Valid());
  ASSERT_TRUE(platform::ConnectStream(pair->client.Get(), {{127, 0, 0, 1}, pair->listener.Port()}, nullptr, &error))
      << error;
  pair->server = pair->listener.Accept();
  ASSERT_TRUE(pair->server.Valid());
}

class SocketTest : public testing::ScaledTime {};

TEST_F(SocketTest, AbortEndsAWaitingReceiveButNotOneWithDataWaiting) {
  ConnectedPair pair;
  Connect(&pair);
  platform::AbortEvent abort;
  ASSERT_TRUE(abort.Valid());
  std::uint8_t buffer[8];

  // Set before the receive, with nothing there: it ends at once and the
  // event stays set for its owner to reset.
  abort.Set();
  auto r = platform::StreamReceive(pair.client.Get(), buffer, sizeof buffer, platform::kInfinite, &abort);
  EXPECT_EQ(r.status, IoStatus::kAborted);
  EXPECT_TRUE(abort.IsSet());

  // Bytes already there are taken first.
  ASSERT_TRUE(pair.server.SendAll(std::string("xy")));
  platform::Sleep(50);
  r = platform::StreamReceive(pair.client.Get(), buffer, sizeof buffer, platform::kInfinite, &abort);
  EXPECT_EQ(r.status, IoStatus::kDone);
  EXPECT_EQ(r.bytes, 2u);

  // Set from another thread during the wait.
  abort.Reset();
  const std::uint32_t start = platform::TickCount();
  std::thread setter([&] {
    platform::Sleep(100);
    abort.Set();
  });
  r = platform::StreamReceive(pair.client.Get(), buffer, sizeof buffer, platform::kInfinite, &abort);
  setter.join();
  EXPECT_EQ(r.status, IoStatus::kAborted);
  testing::ExpectDuration(ElapsedSince(start), 100, "abort during the wait");
}

TEST_F(SocketTest, ReceiveThatTimedOutNeverWritesLaterArrivalsIntoItsBuffer) {
  ConnectedPair pair;
  Connect(&pair);
  std::vector<std::uint8_t> buffer(16, 0xAA);
  auto r = platform::StreamReceive(pair.client.Get(), buffer.data(), buffer.size(), 100, nullptr);
  EXPECT_EQ(r.status, IoStatus::kTimedOut);

  ASSERT_TRUE(pair.server.SendAll(std::string("late")));
  platform::Sleep(100);
  EXPECT_EQ(buffer, std::vector<std::uint8_t>(16, 0xAA));

  // The bytes wait in the socket for the next receive.
  r = platform::StreamReceive(pair.client.Get(), buffer.data(), buffer.size(), 1000, nullptr);
  ASSERT_EQ(r.status, IoStatus::kDone);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + r.bytes), "late");
}

TEST_F(SocketTest, PeerCloseReadsAsZeroBytesAndResetAsConnectionLost) {
  ConnectedPair pair;
  Connect(&pair);
  std::uint8_t buffer[4];
  pair.server.Close();
  auto r = platform::StreamReceive(pair.client.Get(), buffer, sizeof buffer, 1000, nullptr);
  EXPECT_EQ(r.status, IoStatus::kDone);
  EXPECT_EQ(r.bytes, 0u);

  // The reset comes while the receive waits. (Under wine a reset that
  // arrived before the receive was posted reads as an orderly close.)
  ConnectedPair reset;
  Connect(&reset);
  std::thread resetter([&] {
    platform::Sleep(100);
    reset.server.Reset();
  });
  r = platform::StreamReceive(reset.client.Get(), buffer, sizeof buffer, 1000, nullptr);
  resetter.join();
  ASSERT_EQ(r.status, IoStatus::kFailed);
  EXPECT_EQ(r.error, platform::kErrConnectionReset);
  EXPECT_TRUE(platform::IsConnectionLost(r.error));
}

TEST_F(SocketTest, ConnectThatGetsNoAnswerGivesWayToTheAbort) {
  // A listener whose accept queue is full drops further connection
  // requests, so the next connect hangs until the system gives up.
  TcpListener listener(0);
  ASSERT_TRUE(listener.Valid());
  const platform::Ipv4Endpoint peer{{127, 0, 0, 1}, listener.Port()};
  const auto fillers = testing::FillAcceptQueue(listener.Port());
  if (fillers.empty()) GTEST_SKIP() << "this system refuses connections past the accept queue instead of dropping them";
  platform::AbortEvent abort;

  std::uint32_t error = 0;
  OwnedSocket hanging(platform::OpenStreamSocket(&error));
  const std::uint32_t start = platform::TickCount();
  std::thread setter([&] {
    platform::Sleep(100);
    abort.Set();
  });
  EXPECT_FALSE(platform::ConnectStream(hanging.Get(), peer, &abort, &error));
  setter.join();
  EXPECT_EQ(error, platform::kErrInterrupted);
  testing::ExpectDuration(ElapsedSince(start), 100, "aborted connect");
}

TEST_F(SocketTest, DatagramsKeepTheirBoundaries) {
  testing::UdpPeer receiver;
  ASSERT_TRUE(receiver.Valid());
  std::uint32_t error = 0;
  OwnedSocket sender(platform::OpenDatagramSocket(&error));
  const platform::Ipv4Endpoint to{{127, 0, 0, 1}, receiver.Port()};

  const std::vector<std::uint8_t> big(64, 0x42);
  ASSERT_EQ(platform::DatagramSend(sender.Get(), nullptr, 0, to, 1000).status, IoStatus::kDone);
  ASSERT_EQ(platform::DatagramSend(sender.Get(), big.data(), big.size(), to, 1000).status, IoStatus::kDone);

  std::uint8_t buffer[32];
  platform::Ipv4Endpoint from;
  auto r = platform::DatagramReceive(receiver.Get(), buffer, sizeof buffer, 1000, &from);
  EXPECT_EQ(r.status, IoStatus::kDone);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(from.address, (std::array<std::uint8_t, 4>{127, 0, 0, 1}));
  // Longer than the buffer: refused, not cut.
  r = platform::DatagramReceive(receiver.Get(), buffer, sizeof buffer, 1000, nullptr);
  EXPECT_EQ(r.status, IoStatus::kFailed);
  EXPECT_EQ(r.error, platform::kErrMessageTooLong);
  r = platform::DatagramReceive(receiver.Get(), buffer, sizeof buffer, 100, nullptr);
  EXPECT_EQ(r.status, IoStatus::kTimedOut);
}

TEST_F(SocketTest, AbortEventWaitSeesASetFromAnotherThread) {
  platform::AbortEvent event;
  EXPECT_FALSE(event.WaitFor(50));
  std::thread setter([&] {
    platform::Sleep(50);
    event.Set();
  });
  EXPECT_TRUE(event.WaitFor(platform::kInfinite));
  setter.join();
  EXPECT_TRUE(event.WaitFor(0));  // manual reset: stays set
  event.Reset();
  EXPECT_FALSE(event.IsSet());
}

}  // namespace
}  // namespace orvane
