// The response filter, the frame queue and the frame assembly rules.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "net/frame_assembler.h"
#include "net/frame_queue.h"
#include "platform/clock.h"
#include "support/frames.h"

namespace orvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

bool Matches(const Bytes& packet, std::uint32_t key, std::uint32_t keyLength) {
  return FrameMatchesKey(packet.data(), packet.size(), key, keyLength);
}

TEST(FrameKeyTest, TheFourRules) {
  // One-byte key 0x4B: its own replies, and the negative acknowledgement.
  EXPECT_TRUE(Matches({0x4B, 0x01}, 0x0000004B, 1));
  EXPECT_TRUE(Matches({0x03, 0x4B}, 0x0000004B, 1));
  EXPECT_FALSE(Matches({0x4C, 0x4B}, 0x0000004B, 1));

  // Four-byte key of a request beginning 4B C9 03 FF.
  const std::uint32_t key = 0xFF03C94B;
  EXPECT_TRUE(Matches({0x4B, 0xC9, 0x03, 0xFF, 0x00}, key, 4));         // rule 1
  EXPECT_TRUE(Matches({0x13, 0x4B, 0xC9, 0x03, 0xFF, 0x00}, key, 4));   // rule 4, error reply
  for (std::uint8_t lead : {0x14, 0x15, 0x18}) EXPECT_TRUE(Matches({lead, 0x4B, 0xC9, 0x03}, key, 4));
  EXPECT_FALSE(Matches({0x16, 0x4B, 0xC9, 0x03}, key, 4));
  EXPECT_FALSE(Matches({0x4B, 0xC9, 0x03, 0xFE}, key, 4));
  // A packet shorter than the key reads its missing high bytes as 0.
  EXPECT_TRUE(Matches({0x4B, 0xC9}, 0x0000C94B, 4));
  EXPECT_FALSE(Matches({0x4B, 0xC9}, key, 4));

  // The initial key takes everything.
  EXPECT_TRUE(Matches({0x99}, kAnyResponseKey, 4));
}

TEST(FrameQueueTest, NewestMatchingPacketWinsAndEveryTakeEmptiesTheQueue) {
  CFrameQueue queue;
  queue.SetResponseKey(0x4B, 1);
  const Bytes older = {0x4B, 0x01}, other = {0x29, 0x00}, newer = {0x4B, 0x02};
  ASSERT_TRUE(queue.PushFrame(older.data(), older.size()));
  ASSERT_TRUE(queue.PushFrame(newer.data(), newer.size()));
  ASSERT_TRUE(queue.PushFrame(other.data(), other.size()));

  std::uint8_t buffer[8];
  std::size_t n = 0;
  ASSERT_TRUE(queue.TakeFrame(buffer, sizeof buffer, &n, 1000));
  EXPECT_EQ(Bytes(buffer, buffer + n), newer);
  EXPECT_EQ(queue.Count(), 0);
  // Nothing left, and the one matching arrival released exactly one wait.
  EXPECT_FALSE(queue.TakeFrame(buffer, sizeof buffer, &n, 50));
  EXPECT_EQ(n, 0u);
}

TEST(FrameQueueTest, TakeCutsToTheCapacity) {
  CFrameQueue queue;
  const Bytes packet = {1, 2, 3, 4, 5};
  queue.PushFrame(packet.data(), packet.size());
  std::uint8_t buffer[3];
  std::size_t n = 0;
  ASSERT_TRUE(queue.TakeFrame(buffer, sizeof buffer, &n, 1000));
  EXPECT_EQ(Bytes(buffer, buffer + n), (Bytes{1, 2, 3}));
}

