#pragma once
// The `orvane` command line: argument parsing and dispatch to the commands.
#include <istream>
#include <ostream>

#include "cli/router_commands.h"

namespace orvane::cli {

// Runs one `orvane` command line; returns the process exit status
// (0 success, 1 the command failed, 2 usage error, 3 an update blocked by a
// version, 130 interrupted).
int RunOrvane(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
// The same with the operator's input and what the streams are: the
// confirmation question needs a terminal on the input, live progress one on
// the output.
int RunOrvane(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err,
              TerminalState terminal);

}  // namespace orvane::cli
