#include <iostream>

#include "cli/orvane_cli.h"
#include "platform/console.h"

int main(int argc, char** argv) {
  const bool interactive = orvane::platform::StdinIsTerminal() && orvane::platform::StdoutIsTerminal();
  return orvane::cli::RunOrvane(argc, argv, std::cin, std::cout, std::cerr, interactive);
}
