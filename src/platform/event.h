#pragma once
// An auto-reset event for threads of this process: Set leaves it set until
// one successful Wait takes it back.
//
// Waits are in system milliseconds of platform/clock.h, so the time scale
// applies. Set and Wait may be called from any thread.
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace orvane::platform {

class Event {
 public:
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  // True when the event was (or became) set within `ms`; it is then taken
  // back. kInfinite waits without limit.
  bool Wait(std::uint32_t ms);

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  bool m_bSet = false;
};

}  // namespace orvane::platform
