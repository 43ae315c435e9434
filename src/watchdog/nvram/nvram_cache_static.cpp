// The kept texts of nvram_get (see nvram_cache.h) without a heap, for the
// `command` store: on the router the daemon links no memory allocator.
//
// Each key gets one record in a fixed area: its name and room for its text.
// A new text that fits the room is written over the old one, which the
// contract releases anyway; a longer one takes new room of the largest size
// this store's values have (kNvramValueBuffer), so a key moves at most once.
// The area is static storage that is zero at start: only the part in use
// costs memory.
#include <string.h>

#include "watchdog/nvram/nvram_cache.h"
#include "watchdog/nvram/nvram_command.h"

namespace {

struct kept_record {
  kept_record* next;
  char* value;
  size_t room;  // bytes at `value`, its terminating zero included
  // The name follows the record, zero-terminated.
  const char* name() const { return reinterpret_cast<const char*>(this + 1); }
};

// Room for kNvramKeptKeys keys of up to 32 bytes, each holding the longest
// value after having moved once: the daemon reads about 16 keys, with short
// values.
constexpr size_t kKeptKeySize = 32;
constexpr size_t kAreaSize =
    kNvramKeptKeys * (sizeof(kept_record) + kKeptKeySize + 2 * kNvramValueBuffer);

alignas(kept_record) unsigned char g_area[kAreaSize];
size_t g_used = 0;
kept_record* g_kept = nullptr;

// `size` bytes of the area, aligned for a record; null when it is used up.
unsigned char* take(size_t size) {
  const size_t start = (g_used + alignof(kept_record) - 1) & ~(alignof(kept_record) - 1);
  if (start > sizeof g_area || size > sizeof g_area - start) return nullptr;
  g_used = start + size;
  return g_area + start;
}

}  // namespace

char* nvram_keep_value(const char* name, const char* value, size_t length) {
  kept_record* entry = g_kept;
  while (entry != nullptr && strcmp(entry->name(), name) != 0) entry = entry->next;
  if (entry == nullptr) {
    const size_t name_size = strlen(name) + 1;
    unsigned char* at = take(sizeof(kept_record) + name_size + length + 1);
    if (at == nullptr) return nullptr;
    entry = reinterpret_cast<kept_record*>(at);
    memcpy(at + sizeof(kept_record), name, name_size);
    entry->value = reinterpret_cast<char*>(at + sizeof(kept_record) + name_size);
    entry->room = length + 1;
    entry->value[0] = '\0';
    entry->next = g_kept;
    g_kept = entry;
  } else if (strlen(entry->value) == length && memcmp(entry->value, value, length) == 0) {
    return entry->value;  // unchanged: the caller's earlier text stays valid
  } else if (length >= entry->room) {
    const size_t room = length < kNvramValueBuffer ? kNvramValueBuffer : length + 1;
    unsigned char* at = take(room);
    if (at == nullptr) return nullptr;
    entry->value = reinterpret_cast<char*>(at);
    entry->room = room;
  }
  memcpy(entry->value, value, length);
  entry->value[length] = '\0';
  return entry->value;
}