TEST(FrameQueueTest, TimeOutEmptiesTheQueueIncludingPacketsThatDidNotMatch) {
  CFrameQueue queue;
  queue.SetResponseKey(0x4B, 1);
  const Bytes other = {0x29};
  queue.PushFrame(other.data(), other.size());
  std::uint8_t buffer[8];
  std::size_t n = 0;
  EXPECT_FALSE(queue.TakeFrame(buffer, sizeof buffer, &n, 30));
  EXPECT_EQ(queue.Count(), 0);
  // A key change does not bring it back.
  queue.SetResponseKey(0x29, 1);
  EXPECT_FALSE(queue.TakeFrame(buffer, sizeof buffer, &n, 30));
}

TEST(FrameQueueTest, LateMatchLeavesTheEventSetForTheNextTakeJudgedByItsOwnKey) {
  CFrameQueue queue;
  queue.SetResponseKey(0x4B, 1);
  std::uint8_t buffer[8];
  std::size_t n = 0;
  EXPECT_FALSE(queue.TakeFrame(buffer, sizeof buffer, &n, 20));
  const Bytes late = {0x4B, 0x07};
  queue.PushFrame(late.data(), late.size());  // arrives after the take gave up

  // The next take does not wait; it judges the queue by its own key.
  queue.SetResponseKey(0x7D, 1);
  const std::uint32_t start = platform::TickCount();
  EXPECT_FALSE(queue.TakeFrame(buffer, sizeof buffer, &n, 5000));
  EXPECT_LT(platform::TickCount() - start, 2500u);
}

TEST(FrameQueueTest, HundredAndFirstPacketIsDroppedAndTheBufferGrowsExactly) {
  CFrameQueue queue;
  const Bytes packet = {0x4B, 0, 0};
  for (int i = 0; i < MAX_QUEUED_FRAMES; ++i) ASSERT_TRUE(queue.PushFrame(packet.data(), packet.size())) << i;
  EXPECT_EQ(queue.DataCapacity(), 300u);
  EXPECT_FALSE(queue.PushFrame(packet.data(), packet.size()));
  EXPECT_EQ(queue.Count(), MAX_QUEUED_FRAMES);

  std::uint8_t buffer[8];
  std::size_t n = 0;
  ASSERT_TRUE(queue.TakeFrame(buffer, sizeof buffer, &n, 100));
  // The emptied queue keeps its buffer and takes packets again.
  EXPECT_EQ(queue.DataCapacity(), 300u);
  EXPECT_TRUE(queue.PushFrame(packet.data(), packet.size()));
}

TEST(FrameQueueTest, ArrivalFromAnotherThreadWakesTheTake) {
  CFrameQueue queue;
  queue.SetResponseKey(0x4B, 1);
  std::thread pusher([&] {
    platform::Sleep(50);
    const Bytes other = {0x11}, reply = {0x4B, 0x05};
    queue.PushFrame(other.data(), other.size());
    queue.PushFrame(reply.data(), reply.size());
  });
  std::uint8_t buffer[8];
  std::size_t n = 0;
  const bool taken = queue.TakeFrame(buffer, sizeof buffer, &n, 5000);
  pusher.join();
  ASSERT_TRUE(taken);
  EXPECT_EQ(Bytes(buffer, buffer + n), (Bytes{0x4B, 0x05}));
}

// --- How a take waits: every way must wake for every arrival ------------------

using Steady = std::chrono::steady_clock;

// Holds the thread until `until` without sleeping: the pusher's delays are
// shorter than a sleep's granularity (a test's own timing, not a pause of
// the system).
void BusyUntil(Steady::time_point until) {
  while (Steady::now() < until) {
  }
}

class FrameQueueArrivalTest : public ::testing::TestWithParam<ArrivalWait> {};

