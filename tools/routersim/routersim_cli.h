#pragma once
// The `orvane-routersim` command line: flags to a Config, then serve.
#include <functional>
#include <optional>
#include <ostream>

#include "routersim/module_sim.h"
#include "routersim/router_sim.h"

namespace orvane::routersim {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct CliOptions {
  Config config;
  ModuleConfig module;
  double timeScale = 1.0;
};

// Parses the flags. Returns the options, or nothing with `*exitStatus` set
// (0 after --help, 2 for a usage error; the text went to `out` or `err`).
std::optional<CliOptions> ParseRouterSimArgs(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                                             int* exitStatus);

// Parses, sets the clock's time scale, starts the simulator, prints one line
// per service ("telnet ADDR:PORT", "relay ADDR:PORT", "control ADDR:PORT"),
// calls `waitUntilDone` and stops. Returns the exit status.
int RunRouterSim(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                 const std::function<void()>& waitUntilDone);

}  // namespace orvane::routersim
