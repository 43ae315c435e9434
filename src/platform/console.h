#pragma once
// The terminal the command line runs in.
namespace orvane::platform {

// True when standard output / standard input is an interactive terminal.
bool StdoutIsTerminal();
bool StdinIsTerminal();

}  // namespace orvane::platform
