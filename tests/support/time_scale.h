#pragma once
// Runs a test, or a part of one, at a time scale of platform/clock.h: the
// code keeps its real-world pauses and time-outs while the test runs them
// faster. The scale in force before comes back when the object goes, also
// when the test fails half-way. As a fixture member, declare it first, so
// that it outlives the threads and peers of the other members.
#include <gtest/gtest.h>

#include "platform/clock.h"

namespace orvane::test {

class ScopedTimeScale {
 public:
  explicit ScopedTimeScale(double scale) : m_previous(platform::TimeScale()) {
    EXPECT_TRUE(platform::SetTimeScale(scale)) << "time scale " << scale << " refused";
  }
  ~ScopedTimeScale() { platform::SetTimeScale(m_previous); }
  ScopedTimeScale(const ScopedTimeScale&) = delete;
  ScopedTimeScale& operator=(const ScopedTimeScale&) = delete;

 private:
  double m_previous;
};

}  // namespace orvane::test
