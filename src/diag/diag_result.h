#pragma once
// What one module command came to: a typed value the engine and the front
// ends read, instead of a bare success flag and a log line.
//
//   Ok          an accepted answer (and, where the command has one, a good
//               content check)
//   NotSent     the request could not be sent (last attempt)
//   NoReply     nothing answered within the receive time-out (last attempt)
//   Refused     the module refused the command: 0x13 bad command, 0x14 bad
//               parameters, 0x15 bad length (no further attempt), or 0x03
//               negative acknowledgement / 0x18 wrong mode with the two bytes
//               behind the code (last attempt)
//   WrongShape  an answer of the wrong length or with wrong fixed bytes:
//               expected and actual length, or expected and actual bytes
//   Rejected    a well-formed answer whose status says no (NV reason, restore
//               status, handshake status): the status value in `code`
#include <cstddef>
#include <cstdint>
#include <string>

namespace orvane {

enum class DiagOutcome { Ok, NotSent, NoReply, Refused, WrongShape, Rejected };

struct DiagResult {
  DiagOutcome outcome = DiagOutcome::Ok;
  int attempts = 0;              // how many requests went out (or were tried)
  std::uint8_t code = 0;         // Refused: the peer's first byte; Rejected: the status value
  std::uint8_t reason[2] = {};   // Refused with 0x03 / 0x18: the two bytes behind the code
  std::size_t expectedLength = 0;  // WrongShape by length (0: the shape check was by bytes)
  std::size_t actualLength = 0;
  std::string expectedBytes;     // WrongShape by bytes: hex, e.g. "00 00 25 A7 00 06 00 00"
  std::string actualBytes;

  bool ok() const { return outcome == DiagOutcome::Ok; }
  explicit operator bool() const { return ok(); }

  static DiagResult Success(int attempts = 1) {
    DiagResult r;
    r.attempts = attempts;
    return r;
  }
};

// One line for the operator and the report, e.g. "no reply after 3 attempts",
// "refused: 13 (bad command)", "negative acknowledgement 03 00 05",
// "wrong length: expected 66, got 65", "status 2".
std::string DescribeDiagResult(const DiagResult& result);

}  // namespace orvane
