#include "platform/clock.h"

#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

namespace orvane::platform {
namespace {

using Steady = std::chrono::steady_clock;

// System time is real time since `realBase`, divided by the scale, plus
// `systemBase`; re-basing on every change keeps the tick count monotonic.
struct ClockState {
  std::mutex lock;
  double scale = 1.0;
  Steady::time_point realBase = Steady::now();
  double systemBaseMs = 0.0;
};

ClockState& State() {
  static ClockState state;
  return state;
}

double SystemMsLocked(ClockState& s, Steady::time_point now) {
  const double realMs = std::chrono::duration<double, std::milli>(now - s.realBase).count();
  return s.systemBaseMs + realMs / s.scale;
}

}  // namespace

std::uint32_t TickCount() {
  ClockState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  const double ms = SystemMsLocked(s, Steady::now());
  // Wrap like a 32-bit millisecond counter.
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms));
}

bool TicksElapsed(std::uint32_t startTick, std::uint32_t timeoutMs) {
  if (timeoutMs == kInfinite) return false;
  return static_cast<std::uint32_t>(TickCount() - startTick) >= timeoutMs;
}

std::uint32_t ToRealMs(std::uint32_t ms) {
  if (ms == kInfinite || ms == 0) return ms;
  const double real = std::ceil(static_cast<double>(ms) * TimeScale());
  if (real >= static_cast<double>(kInfinite - 1)) return kInfinite - 1;
  return real < 1.0 ? 1u : static_cast<std::uint32_t>(real);
}

void Sleep(std::uint32_t ms) {
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  const double realMs = static_cast<double>(ms) * TimeScale();
  std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(realMs));
}

bool SetTimeScale(double scale) {
  if (!(scale > 0.0) || scale > 1000.0) return false;
  ClockState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  const auto now = Steady::now();
  s.systemBaseMs = SystemMsLocked(s, now);
  s.realBase = now;
  s.scale = scale;
  return true;
}

double TimeScale() {
  ClockState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.scale;
}

}  // namespace orvane::platform
