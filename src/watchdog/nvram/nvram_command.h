#pragma once
// The settings store through the firmware's `nvram` program, for a daemon
// built without the board's library: nvram_get (nvram.h) runs
// `nvram get KEY` and takes what it prints, less one final line feed;
// nvram_set runs `nvram set KEY=VALUE`.
//
// The program is found on PATH (a set-user-id or set-group-id process
// searches kNvramTrustedPath instead) and run without a shell: keys and values
// reach it as they are. A value longer than kNvramValueBuffer - 1 bytes is
// cut; a setting longer than kNvramSettingBuffer - 1 bytes is not written.
// `nvram get` ends with 0 and the value, or with kNvramMissingStatus for a key
// that is not set. nvram_read (nvram_read.h) tells the other ends apart: a
// program that cannot be started, ends with another status, is killed by a
// signal or does not end within kNvramCommandTimeoutMs leaves the store
// unreadable, and the result says which. nvram_get gives no value for those
// as for a missing key; nvram_set fails (errno EIO). The store uses no heap.
//
// Thread safety: none; one thread per process uses the store. While a
// program runs, SIGCHLD is blocked and has its default action.
#include <stddef.h>

#include "watchdog/nvram/nvram_read.h"

// The search path of a set-id process.
inline constexpr const char* kNvramTrustedPath = "/bin:/sbin:/usr/bin:/usr/sbin";
// The exit status of `nvram get` for a key that is not set.
inline constexpr int kNvramMissingStatus = 1;
// One run of the program, from start to its end, at most (real time).
inline constexpr int kNvramCommandTimeoutMs = 5000;
// The longest value kept, its terminating zero included.
inline constexpr size_t kNvramValueBuffer = 1024;
// The longest "KEY=VALUE" that nvram_set hands to the program, its
// terminating zero included; a longer setting is refused (errno EINVAL).
inline constexpr size_t kNvramSettingBuffer = 4096;
// The kept values of this store live in a fixed area, without a heap: it
// holds at least this many keys of up to 32 bytes, whatever their values.
// Past that, nvram_get of a further key gives no value.
inline constexpr size_t kNvramKeptKeys = 30;

// Runs argv[0] (found as described above) with `argv` and no shell, and keeps
// the first `capacity` - 1 bytes of its standard output, zero-terminated, in
// `output` (capacity > 0); the rest is read and dropped. The program gets
// `timeout_ms` from its start to close its output and end; when it has not,
// it is killed. It is always reaped before the call returns. Its exit status
// (0-255), or -1 when it could not be started, was killed or ran out of time.
int nvram_command_run(const char* const argv[], char* output, size_t capacity, int timeout_ms);

// How one run of the program ended: `failure` NVRAM_FAILURE_NONE when it
// exited, `detail` its exit status; otherwise why it did not (START with
// errno, SIGNAL with the signal, TIMEOUT with `timeout_ms`, IO with errno).
struct nvram_command_end {
  nvram_failure failure;
  int detail;
};
// nvram_command_run with the end told apart.
nvram_command_end nvram_command_call(const char* const argv[], char* output, size_t capacity,
                                     int timeout_ms);
