#pragma once
// The router's settings store: `nvram_get` and `nvram_set` over text keys
// and values, exactly the C interface that the router board's own settings
// library exports. The daemon reads through nvram_read (nvram_read.h), which
// every store builds on or beside these two, and writes with nvram_set.
//
// The build chooses where the two functions come from (NETVIGIL_SETTINGS):
//   library  the board's settings library (NETVIGIL_NVRAM_LIBRARY), with
//            nvram_library.cpp for nvram_read;
//   command  nvram_command.cpp: the firmware's `nvram` program, run for each
//            call;
//   file     nvram_file.cpp: a text file, for development machines and tests
//            (nvram_file.h).
//
// Keys are non-empty and hold no '=' or line feed; values hold no line feed.

#ifdef __cplusplus
extern "C" {
#endif

// The value stored under `name`, or a null pointer when there is none (or the
// store cannot be read). The text stays valid until the next nvram_get or
// nvram_set of the same key in this process; the daemon uses it at once or
// copies it.
char* nvram_get(const char* name);

// Stores `value` under `name`. 0 on success, -1 on failure (bad key or value:
// errno EINVAL; or the store could not be written).
int nvram_set(const char* name, const char* value);

#ifdef __cplusplus
}
#endif
