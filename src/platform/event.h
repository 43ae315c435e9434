#pragma once
// An auto-reset event for threads of this process: Set leaves it set until
// one successful Wait takes it back.
//
// Waits are in system milliseconds of platform/clock.h, so the time scale
// applies. Set and Wait may be called from any thread.
//
// WaitUntil and SpinUntil take a real-time moment of the steady clock: they
// serve a waiter that predicts an arrival from earlier ones (measured, not
// protocol time) and wakes just before it, so that its own wake-up latency
// falls while it would be waiting anyway.
#include <atomic>
#include <chrono>
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
  // The same, until a moment of the steady clock.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline);
  // Checks without blocking until the event is set or `until` passes; the
  // caller bounds `until` (this holds its CPU meanwhile). True when taken.
  bool SpinUntil(std::chrono::steady_clock::time_point until);

 private:
  bool TakeLocked();

  std::mutex m_lock;
  std::condition_variable m_changed;
  // Written under m_lock; read without it by SpinUntil.
  std::atomic<bool> m_bSet{false};
};

}  // namespace orvane::platform
