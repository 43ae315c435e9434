#pragma once
// The operator's interrupts: SIGINT, SIGTERM and SIGHUP (the terminal
// closed) on POSIX, a SIGHUP that the process was started to ignore
// excepted; Ctrl-C, Ctrl-Break and closing the console window on Windows.
//
// While they are caught they no longer end the process: each one is only
// counted (an atomic increment, and on POSIX one byte written to a pipe, so
// the handler is safe in a signal handler), and the program looks at the
// count where it suits it. Signals that arrive together may raise the count
// by more than one before the program looks. Closing the console window
// counts as two at once (the system ends the process a few seconds later
// whatever it does, so only a stop at once can still be recorded), and the
// system's thread that reported it is held meanwhile so that the program
// gets those seconds. On POSIX the signals go to the thread that called
// CatchInterrupts(); threads started inside an InterruptsBlocked scope (and
// the threads they start) never take them, so their system calls are not
// broken off.
#include <cstdint>

namespace orvane::platform {

// Starts catching (a second call only keeps catching). False when the
// system refused.
bool CatchInterrupts();
// Back to the system's own handling.
void ReleaseInterrupts();
// How many interrupts came since the first CatchInterrupts().
int InterruptCount();

// Waits until more than `seen` interrupts have come, or WakeInterruptWait()
// was called, or `ms` system milliseconds (platform/clock.h) have passed.
// True when the count is above `seen`.
bool WaitForInterrupt(int seen, std::uint32_t ms);
// Ends a WaitForInterrupt early, from any thread (a worker that finished).
void WakeInterruptWait();

// Blocks the interrupts on the calling thread while it lives, so that
// threads started meanwhile inherit the block (no effect on Windows, where
// a thread of the system's own takes the console's interrupts).
class InterruptsBlocked {
 public:
  InterruptsBlocked();
  ~InterruptsBlocked();
  InterruptsBlocked(const InterruptsBlocked&) = delete;
  InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;

 private:
  unsigned char m_previous[128];  // the thread's earlier signal mask (POSIX)
};

// Ends the process at once with `status`, after flushing the C streams; no
// destructor runs and no thread is waited for. For a front end that must not
// wait any longer for a worker it cannot stop.
[[noreturn]] void ExitNow(int status);

}  // namespace orvane::platform
