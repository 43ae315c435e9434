// The settings store through the firmware's `nvram` program: see
// nvram_command.h.
//
// C library only, like the daemon: fork and execvp, a pipe for the output,
// poll for the time limit on reading, sigtimedwait for the time limit on the
// program's end.
#include "watchdog/nvram/nvram_command.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "watchdog/nvram/nvram.h"
#include "watchdog/nvram/nvram_cache.h"
#include "watchdog/nvram/nvram_read.h"
#include "watchdog/posix_io.h"

namespace {

constexpr const char* kProgram = "nvram";

bool key_valid(const char* name) {
  return name != nullptr && *name != '\0' && strpbrk(name, "=\n") == nullptr;
}

bool value_valid(const char* value) {
  return value != nullptr && strchr(value, '\n') == nullptr;
}

long long now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Milliseconds until `deadline`, 0 when it has passed.
int ms_left(long long deadline) {
  const long long left = deadline - now_ms();
  return left > 0 ? static_cast<int>(left) : 0;
}

// In the child: a process group of its own (so that a time-out ends the
// program with everything it started), standard output into the pipe, the
// caller's signal mask back, then the program. Never returns.
[[noreturn]] void exec_program(const char* const argv[], int out_fd, const sigset_t* mask) {
  setpgid(0, 0);
  if (out_fd == STDOUT_FILENO) {
    fcntl(out_fd, F_SETFD, 0);  // already in place: only keep it across exec
  } else if (dup2(out_fd, STDOUT_FILENO) < 0) {
    _exit(127);
  }
  sigprocmask(SIG_SETMASK, mask, nullptr);
  char* const* args = const_cast<char* const*>(argv);
  if (nv::identity_is_own()) {
    execvp(argv[0], args);
    _exit(127);
  }
  // A set-id process must not run whatever "nvram" its caller put on PATH.
  const size_t name_length = strlen(argv[0]);
  for (const char* dir = kNvramTrustedPath; *dir != '\0';) {
    const char* end = strchr(dir, ':');
    const size_t dir_length = end != nullptr ? static_cast<size_t>(end - dir) : strlen(dir);
    char path[64];
    if (dir_length + 1 + name_length < sizeof path) {
      memcpy(path, dir, dir_length);
      path[dir_length] = '/';
      memcpy(path + dir_length + 1, argv[0], name_length + 1);
      execv(path, args);
    }
    dir += dir_length + (end != nullptr ? 1 : 0);
  }
  _exit(127);
}

// Reads the program's output until it closes it; keeps what fits.
// NVRAM_FAILURE_TIMEOUT when `deadline` passed first, NVRAM_FAILURE_IO
// (errno in `error`) when reading failed.
nvram_failure read_output(int fd, char* output, size_t capacity, long long deadline, int* error) {
  size_t kept = 0;
  char dropped[256];
  nvram_failure failure = NVRAM_FAILURE_NONE;
  for (;;) {
    pollfd readable{fd, POLLIN, 0};
    const int ready = poll(&readable, 1, ms_left(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      *error = ready < 0 ? errno : 0;
      failure = ready < 0 ? NVRAM_FAILURE_IO : NVRAM_FAILURE_TIMEOUT;
      break;
    }
    const size_t room = capacity - 1 - kept;
    const ssize_t got = room > 0 ? read(fd, output + kept, room) : read(fd, dropped, sizeof dropped);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = errno;
      failure = NVRAM_FAILURE_IO;
      break;
    }
    if (got == 0) break;  // the program closed its output
    if (room > 0) kept += static_cast<size_t>(got);
  }
  output[kept] = '\0';
  return failure;
}

// Waits for `child` to end until `deadline`, with SIGCHLD blocked by the
// caller. 1: ended, `status` filled; 0: still running; -1: not waitable.
int wait_for_end(pid_t child, long long deadline, const sigset_t* child_signal, int* status) {
  for (;;) {
    const pid_t ended = waitpid(child, status, WNOHANG);
    if (ended == child) return 1;
    if (ended < 0 && errno != EINTR) return -1;
    const int left = ms_left(deadline);
    if (left == 0) return 0;
    timespec wait{};
    wait.tv_sec = left / 1000;
    wait.tv_nsec = (left % 1000) * 1000000L;
    // Wakes when a child ends, when the time is up or on another signal;
    // the loop looks again in every case.
    sigtimedwait(child_signal, nullptr, &wait);
  }
}

nvram_command_end run_blocked(const char* const argv[], char* output, size_t capacity,
                              int timeout_ms, const sigset_t* child_signal,
                              const sigset_t* caller_mask) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return {NVRAM_FAILURE_START, errno};
  const long long deadline = now_ms() + (timeout_ms > 0 ? timeout_ms : 0);
  const pid_t child = fork();
  if (child == 0) exec_program(argv, pipe_fds[1], caller_mask);
  const int fork_error = errno;
  close(pipe_fds[1]);
  if (child < 0) {
    close(pipe_fds[0]);
    return {NVRAM_FAILURE_START, fork_error};
  }
  int error = 0;
  nvram_command_end end{
      read_output(pipe_fds[0], output, capacity, deadline, &error), error};
  close(pipe_fds[0]);
  if (end.failure == NVRAM_FAILURE_TIMEOUT) end.detail = timeout_ms;

