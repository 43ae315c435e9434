/* A stand-in for a router board's settings library: the two C functions a
 * board exports (the daemon's nvram/nvram.h), over a table in memory, and
 * two more for tests that read and fill the table without going through
 * them. Declared the way a board's C header declares them. */
#ifndef BOARD_NVRAM_STANDIN_H
#define BOARD_NVRAM_STANDIN_H

#ifdef __cplusplus
extern "C" {
#endif

char *nvram_get(const char *name);
int nvram_set(const char *name, const char *value);

/* The table, directly: the stored text or a null pointer; and a store. */
const char *standin_nvram_peek(const char *name);
void standin_nvram_put(const char *name, const char *value);

#ifdef __cplusplus
}
#endif

#endif
