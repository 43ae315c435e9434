#include "engine/router_step_outcome.h"

namespace orvane {
namespace {

// "1 attempt", "3 attempts".
std::string Count(int n, const std::string& noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); }

// "60 s" for whole seconds, "1500 ms" otherwise.
std::string Duration(std::uint32_t ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

std::string TriggerOutcome::Detail() const {
  if (result == TriggerResult::Sent) return "sent on attempt " + std::to_string(attempts);
  std::string text = "not sent after " + Count(attempts, "attempt");
  if (!error.empty()) text += ": " + error;
  return text;
}

const char* ControlRequestName(ControlRequestKind request) {
  switch (request) {
    case ControlRequestKind::EraseNvram:
      return "NVRAM erase request";
    case ControlRequestKind::Probe:
      return "probe";
    case ControlRequestKind::ForcedDownload:
      return "forced download request";
  }
  return "";
}

const char* ControlResultName(ControlResult result) {
  switch (result) {
    case ControlResult::Echoed:
      return "echoed";
    case ControlResult::NoEcho:
      return "no echo";
    case ControlResult::NotSent:
      return "not sent";
    case ControlResult::Stopped:
      return "stopped";
    case ControlResult::AlreadyForced:
      return "already forced";
  }
  return "";
}

std::string ControlOutcome::Detail() const {
  switch (result) {
    case ControlResult::Echoed:
      return "echoed on attempt " + std::to_string(attempts) + " after " + std::to_string(waitedMs) + " ms";
    case ControlResult::NoEcho:
      // The probe wait is bounded by its limit, the other steps by their
      // attempts.
      if (request == ControlRequestKind::Probe) {
        return std::string("no answer to the ") + ControlRequestName(request) + " within " + Duration(limitMs);
      }
      return "no echo after " + Count(attempts, "attempt") + " of " + std::to_string(replyTimeoutMs) +
             " ms";
    case ControlResult::NotSent:
      return std::string("the ") + ControlRequestName(request) + " could not be sent: " + error;
    case ControlResult::Stopped:
      return "stopped by the operator after " + Count(attempts, ControlRequestName(request)) + " (" +
             std::to_string(waitedMs) + " ms)";
    case ControlResult::AlreadyForced:
      return "already in forced download mode; nothing sent";
  }
  return "";
}

}  // namespace orvane
