// The file-backed settings store: see nvram_file.h for the contract.
//
// Written in the style of the daemon that uses it (C library only, no
// exceptions, no iostreams) so that the router build stays small.
#include "watchdog/nvram/nvram_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "watchdog/nvram/nvram_cache.h"
#include "watchdog/nvram/nvram_read.h"
#include "watchdog/posix_io.h"

namespace {

bool key_valid(const char* name) {
  return name != nullptr && *name != '\0' && strpbrk(name, "=\n") == nullptr;
}

bool value_valid(const char* value) {
  return value != nullptr && strchr(value, '\n') == nullptr;
}

// The whole store as one zero-terminated text (empty when the file does not
// exist). Returns null, errno telling why, when the file exists but cannot
// be read (or memory ran out).
char* load_store(size_t* length) {
  *length = 0;
  const int fd = open(nvram_file(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) return nullptr;
    return static_cast<char*>(calloc(1, 1));
  }
  size_t capacity = 4096;
  char* text = static_cast<char*>(malloc(capacity + 1));
  while (text != nullptr) {
    if (*length == capacity) {
      capacity *= 2;
      char* bigger = static_cast<char*>(realloc(text, capacity + 1));
      if (bigger == nullptr) {
        free(text);
        text = nullptr;
        break;
      }
      text = bigger;
    }
    const ssize_t got = read(fd, text + *length, capacity - *length);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      free(text);
      text = nullptr;
      break;
    }
    if (got == 0) {
      text[*length] = '\0';
      break;
    }
    *length += static_cast<size_t>(got);
  }
  const int saved_errno = errno;
  close(fd);
  errno = saved_errno;
  return text;
}

// The line of `text` that holds `name` ("name=..."), or null. `line_end`
// receives the end of that line (its line feed or the terminating zero).
const char* find_line(const char* text, const char* name, const char** line_end) {
  const size_t name_length = strlen(name);
  for (const char* line = text; *line != '\0';) {
    const char* end = strchr(line, '\n');
    if (end == nullptr) end = line + strlen(line);
    if (static_cast<size_t>(end - line) > name_length && strncmp(line, name, name_length) == 0 &&
        line[name_length] == '=') {
      *line_end = end;
      return line;
    }
    line = *end == '\n' ? end + 1 : end;
  }
  return nullptr;
}

// Replaces the store with `text`: a temporary file beside it, then a rename.
bool replace_store(const char* text, size_t length) {
  const char* path = nvram_file();
  const size_t path_length = strlen(path);
  char* temporary = static_cast<char*>(malloc(path_length + 8));
  if (temporary == nullptr) return false;
  memcpy(temporary, path, path_length);
  memcpy(temporary + path_length, ".XXXXXX", 8);
  const int fd = mkstemp(temporary);
  if (fd < 0) {
    free(temporary);
    return false;
  }
  bool ok = fchmod(fd, 0644) == 0 && nv::write_all(fd, text, length) && fsync(fd) == 0;
  int saved_errno = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved_errno = errno;
  }
  if (ok && rename(temporary, path) != 0) {
    ok = false;
    saved_errno = errno;
  }
  if (!ok) unlink(temporary);
  free(temporary);
  errno = saved_errno;
  return ok;
}

