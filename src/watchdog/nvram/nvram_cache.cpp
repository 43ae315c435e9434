// The kept texts of nvram_get: see nvram_cache.h.
#include "watchdog/nvram/nvram_cache.h"

#include <stdlib.h>
#include <string.h>

namespace {

struct kept_value {
  char* name;
  char* value;
  kept_value* next;
};

kept_value* g_kept = nullptr;

}  // namespace

char* nvram_keep_value(const char* name, const char* value, size_t length) {
  kept_value* entry = g_kept;
  while (entry != nullptr && strcmp(entry->name, name) != 0) entry = entry->next;
  if (entry != nullptr && strlen(entry->value) == length && memcmp(entry->value, value, length) == 0) {
    return entry->value;  // unchanged: the caller's earlier text stays valid
  }
  char* copy = static_cast<char*>(malloc(length + 1));
  if (copy == nullptr) return nullptr;
  memcpy(copy, value, length);
  copy[length] = '\0';
  if (entry == nullptr) {
    entry = static_cast<kept_value*>(malloc(sizeof(kept_value)));
    char* name_copy = entry != nullptr ? strdup(name) : nullptr;
    if (name_copy == nullptr) {
      free(entry);
      free(copy);
      return nullptr;
    }
    entry->name = name_copy;
    entry->value = nullptr;
    entry->next = g_kept;
    g_kept = entry;
  }
  free(entry->value);
  entry->value = copy;
  return copy;
}
