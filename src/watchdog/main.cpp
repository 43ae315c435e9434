// netvigil: the router's link watchdog daemon (see netvigil.h).
//
//   netvigil                     the daemon, as the router starts it
//   netvigil --dry-run [--write] one pass in the foreground, decisions printed
//   netvigil --version | --help
#include <string.h>
#include <unistd.h>

#include "orvane_version.h"
#include "watchdog/netvigil.h"

namespace {

constexpr int kUsageError = 2;

void print_usage(int fd) {
  nv::write_text(fd,
                 "usage: netvigil [--dry-run [--write] | --version | --help]\n"
                 "  without options  run as the router's link watchdog (detaches; may run reboot)\n"
                 "  --dry-run        one pass in the foreground: log lines and every decision on\n"
                 "                   standard output; no pause, no reboot, no settings written\n"
                 "  --write          with --dry-run: store the counters as the pass decides\n"
                 "  --version        print the version\n"
                 "  --help           print this text\n");
}

// "netvigil: " and the complaint about `option` (written whole, however
// long), then the usage.
int usage_error(const char* before, const char* option, const char* after) {
  const char* const parts[] = {"netvigil: ", before, option, after, "\n"};
  for (const char* part : parts) nv::write_text(STDERR_FILENO, part);
  print_usage(STDERR_FILENO);
  return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc <= 1) nv::netvigil_main();  // the daemon exactly as the router starts it

  bool dry_run = false;
  bool write = false;
  for (int i = 1; i < argc; ++i) {
    const char* option = argv[i];
    const bool alone = argc == 2;
    if (strcmp(option, "--dry-run") == 0) {
      dry_run = true;
    } else if (strcmp(option, "--write") == 0) {
      write = true;
    } else if (strcmp(option, "--version") == 0 && alone) {
      const char* const parts[] = {"netvigil ", ORVANE_VERSION_FULL, "\n"};
      for (const char* part : parts) nv::write_text(STDOUT_FILENO, part);
      return 0;
    } else if (strcmp(option, "--help") == 0 && alone) {
      print_usage(STDOUT_FILENO);
      return 0;
    } else if (strcmp(option, "--version") == 0 || strcmp(option, "--help") == 0) {
      return usage_error("", option, " takes no other option");
    } else {
      return usage_error("unknown option '", option, "'");
    }
  }
  if (!dry_run) return usage_error("", "--write", " needs --dry-run");
  return nv::netvigil_dry_run(write);
}
