#include <iostream>

#include "cli/orvane_cli.h"
#include "platform/console.h"
#include "platform/socket.h"

int main(int argc, char** argv) {
  // `orvane update | head` must not end a run when head has seen enough.
  orvane::platform::IgnoreClosedOutput();
  // Windows Sockets must be started before the first socket (nothing to do
  // elsewhere); it stays started until the process ends.
  std::uint32_t socketError = 0;
  if (!orvane::platform::SocketStartup(&socketError)) {
    std::cerr << "orvane: Windows Sockets 2.2 did not start (error " << socketError << ")\n";
    return 1;
  }
  const orvane::cli::TerminalState terminal{orvane::platform::StdinIsTerminal(),
                                            orvane::platform::StdoutIsTerminal()};
  return orvane::cli::RunOrvane(argc, argv, std::cin, std::cout, std::cerr, terminal);
}
