// Start-up, the work loop of netvigil and its dry run.
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "watchdog/netvigil.h"
#include "watchdog/nvram/nvram.h"

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
    counts.servers = 0;
    faults |= FAULT_SERVERS;
  }
  if (counts.attempts < 1) {
    counts.attempts = 1;
    faults |= FAULT_ATTEMPTS;
  }
  if (counts.servers >= 1 && (counts.index < 1 || counts.index > counts.servers)) {
    // Start the list again; the attempts counted belonged to another server.
    counts.index = 1;
    counts.attempt = 1;
    faults |= FAULT_INDEX;
  }
  if (counts.attempt < 1) {
    counts.attempt = 1;
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

bool reboot_allowed(int64_t now, int64_t last, int32_t gap, double time_scale) {
  if (gap <= 0 || last <= 0 || now < last) return true;
  if (!(time_scale > 0.0)) time_scale = 1.0;
  return static_cast<double>(now - last) / time_scale >= static_cast<double>(gap);
}

namespace {

enum run_mode {
  MODE_DAEMON,
  MODE_DRY_RUN,        // prints, stores nothing
  MODE_DRY_RUN_WRITE,  // prints, stores the counters
};
run_mode g_mode = MODE_DAEMON;

// How a pass ends. The daemon ends the process with status 0 after a success
// or a counted failure; after the wait and reboot paths it takes the next
// pass.
enum pass_end { PASS_SUCCEEDED, PASS_FAILED, PASS_GOES_ON };

int g_sock = -1;
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

// ---- settings faults -------------------------------------------------------

enum setting_id {
  SET_SERVERS,
  SET_ATTEMPTS,
  SET_INDEX,
  SET_ATTEMPT,
  SET_REBOOT_INTERVAL,
  SET_SUCCESS_INTERVAL,
  SET_PING_INTERVAL,
};
const char* const kSettingKeys[] = {
    "remote_server_number", "ping_out_times",   "ping_address_index", "ping_times",
    "reboot_interval",      "success_interval", "ping_interval",
};
unsigned g_reported_faults = 0;  // one bit per setting_id

// Logs a settings fault, once per key and start of the process.
void report_fault(setting_id id, const char* value, int32_t used) {
  const unsigned bit = 1u << id;
  if ((g_reported_faults & bit) != 0) return;
  g_reported_faults |= bit;
  log_line("settings", 510, "Settings fault: %s is \"%s\", using %d\n", kSettingKeys[id], value,
           static_cast<int>(used));
}

// The interval setting `id` in seconds as the daemon uses it; `text` gets what
// the log lines show: the stored text, or the fallback when the setting is
// faulty (a wait of 0 or less would let the loop spin).
int32_t read_interval(setting_id id, const char** text) {
  const char* stored = setting_text(kSettingKeys[id]);
  const int32_t seconds = text_to_int(stored);
  if (seconds > 0) {
    *text = stored;
    return seconds;
  }
  report_fault(id, stored, kFallbackIntervalSeconds);
  *text = kFallbackIntervalText;
  return kFallbackIntervalSeconds;
}

// N for this pass; a negative number configures no server.
int32_t read_servers() {
  const int32_t servers = setting_int(kSettingKeys[SET_SERVERS]);
  if (servers >= 0) return servers;
  report_fault(SET_SERVERS, int_to_text(servers), 0);
  return 0;
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

// Dialling on demand: the link may be down on purpose.
bool dial_on_demand() {
  return strcmp(setting_text("wan_ppp_demand"), "2") == 0;
}

void close_socket() {
  if (g_sock >= 0) close(g_sock);
  g_sock = -1;  // a later ping opens a new one
}

// Runs "reboot" as the shell runs a plain command name: found on PATH,
// started with no arguments, waited for (a reboot that works ends this
// process first). Without a shell between, and without the one that
// system() would start.
void run_reboot() {
  const pid_t child = fork();
  if (child == 0) {
    char* const argv[] = {const_cast<char*>("reboot"), nullptr};
    execvp(argv[0], argv);
    _exit(127);  // what the shell ends with when it finds no such command
  }
  if (child < 0) return;
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

int64_t text_to_time(const char* text) {
  char* end = nullptr;
  const long long value = strtoll(text, &end, 10);
  return end != text && value > 0 ? value : 0;
}

// Runs "reboot" unless the guard holds it back; the record goes first, since
// a reboot that works ends this process.
void reboot_router(reboot_reason reason) {
  const int32_t gap = setting_int(kRebootGapKey);
  const int64_t last = text_to_time(setting_text(kRebootTimeKey));
  const int64_t now = time(nullptr);
  if (!reboot_allowed(now, last, gap, g_time_scale)) {
    const long long ago = static_cast<long long>(static_cast<double>(now - last) / g_time_scale);
    log_line("main", 446, "Reboot held back: the last one was %lld seconds ago, %s is %d\n", ago,
             kRebootGapKey, static_cast<int>(gap));
    say("no reboot now\n");
    return;
  }
  char record[96];
  format_reboot_record(record, sizeof record, now, g_ping_address_index, reason);
  if (dry_run()) {
    say("would store %s=%s\n", kRebootRecordKey, record);
    say("would run reboot\n");
    return;
  }
  char when[24];
  format_text(when, sizeof when, "%lld", static_cast<long long>(now));
  nvram_set(kRebootRecordKey, record);
  nvram_set(kRebootTimeKey, when);
  close_socket();
  run_reboot();  // the reboot ends this process, or not
}

// The record of the daemon's last reboot, logged once by the next start.
void report_last_reboot() {
  const char* record = setting_text(kRebootRecordKey);
  if (*record == '\0') return;
  log_line("main", 343, "Last reboot by netvigil: %s\n", record);
  if (dry_run()) {
    say("the reboot record stays for the next start of the daemon\n");
  } else {
    nvram_set(kRebootRecordKey, "");
  }
}

// ---- the pass --------------------------------------------------------------

// Whether the link wait ends without a reboot.
bool link_or_demand() {
  if (link_up()) {
    say("the PPP link is up now: the next pass\n");
    return true;
  }
  if (dial_on_demand()) {
    say("the PPP link is down, wan_ppp_demand is \"2\": the next pass waits again\n");
    return true;
  }
  if (dry_run()) {
    say("the PPP link is down, wan_ppp_demand is \"%s\" (not \"2\")\n",
        setting_text("wan_ppp_demand"));
  }
  return false;
}

pass_end no_server_wait() {
  say("no server configured (remote_server_number 0): no ping\n");
  const char* text = "";
  const int32_t seconds = read_interval(SET_REBOOT_INTERVAL, &text);
  log_line("main", 350,
           "No IP addres configurate, wait for %s seconds to establish the PPP connection!\n",
           text);
  pause_ms(seconds_to_ms(seconds), "reboot_interval");
  if (link_or_demand()) return PASS_GOES_ON;
  read_interval(SET_REBOOT_INTERVAL, &text);
  log_line("main", 363, "PPP can not be establish in %s seconds, need reboot!\n", text);
  reboot_router(REBOOT_NO_LINK);
  return PASS_GOES_ON;
}

pass_end link_wait() {
  say("the PPP link is down (no %s)\n", g_link_marker);
  const char* text = "";
  const int32_t seconds = read_interval(SET_REBOOT_INTERVAL, &text);
  log_line("main", 433, "Wait for %s seconds to establish the PPP connection!\n", text);
  pause_ms(seconds_to_ms(seconds), "reboot_interval");
  if (link_or_demand()) return PASS_GOES_ON;
  read_interval(SET_REBOOT_INTERVAL, &text);
  log_line("main", 440, "PPP can not be establish in %s seconds!\n", text);
  reboot_router(REBOOT_NO_LINK);
  return PASS_GOES_ON;
}

// Copies the server text of index `index` ("" when the key is missing).
const char* load_server(int32_t index) {
  char key[32];
  format_text(key, sizeof key, "%s%d", "remote_server", static_cast<int>(index));
  const char* text = setting_text(key);
  const size_t length = strnlen(text, sizeof g_server - 1);
  memcpy(g_server, text, length);
  g_server[length] = '\0';
  return g_server;
}

pass_end ping_once(int32_t servers) {
  if (g_ping_address_index < 1 || g_ping_address_index > servers) {
    report_fault(SET_INDEX, int_to_text(g_ping_address_index), 1);
    g_ping_address_index = 1;
    g_ping_timeout = 1;
  }
  const char* server = load_server(g_ping_address_index);
  say("server %d of %d (remote_server%d) is \"%s\", attempt %d\n",
      static_cast<int>(g_ping_address_index), static_cast<int>(servers),
      static_cast<int>(g_ping_address_index), server, static_cast<int>(g_ping_timeout));
  log_line("main", 381, "ping %s\n", server);
  if (g_sock < 0) g_sock = create_icmp_socket();  // closed by a reboot command
  if (g_sock < 0) say("no raw ICMP socket (it needs root): the ping fails\n");
  const bool success = netvigil(server, g_sock) == 0;
  if (success) {
    const ping_step step = next_step(true, g_ping_address_index, g_ping_timeout, 0, 0);
    g_ping_address_index = step.index;
    g_ping_timeout = step.attempt;
    store_counter("ping_address_index", g_ping_address_index);
    store_counter("ping_times", g_ping_timeout);
    log_line("main", 391, "ping %s success\n", server);
    const char* text = "";
    pause_ms(seconds_to_ms(read_interval(SET_SUCCESS_INTERVAL, &text)), "success_interval");
    say("the pass ends: the ping was answered\n");
    return PASS_SUCCEEDED;
  }

  log_line("main", 399, "ping %s failure\n", server);
  const pass_counts read{g_ping_address_index, g_ping_timeout, setting_int("ping_out_times"),
                         setting_int("remote_server_number")};
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
  reboot_router(REBOOT_UNREACHABLE);
  const char* text = "";
  pause_ms(seconds_to_ms(read_interval(SET_PING_INTERVAL, &text)), "ping_interval");
  // Counters unchanged: the next pass pings the same server again.
  return PASS_GOES_ON;
}

pass_end one_pass() {
  const int32_t servers = read_servers();
  if (servers == 0) return no_server_wait();
  if (!link_up()) return link_wait();
  return ping_once(servers);
}

void read_counters() {
  g_ping_address_index = setting_int("ping_address_index");
  g_ping_timeout = setting_int("ping_times");
}

}  // namespace

void netvigil_main() {
  load_environment();
  read_counters();
  log_line("main", 341, "Netvigil start!\n");  // still in the foreground
  report_last_reboot();
  daemon(1, 1);
  g_sock = create_icmp_socket();
  for (;;) {
    if (one_pass() != PASS_GOES_ON) exit(0);
  }
}

int netvigil_dry_run(bool write) {
  g_mode = write ? MODE_DRY_RUN_WRITE : MODE_DRY_RUN;
  load_environment();
  g_log_file = nullptr;  // log lines to standard output, the log file untouched
  read_counters();
  say("one pass in the foreground: no pause, no reboot, %s\n",
      write ? "the counters are stored" : "nothing is stored");
  say("counters before: ping_address_index=%d ping_times=%d\n",
      static_cast<int>(g_ping_address_index), static_cast<int>(g_ping_timeout));
  report_last_reboot();
  g_sock = create_icmp_socket();
  const pass_end end = one_pass();
  say("counters after: ping_address_index=%d ping_times=%d\n",
      static_cast<int>(g_ping_address_index), static_cast<int>(g_ping_timeout));
  close_socket();
  return end == PASS_SUCCEEDED ? 0 : 1;
}

}  // namespace nv
