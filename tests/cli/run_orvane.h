#pragma once
// Runs the `orvane` front end in-process, as a terminal would start it, and
// keeps what it printed and its exit status.
#include <sstream>
#include <string>
#include <vector>

#include "cli/orvane_cli.h"

namespace orvane::test {

struct CliResult {
  int status;
  std::string out;
  std::string err;
};

// `args` without the program name.
inline CliResult RunCli(std::vector<std::string> args) {
  args.insert(args.begin(), "orvane");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const int status = cli::RunOrvane(static_cast<int>(argv.size()), argv.data(), out, err);
  return {status, out.str(), err.str()};
}

}  // namespace orvane::test
