#pragma once
// netvigil: the router's link watchdog.
//
// Each start of the process does one pass of work: wait, if need be, for the
// PPP uplink; ping the current server once with an ICMP echo request; record
// the outcome in nvram; end. The counters in nvram carry the state from one
// start to the next (the router's start-up scripts start the daemon again).
// When the last server has used up its attempts, or the PPP link does not come
// up in time, the daemon runs "reboot" and keeps looping until the router
// restarts.
//
// One thread. The log is a small file ("/var/log/netvigil.log") that one
// process starts afresh once it has appended more than 4096 bytes to it.
//
// For tests on a development machine, three environment variables move the
// daemon's surroundings; on a router none of them is set and the daemon uses
// its fixed paths and real time (and a set-user-id start ignores them all):
//   NETVIGIL_LOG_FILE     the log file instead of /var/log/netvigil.log
//   NETVIGIL_LINK_MARKER  the PPP link marker instead of /tmp/ppp/link.ppp0
//   NETVIGIL_TIME_SCALE   real time per daemon time, in (0, 1000]: at 0.01
//                         a 180 s wait lasts 1.8 s and the 10 s wait for a
//                         reply 100 ms; log lines keep the real numbers
//   NETVIGIL_UPTIME_FILE  the system's uptime instead of /proc/uptime
// "reboot" is found on PATH, as the shell finds any command, and run
// directly, without a shell.
//
// Settings that would make the daemon spin or never reboot (an interval of
// 0 or below, a count that never reaches its limit) are settings faults: each
// is logged once per start, naming the key and its value, and the daemon goes
// on with the value the router's package ships for it (kShippedSettings), so
// that a missing setting never makes the watchdog harsher than its defaults.
// A complete set of positive settings behaves exactly as described above.
//
// A settings store that cannot be read (the `nvram` program failed or hung)
// is no missing setting: the pass ends at once, with nothing counted, nothing
// written and no reboot, and a line of its own names the key and why.
//
// Before it runs "reboot" the daemon stores a reboot record (kRebootRecordKey)
// that the next start logs once and clears; when the command returns, the
// record gains its outcome. An optional least gap between two reboots
// (kRebootGapKey) holds a reboot back that would come too soon after one that
// ran; a command that failed holds nothing back.
//
// Four optional settings widen this; absent (or 0, or empty) they change
// nothing of the above:
//   - a server text "tcp:HOST:PORT" is probed with a TCP connection to PORT
//     instead of an ICMP echo (parse_probe, tcp_probe); the counters count
//     its answers and failures as they count a ping's;
//   - kRecoverCommandKey names a program that is run once, with a time-out
//     of its own, when a reboot becomes due; the reboot then waits one pass:
//     a probe answered in it ends the matter, another reboot due in it
//     reboots (kRecoverRecordKey keeps what ran and how it ended);
//   - kMaxRebootsKey reboots within kRebootWindowKey seconds at most
//     (reboot_within_cap, the count in kRebootCountKey);
//   - kStartDelayKey seconds from the system's boot before the first probe
//     (start_delay_left, from /proc/uptime).
//
// `netvigil --dry-run` does one pass in the foreground and prints every
// decision instead of sleeping, rebooting or writing (netvigil_dry_run).
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

struct timeval;
struct nvram_result;

