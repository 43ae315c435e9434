#include "diag/diag_result.h"

#include <cstdio>

#include "diag/diag_commands.h"

namespace orvane {
namespace {

std::string AfterAttempts(const char* what, int attempts) {
  if (attempts == 0) return what;  // nothing to try: a block the write cannot frame
  char text[64];
  std::snprintf(text, sizeof text, "%s after %d attempt%s", what, attempts, attempts == 1 ? "" : "s");
  return text;
}

std::string Refusal(const DiagResult& r) {
  const char* name = nullptr;
  switch (r.code) {
    case DIAG_BAD_CMD_F: name = "bad command"; break;
    case DIAG_BAD_PARM_F: name = "bad parameters"; break;
    case DIAG_BAD_LEN_F: name = "bad length"; break;
    default: break;
  }
  char text[64];
  if (name != nullptr) {
    std::snprintf(text, sizeof text, "refused: %02X (%s)", r.code, name);
  } else {
    const char* what = r.code == DLOAD_NAK        ? "negative acknowledgement"
                       : r.code == DIAG_BAD_MODE_F ? "wrong mode"
                                                   : "unexpected answer";
    std::snprintf(text, sizeof text, "%s %02X %02X %02X", what, r.code, r.reason[0], r.reason[1]);
  }
  return text;
}

std::string WrongShape(const DiagResult& r) {
  if (r.expectedLength == 0) return "wrong bytes: expected " + r.expectedBytes + ", got " + r.actualBytes;
  char text[80];
  std::snprintf(text, sizeof text, "wrong length: expected %zu, got %zu", r.expectedLength, r.actualLength);
  return text;
}

}  // namespace

std::string DescribeDiagResult(const DiagResult& result) {
  switch (result.outcome) {
    case DiagOutcome::Ok: return "ok";
    case DiagOutcome::NotSent: return AfterAttempts("not sent", result.attempts);
    case DiagOutcome::NoReply: return AfterAttempts("no reply", result.attempts);
    case DiagOutcome::Refused: return Refusal(result);
    case DiagOutcome::WrongShape: return WrongShape(result);
    case DiagOutcome::Rejected: return "status " + std::to_string(result.code);
  }
  return "unknown";
}

}  // namespace orvane
