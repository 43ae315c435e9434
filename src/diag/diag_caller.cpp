#include "diag/diag_caller.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/codepage.h"

namespace orvane {
namespace {

DiagResult Failure(DiagOutcome outcome, int attempts) {
  DiagResult r;
  r.outcome = outcome;
  r.attempts = attempts;
  return r;
}

// A refusal or negative acknowledgement: the code and the two bytes behind
// it, as far as the answer holds them.
DiagResult Refusal(std::span<const std::uint8_t> reply, int attempts) {
  DiagResult r = Failure(DiagOutcome::Refused, attempts);
  r.code = reply.empty() ? 0 : reply[0];
  for (std::size_t i = 0; i < 2; ++i) r.reason[i] = i + 1 < reply.size() ? reply[i + 1] : 0;
  return r;
}

DiagResult WrongLength(std::size_t expected, std::size_t actual, int attempts) {
  DiagResult r = Failure(DiagOutcome::WrongShape, attempts);
  r.expectedLength = expected;
  r.actualLength = actual;
  return r;
}

DiagResult Rejected(std::uint8_t code, int attempts) {
  DiagResult r = Failure(DiagOutcome::Rejected, attempts);
  r.code = code;
  return r;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (const std::uint8_t b : bytes) {
    char part[4];
    std::snprintf(part, sizeof part, text.empty() ? "%02X" : " %02X", b);
    text += part;
  }
  return text;
}

// The module's own reasons for a refused NV backup or restore, in the words
// the field engineers read.
const char* NvReasonText(std::uint8_t reason) {
  switch (reason) {
    case NV_REASON_BOARD_STATE: return "单板状态不正确";  // the board is in the wrong state
    case NV_REASON_NO_BACKUP: return "不存在有效的备份";  // no valid backup exists
    case NV_REASON_CRC: return "CRC校验失败";              // CRC check failed
    case NV_REASON_NV_FAILED: return "NV操作失败";         // NV operation failed
    default: return nullptr;
  }
}

}  // namespace

void CDiagCaller::Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string line(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(line.data(), line.size() + 1, format, args);
  va_end(args);
  m_log.DiagLine(line);
}

DiagResult CDiagCaller::Run(const Exchange& x) {
  const char* who = x.blockWrite ? "DIAG_Write" : "Execute";
  // A failed send or receive: the block writer pauses before it names it.
  const auto ioFailure = [&](int attempt, const char* what) {
    if (x.blockWrite) platform::Sleep(kDiagRetryPauseMs);
    Log("%s#%d> %s", who, attempt, what);
    if (!x.blockWrite) platform::Sleep(kDiagRetryPauseMs);
  };
  DiagResult last;
  for (int attempt = 1; attempt <= kDiagAttempts; ++attempt) {
    if (!m_channel.Send(x.blockWrite, x.bytes, x.length, x.leadingFlag, kDiagSendTimeoutMs)) {
      last = Failure(DiagOutcome::NotSent, attempt);
      ioFailure(attempt, "Write Fail");
      continue;
    }
    std::memset(m_response, kResponseFill, sizeof m_response);
    std::size_t received = 0;
    if (!m_channel.Receive(m_response, x.replyCapacity, &received, x.replyTimeoutMs)) {
      m_nResponseLength = 0;
      last = Failure(DiagOutcome::NoReply, attempt);
      ioFailure(attempt, "Read Fail");
      continue;
    }
    m_nResponseLength = std::min(received, x.replyCapacity);
    const std::span<const std::uint8_t> reply = Reply();
    switch (x.blockWrite ? JudgeWriteReply(reply) : JudgeReply(reply, x.expectedLength)) {
      case ReplyVerdict::Accepted:
        return DiagResult::Success(attempt);
      case ReplyVerdict::Refused:
        Log("%s#%d> %02X", who, attempt, m_response[0]);
        return Refusal(reply, attempt);
      case ReplyVerdict::NegativeAck:
        // The buffer's fill shows behind a short answer.
        Log("%s#%d> (%02X %02X %02X)", who, attempt, m_response[0], m_response[1], m_response[2]);
        last = Refusal(reply, attempt);
        break;
      case ReplyVerdict::WrongLength:
        Log("CDiagCaller::Execute> Response's Length Error(Expect:%d Actual:%d)", static_cast<int>(x.expectedLength),
            static_cast<int>(m_nResponseLength));
        last = WrongLength(x.expectedLength, m_nResponseLength, attempt);
        break;
    }
    platform::Sleep(kDiagRetryPauseMs);
  }
  return last;
}

DiagResult CDiagCaller::Execute(const DiagRequest& request, std::uint32_t receiveTimeoutMs, const char* name) {
  m_channel.SetResponseKey(request.key, request.keyLength);
  const DiagResult result = Run({request.bytes.data(), request.length, request.leadingFlag, sizeof m_response,
                                 receiveTimeoutMs, request.replyLength, false});
  if (!result) Log("%s: Write or Read Fail", name);
  return result;
}

DiagResult CDiagCaller::DIAG_QueryBoardVersion(std::string* version) {
  const DiagResult result = Execute(BuildBoardVersionQuery(), kDiagReceiveTimeoutMs, "DIAG_QueryBoardVersion");
  if (!result) return result;
  const std::string text = platform::AnsiToUtf8(ParseBoardVersion(Reply()));
  Log("Firmware Version: %s", text.c_str());
  if (version != nullptr) *version = text;
  return result;
}

DiagResult CDiagCaller::DIAG_QueryISOVersion(std::string* version) {
  const DiagResult result = Execute(BuildIsoVersionQuery(), kDiagReceiveTimeoutMs, "DIAG_QueryISOVersion");
  if (!result) return result;
  const std::string text = platform::AnsiToUtf8(ParseIsoVersion(Reply()));
  Log("Dashboard Version: %s", text.c_str());
  if (version != nullptr) *version = text;
  return result;
}

DiagResult CDiagCaller::DIAG_SwitchToDownloader() {
  return Execute(BuildSwitchToDownloader(), kDiagReceiveTimeoutMs, "DIAG_SwitchToDownloader");
}

DiagResult CDiagCaller::DIAG_NV_BackupRestore(bool backup) {
  const char* name = backup ? "Backup NV" : "Restore NV";
  const DiagResult result = Execute(BuildNvBackupRestore(backup), kDiagReceiveTimeoutMs, name);
  if (!result) return result;
  const NvReply nv = ParseNvBackupRestoreReply(Reply());
  if (nv.done) return result;
  if (const char* reason = NvReasonText(nv.reason)) Log("%s: %s", name, reason);
  return Rejected(nv.reason, result.attempts);
}

DiagResult CDiagCaller::DIAG_NV_QueryRestoreStatus() {
  const DiagResult result = Execute(BuildRestoreStatusQuery(), kDiagReceiveTimeoutMs, "DIAG_NV_QueryRestoreStatus");
  if (!result) return result;
  const RestoreStatusReply status = ParseRestoreStatusReply(Reply());
  switch (status.status) {
    case RestoreStatus::NoBackup:
      Log("DIAG_NV_QueryRestoreStatus: No Backup to Restore");
      return result;
    case RestoreStatus::Restored:
      Log("DIAG_NV_QueryRestoreStatus: Restore Success");
      return result;
    case RestoreStatus::Failed:
      break;
  }
  Log("DIAG_NV_QueryRestoreStatus: Restore Fail");
  return Rejected(status.code, result.attempts);
}

DiagResult CDiagCaller::DIAG_Unlock(const std::uint8_t code[8]) {
  return Execute(BuildUnlock(std::span<const std::uint8_t, kUnlockCodeLength>(code, kUnlockCodeLength)),
                 kDiagReceiveTimeoutMs, "DIAG_Unlock");
}

DiagResult CDiagCaller::DIAG_HandShake(bool leadingFlag, HandShakeState* state) {
  if (state != nullptr) *state = HandShakeState{};
  const DiagResult result = Execute(BuildHandShake(leadingFlag), kHandShakeReceiveTimeoutMs, "DIAG_HandShake");
  if (!result) return result;
  const HandShakeReply reply = ParseHandShakeReply(Reply());
  switch (reply.check) {
    case HandShakeCheck::TooShort:
      Log("DIAG_HandShake: Response Length = %d (too short)", static_cast<int>(reply.length));
      return WrongLength(kHandShakeMinReply, reply.length, result.attempts);
    case HandShakeCheck::WrongFormat: {
      Log("DIAG_HandShake: Response's format error");
      DiagResult wrong = Failure(DiagOutcome::WrongShape, result.attempts);
      wrong.expectedBytes = Hex(kHandShakeFormat);
      wrong.actualBytes = Hex(reply.format);
      return wrong;
    }
    case HandShakeCheck::BadStatus:
      Log("DIAG_HandShake: status = %d", reply.status);
      return Rejected(reply.status, result.attempts);
    case HandShakeCheck::Ok:
      break;
  }
  if (state != nullptr) *state = reply.state;
  Log("DIAG_HandShake: (%d,%d)", reply.state.inDownloader ? 1 : 0, reply.state.offline ? 1 : 0);
  return result;
}

DiagResult CDiagCaller::DIAG_Reset() { return Execute(BuildReset(), kDiagReceiveTimeoutMs, "DIAG_Reset"); }

DiagResult CDiagCaller::DIAG_ChangeMode(std::uint8_t mode) {
  return Execute(BuildChangeMode(mode), kDiagReceiveTimeoutMs, "DIAG_ChangeMode");
}

DiagResult CDiagCaller::DIAG_Write(std::uint32_t address, const std::uint8_t* data, std::size_t length) {
  // Acknowledgements (and, through the queue's rule, negative ones).
  m_channel.SetResponseKey(DLOAD_ACK, kAckLength);
  const std::size_t frameLength = BuildWriteFrame(address, data, length, m_writeFrame.get());
  if (frameLength == 0) return Failure(DiagOutcome::NotSent, 0);
  return Run({m_writeFrame.get(), frameLength, false, kWriteReplyCapacity, kWriteReplyTimeoutMs, 0, true});
}

}  // namespace orvane
