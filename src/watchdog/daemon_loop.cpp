// Start-up, the work loop of netvigil and its dry run.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "watchdog/netvigil.h"
#include "watchdog/nvram/nvram.h"
#include "watchdog/nvram/nvram_read.h"
#include "watchdog/posix_io.h"

namespace nv {

ping_step next_step(bool success, int32_t i, int32_t k, int32_t K, int32_t N) {
  if (success) return {STEP_SUCCESS, 1, 1};
  // Both limits are equality tests: a counter that is already past its limit
  // (K missing reads as 0, an index above N) only grows. check_counts keeps
  // such counts away from here.
  if (K != k) return {STEP_NEXT_ATTEMPT, i, k < INT32_MAX ? k + 1 : k};
  if (N != i) return {STEP_NEXT_SERVER, i < INT32_MAX ? i + 1 : i, 1};
  return {STEP_REBOOT, i, k};
}

unsigned check_counts(pass_counts& counts) {
  unsigned faults = 0;
  if (counts.servers < 0) {
    counts.servers = kShippedServers;
    faults |= FAULT_SERVERS;
  }
  if (counts.attempts < 1) {
    counts.attempts = kShippedAttempts;
    faults |= FAULT_ATTEMPTS;
  }
  if (counts.servers >= 1 && (counts.index < 1 || counts.index > counts.servers)) {
    // Start the list again; the attempts counted belonged to another server.
    counts.index = kShippedIndex;
    counts.attempt = kShippedAttempt;
    faults |= FAULT_INDEX;
  }
  if (counts.attempt < 1) {
    counts.attempt = kShippedAttempt;
    faults |= FAULT_ATTEMPT;
  } else if (counts.attempt > counts.attempts) {
    counts.attempt = counts.attempts;  // its attempts are used up
    faults |= FAULT_ATTEMPT;
  }
  return faults;
}

void format_reboot_record(char* text, size_t size, int64_t time, int32_t index,
                          reboot_reason reason) {
  format_text(text, size, "time=%lld server=%d reason=%s", static_cast<long long>(time),
              static_cast<int>(index), reason == REBOOT_NO_LINK ? "no-link" : "unreachable");
}

bool reboot_succeeded(const reboot_outcome& outcome) {
  return outcome.end == REBOOT_EXITED && outcome.code == 0;
}

void format_reboot_result(char* text, size_t size, const reboot_outcome& outcome) {
  const size_t used = strnlen(text, size);
  if (used + 1 >= size) return;
  if (outcome.end == REBOOT_NOT_STARTED || outcome.end == REBOOT_TIMED_OUT) {
    format_text(text + used, size - used, " result=%s",
                outcome.end == REBOOT_TIMED_OUT ? "timeout" : "not-started");
  } else {
    format_text(text + used, size - used, " result=%s-%d",
                outcome.end == REBOOT_EXITED ? "exit" : "signal", outcome.code);
  }
}

bool reboot_allowed(int64_t now, int64_t last, int32_t gap, double time_scale) {
  if (gap <= 0 || last <= 0 || now < last) return true;
  if (!(time_scale > 0.0)) time_scale = 1.0;
  return static_cast<double>(now - last) / time_scale >= static_cast<double>(gap);
}

reboot_tally parse_reboot_tally(const char* text) {
  const char* end = nullptr;
  const int64_t since = text_to_int64(text, &end);
  const int64_t count = text_to_int64(end, nullptr);
  if (since <= 0 || count < 0 || count > INT32_MAX) return {0, 0};
  return {since, static_cast<int32_t>(count)};
}

void format_reboot_tally(char* text, size_t size, const reboot_tally& tally) {
  format_text(text, size, "%lld %d", static_cast<long long>(tally.since),
              static_cast<int>(tally.count));
}

bool reboot_within_cap(int64_t now, int32_t max, int32_t window, double time_scale,
                       reboot_tally* tally) {
  if (max <= 0 || window <= 0) return true;
  // A window that has passed is a new one from now, and so are none and one
  // that the clock went back behind (the guard's test of elapsed time): the
  // cap must never keep the router from rebooting for good.
  if (reboot_allowed(now, tally->since, window, time_scale)) *tally = {now, 0};
  if (tally->count >= max) return false;
  ++tally->count;
  return true;
}

int32_t start_delay_left(int32_t delay, int64_t uptime) {
  if (delay <= 0) return 0;
  if (uptime < 0) return delay;  // not known: as if just started
  return uptime >= delay ? 0 : static_cast<int32_t>(delay - uptime);
}

namespace {

enum run_mode {
  MODE_DAEMON,
  MODE_DRY_RUN,        // prints, stores nothing
  MODE_DRY_RUN_WRITE,  // prints, stores the counters
};
run_mode g_mode = MODE_DAEMON;

// How a pass ends. The daemon ends the process with status 0 after a success
// or a counted failure, and when the store could not be read (skipped:
// nothing counted, nothing written); after the wait and reboot paths it takes
// the next pass.
enum pass_end { PASS_SUCCEEDED, PASS_FAILED, PASS_SKIPPED, PASS_GOES_ON };

int g_sock = -1;
// The recovery command ran for the reboot now due: the next reboot due is
// the reboot. A probe that is answered ends the process, and the matter.
bool g_recovered = false;
// The current server's text, kept for the log lines of the pass. A longer
// text could not show whole in a log line (kLogLineBuffer), nor name a host.
char g_server[kLogLineBuffer];

bool dry_run() { return g_mode != MODE_DAEMON; }

// A decision of the dry run, on standard output between the log lines.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
  if (!dry_run()) return;
  char text[kLogLineBuffer];
  const int prefix = format_text(text, sizeof text, "dry-run: ");
  va_list args;
  va_start(args, format);
  vformat_text(text + prefix, sizeof text - static_cast<size_t>(prefix), format, args);
  va_end(args);
  write_log_file(nullptr, text);
}

// ---- reading the settings ------------------------------------------------

// Reads `key` for the pass: its text in `text` ("" for a missing key). False
// when the store could not be read; the line that says so is logged, and the
// pass must end at once.
bool read_text(const char* key, const char** text) {
  const nvram_result read = nvram_read(key);
  if (read.outcome == NVRAM_UNREADABLE) {
    char why[64];
    describe_unreadable(why, sizeof why, read);
    log_line("settings", 511, "Settings unreadable: %s (%s), pass skipped\n", key, why);
    say("the pass ends here: nothing counted, nothing stored, no reboot\n");
    return false;
  }
  *text = read.outcome == NVRAM_VALUE ? read.value : "";
  return true;
}

bool read_number(const char* key, int32_t* value) {
  const char* text = "";
  if (!read_text(key, &text)) return false;
  *value = text_to_int(text);
  return true;
}

// ---- settings faults -------------------------------------------------------

unsigned g_reported_faults = 0;  // one bit per setting_id

// Logs a settings fault, once per key and start of the process.
void report_fault(setting_id id, const char* value, int32_t used) {
  const unsigned bit = 1u << id;
  if ((g_reported_faults & bit) != 0) return;
  g_reported_faults |= bit;
  log_line("settings", 510, "Settings fault: %s is \"%s\", using %d\n", kShippedSettings[id].key,
           value, static_cast<int>(used));
}

// The interval setting `id` in seconds as the daemon uses it, from its stored
// text; `text` gets what the log lines show: the stored text, or the shipped
// value when the setting is faulty (a wait of 0 or less would let the loop
// spin).
int32_t use_interval(setting_id id, const char* stored, const char** text) {
  const int32_t seconds = text_to_int(stored);
  if (seconds > 0) {
    *text = stored;
    return seconds;
  }
  const int32_t shipped = kShippedSettings[id].value;
  report_fault(id, stored, shipped);
  static char shipped_text[SETTING_COUNT][12];
  format_text(shipped_text[id], sizeof shipped_text[id], "%d", static_cast<int>(shipped));
  *text = shipped_text[id];
  return shipped;
}

// Reads and checks the interval setting `id`; false when the store could not
// be read.
bool read_interval(setting_id id, int32_t* seconds, const char** text) {
  const char* stored = "";
  if (!read_text(kShippedSettings[id].key, &stored)) return false;
  *seconds = use_interval(id, stored, text);
  return true;
}

// N for this pass; a negative number configures no server.
bool read_servers(int32_t* servers) {
  if (!read_number(kShippedSettings[SET_SERVERS].key, servers)) return false;
  if (*servers < 0) {
    report_fault(SET_SERVERS, int_to_text(*servers), kShippedServers);
    *servers = kShippedServers;
  }
  return true;
}

void report_count_faults(unsigned faults, const pass_counts& read, const pass_counts& used) {
  if ((faults & FAULT_SERVERS) != 0) report_fault(SET_SERVERS, int_to_text(read.servers), used.servers);
  if ((faults & FAULT_ATTEMPTS) != 0) {
    report_fault(SET_ATTEMPTS, int_to_text(read.attempts), used.attempts);
  }
  if ((faults & FAULT_INDEX) != 0) report_fault(SET_INDEX, int_to_text(read.index), used.index);
  if ((faults & FAULT_ATTEMPT) != 0) {
    report_fault(SET_ATTEMPT, int_to_text(read.attempt), used.attempt);
  }
}

// ---- actions the dry run only describes ------------------------------------

void pause_ms(int32_t ms, const char* why) {
  if (dry_run()) {
    say("would pause %d seconds (%s)\n", static_cast<int>(ms / 1000), why);
    return;
  }
  __msleep(ms);
}

void store_counter(const char* key, int32_t value) {
  if (g_mode == MODE_DRY_RUN) {
    say("would store %s=%d (--write stores it)\n", key, static_cast<int>(value));
    return;
  }
  if (g_mode == MODE_DRY_RUN_WRITE) say("stores %s=%d\n", key, static_cast<int>(value));
  store_int(key, value);
}

bool link_up() {
  struct stat info;
  return stat(g_link_marker, &info) == 0;
}

void close_socket() {
  if (g_sock >= 0) close(g_sock);
  g_sock = -1;  // a later ping opens a new one
}

// How a command ended, for the log: what comes before its code (by
// reboot_end).
const char* const kHowEnded[] = {"ended with exit status", "was ended by signal",
                                 "could not be started, errno", "was killed after seconds:"};

// Runs `program` as the shell runs a plain command: a name found on PATH,
// a path as it is; started with no arguments, without a shell between (and
// without the one that system() would start). A child that cannot start
// the program says why through a pipe that a started program closes
// unseen. With `timeout_ms` 0 it is waited for as long as it runs (a reboot
// that works ends this process first); otherwise for that much daemon time,
// after which it is killed with everything it started (its own process
// group) and reaped.
reboot_outcome run_command(const char* program, int32_t timeout_ms) {
  // Under an inherited "ignore" the system would reap the child itself and
  // its status would be lost.
  signal(SIGCHLD, SIG_DFL);
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return {REBOOT_NOT_STARTED, errno};
  const pid_t child = fork();
  if (child == 0) {
    if (timeout_ms > 0) setpgid(0, 0);
    char* const argv[] = {const_cast<char*>(program), nullptr};
    execvp(argv[0], argv);
    const int error = errno;
    write_all(report[1], reinterpret_cast<const char*>(&error), sizeof error);
    _exit(127);  // what the shell ends with when it finds no such command
  }
  const int fork_error = errno;
  close(report[1]);
  if (child < 0) {
    close(report[0]);
    return {REBOOT_NOT_STARTED, fork_error};
  }
  if (timeout_ms > 0) setpgid(child, child);  // either side may be first
  int error = 0;
  ssize_t got = 0;
  while ((got = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  const int64_t deadline = monotonic_us() + to_us(daemon_wait(timeout_ms));
  int status = 0;
  for (;;) {
    const pid_t ended = waitpid(child, &status, timeout_ms > 0 ? WNOHANG : 0);
    if (ended == child) break;
    if (ended < 0) {
      if (errno == EINTR) continue;
      return {REBOOT_NOT_STARTED, errno};  // not ours to wait for
    }
    timeval left{};
    if (!time_left(deadline, &left)) {
      kill(-child, SIGKILL);  // the program's group
      kill(child, SIGKILL);   // in case it has none yet
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
      return {REBOOT_TIMED_OUT, timeout_ms / 1000};
    }
    // A look every 20 ms of real time, and at the deadline.
    timeval pause{0, 20000};
    if (left.tv_sec == 0 && left.tv_usec < pause.tv_usec) pause = left;
    select(0, nullptr, nullptr, nullptr, &pause);
  }
  if (got == static_cast<ssize_t>(sizeof error)) return {REBOOT_NOT_STARTED, error};
  if (WIFEXITED(status)) return {REBOOT_EXITED, WEXITSTATUS(status)};
  return {REBOOT_SIGNALLED, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

// The recovery in place of the reboot now due: its record goes first (the
// command may end this process), its outcome follows. Whatever the
// outcome, the reboot waits one pass.
pass_end recover(reboot_reason reason, const char* command) {
  g_recovered = true;
  char record[128];
  format_reboot_record(record, sizeof record, time(nullptr), g_ping_address_index, reason);
  if (dry_run()) {
    say("would run the recovery %s (killed after %d seconds) instead of reboot, which waits one pass\n",
        command, static_cast<int>(kRecoverTimeoutMs / 1000));
    say("would store %s=%s\n", kRecoverRecordKey, record);
    return PASS_GOES_ON;
  }
  log_line("main", 449, "Reboot due: running %s first\n", command);
  nvram_set(kRecoverRecordKey, record);
  const reboot_outcome outcome = run_command(command, kRecoverTimeoutMs);
  format_reboot_result(record, sizeof record, outcome);
  nvram_set(kRecoverRecordKey, record);
  log_line("main", 450, "Recovery %s %s %d; the reboot waits one pass\n", command,
           kHowEnded[outcome.end], outcome.code);
  return PASS_GOES_ON;
}

// Runs "reboot" unless the guard holds it back. The record goes first, since
// a reboot that works ends this process; the command's outcome follows when
// it returns. A failed command leaves the guard's time as it was, so that the
// loop's next try is not held back by it.
pass_end reboot_router(reboot_reason reason) {
  if (!g_recovered) {
    const char* command = "";
    if (!read_text(kRecoverCommandKey, &command)) return PASS_SKIPPED;
    if (*command != '\0') return recover(reason, command);
  } else {
    log_line("main", 454, "No answer after the recovery: the reboot is due\n");
  }
  int32_t gap = 0;
  const char* last_text = "";
  if (!read_number(kRebootGapKey, &gap) || !read_text(kRebootTimeKey, &last_text)) {
    return PASS_SKIPPED;
  }
  const int64_t last = text_to_time(last_text);
  const int64_t now = time(nullptr);
  if (!reboot_allowed(now, last, gap, g_time_scale)) {
    const long long ago = static_cast<long long>(static_cast<double>(now - last) / g_time_scale);
    log_line("main", 446, "Reboot held back: the last one was %lld seconds ago, %s is %d\n", ago,
             kRebootGapKey, static_cast<int>(gap));
    say("no reboot now\n");
    return PASS_GOES_ON;
  }
  // The cap: its count is read only when there is one.
  int32_t max = 0;
  int32_t window = 0;
  const char* count_text = "";
  if (!read_number(kMaxRebootsKey, &max)) return PASS_SKIPPED;
  if (max > 0 && (!read_number(kRebootWindowKey, &window) ||
                  !read_text(kRebootCountKey, &count_text))) {
    return PASS_SKIPPED;
  }
  const bool capped = max > 0 && window > 0;
  reboot_tally tally = parse_reboot_tally(count_text);
  char count_before[32] = "";
  if (tally.since > 0) format_reboot_tally(count_before, sizeof count_before, tally);
  if (!reboot_within_cap(now, max, window, g_time_scale, &tally)) {
    const double elapsed = static_cast<double>(now - tally.since) / g_time_scale;
    log_line("main", 448, "Reboot held back: %d reboots within %d seconds (%s), the next one in %lld seconds\n",
             static_cast<int>(tally.count), static_cast<int>(window), kMaxRebootsKey,
             static_cast<long long>(static_cast<double>(window) - elapsed));
    say("no reboot now\n");
    return PASS_GOES_ON;
  }
  char count_after[32];
  format_reboot_tally(count_after, sizeof count_after, tally);
  char record[128];
  format_reboot_record(record, sizeof record, now, g_ping_address_index, reason);
  if (dry_run()) {
    say("would store %s=%s\n", kRebootRecordKey, record);
    if (capped) {
      say("would store %s=%s: reboot %d of %d within %d seconds\n", kRebootCountKey, count_after,
          static_cast<int>(tally.count), static_cast<int>(max), static_cast<int>(window));
    }
    say("would run reboot\n");
    return PASS_GOES_ON;
  }
  char when[24];
  format_text(when, sizeof when, "%lld", static_cast<long long>(now));
  char before[24] = "";
  if (last > 0) format_text(before, sizeof before, "%lld", static_cast<long long>(last));
  nvram_set(kRebootRecordKey, record);
  nvram_set(kRebootTimeKey, when);
  if (capped) nvram_set(kRebootCountKey, count_after);  // before: it counts reboots that work
  close_socket();
  const reboot_outcome outcome = run_command("reboot", 0);  // a reboot that works ends this process
  format_reboot_result(record, sizeof record, outcome);
  nvram_set(kRebootRecordKey, record);
  if (!reboot_succeeded(outcome)) {
    nvram_set(kRebootTimeKey, before);
    if (capped) nvram_set(kRebootCountKey, count_before);
    log_line("main", 447, "Reboot failed: reboot %s %d; the loop tries again\n",
             kHowEnded[outcome.end], outcome.code);
  }
  return PASS_GOES_ON;
}

// The record of the daemon's last reboot, logged once by the next start.
bool report_last_reboot() {
  const char* record = "";
  if (!read_text(kRebootRecordKey, &record)) return false;
  if (*record == '\0') return true;
  log_line("main", 343, "Last reboot by netvigil: %s\n", record);
  if (dry_run()) {
    say("the reboot record stays for the next start of the daemon\n");
  } else {
    nvram_set(kRebootRecordKey, "");
  }
  return true;
}

// ---- the pass --------------------------------------------------------------

// After the wait for the link: whether it ends without a reboot.
enum link_verdict { LINK_FINE, LINK_DOWN, LINK_UNREADABLE };
link_verdict link_or_demand() {
  if (link_up()) {
    say("the PPP link is up now: the next pass\n");
    return LINK_FINE;
  }
  // Dialling on demand: the link may be down on purpose.
  const char* demand = "";
  if (!read_text("wan_ppp_demand", &demand)) return LINK_UNREADABLE;
  if (strcmp(demand, "2") == 0) {
    say("the PPP link is down, wan_ppp_demand is \"2\": the next pass waits again\n");
    return LINK_FINE;
  }
  say("the PPP link is down, wan_ppp_demand is \"%s\" (not \"2\")\n", demand);
  return LINK_DOWN;
}

// The wait for the PPP link, with no server configured (`no_server`) or with
// the link down: the wait line, reboot_interval, and the reboot when the link
// is still down and not dialled on demand.
pass_end wait_for_link(bool no_server) {
  if (no_server) {
    say("no server configured (remote_server_number 0): no ping\n");
  } else {
    say("the PPP link is down (no %s)\n", g_link_marker);
  }
  const char* text = "";
  int32_t seconds = 0;
  if (!read_interval(SET_REBOOT_INTERVAL, &seconds, &text)) return PASS_SKIPPED;
  if (no_server) {
    log_line("main", 350,
             "No IP addres configurate, wait for %s seconds to establish the PPP connection!\n",
             text);
  } else {
    log_line("main", 433, "Wait for %s seconds to establish the PPP connection!\n", text);
  }
  pause_ms(seconds_to_ms(seconds), "reboot_interval");
  const link_verdict verdict = link_or_demand();
  if (verdict != LINK_DOWN) return verdict == LINK_FINE ? PASS_GOES_ON : PASS_SKIPPED;
  if (!read_interval(SET_REBOOT_INTERVAL, &seconds, &text)) return PASS_SKIPPED;
  if (no_server) {
    log_line("main", 363, "PPP can not be establish in %s seconds, need reboot!\n", text);
  } else {
    log_line("main", 440, "PPP can not be establish in %s seconds!\n", text);
  }
  return reboot_router(REBOOT_NO_LINK);
}

// Copies the server text of index `index` ("" when the key is missing).
bool load_server(int32_t index) {
  char key[32];
  format_text(key, sizeof key, "%s%d", "remote_server", static_cast<int>(index));
  const char* text = "";
  if (!read_text(key, &text)) return false;
  const size_t length = strnlen(text, sizeof g_server - 1);
  memcpy(g_server, text, length);
  g_server[length] = '\0';
  return true;
}

pass_end ping_once(int32_t servers) {
  if (g_ping_address_index < 1 || g_ping_address_index > servers) {
    report_fault(SET_INDEX, int_to_text(g_ping_address_index), kShippedIndex);
    g_ping_address_index = kShippedIndex;
    g_ping_timeout = kShippedAttempt;
  }
  if (!load_server(g_ping_address_index)) return PASS_SKIPPED;
  const char* server = g_server;
  say("server %d of %d (remote_server%d) is \"%s\", attempt %d\n",
      static_cast<int>(g_ping_address_index), static_cast<int>(servers),
      static_cast<int>(g_ping_address_index), server, static_cast<int>(g_ping_timeout));
  tcp_target tcp;
  const probe_kind probe = parse_probe(server, &tcp);
  if (probe == PROBE_TCP) {
    say("a TCP connection to port %d of %s answers (opened or refused)\n", tcp.port, tcp.host);
  } else if (probe == PROBE_TCP_INVALID) {
    say("not a TCP probe (tcp:HOST:PORT, port 1-65535): the probe fails\n");
  }
  log_line("main", 381, "ping %s\n", server);
  bool success = false;
  if (probe == PROBE_ICMP) {
    if (g_sock < 0) g_sock = create_icmp_socket();  // closed by a reboot command
    if (g_sock < 0) say("no raw ICMP socket (it needs root): the ping fails\n");
    success = netvigil(server, g_sock) == 0;
  } else {
    success = probe == PROBE_TCP && tcp_probe(tcp) == 0;
  }
  if (success) {
    // Read before anything is written: a store that cannot be read leaves
    // the counters as they were.
    const char* rest = "";
    if (!read_text(kShippedSettings[SET_SUCCESS_INTERVAL].key, &rest)) return PASS_SKIPPED;
    const ping_step step = next_step(true, g_ping_address_index, g_ping_timeout, 0, 0);
    g_ping_address_index = step.index;
    g_ping_timeout = step.attempt;
    store_counter("ping_address_index", g_ping_address_index);
    store_counter("ping_times", g_ping_timeout);
    log_line("main", 391, "ping %s success\n", server);
    if (g_recovered) log_line("main", 453, "%s answers after the recovery: no reboot\n", server);
    const char* text = "";
    pause_ms(seconds_to_ms(use_interval(SET_SUCCESS_INTERVAL, rest, &text)), "success_interval");
    say("the pass ends: the ping was answered\n");
    return PASS_SUCCEEDED;
  }

  log_line("main", 399, "ping %s failure\n", server);
  pass_counts read{g_ping_address_index, g_ping_timeout, 0, 0};
  if (!read_number(kShippedSettings[SET_ATTEMPTS].key, &read.attempts) ||
      !read_number(kShippedSettings[SET_SERVERS].key, &read.servers)) {
    return PASS_SKIPPED;
  }
  pass_counts counts = read;
  report_count_faults(check_counts(counts), read, counts);
  g_ping_address_index = counts.index;
  g_ping_timeout = counts.attempt;
  const ping_step step =
      next_step(false, counts.index, counts.attempt, counts.attempts, counts.servers);
  switch (step.kind) {
    case STEP_NEXT_ATTEMPT:
      say("attempt %d of %d failed: the next start tries this server again\n",
          static_cast<int>(counts.attempt), static_cast<int>(counts.attempts));
      g_ping_timeout = step.attempt;
      store_counter("ping_times", g_ping_timeout);
      return PASS_FAILED;
    case STEP_NEXT_SERVER:
      say("attempt %d of %d failed: the next start tries server %d\n",
          static_cast<int>(counts.attempt), static_cast<int>(counts.attempts),
          static_cast<int>(step.index));
      g_ping_address_index = step.index;
      g_ping_timeout = step.attempt;
      store_counter("ping_address_index", g_ping_address_index);
      store_counter("ping_times", g_ping_timeout);
      return PASS_FAILED;
    case STEP_SUCCESS:
    case STEP_REBOOT:
      break;
  }
  say("attempt %d of %d failed on the last server: reboot\n", static_cast<int>(counts.attempt),
      static_cast<int>(counts.attempts));
  log_line("main", 404, "ping %s fail, need reboot after %s seconds!\n", server, kRebootDelayText);
  pause_ms(kRebootDelayMs, "before the reboot");
  if (reboot_router(REBOOT_UNREACHABLE) == PASS_SKIPPED) return PASS_SKIPPED;
  const char* text = "";
  int32_t seconds = 0;
  if (!read_interval(SET_PING_INTERVAL, &seconds, &text)) return PASS_SKIPPED;
  pause_ms(seconds_to_ms(seconds), "ping_interval");
  // Counters unchanged: the next pass pings the same server again (and a
  // reboot command that failed runs again when that ping fails).
  return PASS_GOES_ON;
}

pass_end one_pass() {
  int32_t servers = 0;
  if (!read_servers(&servers)) return PASS_SKIPPED;
  if (servers == 0) return wait_for_link(true);
  if (!link_up()) return wait_for_link(false);
  return ping_once(servers);
}

// The start-up delay before the first probe; false when the store could
// not be read.
bool wait_start_delay() {
  int32_t delay = 0;
  if (!read_number(kStartDelayKey, &delay)) return false;
  if (delay <= 0) return true;
  const int64_t uptime = read_uptime();
  const int32_t left = start_delay_left(delay, uptime);
  if (uptime < 0) {
    log_line("main", 461, "Start-up delay: no uptime in %s, waiting all %d seconds\n",
             g_uptime_file, static_cast<int>(delay));
  } else if (left > 0) {
    log_line("main", 460, "Start-up delay: up %lld seconds, the first probe in %d seconds\n",
             static_cast<long long>(uptime), static_cast<int>(left));
  } else {
    say("up %lld seconds, %s is %d: no wait\n", static_cast<long long>(uptime), kStartDelayKey,
        static_cast<int>(delay));
  }
  if (left > 0) pause_ms(seconds_to_ms(left), kStartDelayKey);
  return true;
}

// The counters, read once at start.
bool read_counters() {
  return read_number("ping_address_index", &g_ping_address_index) &&
         read_number("ping_times", &g_ping_timeout);
}

}  // namespace

void netvigil_main() {
  load_environment();
  log_line("main", 341, "Netvigil start!\n");  // still in the foreground
  daemon(1, 1);
  if (!read_counters() || !report_last_reboot() || !wait_start_delay()) {
    exit(0);  // skipped, like any other pass
  }
  g_sock = create_icmp_socket();
  for (;;) {
    if (one_pass() != PASS_GOES_ON) exit(0);
  }
}

int netvigil_dry_run(bool write) {
  g_mode = write ? MODE_DRY_RUN_WRITE : MODE_DRY_RUN;
  load_environment();
  g_log_file = nullptr;  // log lines to standard output, the log file untouched
  say("one pass in the foreground: no pause, no reboot, %s\n",
      write ? "the counters are stored" : "nothing is stored");
  if (!read_counters()) return 1;  // no counters to tell of
  say("counters before: ping_address_index=%d ping_times=%d\n",
      static_cast<int>(g_ping_address_index), static_cast<int>(g_ping_timeout));
  pass_end end = PASS_SKIPPED;
  if (report_last_reboot() && wait_start_delay()) {
    g_sock = create_icmp_socket();
    end = one_pass();
    close_socket();
  }
  say("counters after: ping_address_index=%d ping_times=%d\n",
      static_cast<int>(g_ping_address_index), static_cast<int>(g_ping_timeout));
  return end == PASS_SUCCEEDED ? 0 : 1;
}

}  // namespace nv
