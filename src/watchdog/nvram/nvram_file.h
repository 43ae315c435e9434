#pragma once
// The file-backed settings store: nvram_get and nvram_set (nvram.h) over a
// text file, for development machines and tests, with the further operations
// that the `nvram` command (tools/nvram) offers.
//
// Store: one text file, one "key=value" line per setting. Its path is the
// environment variable NVRAM_FILE, or kNvramDefaultFile when that is unset
// or empty. A set-user-id or set-group-id process ignores NVRAM_FILE (a
// caller must not be able to point a privileged process at another file).
//
// Every change rewrites the whole file into a temporary file beside it and
// renames that over the store, so a reader sees either the old or the new
// store, never half of one; a lock file ("<store>.lock") serialises writers
// of different processes so that no change is lost.
//
// A store file that exists but cannot be read gives no value (nvram_get);
// nvram_read (nvram_read.h) reports it as unreadable, with errno.
//
// Thread safety: none; one thread per process uses the store.
#include "watchdog/nvram/nvram.h"

#ifdef __cplusplus
extern "C" {
#endif

// The store used when NVRAM_FILE is not set.
#define kNvramDefaultFile "/tmp/nvram.txt"

// Removes `name` from the store; a missing key is no error. 0, or -1 as
// nvram_set.
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
