// netvigil: the router's link watchdog daemon (see netvigil.h).
//
//   netvigil                     the daemon, as the router starts it
//   netvigil --dry-run [--write] one pass in the foreground, decisions printed
//   netvigil --version | --help
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "orvane_version.h"
#include "watchdog/netvigil.h"

namespace {

constexpr int kUsageError = 2;

void print_usage(FILE* out) {
  fputs(
      "usage: netvigil [--dry-run [--write] | --version | --help]\n"
      "  without options  run as the router's link watchdog (detaches; may run reboot)\n"
      "  --dry-run        one pass in the foreground: log lines and every decision on\n"
      "                   standard output; no pause, no reboot, no settings written\n"
      "  --write          with --dry-run: store the counters as the pass decides\n"
      "  --version        print the version\n"
      "  --help           print this text\n",
      out);
}

int usage_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
int usage_error(const char* format, ...) {
  fputs("netvigil: ", stderr);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
  print_usage(stderr);
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
      printf("netvigil %s\n", ORVANE_VERSION_FULL);
      return 0;
    } else if (strcmp(option, "--help") == 0 && alone) {
      print_usage(stdout);
      return 0;
    } else if (strcmp(option, "--version") == 0 || strcmp(option, "--help") == 0) {
      return usage_error("%s takes no other option", option);
    } else {
      return usage_error("unknown option '%s'", option);
    }
  }
  if (!dry_run) return usage_error("%s needs --dry-run", "--write");
  return nv::netvigil_dry_run(write);
}
