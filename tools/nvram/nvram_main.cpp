// `nvram`: sets up the file-backed settings store by hand.
//
//   nvram get KEY          prints the value; exit 1 when the key is missing
//   nvram set KEY=VALUE    stores VALUE (everything after the first '=')
//   nvram unset KEY        removes the key
//   nvram show             prints every "KEY=VALUE"
//   nvram --version        prints the version
//
// The store is the file named by NVRAM_FILE (default /tmp/nvram.txt).
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "orvane_version.h"
#include "watchdog/nvram/nvram_file.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitMissing = 1;
constexpr int kExitUsage = 2;
constexpr int kExitStoreError = 3;

int usage() {
  fputs("usage: nvram get KEY | set KEY=VALUE | unset KEY | show | --version\n", stderr);
  return kExitUsage;
}

int store_error(const char* what) {
  fprintf(stderr, "nvram: cannot %s %s: %s\n", what, nvram_file(), strerror(errno));
  return kExitStoreError;
}

void print_setting(const char* name, const char* value, void*) {
  printf("%s=%s\n", name, value);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    puts("nvram " ORVANE_VERSION_FULL);
    return kExitOk;
  }
  if (argc == 2 && strcmp(argv[1], "show") == 0) {
    return nvram_visit(print_setting, nullptr) == 0 ? kExitOk : store_error("read");
  }
  if (argc != 3) return usage();
  const char* command = argv[1];
  const char* argument = argv[2];

  if (strcmp(command, "get") == 0) {
    const char* value = nvram_get(argument);
    if (value == nullptr) return kExitMissing;
    printf("%s\n", value);
    return kExitOk;
  }
  if (strcmp(command, "set") == 0) {
    const char* equals = strchr(argument, '=');
    if (equals == nullptr || equals == argument) return usage();
    char name[256];
    const size_t name_length = static_cast<size_t>(equals - argument);
    if (name_length >= sizeof name) {
      fputs("nvram: key too long\n", stderr);
      return kExitUsage;
    }
    memcpy(name, argument, name_length);
    name[name_length] = '\0';
    if (nvram_set(name, equals + 1) != 0) {
      if (errno == EINVAL) {
        fputs("nvram: a value may not hold a line feed\n", stderr);
        return kExitUsage;
      }
      return store_error("write");
    }
    return kExitOk;
  }
  if (strcmp(command, "unset") == 0) {
    if (nvram_unset(argument) != 0) {
      if (errno == EINVAL) return usage();
      return store_error("write");
    }
    return kExitOk;
  }
  return usage();
}
