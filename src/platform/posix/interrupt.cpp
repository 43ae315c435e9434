#include "platform/interrupt.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"

namespace orvane::platform {
namespace {

static_assert(sizeof(sigset_t) <= 128, "InterruptsBlocked keeps a sigset_t");

std::atomic<int> g_count{0};
// The pipe a wait polls: the handler and WakeInterruptWait write a byte.
int g_pipe[2] = {-1, -1};
bool g_caught = false;
// The signals taken as the operator's interrupts: Ctrl-C, a request to end
// (a service manager's, kill's) and the terminal's hang-up (its window
// closed, the remote session gone). Each is counted alike.
constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr std::size_t kSignalCount = sizeof kInterruptSignals / sizeof kInterruptSignals[0];
// The handling each had before CatchInterrupts(), in the order above.
struct sigaction g_previous[kSignalCount] = {};

void Poke() {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);  // full pipe: a wake is pending anyway
  errno = saved;
}

extern "C" void OnInterrupt(int) {
  g_count.fetch_add(1);
  Poke();
}

sigset_t InterruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int number : kInterruptSignals) sigaddset(&set, number);
  return set;
}

}  // namespace

bool CatchInterrupts() {
  if (g_caught) return true;
  if (g_pipe[0] < 0) {
    if (::pipe(g_pipe) != 0) return false;
    for (const int fd : g_pipe) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a read of the terminal that the interrupt breaks off
  // returns, so the catching thread can look at the count.
  action.sa_flags = 0;
  for (std::size_t i = 0; i < kSignalCount; ++i) {
    const int number = kInterruptSignals[i];
    // A hang-up the process was started to ignore (nohup) stays ignored.
    if (number == SIGHUP && ::sigaction(number, nullptr, &g_previous[i]) == 0 &&
        g_previous[i].sa_handler == SIG_IGN) {
      continue;
    }
    if (::sigaction(number, &action, &g_previous[i]) != 0) {
      while (i-- > 0) ::sigaction(kInterruptSignals[i], &g_previous[i], nullptr);
      return false;
    }
  }
  const sigset_t set = InterruptSignals();
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  g_caught = true;
  return true;
}

void ReleaseInterrupts() {
  if (!g_caught) return;
  for (std::size_t i = 0; i < kSignalCount; ++i) ::sigaction(kInterruptSignals[i], &g_previous[i], nullptr);
  g_caught = false;
}

int InterruptCount() { return g_count.load(); }

bool WaitForInterrupt(int seen, std::uint32_t ms) {
  if (g_count.load() > seen) return true;
  if (g_pipe[0] < 0) {
    Sleep(ms);
    return g_count.load() > seen;
  }
  const std::uint32_t realMs = ToRealMs(ms);
  pollfd entry{g_pipe[0], POLLIN, 0};
  const int timeout = realMs == kInfinite ? -1 : static_cast<int>(realMs > 0x7FFFFFFF ? 0x7FFFFFFF : realMs);
  if (::poll(&entry, 1, timeout) > 0) {
    char drain[64];
    while (::read(g_pipe[0], drain, sizeof drain) > 0) {
    }
  }
  return g_count.load() > seen;
}

void WakeInterruptWait() {
  if (g_pipe[1] >= 0) Poke();
}

InterruptsBlocked::InterruptsBlocked() {
  const sigset_t set = InterruptSignals();
  sigset_t previous;
  ::pthread_sigmask(SIG_BLOCK, &set, &previous);
  std::memcpy(m_previous, &previous, sizeof previous);
}

InterruptsBlocked::~InterruptsBlocked() {
  sigset_t previous;
  std::memcpy(&previous, m_previous, sizeof previous);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void ExitNow(int status) {
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace orvane::platform
