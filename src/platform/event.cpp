#include "platform/event.h"

#include <chrono>

#include "platform/clock.h"

namespace orvane::platform {

void Event::Set() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bSet = true;
  }
  m_changed.notify_one();
}

bool Event::Wait(std::uint32_t ms) {
  std::unique_lock<std::mutex> guard(m_lock);
  const auto isSet = [this] { return m_bSet; };
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

}  // namespace orvane::platform
