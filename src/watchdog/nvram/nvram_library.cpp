// nvram_read (nvram_read.h) for the board's settings library: its nvram_get
// answers with a value or a null pointer, and a null pointer is all it can
// say, so this store reports a value or a missing key, never an unreadable
// store.
#include "watchdog/nvram/nvram.h"
#include "watchdog/nvram/nvram_read.h"

nvram_result nvram_read(const char* name) {
  const char* value = nvram_get(name);
  if (value == nullptr) return {NVRAM_MISSING, nullptr, NVRAM_FAILURE_NONE, 0};
  return {NVRAM_VALUE, value, NVRAM_FAILURE_NONE, 0};
}
