#pragma once
// Keeps the module link's time: an answer leaves when its last byte would
// have crossed a real line, not when the scheduler gets round to waking the
// service thread.
//
// A timed wait (ppoll) ends late by the system's wake-up latency, tens to
// hundreds of microseconds on a loaded machine, and at 12 Mbit/s a block
// takes 3 ms: that lateness would be a tenth of the link's time. So the
// service thread blocks only until kLead before the deadline and spins the
// rest on the steady clock. The spin is bounded by kLead per wake-up (a
// deadline further off is slept towards first), so it costs at most kLead of
// CPU per answer and nothing while the line is busy.
#include <chrono>

namespace orvane::routersim {

class LinkPacer {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::nanoseconds kLead = std::chrono::microseconds(200);

  // How long the service thread may block before `due`: up to kLead short
  // of it; zero once it is that close (time to spin).
  static std::chrono::nanoseconds BlockFor(Clock::time_point now, Clock::time_point due) {
    const auto left = due - now;
    return left > kLead ? std::chrono::duration_cast<std::chrono::nanoseconds>(left - kLead)
                        : std::chrono::nanoseconds::zero();
  }

  // Spins until `due`, at most kLead from now; true when `due` was reached.
  static bool SpinUntil(Clock::time_point due) {
    const auto limit = Clock::now() + kLead;
    for (;;) {
      const auto now = Clock::now();
      if (now >= due) return true;
      if (now >= limit) return false;
      Relax();
    }
  }

 private:
  static void Relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
};

}  // namespace orvane::routersim