namespace nv {

// ---- fixed values of the router --------------------------------------------

inline constexpr const char* kLogFile = "/var/log/netvigil.log";
inline constexpr const char* kLinkMarker = "/tmp/ppp/link.ppp0";
inline constexpr const char* kUptimeFile = "/proc/uptime";

// One log line, level tag and line feed included, fits in this buffer (bytes,
// with the terminating zero); longer lines are cut to it.
inline constexpr int kLogLineBuffer = 2048;
// A process that has appended more than this to the log starts it afresh.
inline constexpr int kLogFileLimit = 4096;  // bytes

// The echo request and the replies as they come off the raw socket.
inline constexpr int kEchoRequestSize = 192;   // bytes, ICMP header included
inline constexpr int kReplyBufferSize = 192;   // bytes of the IPv4 datagram kept
inline constexpr int kMinimumReplySize = 76;   // bytes; shorter is no answer
inline constexpr int kReplyWaitMs = 10000;     // one wait for the first reply
inline constexpr int kRebootDelayMs = 180000;  // warning time before reboot
inline constexpr const char* kRebootDelayText = "180";

// ---- log levels ------------------------------------------------------------

enum log_level {
  LEVEL_DEBUG = 0,
  LEVEL_INFO = 1,
  LEVEL_WARN = 2,
  LEVEL_HIGH = 3,
  LEVEL_ERR = 4,
  LEVEL_FATAL = 5,
};

// ---- process-wide state ----------------------------------------------------

extern int32_t g_ping_address_index;  // mirror of nvram ping_address_index
extern int32_t g_ping_timeout;        // mirror of nvram ping_times
// Bytes this process appended to the log since the file was last started
// afresh.
extern int32_t g_log_bytes;

// The paths and time scale in force (fixed values unless overridden for a
// test; see above). load_environment() reads the overrides; call it once at
// start, before the first log line. A null g_log_file sends the log lines to
// standard output (the dry run).
extern const char* g_log_file;
extern const char* g_link_marker;
extern const char* g_uptime_file;
extern double g_time_scale;
void load_environment();

// The number that NETVIGIL_TIME_SCALE spells: optional leading white space,
// an optional sign, decimal digits with an optional point and an optional
// exponent ("0.01", "5e-3"), nothing after. The nearest double, as strtod
// reads it, for up to 15 significant digits and a power of ten within
// ±22; beyond that within a few units in its last place. False when the
// text is no such number.
bool parse_decimal(const char* text, double* value);

// ---- text ------------------------------------------------------------------

// printf-style formatting of the daemon's messages into `text` (`size`
// bytes): the whole text, cut to size - 1 bytes and zero-terminated when
// size > 0; returns the length of the whole text, as vsnprintf does. It
// knows the conversions the daemon uses, each with an optional field width
// (right-aligned with blanks, as in "[%9s: %4d]"): %s (a null pointer as
// "(null)"), %d (int), %lld (long long) and %%. Anything else after a '%' is
// copied as it stands.
int vformat_text(char* text, size_t size, const char* format, va_list args);
int format_text(char* text, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes all of `text` to descriptor `fd` (a write interrupted by a signal
// goes on); false when it could not.
bool write_text(int fd, const char* text);

// ---- process shell ---------------------------------------------------------

// Decimal text of `n` in a buffer that the next call overwrites.
const char* int_to_text(int32_t n);

// A setting as a number: leading decimal digits as atoi reads them (0 for a
// missing or non-numeric value), held to the 32-bit range.
int32_t text_to_int(const char* text);

// The leading decimal number of `text` as strtoll reads it in base 10
// (optional white space and sign, then digits; held to the 64-bit range),
// 0 when there is none; `end`, unless null, gets where the digits ended.
int64_t text_to_int64(const char* text, const char** end);

// A stored time in seconds since 1970: the leading number, or 0 (no time
// known) when there is none or it is not positive.
int64_t text_to_time(const char* text);

// nvram access: a missing key reads as "" (never a null pointer), and so
// does a store that could not be read. The log level is read this way (a
// line is never lost for want of it); the pass reads through nvram_read, which
// tells the two apart.
const char* setting_text(const char* key);
int32_t setting_int(const char* key);
void store_int(const char* key, int32_t value);

// Why the store could not be read, for the log (e.g. "nvram get ended with
// exit status 3").
void describe_unreadable(char* text, size_t size, const nvram_result& read);

// Appends `text` to the log file at `path`, starting the file afresh when this
// process has appended more than kLogFileLimit bytes. A file that cannot be
// opened loses the line. A null `path` writes the text to standard output.
void write_log_file(const char* path, const char* text);

// Writes "[LEVEL] " and the formatted message, ending in a line feed, when
// `level` is 0..5 and not below nvram sys_log_level.
void _syslog(const char* path, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The daemon's own log lines: "[%9s: %4d]:" with the routine's name and the
// statement's number, then the message; at level INFO, to g_log_file. The
// finished text is logged as it is (a '%' in a server name stays text).
void log_line(const char* routine, int number, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Sleeps `ms` milliseconds of daemon time; an interrupted sleep goes on with
// the time left. Always returns 0.
int __msleep(int32_t ms);

// The system wait for `ms` milliseconds of daemon time (the time scale
// applied; at scale 1 exactly ms / 1000 s and (ms mod 1000) × 1000 µs).
timeval daemon_wait(int32_t ms);

// `seconds` × 1000, held to the 32-bit range (a huge setting must not wrap
// into a negative sleep).
int32_t seconds_to_ms(int32_t seconds);

// The monotonic clock in microseconds, and a time value in microseconds.
int64_t monotonic_us();
int64_t to_us(const timeval& time);

// The time value left until `deadline` (monotonic_us); false when it has
// passed.
bool time_left(int64_t deadline, timeval* left);

// Seconds the system has been up, from the text of /proc/uptime ("350735.47
// 1380101.09"): the whole seconds of its first number; -1 when the text
// starts with no number.
int64_t parse_uptime(const char* text);

// The seconds since boot as g_uptime_file tells them; -1 when it cannot be
// read or holds no number.
int64_t read_uptime();

// Detaches from the terminal (BSD daemon(3) behaviour): a child process in a
// new session carries on, the starting process ends at once with status 0.
// Nonzero `keep_directory` keeps the working directory (else "/"); nonzero
// `keep_streams` keeps standard input, output and error (else "/dev/null").
// 0, or -1 when the child or its session could not be created.
int daemon(int keep_directory, int keep_streams);

// ---- ping ------------------------------------------------------------------

// Internet checksum (RFC 1071) of `length` bytes, in the byte order of the
// message: stored with memcpy into the checksum field it is correct.
uint16_t icmp_checksum(const void* data, int length);

// Writes the 192-byte echo request (type 8, code 0, `identifier` and
// `sequence` in network byte order, zero data) with its checksum.
void build_echo_request(unsigned char (&packet)[kEchoRequestSize], uint16_t identifier,
                        uint16_t sequence);

// The identifier of this process's echo requests: the low 16 bits of its
// process id, never 0.
uint16_t echo_identifier();

// The echo request waiting for its answer: where it went (IPv4 address as on
// the wire) and its bytes as sent.
struct pending_echo {
  unsigned char destination[4];
  unsigned char request[kEchoRequestSize];
};

// What one datagram off the raw socket means for the ping. A raw socket sees
// every ICMP message that reaches the host: only what answers the request
// just sent decides.
enum reply_verdict {
  // An echo reply of at least 76 bytes from the pinged address whose
  // identifier, sequence and data (as far as the datagram holds them) are
  // those of the request.
  REPLY_SUCCESS,
  // An ICMP error (destination unreachable, time exceeded, parameter
  // problem) that quotes the request: its header to the pinged address.
  REPLY_FAILURE,
  // Anything else: our own request looped back, other programs' pings and
  // their replies, replies from another address, messages too short to
  // tell. Waiting goes on.
  REPLY_IGNORED,
};
reply_verdict judge_reply(const unsigned char* datagram, int length, const pending_echo& sent);

// The raw ICMP socket, or -1 when it cannot be opened. Gives up a
// set-user-id privilege afterwards.
int create_icmp_socket();

// Pings `server` (host name or dotted address) once through `sock`: 0 when the
// reply to this request came back within 10 s, -1 otherwise (also for an
// empty or unknown name and for sock < 0). Datagrams that do not answer the
// request are skipped within the same 10 s. Logs as "netvigil".
int netvigil(const char* server, int sock);

// ---- probes ----------------------------------------------------------------

// A server text "tcp:HOST:PORT" names a TCP probe; any other text, the ICMP
// echo to that host.
inline constexpr const char* kTcpPrefix = "tcp:";
// A host name of a TCP probe fits in this buffer (bytes, with the zero); a
// DNS name has at most 253 characters.
inline constexpr size_t kHostBuffer = 256;

enum probe_kind {
  PROBE_ICMP,         // the whole text is the host
  PROBE_TCP,          // tcp:HOST:PORT with a host and a port in 1..65535
  PROBE_TCP_INVALID,  // "tcp:" without them: the probe fails at once
};
struct tcp_target {
  char host[kHostBuffer];  // a name or dotted IPv4 address, without ':'
  uint16_t port;
};
// What the server text `server` asks for; `target` gets the host and port
// of a TCP probe (PROBE_TCP).
probe_kind parse_probe(const char* server, tcp_target* target);

// Opens a TCP connection to the target within the 10 s that a ping waits
// for its reply (non-blocking, no other thread): 0 when it is opened, or
// refused (the host answered), -1 otherwise (no answer in time, no route,
// an unknown name). The connection is closed at once. Logs as "netvigil".
int tcp_probe(const tcp_target& target);

// ---- counters --------------------------------------------------------------

// The state after one ping, from the index i and attempt counter k before it
// and the limits K (ping_out_times) and N (remote_server_number).
enum step_kind {
  STEP_SUCCESS,       // i = k = 1, both written; pause, end
  STEP_NEXT_ATTEMPT,  // k + 1 written; end
  STEP_NEXT_SERVER,   // i + 1 and k = 1 written; end
  STEP_REBOOT,        // the last server has used up its attempts: nothing written
};
struct ping_step {
  step_kind kind;
  int32_t index;    // new i
  int32_t attempt;  // new k
};
ping_step next_step(bool success, int32_t i, int32_t k, int32_t K, int32_t N);

// ---- shipped defaults and settings checks ----------------------------------

// The values that the router's package ships (nvram-defaults.sh) for the
// settings the daemon checks. A faulty setting is taken as its shipped value:
// never fewer attempts, a shorter wait for the link or a quicker retry than
// a router set up with the defaults has.
inline constexpr int32_t kShippedServers = 0;            // remote_server_number
inline constexpr int32_t kShippedAttempts = 3;           // ping_out_times
inline constexpr int32_t kShippedIndex = 1;              // ping_address_index
inline constexpr int32_t kShippedAttempt = 1;            // ping_times
inline constexpr int32_t kShippedRebootInterval = 300;   // reboot_interval, seconds
inline constexpr int32_t kShippedSuccessInterval = 300;  // success_interval, seconds
inline constexpr int32_t kShippedPingInterval = 60;      // ping_interval, seconds

// The checked settings, by number.
enum setting_id {
  SET_SERVERS,
  SET_ATTEMPTS,
  SET_INDEX,
  SET_ATTEMPT,
  SET_REBOOT_INTERVAL,
  SET_SUCCESS_INTERVAL,
  SET_PING_INTERVAL,
  SETTING_COUNT,
};
struct shipped_setting {
  const char* key;
  int32_t value;
};
inline constexpr shipped_setting kShippedSettings[SETTING_COUNT] = {
    {"remote_server_number", kShippedServers},
    {"ping_out_times", kShippedAttempts},
    {"ping_address_index", kShippedIndex},
    {"ping_times", kShippedAttempt},
    {"reboot_interval", kShippedRebootInterval},
    {"success_interval", kShippedSuccessInterval},
    {"ping_interval", kShippedPingInterval},
};

// The counters and limits of a pass as next_step takes them.
struct pass_counts {
  int32_t index;     // i, ping_address_index
  int32_t attempt;   // k, ping_times
  int32_t attempts;  // K, ping_out_times
  int32_t servers;   // N, remote_server_number
};

// Faults that check_counts found, one bit each.
enum count_fault : unsigned {
  FAULT_SERVERS = 1u << 0,   // N < 0: taken as kShippedServers, no server
  FAULT_ATTEMPTS = 1u << 1,  // K < 1 (missing, 0): taken as kShippedAttempts
  FAULT_INDEX = 1u << 2,     // i outside 1..N (N >= 1): taken as 1, with k = 1
  FAULT_ATTEMPT = 1u << 3,   // k < 1: taken as 1; k > K: taken as K (the
                             // failures counted have used the attempts up)
};

// Repairs, in place, counts under which next_step would never reach the
// reboot (K missing, i above N, k past K, ...); returns the faults found, 0
// for sound counts, which stay as they are.
unsigned check_counts(pass_counts& counts);

// ---- reboot record and guard -----------------------------------------------

// Stored before each "reboot": "time=<s> server=<i> reason=<no-link|unreachable>",
// seconds since 1970; when the command returns, its outcome is appended
// (format_reboot_result). A record without one is a command that never
// returned: the reboot ended the process. The next start logs it once and
// clears it (stores "").
inline constexpr const char* kRebootRecordKey = "netvigil_last_reboot";
// The time of the last reboot command that did not fail, for the guard:
// stored with the record, put back as it was when the command fails.
inline constexpr const char* kRebootTimeKey = "netvigil_last_reboot_time";
// Optional least time between two reboots by the daemon, in seconds; absent,
// 0 or not a positive number: no guard.
inline constexpr const char* kRebootGapKey = "netvigil_min_reboot_gap";

enum reboot_reason {
  REBOOT_NO_LINK,      // the PPP link did not come up in time
  REBOOT_UNREACHABLE,  // the last server used up its attempts
};

// The record's text for a reboot at `time` with server index `index`.
void format_reboot_record(char* text, size_t size, int64_t time, int32_t index,
                          reboot_reason reason);

// How a reboot command that returned had ended.
// (The recovery command ends the same ways, and may also run out of time.)
enum reboot_end {
  REBOOT_EXITED,       // it ran and exited with status `code`
  REBOOT_SIGNALLED,    // it was ended by signal `code`
  REBOOT_NOT_STARTED,  // it could not be started (not on PATH, not a
                       // program, no process): errno in `code`
  REBOOT_TIMED_OUT,    // it had not ended after `code` seconds: killed
};
struct reboot_outcome {
  reboot_end end;
  int code;
};

// Whether the command did its part: exited with status 0 (the router is
// going down). Anything else is a failed reboot, retried by the loop.
bool reboot_succeeded(const reboot_outcome& outcome);

// Appends the outcome to the record `text` (`size` bytes in all):
// " result=exit-<status>", " result=signal-<n>", " result=not-started" or
// " result=timeout".
void format_reboot_result(char* text, size_t size, const reboot_outcome& outcome);

// Whether a reboot may run at `now` (seconds since 1970) when the last one
// ran at `last` (0 for none known) and the guard asks for `gap` seconds of
// daemon time (the time scale applied to the elapsed real time). A clock
// that went back (now < last) cannot tell: the reboot may run, so that a
// router without a real-time clock is never kept from rebooting for good.
bool reboot_allowed(int64_t now, int64_t last, int32_t gap, double time_scale);

// ---- recovery, reboot cap, start-up delay ----------------------------------

// Optional: a program (its path; a name without '/' is looked up on PATH)
// run without a shell or arguments when a reboot becomes due, in place of
// the reboot; the reboot then waits one pass. Absent or empty: none.
inline constexpr const char* kRecoverCommandKey = "netvigil_recover_cmd";
// The recovery's record: "time=<s> server=<i> reason=<...>" stored before it
// runs and its result appended (format_reboot_result) when it has ended; it
// stays until the next recovery.
inline constexpr const char* kRecoverRecordKey = "netvigil_last_recover";
// The recovery command's own time-out, daemon time; past it, it is killed
// with everything it started.
inline constexpr int32_t kRecoverTimeoutMs = 60000;

// Optional: at most this many reboots by the daemon within kRebootWindowKey
// seconds; absent, 0 or below, or without a positive window: no cap.
inline constexpr const char* kMaxRebootsKey = "netvigil_max_reboots";
inline constexpr const char* kRebootWindowKey = "netvigil_reboot_window";
// The reboots of the current window: "<window start, s since 1970>
// <count>", stored before each reboot command runs and put back as it was
// when the command fails.
inline constexpr const char* kRebootCountKey = "netvigil_reboot_count";

struct reboot_tally {
  int64_t since;  // start of the window, seconds since 1970; 0: none
  int32_t count;  // reboots run within it
};
// The stored tally; no window ({0, 0}) for an empty or unreadable text.
reboot_tally parse_reboot_tally(const char* text);
void format_reboot_tally(char* text, size_t size, const reboot_tally& tally);

// Whether a reboot may run at `now` under a cap of `max` reboots within
// `window` seconds of daemon time (the time scale applied to the elapsed
// real time). `tally` becomes what to store when the reboot runs: a window
// that has passed (or a clock that went back) starts a new one at `now`, and
// the count includes this reboot. False, with the tally unchanged, when the
// window's count is used up. No cap (max or window not positive): true.
bool reboot_within_cap(int64_t now, int32_t max, int32_t window, double time_scale,
                       reboot_tally* tally);

// Optional: seconds after the system's boot before the daemon's first
// probe, so that a router that has just started is not judged while it
// dials. Absent or 0: no wait.
inline constexpr const char* kStartDelayKey = "netvigil_start_delay";

// Seconds still to wait for a start-up delay of `delay` seconds when the
// system has been up `uptime` seconds: 0 when up long enough (or no delay);
// the whole delay when the uptime is not known (-1).
int32_t start_delay_left(int32_t delay, int64_t uptime);

// ---- the daemon ------------------------------------------------------------

// Start-up and the work loop; ends the process through exit(0).
[[noreturn]] void netvigil_main();

// One pass in the foreground for an installer: the log lines and every
// decision (server, attempt, counters before and after, what would run) go
// to standard output; nothing sleeps, nothing reboots, no reboot record is
// stored or cleared, and the counters are stored only when `write` is set.
// 0 when the pass ends in a successful ping, 1 otherwise.
int netvigil_dry_run(bool write);

}  // namespace nv
