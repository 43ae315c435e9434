#pragma once
// An event object for threads of this process: manual-reset (stays set
// until Reset) or auto-reset (one successful Wait takes it back).
//
// Waits are in system milliseconds of platform/clock.h, so the time scale
// applies. Set, Reset and Wait may be called from any thread.
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace orvane::platform {

class Event {
 public:
  enum class Mode { kManualReset, kAutoReset };

  explicit Event(Mode mode, bool initiallySet = false) : m_mode(mode), m_bSet(initiallySet) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // True when the event was (or became) set within `ms`; an auto-reset event
  // is then taken back. kInfinite waits without limit.
  bool Wait(std::uint32_t ms);

 private:
  const Mode m_mode;
  std::mutex m_lock;
  std::condition_variable m_changed;
  bool m_bSet;
};

}  // namespace orvane::platform
