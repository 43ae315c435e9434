#pragma once
// The texts that nvram_get hands out (file and command stores): the latest
// value read for each key, kept so that it outlives the call. The file store
// keeps them on the heap (nvram_cache.cpp), the command store in a fixed
// area (nvram_cache_static.cpp; see kNvramKeptKeys).
#include <stddef.h>

// Keeps `length` bytes of `value` as the text of key `name` and returns the
// kept, zero-terminated copy; null when memory (or the area) ran out. When
// the key's kept text is already equal, that text is returned unchanged, so
// an earlier answer for the key stays valid; otherwise the earlier text is
// released.
char* nvram_keep_value(const char* name, const char* value, size_t length);
