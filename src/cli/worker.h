#pragma once
// Work on a thread of its own while the thread that started it watches for
// the operator's interrupts (platform/interrupt.h): the commands' way to run
// a session's check or run, or a station's lanes.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "platform/clock.h"
#include "platform/interrupt.h"

namespace orvane::cli {

// The longest a watching thread sleeps between two looks at its worker.
inline constexpr std::uint32_t kWatchSliceMs = 1000;

// A piece of work on a thread of its own that never takes the operator's
// interrupts, while the thread that started it watches for them.
class Worker {
 public:
  explicit Worker(std::function<void()> work) {
    platform::InterruptsBlocked blocked;  // inherited by the worker and every thread it starts
    m_thread = std::thread([this, work = std::move(work)] {
      work();
      m_bDone = true;
      platform::WakeInterruptWait();
    });
  }
  ~Worker() {
    if (m_thread.joinable()) m_thread.join();
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Waits for the work's end. Each new interrupt is handed to
  // `onInterrupt` (with the count so far); when it returns false, or when a
  // `deadline` it set passes, Wait gives up and returns false: the worker
  // still runs, so the caller must end the process without returning
  // through anything the worker uses.
  bool Wait(const std::function<bool(int count, std::uint32_t* deadlineMs)>& onInterrupt) {
    // Counted from the start of the catching: an interrupt that came before
    // this wait began (between the check and the run) is handed on too.
    int seen = 0;
    std::uint32_t deadline = platform::kInfinite;
    std::uint32_t deadlineStart = 0;
    while (!m_bDone) {
      std::uint32_t slice = kWatchSliceMs;
      if (deadline != platform::kInfinite) {
        const std::uint32_t spent = platform::TickCount() - deadlineStart;
        if (spent >= deadline) return false;
        slice = std::min(slice, deadline - spent);
      }
      if (!platform::WaitForInterrupt(seen, slice)) continue;
      seen = platform::InterruptCount();
      std::uint32_t wanted = platform::kInfinite;
      if (!onInterrupt(seen, &wanted)) return false;
      if (wanted != platform::kInfinite && deadline == platform::kInfinite) {
        deadline = wanted;
        deadlineStart = platform::TickCount();
      }
    }
    m_thread.join();
    return true;
  }

 private:
  std::atomic<bool> m_bDone{false};
  std::thread m_thread;
};

// Catches the operator's interrupts for as long as it lives.
class InterruptScope {
 public:
  InterruptScope() { platform::CatchInterrupts(); }
  ~InterruptScope() { platform::ReleaseInterrupts(); }
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
};

}  // namespace orvane::cli
