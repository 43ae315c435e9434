// The router steps' outcomes in words: what the run's report and the log
// show of a trigger or a control exchange.
#include "engine/router_step_outcome.h"

#include <gtest/gtest.h>

#include <string>

namespace orvane::test {
namespace {

ControlOutcome Outcome(ControlRequestKind request, ControlResult result, int attempts) {
  ControlOutcome outcome;
  outcome.request = request;
  outcome.result = result;
  outcome.attempts = attempts;
  return outcome;
}

TEST(RouterStepOutcomeTest, ATriggerTellsItsAttemptsAndThePortsErrorWhenThereIsOne) {
  EXPECT_EQ("sent on attempt 2", TriggerOutcome::Sent(2).Detail());
  EXPECT_TRUE(TriggerOutcome::Sent(1).ok());
  EXPECT_EQ("not sent after 3 attempts", TriggerOutcome::NotSent(3, {}).Detail());
  EXPECT_EQ("not sent after 1 attempt: Connection refused", TriggerOutcome::NotSent(1, "Connection refused").Detail());
  EXPECT_FALSE(TriggerOutcome::NotSent(3, {}).ok());
}

TEST(RouterStepOutcomeTest, NoEchoCountsAttemptsExceptInTheProbeWaitWhichHasALimit) {
  ControlOutcome erase = Outcome(ControlRequestKind::EraseNvram, ControlResult::NoEcho, 3);
  erase.replyTimeoutMs = 4000;
  EXPECT_EQ("no echo after 3 attempts of 4000 ms", erase.Detail());
  ControlOutcome forced = Outcome(ControlRequestKind::ForcedDownload, ControlResult::NoEcho, 1);
  forced.replyTimeoutMs = 2000;
  EXPECT_EQ("no echo after 1 attempt of 2000 ms", forced.Detail());

  ControlOutcome probe = Outcome(ControlRequestKind::Probe, ControlResult::NoEcho, 16);
  probe.replyTimeoutMs = 2000;
  probe.limitMs = 60000;
  EXPECT_EQ("no answer to the probe within 60 s", probe.Detail());
  probe.limitMs = 1500;
  EXPECT_EQ("no answer to the probe within 1500 ms", probe.Detail()) << "no rounding to whole seconds";
}

TEST(RouterStepOutcomeTest, TheOtherEndsNameTheRequestOrTheWait) {
  ControlOutcome echoed = Outcome(ControlRequestKind::Probe, ControlResult::Echoed, 2);
  echoed.waitedMs = 6010;
  EXPECT_EQ("echoed on attempt 2 after 6010 ms", echoed.Detail());
  ControlOutcome unsent = Outcome(ControlRequestKind::EraseNvram, ControlResult::NotSent, 3);
  unsent.error = "Invalid argument";
  EXPECT_EQ("the NVRAM erase request could not be sent: Invalid argument", unsent.Detail());
  ControlOutcome stopped = Outcome(ControlRequestKind::Probe, ControlResult::Stopped, 1);
  stopped.waitedMs = 4100;
  EXPECT_EQ("stopped by the operator after 1 probe (4100 ms)", stopped.Detail());
  EXPECT_EQ("already in forced download mode; nothing sent",
            Outcome(ControlRequestKind::ForcedDownload, ControlResult::AlreadyForced, 0).Detail());
}

}  // namespace
}  // namespace orvane::test