  int status = 0;
  int ended = 0;
  if (end.failure == NVRAM_FAILURE_NONE) {
    ended = wait_for_end(child, deadline, child_signal, &status);
    if (ended < 0) return {NVRAM_FAILURE_IO, errno};
    if (ended == 0) end = {NVRAM_FAILURE_TIMEOUT, timeout_ms};
  }
  if (ended == 0) {
    kill(-child, SIGKILL);  // the program's group: the child is not reaped yet
    kill(child, SIGKILL);   // in case it could not make its own group
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return end;
  }
  if (WIFEXITED(status)) return {NVRAM_FAILURE_NONE, WEXITSTATUS(status)};
  return {NVRAM_FAILURE_SIGNAL, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

}  // namespace

nvram_command_end nvram_command_call(const char* const argv[], char* output, size_t capacity,
                                     int timeout_ms) {
  output[0] = '\0';
  // The program's end is awaited as SIGCHLD: blocked, so that it stays
  // pending until asked for, and with its default action, since under an
  // inherited "ignore" the system would reap the child itself and its exit
  // status would be lost.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  struct sigaction caller_action {};
  sigaction(SIGCHLD, &default_action, &caller_action);
  sigset_t child_signal;
  sigemptyset(&child_signal);
  sigaddset(&child_signal, SIGCHLD);
  sigset_t caller_mask;
  sigprocmask(SIG_BLOCK, &child_signal, &caller_mask);

  const nvram_command_end end =
      run_blocked(argv, output, capacity, timeout_ms, &child_signal, &caller_mask);

  sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
  sigaction(SIGCHLD, &caller_action, nullptr);
  return end;
}

int nvram_command_run(const char* const argv[], char* output, size_t capacity, int timeout_ms) {
  const nvram_command_end end = nvram_command_call(argv, output, capacity, timeout_ms);
  return end.failure == NVRAM_FAILURE_NONE ? end.detail : -1;
}

nvram_result nvram_read(const char* name) {
  if (!key_valid(name)) return {NVRAM_MISSING, nullptr, NVRAM_FAILURE_NONE, 0};
  char value[kNvramValueBuffer];
  const char* const argv[] = {kProgram, "get", name, nullptr};
  const nvram_command_end end = nvram_command_call(argv, value, sizeof value, kNvramCommandTimeoutMs);
  if (end.failure != NVRAM_FAILURE_NONE) return {NVRAM_UNREADABLE, nullptr, end.failure, end.detail};
  if (end.detail == kNvramMissingStatus) return {NVRAM_MISSING, nullptr, NVRAM_FAILURE_NONE, 0};
  if (end.detail != 0) return {NVRAM_UNREADABLE, nullptr, NVRAM_FAILURE_STATUS, end.detail};
  size_t length = strlen(value);
  if (length > 0 && value[length - 1] == '\n') --length;
  const char* kept = nvram_keep_value(name, value, length);
  if (kept == nullptr) return {NVRAM_UNREADABLE, nullptr, NVRAM_FAILURE_MEMORY, 0};
  return {NVRAM_VALUE, kept, NVRAM_FAILURE_NONE, 0};
}

extern "C" {

char* nvram_get(const char* name) {
  // Missing and unreadable alike: no value.
  const nvram_result read = nvram_read(name);
  return read.outcome == NVRAM_VALUE ? const_cast<char*>(read.value) : nullptr;
}

int nvram_set(const char* name, const char* value) {
  if (!key_valid(name) || !value_valid(value)) {
    errno = EINVAL;
    return -1;
  }
  const size_t name_length = strlen(name);
  const size_t value_length = strlen(value);
  char setting[kNvramSettingBuffer];
  if (name_length + value_length + 2 > sizeof setting) {
    errno = EINVAL;
    return -1;
  }
  memcpy(setting, name, name_length);
  setting[name_length] = '=';
  memcpy(setting + name_length + 1, value, value_length + 1);
  const char* const argv[] = {kProgram, "set", setting, nullptr};
  char ignored[1];
  const int status = nvram_command_run(argv, ignored, sizeof ignored, kNvramCommandTimeoutMs);
  if (status != 0) {
    errno = EIO;
    return -1;
  }
  return 0;
}

}  // extern "C"
