#pragma once
// The router's settings store, as the daemon sees it: `nvram_get` and
// `nvram_set` over text keys and values.
//
// On the router these two come from the board's own library. Elsewhere this
// file-backed stand-in takes their place with the same C interface, so the
// daemon builds and runs unchanged on a development machine.
//
// Store: one text file, one "key=value" line per setting. Its path is the
// environment variable NVRAM_FILE, or kNvramDefaultFile when that is unset
// or empty. A set-user-id or set-group-id process ignores NVRAM_FILE (a
// caller must not be able to point a privileged process at another file).
//
// Keys are non-empty and hold no '=' or line feed; values hold no line feed.
//
// Every change rewrites the whole file into a temporary file beside it and
// renames that over the store, so a reader sees either the old or the new
// store, never half of one; a lock file ("<store>.lock") serialises writers
// of different processes so that no change is lost.
//
// Thread safety: none; one thread per process uses the store.

#ifdef __cplusplus
extern "C" {
#endif

// The store used when NVRAM_FILE is not set.
#define kNvramDefaultFile "/tmp/nvram.txt"

// The value stored under `name`, or a null pointer when there is none (or the
// store cannot be read). The text stays valid until the next nvram_get,
// nvram_set or nvram_unset of the same key in this process.
char* nvram_get(const char* name);

// Stores `value` under `name`. 0 on success, -1 on failure (bad key or value:
// errno EINVAL; or the store could not be written: errno from the system).
int nvram_set(const char* name, const char* value);

// Removes `name` from the store; a missing key is no error. 0 or -1 as above.
int nvram_unset(const char* name);

// Calls `visit` once per setting, in the order of the store. 0 on success,
// -1 when the store exists but cannot be read. A missing store has no
// settings.
int nvram_visit(void (*visit)(const char* name, const char* value, void* context),
                void* context);

// The path of the store this process uses now.
const char* nvram_file(void);

#ifdef __cplusplus
}
#endif
