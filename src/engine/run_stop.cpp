#include "engine/run_stop.h"

#include <algorithm>

#include "platform/clock.h"

namespace orvane {
namespace {

// How often a pause looks at the request, in real milliseconds.
constexpr double kLookRealMs = 20.0;

}  // namespace

bool CRunStop::Pause(std::uint32_t ms) const {
  if (ms == 0) {
    platform::Sleep(0);
    return !ShouldStop();
  }
  // The slice in system time that lasts about kLookRealMs in real time.
  const auto slice = static_cast<std::uint32_t>(std::max(1.0, kLookRealMs / platform::TimeScale()));
  const std::uint32_t start = platform::TickCount();
  for (;;) {
    if (ShouldStop()) return false;
    const std::uint32_t elapsed = platform::TickCount() - start;
    if (elapsed >= ms) return true;
    platform::Sleep(std::min(ms - elapsed, slice));
  }
}

}  // namespace orvane
