// The stand-in board settings library: see board_nvram_standin.h.
#include "board_nvram_standin.h"

#include <map>
#include <string>

namespace {

std::map<std::string, std::string>& Table() {
  static std::map<std::string, std::string> table;
  return table;
}

}  // namespace

extern "C" {

char* nvram_get(const char* name) {
  const auto found = Table().find(name);
  return found != Table().end() ? found->second.data() : nullptr;
}

int nvram_set(const char* name, const char* value) {
  Table()[name] = value;
  return 0;
}

const char* standin_nvram_peek(const char* name) {
  const auto found = Table().find(name);
  return found != Table().end() ? found->second.c_str() : nullptr;
}

void standin_nvram_put(const char* name, const char* value) { Table()[name] = value; }

}  // extern "C"
