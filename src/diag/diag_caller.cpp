#include "diag/diag_caller.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "platform/codepage.h"

namespace orvane {
namespace {

// Where the version texts lie in their answers, and their longest forms.
constexpr std::size_t kBoardVersionAnswer = 66;
constexpr std::size_t kBoardVersionBegin = 4;
constexpr std::size_t kBoardVersionMaxChars = 31;
constexpr std::size_t kIsoVersionAnswer = 260;
constexpr std::size_t kIsoVersionBegin = 5;
constexpr std::size_t kIsoVersionMaxChars = 128;

constexpr std::size_t kHandShakeRequestLength = 133;
constexpr std::size_t kHandShakeMinAnswer = 16;
constexpr std::size_t kNvQueryLength = 36;  // command, subsystem command, 32 zero bytes

std::uint32_t RequestKey(const std::uint8_t* request, std::size_t length, std::uint32_t keyLength) {
  return KeyOf(request, static_cast<std::uint32_t>(std::min<std::size_t>(length, keyLength)));
}

}  // namespace

CDiagCaller::Outcome CDiagCaller::Exchange(const std::uint8_t* request, std::size_t length, std::uint32_t key,
                                           std::uint32_t keyLength, std::size_t expectedLength, bool leadingFlag,
                                           std::uint32_t receiveTimeoutMs) {
  m_channel.SetResponseKey(key, keyLength);
  for (int attempt = 1; attempt <= kDiagAttempts; ++attempt) {
    if (!m_channel.Send(false, request, length, leadingFlag, kDiagSendTimeoutMs)) {
      m_log.AddLine("Execute#%d> Write Fail", attempt);
    } else {
      std::memset(m_response, kResponseFill, sizeof m_response);
      std::size_t received = 0;
      if (!m_channel.Receive(m_response, sizeof m_response, &received, receiveTimeoutMs)) {
        m_nResponseLength = 0;
        m_log.AddLine("Execute#%d> Read Fail", attempt);
      } else {
        m_nResponseLength = std::min(received, sizeof m_response);
        const std::uint8_t first = m_response[0];
        if (first == DIAG_BAD_CMD_F || first == DIAG_BAD_PARM_F || first == DIAG_BAD_LEN_F) {
          m_log.AddLine("Execute#%d> %02X", attempt, first);
          return Outcome::Refused;
        }
        if (first == DLOAD_NAK || first == DIAG_BAD_MODE_F) {
          m_log.AddLine("Execute#%d> (%02X %02X %02X)", attempt, m_response[0], m_response[1], m_response[2]);
        } else if (expectedLength == 0 || m_nResponseLength == expectedLength) {
          return Outcome::Accepted;
        } else {
          m_log.AddLine("CDiagCaller::Execute> Response's Length Error(Expect:%d Actual:%d)",
                        static_cast<int>(expectedLength), static_cast<int>(m_nResponseLength));
        }
      }
    }
    platform::Sleep(kDiagRetryPauseMs);
  }
  return Outcome::Failed;
}

int CDiagCaller::Execute(const std::uint8_t* request, std::size_t length, std::size_t expectedLength,
                         bool leadingFlag, std::uint32_t receiveTimeoutMs) {
  const std::uint32_t keyLength = static_cast<std::uint32_t>(std::min<std::size_t>(length, 4));
  return Exchange(request, length, KeyOf(request, keyLength), keyLength, expectedLength, leadingFlag,
                  receiveTimeoutMs) == Outcome::Accepted;
}

bool CDiagCaller::Run(const std::uint8_t* request, std::size_t length, std::uint32_t key, std::uint32_t keyLength,
                      std::size_t expectedLength, bool leadingFlag, std::uint32_t receiveTimeoutMs,
                      const std::string& failureLine) {
  if (Exchange(request, length, key, keyLength, expectedLength, leadingFlag, receiveTimeoutMs) == Outcome::Accepted) {
    return true;
  }
  m_log.AddLine("%s", failureLine.c_str());
  return false;
}

std::string CDiagCaller::TextAt(std::size_t begin, std::size_t maxChars) const {
  std::size_t end = begin;
  const std::size_t limit = std::min(begin + maxChars, m_nResponseLength);
  while (end < limit && m_response[end] != '\r' && m_response[end] != '\n' && m_response[end] != 0) ++end;
  return platform::AnsiToUtf8(std::string_view(reinterpret_cast<const char*>(m_response) + begin, end - begin));
}

int CDiagCaller::DIAG_QueryBoardVersion(std::string* version) {
  const std::uint8_t request[] = {DIAG_SUBSYS_CMD_F, 0xC9, 0x03, 0xFF};
  if (!Execute(request, sizeof request, kBoardVersionAnswer, false, kDiagReceiveTimeoutMs)) {
    m_log.AddLine("DIAG_QueryBoardVersion: Write or Read Fail");
    return 0;
  }
  const std::string text = TextAt(kBoardVersionBegin, kBoardVersionMaxChars);
  m_log.AddLine("Firmware Version: %s", text.c_str());
  if (version != nullptr) *version = text;
  return 1;
}

int CDiagCaller::DIAG_QueryISOVersion(std::string* version) {
  std::uint8_t request[kNvQueryLength] = {DIAG_SUBSYS_CMD_F, 0xC9, 0x24, 0xFF};
  if (!Execute(request, sizeof request, kIsoVersionAnswer, false, kDiagReceiveTimeoutMs)) {
    m_log.AddLine("DIAG_QueryISOVersion: Write or Read Fail");
    return 0;
  }
  const std::string text = TextAt(kIsoVersionBegin, kIsoVersionMaxChars);
  m_log.AddLine("Dashboard Version: %s", text.c_str());
  if (version != nullptr) *version = text;
  return 1;
}

int CDiagCaller::DIAG_SwitchToDownloader() {
  const std::uint8_t request[] = {DIAG_DLOAD_F};
  return Run(request, sizeof request, DIAG_DLOAD_F, 1, 1, false, kDiagReceiveTimeoutMs,
             "DIAG_SwitchToDownloader: Write or Read Fail");
}

int CDiagCaller::DIAG_NV_BackupRestore(bool backup) {
  const char* name = backup ? "Backup NV" : "Restore NV";
  const std::uint8_t request[] = {DIAG_SUBSYS_CMD_F, 0xC8, 0x1E, 0xFF,
                                  static_cast<std::uint8_t>(backup ? 0x00 : 0x01),
                                  static_cast<std::uint8_t>(backup ? 0x00 : 0x01), 0x00, 0x00};
  if (!Run(request, sizeof request, RequestKey(request, sizeof request, 4), 4, 8, false, kDiagReceiveTimeoutMs,
           std::string(name) + ": Write or Read Fail")) {
    return 0;
  }
  if (m_response[5] == 0 && m_response[6] == 0) return 1;
  // The module's own reasons, in the words the field engineers read.
  switch (m_response[6]) {
    case 1: m_log.AddLine("%s: 单板状态不正确", name); break;   // the board is in the wrong state
    case 2: m_log.AddLine("%s: 不存在有效的备份", name); break;  // no valid backup exists
    case 3: m_log.AddLine("%s: CRC校验失败", name); break;      // CRC check failed
    case 4: m_log.AddLine("%s: NV操作失败", name); break;       // NV operation failed
    default: break;
  }
  return 0;
}

int CDiagCaller::DIAG_NV_QueryRestoreStatus() {
  std::uint8_t request[kNvQueryLength] = {DIAG_SUBSYS_CMD_F, 0xC9, 0x21, 0xFF};
  if (!Run(request, sizeof request, RequestKey(request, sizeof request, 4), 4, kNvQueryLength, false,
           kDiagReceiveTimeoutMs, "DIAG_NV_QueryRestoreStatus: Write or Read Fail")) {
    return 0;
  }
  if (m_response[5] == 0) {
    m_log.AddLine("DIAG_NV_QueryRestoreStatus: No Backup to Restore");
    return 1;
  }
  if (m_response[5] == 1 && m_response[6] == 0) {
    m_log.AddLine("DIAG_NV_QueryRestoreStatus: Restore Success");
    return 1;
  }
  m_log.AddLine("DIAG_NV_QueryRestoreStatus: Restore Fail");
  return 0;
}

int CDiagCaller::DIAG_Unlock(const std::uint8_t code[8]) {
  std::uint8_t request[9] = {DLOAD_UNLOCK};
  std::memcpy(request + 1, code, 8);
  return Run(request, sizeof request, DLOAD_ACK, 1, 1, true, kDiagReceiveTimeoutMs, "DIAG_Unlock: Write or Read Fail");
}

int CDiagCaller::DIAG_HandShake(bool leadingFlag, int* inDownloader, int* offline) {
  if (inDownloader != nullptr) *inDownloader = 1;
  if (offline != nullptr) *offline = 1;
  std::uint8_t request[kHandShakeRequestLength] = {DIAG_NV_READ_F, 0x00, 0x00, 0x25, 0xA7, 0x00, 0x06};
  if (!Run(request, sizeof request, RequestKey(request, sizeof request, 4), 4, 0, leadingFlag,
           kHandShakeReceiveTimeoutMs, "DIAG_HandShake: Write or Read Fail")) {
    return 0;
  }
  const std::uint8_t* r = m_response;
  if (m_nResponseLength < kHandShakeMinAnswer) {
    m_log.AddLine("DIAG_HandShake: Response Length = %d (too short)", static_cast<int>(m_nResponseLength));
    return 0;
  }
  const bool formatOk = r[1] == 0x00 && r[2] == 0x00 && r[3] == 0x25 && r[4] == 0xA7 && r[5] == 0x00 &&
                        r[6] == 0x06 && r[7] == 0x00 && r[8] == 0x00;
  if (!formatOk) {
    m_log.AddLine("DIAG_HandShake: Response's format error");
    return 0;
  }
  if (r[9] != 0) {
    m_log.AddLine("DIAG_HandShake: status = %d", r[9]);
    return 0;
  }
  const int downloader = r[14] == 1 ? 1 : 0;
  const int isOffline = r[15] == 1 ? 1 : 0;
  if (inDownloader != nullptr) *inDownloader = downloader;
  if (offline != nullptr) *offline = isOffline;
  m_log.AddLine("DIAG_HandShake: (%d,%d)", downloader, isOffline);
  return 1;
}

int CDiagCaller::DIAG_Reset() {
  const std::uint8_t request[] = {DLOAD_RESET};
  return Run(request, sizeof request, DLOAD_ACK, 1, 1, true, kDiagReceiveTimeoutMs, "DIAG_Reset: Write or Read Fail");
}

int CDiagCaller::DIAG_ChangeMode(std::uint8_t mode) {
  const std::uint8_t request[] = {DIAG_CONTROL_F, mode, 0x00};
  return Run(request, sizeof request, RequestKey(request, sizeof request, 3), 3, 3, false, kDiagReceiveTimeoutMs,
             "DIAG_ChangeMode: Write or Read Fail");
}

}  // namespace orvane
