#pragma once
// Whether a piece of work that must never block ends within a bound: it
// runs on a thread of its own while the test waits on platform/clock.h. A
// piece still running at the bound is left behind (detached), so that the
// test fails instead of hanging; it must then own what it uses.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "platform/clock.h"

namespace orvane::test {

inline bool DoneWithin(std::uint32_t ms, std::function<void()> work) {
  constexpr std::uint32_t kLookMs = 5;
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([done, work = std::move(work)] {
    work();
    *done = true;
  });
  const std::uint32_t start = platform::TickCount();
  while (!*done && !platform::TicksElapsed(start, ms)) platform::Sleep(kLookMs);
  if (!*done) {
    thread.detach();
    return false;
  }
  thread.join();
  return true;
}

}  // namespace orvane::test
