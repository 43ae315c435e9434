#include "platform/interrupt.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/clock.h"

namespace orvane::platform {
namespace {

std::atomic<int> g_count{0};
// Set by the handler and by WakeInterruptWait; auto-reset.
HANDLE g_event = nullptr;
bool g_caught = false;

// How long the handler holds the system's thread after the console window
// was closed, in real milliseconds: the process ends when the handler
// returns (or, at the latest, when the system's own limit of about 5 s
// passes), so it returns only when the program has had time to stop its
// work and record it. The program ends the process itself before then.
constexpr DWORD kCloseHoldRealMs = 4500;

// Runs on a thread the system starts for the console event. Closing the
// window is the console's hang-up (a terminal's SIGHUP elsewhere).
BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      g_count.fetch_add(1);
      if (g_event != nullptr) ::SetEvent(g_event);
      return TRUE;
    case CTRL_CLOSE_EVENT:
      // A first and a second interrupt: stop at once.
      g_count.fetch_add(2);
      if (g_event != nullptr) ::SetEvent(g_event);
      ::Sleep(kCloseHoldRealMs);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

bool CatchInterrupts() {
  if (g_caught) return true;
  if (g_event == nullptr) g_event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (g_event == nullptr || !::SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) return false;
  g_caught = true;
  return true;
}

void ReleaseInterrupts() {
  if (!g_caught) return;
  ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  g_caught = false;
}

int InterruptCount() { return g_count.load(); }

bool WaitForInterrupt(int seen, std::uint32_t ms) {
  if (g_count.load() > seen) return true;
  if (g_event == nullptr) {
    Sleep(ms);
  } else {
    const std::uint32_t realMs = ToRealMs(ms);
    ::WaitForSingleObject(g_event, realMs == kInfinite ? INFINITE : realMs);
  }
  return g_count.load() > seen;
}

void WakeInterruptWait() {
  if (g_event != nullptr) ::SetEvent(g_event);
}

InterruptsBlocked::InterruptsBlocked() : m_previous{} {}
InterruptsBlocked::~InterruptsBlocked() = default;

void ExitNow(int status) {
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace orvane::platform
