#pragma once
// `orvane doctor`: the diagnosis of what stands between this PC and the
// router, each finding with what to do, as text or one JSON object.
#include <optional>
#include <ostream>
#include <string>

#include "cli/trust_commands.h"
#include "net/network_profile.h"

namespace orvane::cli {

struct DoctorOptions {
  std::string directory = ".";
  NetworkProfile profile;
  std::string router;  // where the router's TCP ports are probed when discovery is silent; empty: derived
  double timeScale = 1.0;
  bool json = false;
  TrustOptions trust;
};

// Exit status: 0 when a check would succeed, 1 when it would fail, 2 for a
// usage error.
int Doctor(const DoctorOptions& options, std::ostream& out, std::ostream& err);

}  // namespace orvane::cli