// Exchange after exchange, as the download makes them: the taker sets each
// exchange's key and takes; the pusher, once it sees the key set, answers
// after a delay from a pattern that first trains the prediction (3 ms), then
// answers early (at once), late (well past the spin), and in between, with a
// late answer to the exchange before ahead of the right one. A lost wake-up
// shows as a take that times out; a packet given to the wrong exchange as a
// wrong sequence number.
TEST_P(FrameQueueArrivalTest, EveryExchangeGetsItsOwnAnswerWheneverItComes) {
  CFrameQueue queue;
  queue.SetArrivalWait(GetParam());
  const std::chrono::microseconds delays[] = {
      std::chrono::microseconds(3000), std::chrono::microseconds(3000), std::chrono::microseconds(3000),
      std::chrono::microseconds(0),    std::chrono::microseconds(3000), std::chrono::microseconds(12000),
      std::chrono::microseconds(3000), std::chrono::microseconds(2900), std::chrono::microseconds(3100),
      std::chrono::microseconds(100),  std::chrono::microseconds(3000), std::chrono::microseconds(2500)};
  constexpr int kExchanges = 48;
  std::atomic<int> keyed{-1};  // the exchange whose key is set
  std::atomic<bool> stop{false};
  std::thread pusher([&] {
    for (int i = 0; i < kExchanges && !stop; ++i) {
      const Steady::time_point give = Steady::now() + std::chrono::seconds(5);
      while (keyed.load() < i && !stop && Steady::now() < give) std::this_thread::yield();
      if (keyed.load() < i) return;
      BusyUntil(Steady::now() + delays[i % std::size(delays)]);
      const Bytes stale = {0x4B, static_cast<std::uint8_t>(i - 1), 0x00};  // the exchange before's
      const Bytes reply = {0x4B, static_cast<std::uint8_t>(i), 0x06};
      queue.PushFrame(stale.data(), stale.size());
      queue.PushFrame(reply.data(), reply.size());
    }
  });
  for (int i = 0; i < kExchanges; ++i) {
    // The two-byte key: the command byte and this exchange's number.
    queue.SetResponseKey(0x4Bu | ((static_cast<std::uint32_t>(i) << 8) & 0xFF00u), 2);
    keyed = i;
    std::uint8_t buffer[8];
    std::size_t n = 0;
    const bool taken = queue.TakeFrame(buffer, sizeof buffer, &n, 2000);
    ASSERT_TRUE(taken) << "exchange " << i << ": the answer did not wake the take";
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(buffer[1], static_cast<std::uint8_t>(i)) << "exchange " << i << " got another exchange's answer";
    EXPECT_EQ(queue.Count(), 0);
  }
  stop = true;
  pusher.join();
}

// A take that gets nothing ends at its time-out, and not later for a
// prediction longer than the time-out.
TEST_P(FrameQueueArrivalTest, TimeOutHoldsWhateverTheQueueExpects) {
  CFrameQueue queue;
  queue.SetArrivalWait(GetParam());
  queue.SetResponseKey(0x4B, 1);
  // Train the prediction: the answer comes 100 ms after the take starts.
  for (int i = 0; i < 2; ++i) {
    std::thread pusher([&] {
      platform::Sleep(100);
      const Bytes reply = {0x4B};
      queue.PushFrame(reply.data(), reply.size());
    });
    std::uint8_t buffer[4];
    std::size_t n = 0;
    EXPECT_TRUE(queue.TakeFrame(buffer, sizeof buffer, &n, 2000));
    pusher.join();
  }
  std::uint8_t buffer[4];
  std::size_t n = 0;
  for (const std::uint32_t timeoutMs : {10u, 30u}) {
    const Steady::time_point start = Steady::now();
    EXPECT_FALSE(queue.TakeFrame(buffer, sizeof buffer, &n, timeoutMs));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count();
    EXPECT_GE(took, static_cast<long long>(timeoutMs) - 1) << timeoutMs;
    EXPECT_LT(took, static_cast<long long>(timeoutMs) + 60) << "the take outlived its time-out of " << timeoutMs;
  }
}

