#include "platform/event.h"

#include <chrono>

#include "platform/clock.h"

namespace orvane::platform {

namespace {

// Tells the CPU that this is a spin loop (the other hyperthread runs on).
void Relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

void Event::Set() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bSet = true;
  }
  m_changed.notify_one();
}

bool Event::TakeLocked() {
  if (!m_bSet) return false;
  m_bSet = false;
  return true;
}

bool Event::Wait(std::uint32_t ms) {
  std::unique_lock<std::mutex> guard(m_lock);
  const auto isSet = [this] { return m_bSet.load(); };
  bool set;
  if (ms == kInfinite) {
    m_changed.wait(guard, isSet);
    set = true;
  } else {
    set = m_changed.wait_for(guard, std::chrono::milliseconds(ToRealMs(ms)), isSet);
  }
  if (set) m_bSet = false;
  return set;
}

bool Event::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> guard(m_lock);
  m_changed.wait_until(guard, deadline, [this] { return m_bSet.load(); });
  return TakeLocked();
}

bool Event::SpinUntil(std::chrono::steady_clock::time_point until) {
  for (;;) {
    if (m_bSet.load(std::memory_order_acquire)) {
      std::lock_guard<std::mutex> guard(m_lock);
      if (TakeLocked()) return true;
    }
    if (std::chrono::steady_clock::now() >= until) return false;
    Relax();
  }
}

}  // namespace orvane::platform
