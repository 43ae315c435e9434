#pragma once
// The terminal the command line runs in.
namespace orvane::platform {

// True when standard output / standard input is an interactive terminal.
bool StdoutIsTerminal();
bool StdinIsTerminal();

// From here on, a write to an output whose reader went away (a pipe into a
// program that has ended, a terminal that was closed) fails as any failed
// write does, and the stream it went through stops taking text, instead of
// ending the process: a run goes on and records itself with nobody
// reading. On POSIX SIGPIPE is ignored (inherited by programs started
// later); Windows reports such a write as a failure already.
void IgnoreClosedOutput();

}  // namespace orvane::platform