#if defined(__linux__)
// While nothing comes, a take sleeps: its spin is bounded, so a slow line
// costs next to no CPU.
TEST_P(FrameQueueArrivalTest, AWaitWithoutArrivalSleepsRatherThanSpins) {
  CFrameQueue queue;
  queue.SetArrivalWait(GetParam());
  queue.SetResponseKey(0x4B, 1);
  const auto cpuNow = [] {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
  };
  const auto cpuBefore = cpuNow();
  std::uint8_t buffer[4];
  std::size_t n = 0;
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(queue.TakeFrame(buffer, sizeof buffer, &n, 100));
  const auto cpu = std::chrono::duration_cast<std::chrono::milliseconds>(cpuNow() - cpuBefore).count();
  EXPECT_LT(cpu, 30) << "three waits of 100 ms took " << cpu << " ms of CPU";
}
#endif

INSTANTIATE_TEST_SUITE_P(Ways, FrameQueueArrivalTest,
                         ::testing::Values(ArrivalWait::kBlock, ArrivalWait::kSpinFirst, ArrivalWait::kWakeEarly),
                         [](const ::testing::TestParamInfo<ArrivalWait>& info) {
                           switch (info.param) {
                             case ArrivalWait::kBlock: return std::string("Block");
                             case ArrivalWait::kSpinFirst: return std::string("SpinFirst");
                             case ArrivalWait::kWakeEarly: return std::string("WakeEarly");
                           }
                           return std::string("Unknown");
                         });

// Feeds bytes and returns every decoded packet (empty for a bad frame).
std::vector<Bytes> Feed(FrameAssembler& assembler, const Bytes& stream) {
  std::vector<Bytes> packets;
  for (std::uint8_t b : stream) {
    if (assembler.Push(b)) {
      const std::size_t n = assembler.DecodeFrame();
      packets.emplace_back(assembler.Data(), assembler.Data() + n);
    }
  }
  return packets;
}

TEST(FrameAssemblerTest, FramesWithAndWithoutTheOpeningFlagDecodeAlike) {
  FrameAssembler assembler;
  const Bytes packet = {0x00, 0x01, 0x02};
  Bytes stream = test::Framed(packet, true);
  const Bytes bare = test::Framed(packet, false);
  stream.insert(stream.end(), bare.begin(), bare.end());
  const auto packets = Feed(assembler, stream);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0], packet);
  EXPECT_EQ(packets[1], packet);
}

TEST(FrameAssemblerTest, ShortRunsBetweenFlagsAreIgnored) {
  FrameAssembler assembler;
  // Two bytes and a flag do not make a frame; collection goes on behind it.
  const Bytes packet = {0x4B, 0x0F};
  Bytes stream = {0x7E, 0x7E};
  const Bytes frame = test::Framed(packet, true);
  stream.insert(stream.end(), frame.begin(), frame.end());
  const auto packets = Feed(assembler, stream);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], packet);
}

TEST(FrameAssemblerTest, The1025thByteWithoutAFlagRestartsTheCollection) {
  FrameAssembler assembler;
  Bytes stream(1025, 0x41);
  const Bytes packet = {0x4B, 0x01, 0x02};
  const Bytes frame = test::Framed(packet, true);
  stream.insert(stream.end(), frame.begin(), frame.end());
  const auto packets = Feed(assembler, stream);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], packet);

  // With only 1024 bytes before it the frame is not cut loose: the flag
  // closes the 1024 collected bytes, which fail their check.
  FrameAssembler second;
  Bytes full(1024, 0x41);
  full.insert(full.end(), frame.begin(), frame.end());
  const auto decoded = Feed(second, full);
  ASSERT_EQ(decoded.size(), 2u);
  EXPECT_TRUE(decoded[0].empty());
  EXPECT_EQ(decoded[1], packet);
}

TEST(FrameAssemblerTest, AFrameThatFailsItsCheckYieldsNothing) {
  FrameAssembler assembler;
  Bytes frame = test::Framed({0x10, 0x20, 0x30}, false);
  frame[1] ^= 0x01;
  const auto packets = Feed(assembler, frame);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_TRUE(packets[0].empty());
}

}  // namespace
}  // namespace orvane
