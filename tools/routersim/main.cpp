// orvane-routersim: serves until SIGINT or SIGTERM.
#include <signal.h>

#include <iostream>

#include "routersim/routersim_cli.h"

int main(int argc, char** argv) {
  // Block the two signals before any thread starts, so that every thread
  // inherits the mask and only sigwait below takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  return orvane::routersim::RunRouterSim(argc, argv, std::cout, std::cerr, [&stopSignals] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
  });
}
