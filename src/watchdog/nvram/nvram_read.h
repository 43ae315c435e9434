#pragma once
// One read of the settings store as the daemon needs it: a value, no such
// key, or a store that could not be read, and then why. nvram_get (nvram.h)
// folds the last two into one null pointer; the daemon must not, since a
// store that failed to answer says nothing about the setting.
//
// Every store gives nvram_read: the file and command stores natively, the
// board library's store (nvram_library.cpp) over its nvram_get, which cannot
// tell a failure from a missing key and so never reports one.

// What the read found.
enum nvram_outcome {
  NVRAM_VALUE,       // the key holds a value (maybe empty)
  NVRAM_MISSING,     // the store answered: no such key
  NVRAM_UNREADABLE,  // the store did not answer; `failure` says why
};

// Why a store could not be read; what `detail` holds.
enum nvram_failure {
  NVRAM_FAILURE_NONE,     // a value or a missing key
  NVRAM_FAILURE_START,    // `nvram` could not be started; detail: errno
  NVRAM_FAILURE_STATUS,   // `nvram get` ended with a status that is neither a
                          // value's (0) nor a missing key's (1); detail: it
  NVRAM_FAILURE_SIGNAL,   // `nvram get` was ended by a signal; detail: its number
  NVRAM_FAILURE_TIMEOUT,  // `nvram get` did not end in time (it was killed);
                          // detail: the time limit, ms
  NVRAM_FAILURE_IO,       // the program's output or end could not be followed;
                          // detail: errno
  NVRAM_FAILURE_FILE,     // the store file exists but cannot be read; detail: errno
  NVRAM_FAILURE_MEMORY,   // the value could not be kept (no room); detail: 0
};

struct nvram_result {
  nvram_outcome outcome;
  // NVRAM_VALUE: the value, valid as a text from nvram_get is (until the
  // next read or write of the same key); otherwise null.
  const char* value;
  nvram_failure failure;  // NVRAM_FAILURE_NONE unless NVRAM_UNREADABLE
  int detail;
};

// Reads `name`. A key that no store can hold (empty, with '=' or a line
// feed) is missing.
nvram_result nvram_read(const char* name);
