#include "platform/console.h"

#include <io.h>
#include <stdio.h>

namespace orvane::platform {

bool StdoutIsTerminal() { return ::_isatty(::_fileno(stdout)) != 0; }
bool StdinIsTerminal() { return ::_isatty(::_fileno(stdin)) != 0; }

void IgnoreClosedOutput() {}

}  // namespace orvane::platform
