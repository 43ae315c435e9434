#include "platform/console.h"

#include <signal.h>
#include <unistd.h>

namespace orvane::platform {

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }
bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

void IgnoreClosedOutput() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace orvane::platform
