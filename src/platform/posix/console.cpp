#include "platform/console.h"

#include <unistd.h>

namespace orvane::platform {

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }
bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

}  // namespace orvane::platform
