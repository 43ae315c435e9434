#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>

#include "support/time_scale.h"

namespace orvane::platform {
namespace {

// Every test starts at real time and gets it back, whatever scale it set.
class ClockTest : public ::testing::Test {
 private:
  test::ScopedTimeScale m_realTime{1.0};
};

TEST_F(ClockTest, ElapsedUsesUnsignedDifferencesAcrossTheWrap) {
  const std::uint32_t now = TickCount();
  // A start "in the future" by wrap-around arithmetic is 2^32 - 5 ms ago.
  EXPECT_TRUE(TicksElapsed(now + 5, 1000));
  // A start just before the counter wrapped: the difference stays small.
  const std::uint32_t beforeWrap = now - 10;
  EXPECT_TRUE(TicksElapsed(beforeWrap, 10));
  EXPECT_FALSE(TicksElapsed(beforeWrap, 100000));
  EXPECT_FALSE(TicksElapsed(now - 0xFFFFFFF0u, kInfinite));
}

TEST_F(ClockTest, TimeScaleShortensPausesAndSpeedsTheTicks) {
  ASSERT_TRUE(SetTimeScale(0.01));
  const auto realStart = std::chrono::steady_clock::now();
  const std::uint32_t tickStart = TickCount();
  Sleep(2000);  // 20 ms of real time
  const auto realMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - realStart).count();
  const std::uint32_t ticks = TickCount() - tickStart;
  EXPECT_GE(realMs, 19);
  EXPECT_LT(realMs, 1000);  // far below the unscaled 2 s even on a loaded machine
  EXPECT_GE(ticks, 2000u);
  EXPECT_TRUE(TicksElapsed(tickStart, 2000));
}

TEST_F(ClockTest, TicksStayMonotonicWhenTheScaleChanges) {
  ASSERT_TRUE(SetTimeScale(0.001));
  Sleep(5000);
  const std::uint32_t fast = TickCount();
  ASSERT_TRUE(SetTimeScale(1.0));
  EXPECT_GE(static_cast<std::int32_t>(TickCount() - fast), 0);
}

TEST_F(ClockTest, RealTimeConversionAndRefusedScales) {
  EXPECT_EQ(ToRealMs(kInfinite), kInfinite);
  EXPECT_EQ(ToRealMs(0), 0u);
  EXPECT_EQ(ToRealMs(1500), 1500u);
  ASSERT_TRUE(SetTimeScale(0.05));
  EXPECT_EQ(ToRealMs(10000), 500u);
  EXPECT_EQ(ToRealMs(1), 1u);  // never rounds a real wait down to nothing
  EXPECT_EQ(ToRealMs(kInfinite), kInfinite);

  EXPECT_FALSE(SetTimeScale(0.0));
  EXPECT_FALSE(SetTimeScale(-1.0));
  EXPECT_FALSE(SetTimeScale(1e9));
  EXPECT_DOUBLE_EQ(TimeScale(), 0.05);
}

}  // namespace
}  // namespace orvane::platform
