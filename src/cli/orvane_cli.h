#pragma once
// The `orvane` command line: argument parsing and dispatch to the commands.
#include <istream>
#include <ostream>

namespace orvane::cli {

// Runs one `orvane` command line; returns the process exit status
// (0 success, 1 the command failed, 2 usage error).
int RunOrvane(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
// The same with the operator's input: `interactive` when both ends are a
// terminal (live progress, confirmation question).
int RunOrvane(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err,
              bool interactive);

}  // namespace orvane::cli
