#pragma once
// `orvane station`: a bench of several routers, one lane per network
// interface, unit after unit (engine/station.h), and how it is shown: a live
// line per lane and a PASS/FAIL line per unit on a terminal, one line per
// event without one, with --json a JSON object per unit and per router
// already done and a summary, and a CSV row per unit in --report.
#include <ostream>
#include <string>
#include <vector>

#include "cli/router_commands.h"
#include "cli/trust_commands.h"
#include "engine/station.h"
#include "net/network_profile.h"

namespace orvane::cli {

struct StationCommandOptions {
  std::vector<std::string> interfaces;  // one lane each: a name, or (Windows above all) an IPv4 address
  std::string directory = ".";
  NetworkProfile profile;  // every lane's, but for its binding
  std::string logFolder;
  double timeScale = 1.0;
  int count = 0;  // 0: until interrupted
  bool again = false;
  bool noVerify = false;
  bool json = false;
  bool quiet = false;  // no bell
  std::string reportFile;  // CSV, a row per unit; "" none
  TrustOptions trust;      // the trusted keys, and whether unsigned images may go
};

// The CSV report's header line (without its line end) and a unit's row.
std::string StationCsvHeader();
std::string StationCsvRow(const StationUnit& unit);

// The station's units counted, as the summary and the exit status see them.
struct StationTally {
  int passed = 0;
  int failed = 0;
  int blocked = 0;
  int interrupted = 0;
  // The times a router already brought to success came on a lane again:
  // no units, and the exit status leaves them out.
  int alreadyDone = 0;
  int slowest = 0;  // the unit's number; 0 without units
  std::string slowestInterface;
  double slowestSeconds = 0;

  void Add(const StationUnit& unit);
  int Units() const { return passed + failed + blocked + interrupted; }
  // 130 when the operator interrupted, else 1 when a unit failed or was
  // blocked, else 0.
  int ExitStatus(bool interrupted) const;
};

// Runs the station until the count is reached or the operator interrupts:
// the first interrupt stops every lane at its next safe point, the second at
// once. Usage errors (an interface that does not exist or has no address on
// the broadcast's network, a binding the system refuses) return kExitUsage
// before any lane starts.
int RunStation(const StationCommandOptions& options, std::ostream& out, std::ostream& err, TerminalState terminal);

}  // namespace orvane::cli
