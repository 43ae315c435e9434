// netvigil: the router's link watchdog daemon (see netvigil.h).
#include "watchdog/netvigil.h"

int main() {
  nv::netvigil_main();  // command-line arguments are ignored
}
