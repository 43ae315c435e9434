#pragma once
// The system clock as the rest of the program sees it.
//
// Every pause and every time-out of the system goes through this clock. It
// runs at a time scale (default 1): at scale 0.05 a 10000 ms time-out lasts
// 500 ms of real time and the tick count advances twenty times as fast, so
// the protocol code keeps its real-world numbers while tests and
// demonstrations run the same code faster.
//
// Thread safety: all functions may be called from any thread. The scale is
// meant to be set once at start-up, before the first worker starts.
#include <cstdint>

namespace orvane::platform {

// A time-out value meaning "no limit".
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// Milliseconds of system time, wrapping at 2^32 (about 49.7 days of system
// time). Compare two readings only through their unsigned difference:
//   if (TickCount() - start >= timeoutMs) ...
std::uint32_t TickCount();

// True once `timeoutMs` system milliseconds have passed since `startTick`.
// `kInfinite` never expires.
bool TicksElapsed(std::uint32_t startTick, std::uint32_t timeoutMs);

// Pauses the calling thread for `ms` system milliseconds (scaled).
void Sleep(std::uint32_t ms);

// The real-time length of a system-time span, in milliseconds, for handing
// to an operating-system wait. `kInfinite` stays `kInfinite`; a non-zero span
// never scales down to zero.
std::uint32_t ToRealMs(std::uint32_t ms);

// Real time per system time: 1 = real time, 0.05 = twenty times faster.
// Values outside (0, 1000] are refused (returns false, scale unchanged).
bool SetTimeScale(double scale);
double TimeScale();

}  // namespace orvane::platform
