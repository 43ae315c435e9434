#pragma once
// `orvane check` and `orvane update`: the dialog's two buttons from a
// terminal, against a router (or the simulator) on the network profile.
#include <istream>
#include <ostream>
#include <string>

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
};

int CheckRouter(const RouterOptions& options, std::ostream& out, std::ostream& err);
int UpdateRouter(const RouterOptions& options, std::istream& in, std::ostream& out, std::ostream& err,
                 bool interactive);

}  // namespace orvane::cli
