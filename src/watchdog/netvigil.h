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
// "reboot" is found on PATH, as the shell finds any command.
#include <stdint.h>

struct timeval;

namespace nv {

// ---- fixed values of the router --------------------------------------------

inline constexpr const char* kLogFile = "/var/log/netvigil.log";
inline constexpr const char* kLinkMarker = "/tmp/ppp/link.ppp0";

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
// start, before the first log line.
extern const char* g_log_file;
extern const char* g_link_marker;
extern double g_time_scale;
void load_environment();

// ---- process shell ---------------------------------------------------------

// Decimal text of `n` in a buffer that the next call overwrites.
const char* int_to_text(int32_t n);

// A setting as a number: leading decimal digits as atoi reads them (0 for a
// missing or non-numeric value), held to the 32-bit range.
int32_t text_to_int(const char* text);

// nvram access: a missing key reads as "" (never a null pointer).
const char* setting_text(const char* key);
int32_t setting_int(const char* key);
void store_int(const char* key, int32_t value);

// Appends `text` to the log file at `path`, starting the file afresh when this
// process has appended more than kLogFileLimit bytes. A file that cannot be
// opened loses the line.
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

// Writes the 192-byte echo request (type 8, code 0, identifier 0, sequence 0,
// zero data) with its checksum.
void build_echo_request(unsigned char (&packet)[kEchoRequestSize]);

// What one datagram off the raw socket means for the ping.
enum reply_verdict {
  REPLY_SUCCESS,  // an echo reply of at least 76 bytes
  REPLY_FAILURE,  // too short, or another ICMP message
  REPLY_IGNORED,  // an echo request (ours looped back, or someone else's)
};
reply_verdict judge_reply(const unsigned char* datagram, int length);

// The raw ICMP socket, or -1 when it cannot be opened. Gives up a
// set-user-id privilege afterwards.
int create_icmp_socket();

// Pings `server` (host name or dotted address) once through `sock`: 0 when an
// echo reply came back within 10 s, -1 otherwise (also for an empty or
// unknown name and for sock < 0). Logs as "netvigil".
int netvigil(const char* server, int sock);

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

// ---- the daemon ------------------------------------------------------------

// Start-up and the work loop; ends the process through exit(0).
[[noreturn]] void netvigil_main();

}  // namespace nv
