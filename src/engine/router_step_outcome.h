#pragma once
// What the router's small steps came to, as values: the trigger on the relay
// connection and the control exchanges on the router's control port (the
// NVRAM erase, the probe wait, the forced download request). Each carries the
// numbers the step worked with (its attempts and time-outs), so that its
// detail in words is built from them and no caller repeats them.
//
// Pure values: no I/O.
#include <cstdint>
#include <string>

namespace orvane {

// The framed trigger that announces a router image or a module download.
enum class TriggerResult {
  Sent,     // one send went through
  NotSent,  // every attempt failed
};

struct TriggerOutcome {
  TriggerResult result = TriggerResult::NotSent;
  // Sent: the attempt that went through (1 for the first); NotSent: the
  // attempts made.
  int attempts = 0;
  // NotSent: the relay port's last error in words, on one line; "" when the
  // port had none to tell.
  std::string error;

  bool ok() const { return result == TriggerResult::Sent; }
  explicit operator bool() const { return ok(); }

  // "sent on attempt 1", "not sent after 3 attempts: Connection refused".
  std::string Detail() const;

  static TriggerOutcome Sent(int attempt) { return {TriggerResult::Sent, attempt, {}}; }
  static TriggerOutcome NotSent(int attempts, std::string error) {
    return {TriggerResult::NotSent, attempts, std::move(error)};
  }
};

// The control request a step sent; the router echoes each unchanged.
enum class ControlRequestKind {
  EraseNvram,      // the router module's NVRAM erase
  Probe,           // is the router answering (the probe wait)
  ForcedDownload,  // the router puts its module into forced download mode
};

// "NVRAM erase request", "probe", "forced download request".
const char* ControlRequestName(ControlRequestKind request);

enum class ControlResult {
  Echoed,         // the router sent the request back
  NoEcho,         // no echo within any attempt's time-out (or the probe wait's limit)
  NotSent,        // the last attempt's request could not be sent (error says why)
  Stopped,        // the probe wait gave way to the operator's stop
  AlreadyForced,  // forced download: the router echoed it earlier; nothing sent
};

// "echoed", "no echo", "not sent", "stopped", "already forced".
const char* ControlResultName(ControlResult result);

struct ControlOutcome {
  ControlRequestKind request = ControlRequestKind::Probe;
  ControlResult result = ControlResult::NoEcho;
  // Requests tried: Echoed counts the one echoed; 0 when nothing was tried.
  int attempts = 0;
  // Each attempt's wait for the echo, in system milliseconds.
  std::uint32_t replyTimeoutMs = 0;
  // The probe wait's limit in system milliseconds; 0 for the other steps.
  std::uint32_t limitMs = 0;
  // System milliseconds from the step's start to its outcome.
  std::uint32_t waitedMs = 0;
  // NotSent: the control port's error in words, on one line.
  std::string error;

  // Echoed, or AlreadyForced: the router is where the step wanted it.
  bool ok() const { return result == ControlResult::Echoed || result == ControlResult::AlreadyForced; }
  explicit operator bool() const { return ok(); }

  // The outcome in words, e.g. "no echo after 3 attempts of 4000 ms",
  // "no answer to the probe within 60 s", "echoed on attempt 1 after 12 ms",
  // "the probe could not be sent: Invalid argument", "stopped by the
  // operator after 2 probes (8000 ms)", "already in forced download mode;
  // nothing sent".
  std::string Detail() const;
};

}  // namespace orvane
