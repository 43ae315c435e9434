// The daemon's process shell: settings, log, sleep, detaching.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "watchdog/netvigil.h"
#include "watchdog/nvram/nvram.h"
#include "watchdog/nvram/nvram_read.h"
#include "watchdog/posix_io.h"

namespace nv {

int32_t g_ping_address_index = 0;
int32_t g_ping_timeout = 0;
int32_t g_log_bytes = 0;

const char* g_log_file = kLogFile;
const char* g_link_marker = kLinkMarker;
const char* g_uptime_file = kUptimeFile;
double g_time_scale = 1.0;

namespace {

const char* const kLevelNames[] = {"DEBUG", "INFO", "WARN", "HIGH", "ERR", "FATAL"};

// Test overrides come from the environment only when the process runs with
// its own identity: a set-user-id start must not let its caller choose the
// files it writes.
const char* trusted_override(const char* name) {
  if (!identity_is_own()) return nullptr;
  const char* value = getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

bool write_text(int fd, const char* text) {
  return write_all(fd, text, strlen(text));
}

void load_environment() {
  g_log_file = kLogFile;
  g_link_marker = kLinkMarker;
  g_uptime_file = kUptimeFile;
  g_time_scale = 1.0;
  if (const char* path = trusted_override("NETVIGIL_LOG_FILE")) g_log_file = path;
  if (const char* path = trusted_override("NETVIGIL_LINK_MARKER")) g_link_marker = path;
  if (const char* path = trusted_override("NETVIGIL_UPTIME_FILE")) g_uptime_file = path;
  if (const char* text = trusted_override("NETVIGIL_TIME_SCALE")) {
    double scale = 0.0;
    if (parse_decimal(text, &scale) && scale > 0.0 && scale <= 1000.0) g_time_scale = scale;
  }
}

bool parse_decimal(const char* text, double* value) {
  const char* at = text;
  while (*at == ' ' || (*at >= '\t' && *at <= '\r')) ++at;
  bool negative = false;
  if (*at == '+' || *at == '-') negative = *at++ == '-';
  // The digits as an integer and the power of ten that scales it. Digits
  // past the 19 that the integer holds are dropped, a change that reaches
  // the double's last place at most; only their place counts.
  uint64_t digits = 0;
  int held = 0;
  int exponent = 0;
  bool any_digit = false;
  bool point = false;
  for (;; ++at) {
    if (*at == '.' && !point) {
      point = true;
      continue;
    }
    if (*at < '0' || *at > '9') break;
    any_digit = true;
    if (held < 19) {
      if (digits != 0 || *at != '0') {
        digits = digits * 10 + static_cast<unsigned>(*at - '0');
        ++held;
      }
      if (point) --exponent;
    } else if (!point) {
      ++exponent;
    }
  }
  if (!any_digit) return false;
  if (*at == 'e' || *at == 'E') {
    const char* power = at + 1;
    bool below = false;
    if (*power == '+' || *power == '-') below = *power++ == '-';
    if (*power >= '0' && *power <= '9') {
      int places = 0;
      for (; *power >= '0' && *power <= '9'; ++power) {
        if (places < 100000) places = places * 10 + (*power - '0');
      }
      exponent += below ? -places : places;
      at = power;
    }  // else "1e" or "1e+": the number ends before the 'e', and the text is no number
  }
  if (*at != '\0') return false;

  // Both halves are exact, so their sum is rounded once, like a direct
  // conversion (which a 32-bit CPU would do in a library routine).
  double result = static_cast<double>(static_cast<uint32_t>(digits >> 32)) * 4294967296.0 +
                  static_cast<double>(static_cast<uint32_t>(digits));
  // Powers of ten up to 1e22 are exact doubles: within them one rounding,
  // the nearest double.
  for (; exponent > 22; exponent -= 22) result *= 1e22;
  for (; exponent < -22; exponent += 22) result /= 1e22;
  double scale = 1.0;
  for (int i = exponent < 0 ? -exponent : exponent; i > 0; --i) scale *= 10.0;
  result = exponent < 0 ? result / scale : result * scale;
  *value = negative ? -result : result;
  return true;
}

// ---- numbers and settings --------------------------------------------------

const char* int_to_text(int32_t n) {
  static char text[12];  // "-2147483648" and its zero
  char* digit = text + sizeof text - 1;
  *digit = '\0';
  // The magnitude as unsigned, so that the most negative number has one too.
  uint32_t magnitude = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
  do {
    *--digit = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (n < 0) *--digit = '-';
  return digit;
}

int32_t text_to_int(const char* text) {
  if (text == nullptr) return 0;
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > INT32_MAX + int64_t{1}) value = INT32_MAX + int64_t{1};
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  return static_cast<int32_t>(value);
}

int64_t text_to_int64(const char* text, const char** end) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  // The magnitude grows up to one past INT64_MAX, which a negative number
  // may reach; the cut keeps further digits from wrapping it.
  // (Constants only are divided: a 32-bit CPU links no 64-bit division.)
  constexpr uint64_t kCut = uint64_t{INT64_MAX} + 1;
  constexpr uint64_t kTenth = kCut / 10;
  constexpr unsigned kLastDigit = static_cast<unsigned>(kCut % 10);
  uint64_t magnitude = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const unsigned digit = static_cast<unsigned>(*text - '0');
    const bool beyond = magnitude > kTenth || (magnitude == kTenth && digit > kLastDigit);
    magnitude = beyond ? kCut : magnitude * 10 + digit;
  }
  if (end != nullptr) *end = text;
  if (negative) return magnitude >= kCut ? INT64_MIN : -static_cast<int64_t>(magnitude);
  return magnitude >= kCut ? INT64_MAX : static_cast<int64_t>(magnitude);
}

int64_t text_to_time(const char* text) {
  const int64_t value = text_to_int64(text, nullptr);
  return value > 0 ? value : 0;
}

const char* setting_text(const char* key) {
  const char* value = nvram_get(key);
  return value != nullptr ? value : "";
}

int32_t setting_int(const char* key) {
  return text_to_int(setting_text(key));
}

void store_int(const char* key, int32_t value) {
  nvram_set(key, int_to_text(value));
}

void describe_unreadable(char* text, size_t size, const nvram_result& read) {
  const char* why = "no failure";
  switch (read.failure) {
    case NVRAM_FAILURE_NONE:
      break;
    case NVRAM_FAILURE_START:
      why = "nvram could not be started, errno %d";
      break;
    case NVRAM_FAILURE_STATUS:
      why = "nvram get ended with exit status %d";
      break;
    case NVRAM_FAILURE_SIGNAL:
      why = "nvram get was ended by signal %d";
      break;
    case NVRAM_FAILURE_TIMEOUT:
      why = "nvram get did not end within %d ms";
      break;
    case NVRAM_FAILURE_IO:
      why = "nvram get could not be followed, errno %d";
      break;
    case NVRAM_FAILURE_FILE:
      why = "the store file cannot be read, errno %d";
      break;
    case NVRAM_FAILURE_MEMORY:
      why = "no room to keep the value";
      break;
  }
  format_text(text, size, why, read.detail);
}

// ---- log -------------------------------------------------------------------

void write_log_file(const char* path, const char* text) {
  const size_t length = strlen(text);
  if (path == nullptr) {  // the dry run's log: no file, no byte count
    write_all(STDOUT_FILENO, text, length);
    return;
  }
  // The counter never exceeds the limit before this addition, so holding the
  // sum at limit + 1 keeps it in range whatever the text's length.
  if (length > static_cast<size_t>(kLogFileLimit - g_log_bytes)) {
    g_log_bytes = kLogFileLimit + 1;
  } else {
    g_log_bytes += static_cast<int32_t>(length);
  }
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
  if (g_log_bytes <= kLogFileLimit) {
    flags |= O_APPEND;
  } else {
    flags |= O_TRUNC;
    g_log_bytes = 0;  // the line that starts the new file is not counted
  }
  const int fd = open(path, flags, 0644);
  if (fd < 0) return;
  write_all(fd, text, length);
  close(fd);
}

void _syslog(const char* path, int level, const char* format, ...) {
  if (level < LEVEL_DEBUG || level > LEVEL_FATAL) return;
  if (level < setting_int("sys_log_level")) return;

  char line[kLogLineBuffer];
  const int tag = format_text(line, sizeof line, "[%s] ", kLevelNames[level]);
  if (tag <= 0) return;

  va_list args;
  va_start(args, format);
  const int wanted =
      vformat_text(line + tag, sizeof line - static_cast<size_t>(tag), format, args);
  va_end(args);
  if (wanted < 0) line[tag] = '\0';

  // A message that was cut, or that lacks its line feed, still ends the line.
  size_t length = strlen(line);
  if (wanted > 0 && line[length - 1] != '\n') {
    if (length + 1 < sizeof line) {
      line[length++] = '\n';
      line[length] = '\0';
    } else {
      line[length - 1] = '\n';
    }
  }
  write_log_file(path, line);
}

void log_line(const char* routine, int number, const char* format, ...) {
  char message[kLogLineBuffer];
  const int prefix = format_text(message, sizeof message, "[%9s: %4d]:", routine, number);
  if (prefix <= 0 || prefix >= kLogLineBuffer) return;
  va_list args;
  va_start(args, format);
  vformat_text(message + prefix, sizeof message - static_cast<size_t>(prefix), format, args);
  va_end(args);
  _syslog(g_log_file, LEVEL_INFO, "%s", message);
}

// ---- time ------------------------------------------------------------------

timeval daemon_wait(int32_t ms) {
  timeval wait{};
  if (g_time_scale == 1.0) {
    wait.tv_sec = ms / 1000;
    wait.tv_usec = (ms % 1000) * 1000;
    return wait;
  }
  int64_t us = static_cast<int64_t>(static_cast<double>(ms) * 1000.0 * g_time_scale);
  if (ms > 0 && us == 0) us = 1;  // a real wait never scales down to none
  wait.tv_sec = static_cast<time_t>(us / 1000000);
  wait.tv_usec = static_cast<suseconds_t>(us % 1000000);
  return wait;
}

int32_t seconds_to_ms(int32_t seconds) {
  const int64_t ms = int64_t{seconds} * 1000;
  if (ms > INT32_MAX) return INT32_MAX;
  if (ms < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(ms);
}

int64_t monotonic_us() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

int64_t to_us(const timeval& time) {
  return int64_t{time.tv_sec} * 1000000 + time.tv_usec;
}

bool time_left(int64_t deadline, timeval* left) {
  const int64_t remaining = deadline - monotonic_us();
  if (remaining <= 0) return false;
  left->tv_sec = static_cast<time_t>(remaining / 1000000);
  left->tv_usec = static_cast<suseconds_t>(remaining % 1000000);
  return true;
}

int64_t parse_uptime(const char* text) {
  const char* end = nullptr;
  const int64_t seconds = text_to_int64(text, &end);
  // A number of its own: digits, and no sign (the kernel writes none).
  const char* first = text;
  while (*first == ' ' || (*first >= '\t' && *first <= '\r')) ++first;
  if (end == first || *first < '0' || *first > '9') return -1;
  return seconds;
}

int64_t read_uptime() {
  const int fd = open(g_uptime_file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[64];
  ssize_t got = 0;
  while ((got = read(fd, text, sizeof text - 1)) < 0 && errno == EINTR) {
  }
  close(fd);
  if (got <= 0) return -1;
  text[got] = '\0';
  return parse_uptime(text);
}

int __msleep(int32_t ms) {
  timeval wait = daemon_wait(ms);
  // Linux leaves the time that remained in `wait` when a signal interrupts.
  while (select(0, nullptr, nullptr, nullptr, &wait) < 0) {
    if (errno == EINTR) continue;
    log_line("__msleep", 80, "msleep : select error \n\n");
    break;
  }
  return 0;
}

// ---- detaching -------------------------------------------------------------

int daemon(int keep_directory, int keep_streams) {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child > 0) _exit(0);  // the starting process ends without exit handlers
  if (setsid() < 0) return -1;
  if (!keep_directory && chdir("/") != 0) {
    // Staying in the old directory is harmless for this daemon.
  }
  if (!keep_streams) {
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, STDIN_FILENO);
      dup2(null_fd, STDOUT_FILENO);
      dup2(null_fd, STDERR_FILENO);
      if (null_fd > STDERR_FILENO) close(null_fd);
    }
  }
  return 0;
}

}  // namespace nv