// Holds the writers' lock for its lifetime; -1 when it could not be taken.
struct writer_lock {
  int fd = -1;
  writer_lock() {
    const char* path = nvram_file();
    const size_t path_length = strlen(path);
    char* lock_path = static_cast<char*>(malloc(path_length + 6));
    if (lock_path == nullptr) return;
    memcpy(lock_path, path, path_length);
    memcpy(lock_path + path_length, ".lock", 6);
    fd = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    free(lock_path);
    if (fd < 0) return;
    while (flock(fd, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      close(fd);
      fd = -1;
      return;
    }
  }
  ~writer_lock() {
    if (fd >= 0) close(fd);  // closing releases the lock
  }
  writer_lock(const writer_lock&) = delete;
  writer_lock& operator=(const writer_lock&) = delete;
};

// The store with the line of `name` replaced by "name=value", or removed when
// `value` is null. The line keeps its place; a new key goes at the end.
int change_store(const char* name, const char* value) {
  writer_lock lock;
  if (lock.fd < 0) return -1;
  size_t length = 0;
  char* text = load_store(&length);
  if (text == nullptr) return -1;

  const size_t name_length = strlen(name);
  const size_t value_length = value != nullptr ? strlen(value) : 0;
  // Old text, one extra line feed, and the new line at most.
  char* updated = static_cast<char*>(malloc(length + name_length + value_length + 3));
  if (updated == nullptr) {
    free(text);
    errno = ENOMEM;
    return -1;
  }
  size_t out = 0;
  const auto put_new_line = [&] {
    memcpy(updated + out, name, name_length);
    out += name_length;
    updated[out++] = '=';
    memcpy(updated + out, value, value_length);
    out += value_length;
    updated[out++] = '\n';
  };

  bool placed = false;
  const char* line_end = nullptr;
  const char* found = find_line(text, name, &line_end);
  const char* rest = text;
  while (found != nullptr) {
    memcpy(updated + out, rest, static_cast<size_t>(found - rest));
    out += static_cast<size_t>(found - rest);
    if (value != nullptr && !placed) put_new_line();
    placed = true;
    rest = *line_end == '\n' ? line_end + 1 : line_end;
    found = find_line(rest, name, &line_end);  // drop any duplicate too
  }
  const size_t rest_length = strlen(rest);
  memcpy(updated + out, rest, rest_length);
  out += rest_length;
  if (out > 0 && updated[out - 1] != '\n') updated[out++] = '\n';
  if (value != nullptr && !placed) put_new_line();
  free(text);

  const bool ok = replace_store(updated, out);
  const int saved_errno = errno;
  free(updated);
  errno = saved_errno;
  return ok ? 0 : -1;
}

}  // namespace

extern "C" {

const char* nvram_file(void) {
  const char* path = nv::identity_is_own() ? getenv("NVRAM_FILE") : nullptr;
  return path != nullptr && *path != '\0' ? path : kNvramDefaultFile;
}

}  // extern "C"

nvram_result nvram_read(const char* name) {
  if (!key_valid(name)) return {NVRAM_MISSING, nullptr, NVRAM_FAILURE_NONE, 0};
  size_t length = 0;
  char* text = load_store(&length);
  if (text == nullptr) {
    const int why = errno;
    return {NVRAM_UNREADABLE, nullptr, why == ENOMEM ? NVRAM_FAILURE_MEMORY : NVRAM_FAILURE_FILE,
            why};
  }
  const char* line_end = nullptr;
  const char* line = find_line(text, name, &line_end);
  if (line == nullptr) {
    free(text);
    return {NVRAM_MISSING, nullptr, NVRAM_FAILURE_NONE, 0};
  }
  const char* value = line + strlen(name) + 1;
  char* kept = nvram_keep_value(name, value, static_cast<size_t>(line_end - value));
  free(text);
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
  return change_store(name, value);
}

int nvram_unset(const char* name) {
  if (!key_valid(name)) {
    errno = EINVAL;
    return -1;
  }
  return change_store(name, nullptr);
}

int nvram_visit(void (*visit)(const char* name, const char* value, void* context),
                void* context) {
  size_t length = 0;
  char* text = load_store(&length);
  if (text == nullptr) return -1;
  for (char* line = text; *line != '\0';) {
    char* end = strchr(line, '\n');
    char* next = end != nullptr ? end + 1 : line + strlen(line);
    if (end != nullptr) *end = '\0';
    char* equals = strchr(line, '=');
    if (equals != nullptr && equals != line) {
      *equals = '\0';
      visit(line, equals + 1, context);
    }
    line = next;
  }
  free(text);
  return 0;
}

}  // extern "C"
