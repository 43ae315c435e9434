// The module link's pacer: blocks until just short of a deadline, spins the
// rest, and never spins longer than its lead.
#include "routersim/link_pacer.h"

#include <gtest/gtest.h>

namespace orvane::routersim {
namespace {

using namespace std::chrono_literals;
using Clock = LinkPacer::Clock;

TEST(LinkPacerTest, BlocksUntilTheLeadBeforeTheDeadlineAndNotAtAllWithinIt) {
  const Clock::time_point now = Clock::now();
  EXPECT_EQ(LinkPacer::BlockFor(now, now + 3ms), 3ms - LinkPacer::kLead);
  EXPECT_EQ(LinkPacer::BlockFor(now, now + LinkPacer::kLead), 0ns);
  EXPECT_EQ(LinkPacer::BlockFor(now, now + LinkPacer::kLead / 2), 0ns);
  EXPECT_EQ(LinkPacer::BlockFor(now, now - 1ms), 0ns) << "a deadline passed: no wait";
}

TEST(LinkPacerTest, SpinEndsAtTheDeadlineNeverBeforeItAndNeverLongerThanTheLead) {
  // Passed already: at once.
  EXPECT_TRUE(LinkPacer::SpinUntil(Clock::now() - 1us));
  // Within the lead: reached, and not a moment early.
  for (int i = 0; i < 20; ++i) {
    const Clock::time_point due = Clock::now() + LinkPacer::kLead / 4;
    EXPECT_TRUE(LinkPacer::SpinUntil(due));
    EXPECT_GE(Clock::now(), due);
  }
  // Far off: the spin gives up after its lead and says so.
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(LinkPacer::SpinUntil(start + 1s));
  const auto spun = Clock::now() - start;
  EXPECT_GE(spun, LinkPacer::kLead);
  EXPECT_LT(spun, 100ms) << "the spin is bounded by its lead (and a loaded machine's preemption)";
}

}  // namespace
}  // namespace orvane::routersim
