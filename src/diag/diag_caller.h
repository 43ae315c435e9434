#pragma once
// CDiagCaller: the updater's only speaker to the wireless module.
//
// Each operation builds its request, sends it framed through the transport,
// waits for the answering packet and judges it:
//   0x13 / 0x14 / 0x15   command, parameter or length refused: fail at once
//   0x03 / 0x18          negative acknowledgement / wrong mode: attempt failed
//   other                an answer; accepted if its length is the expected one
// Three attempts 200 ms apart; failures and results go to the download log.
//
// One thread at a time uses a caller (the check, or a run's worker); it
// takes no locks.
#include <cstddef>
#include <cstdint>
#include <string>

#include "diag/frame_transport.h"
#include "log/download_log.h"

namespace orvane {

// Response codes judged by the first byte of every answer.
inline constexpr std::uint8_t DIAG_BAD_CMD_F = 0x13;
inline constexpr std::uint8_t DIAG_BAD_PARM_F = 0x14;
inline constexpr std::uint8_t DIAG_BAD_LEN_F = 0x15;
inline constexpr std::uint8_t DIAG_BAD_MODE_F = 0x18;
inline constexpr std::uint8_t DLOAD_ACK = 0x02;
inline constexpr std::uint8_t DLOAD_NAK = 0x03;

// Requests.
inline constexpr std::uint8_t DIAG_SUBSYS_CMD_F = 0x4B;
inline constexpr std::uint8_t DIAG_DLOAD_F = 0x3A;
inline constexpr std::uint8_t DIAG_CONTROL_F = 0x29;
inline constexpr std::uint8_t DIAG_NV_READ_F = 0x26;
inline constexpr std::uint8_t DLOAD_UNLOCK = 0x0B;
inline constexpr std::uint8_t DLOAD_RESET = 0x0A;
inline constexpr std::uint8_t MODE_OFFLINE_DIGITAL = 1;

inline constexpr std::size_t kResponseBufferSize = 512;
inline constexpr std::uint8_t kResponseFill = 0xCD;  // the buffer's content before every receive
inline constexpr int kDiagAttempts = 3;
inline constexpr std::uint32_t kDiagSendTimeoutMs = 3000;
inline constexpr std::uint32_t kDiagReceiveTimeoutMs = 3000;
inline constexpr std::uint32_t kHandShakeReceiveTimeoutMs = 6000;
inline constexpr std::uint32_t kDiagRetryPauseMs = 200;

class CDiagCaller {
 public:
  CDiagCaller(IFrameTransport& channel, CDownloadLog& log) : m_channel(channel), m_log(log) {}

  // One exchange with its retries, keyed by the request's first (up to 4)
  // bytes; nonzero when an accepted answer is in the response buffer.
  // `expectedLength` 0 accepts any length.
  int Execute(const std::uint8_t* request, std::size_t length, std::size_t expectedLength, bool leadingFlag,
              std::uint32_t receiveTimeoutMs);

  int DIAG_QueryBoardVersion(std::string* version);  // firmware version, UTF-8
  int DIAG_QueryISOVersion(std::string* version);    // dashboard version, UTF-8
  int DIAG_SwitchToDownloader();
  int DIAG_NV_BackupRestore(bool backup);
  int DIAG_NV_QueryRestoreStatus();
  int DIAG_Unlock(const std::uint8_t code[8]);
  int DIAG_HandShake(bool leadingFlag, int* inDownloader, int* offline);
  int DIAG_Reset();
  int DIAG_ChangeMode(std::uint8_t mode);

  // The last response packet (check bytes removed) and its length. The
  // module's block writer receives its acknowledgements into them too.
  std::uint8_t* ResponseBuffer() { return m_response; }
  const std::uint8_t* Response() const { return m_response; }
  std::size_t ResponseLength() const { return m_nResponseLength; }
  std::size_t* ResponseLengthPtr() { return &m_nResponseLength; }

 private:
  enum class Outcome { Accepted, Refused, Failed };
  // The exchange shared by every operation.
  Outcome Exchange(const std::uint8_t* request, std::size_t length, std::uint32_t key, std::uint32_t keyLength,
                   std::size_t expectedLength, bool leadingFlag, std::uint32_t receiveTimeoutMs);
  // An exchange that logs `failureLine` when it does not end accepted.
  bool Run(const std::uint8_t* request, std::size_t length, std::uint32_t key, std::uint32_t keyLength,
           std::size_t expectedLength, bool leadingFlag, std::uint32_t receiveTimeoutMs, const std::string& failureLine);
  // The 8-bit text from `begin` up to CR, LF, NUL or `maxChars` characters.
  std::string TextAt(std::size_t begin, std::size_t maxChars) const;

  std::uint8_t m_response[kResponseBufferSize];
  std::size_t m_nResponseLength = 0;
  IFrameTransport& m_channel;
  CDownloadLog& m_log;
};

}  // namespace orvane
