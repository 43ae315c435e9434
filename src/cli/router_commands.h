#pragma once
// `orvane check` and `orvane update`: the dialog's two buttons from a
// terminal, against a router (or the simulator) on the network profile.
#include <istream>
#include <ostream>
#include <string>

#include "cli/run_rendering.h"
#include "cli/trust_commands.h"
#include "net/network_profile.h"

namespace orvane::cli {

// Exit status of a check whose row blocks the update.
inline constexpr int kExitBlocked = 3;

struct RouterOptions {
  std::string directory = ".";  // where the images are
  NetworkProfile profile;
  std::string logFolder;        // empty = the default per-user folder
  double timeScale = 1.0;
  bool json = false;
  bool yes = false;             // update: no confirmation question
  bool verify = false;          // update: read the versions back after a run that succeeded
  TrustOptions trust;           // the trusted keys, and whether unsigned images may go
};


// What the process's standard streams are connected to.
struct TerminalState {
  bool inputIsTerminal = false;   // the operator can answer a question
  bool outputIsTerminal = false;  // live progress bars
};

// Both catch the operator's interrupts while they run (platform/interrupt.h)
// and end with kExitInterrupted after one; the check and the run go on
// worker threads meanwhile. A check is ended at once (it changes nothing). A
// run is asked to stop at its next safe point; a second interrupt stops it
// at once: when it does not end promptly then, its report so far is printed
// and the process ends (platform::ExitNow).
int CheckRouter(const RouterOptions& options, std::ostream& out, std::ostream& err);
int UpdateRouter(const RouterOptions& options, std::istream& in, std::ostream& out, std::ostream& err,
                 TerminalState terminal);

}  // namespace orvane::cli
