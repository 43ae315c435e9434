#pragma once
// CDiagCaller: the updater's only speaker to the wireless module.
//
// Each operation builds its request (diag_commands.h), sends it framed
// through the transport, waits for the answering packet and judges it:
//   0x13 / 0x14 / 0x15   command, parameter or length refused: fail at once
//   0x03 / 0x18          negative acknowledgement / wrong mode: attempt failed
//   other                an answer; accepted if its length is the expected one
// then parses the accepted answer into its result. The block write frames
// its block itself and accepts only an acknowledgement. Three attempts
// 200 ms apart; failures and results go to the log sink, line by line.
//
// One thread at a time uses a caller (the check, or a run's worker); it
// takes no locks.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "diag/diag_commands.h"
#include "diag/diag_log_sink.h"
#include "diag/diag_result.h"
#include "diag/frame_transport.h"

namespace orvane {

inline constexpr std::size_t kResponseBufferSize = 512;
inline constexpr std::uint8_t kResponseFill = 0xCD;  // the buffer's content before every receive
inline constexpr int kDiagAttempts = 3;
inline constexpr std::uint32_t kDiagSendTimeoutMs = 3000;
inline constexpr std::uint32_t kDiagReceiveTimeoutMs = 3000;
inline constexpr std::uint32_t kHandShakeReceiveTimeoutMs = 6000;
inline constexpr std::uint32_t kDiagRetryPauseMs = 200;
// The block write: the downloader takes longer to answer, and its answer is
// an acknowledgement or a negative one with its reason.
inline constexpr std::uint32_t kWriteReplyTimeoutMs = 5000;
inline constexpr std::size_t kWriteReplyCapacity = 5;

class CDiagCaller {
 public:
  CDiagCaller(IFrameTransport& transport, IDiagLogSink& log) : m_channel(transport), m_log(log) {}

  DiagResult DIAG_QueryBoardVersion(std::string* version);  // firmware version, UTF-8
  DiagResult DIAG_QueryISOVersion(std::string* version);    // dashboard version, UTF-8
  DiagResult DIAG_SwitchToDownloader();
  DiagResult DIAG_NV_BackupRestore(bool backup);
  DiagResult DIAG_NV_QueryRestoreStatus();
  DiagResult DIAG_Unlock(const std::uint8_t code[8]);
  // `state` is set to both-true first and keeps that unless the answer is
  // well-formed with status 0.
  DiagResult DIAG_HandShake(bool leadingFlag, HandShakeState* state);
  DiagResult DIAG_Reset();
  DiagResult DIAG_ChangeMode(std::uint8_t mode);
  // The download protocol's write of one block (1..DOWNLOAD_BLOCK_SIZE bytes)
  // to `address`: framed straight from `data`, sent raw, three attempts
  // 200 ms apart, each waiting for the downloader's acknowledgement.
  DiagResult DIAG_Write(std::uint32_t address, const std::uint8_t* data, std::size_t length);

  // The last response packet (check bytes removed) and its length.
  const std::uint8_t* Response() const { return m_response; }
  std::size_t ResponseLength() const { return m_nResponseLength; }

 private:
  // What one exchange sends and how it judges the answer.
  struct Exchange {
    const std::uint8_t* bytes;
    std::size_t length;
    bool leadingFlag;
    std::size_t replyCapacity;
    std::uint32_t replyTimeoutMs;
    std::size_t expectedLength;  // commands: 0 accepts any length
    // The block write: `bytes` is its frame, sent raw; only an
    // acknowledgement is accepted; its lines are the block writer's.
    bool blockWrite;
  };
  // The attempts of one exchange: the loop every operation and the block
  // write share. The response key must be set.
  DiagResult Run(const Exchange& exchange);
  // Sets the request's key and runs it; logs "<name>: Write or Read Fail"
  // when it does not end accepted.
  DiagResult Execute(const DiagRequest& request, std::uint32_t receiveTimeoutMs, const char* name);
  void Log(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;
  std::span<const std::uint8_t> Reply() const { return {m_response, m_nResponseLength}; }

  std::uint8_t m_response[kResponseBufferSize];
  std::size_t m_nResponseLength = 0;
  // The block write's frame, built here and sent raw; one byte to spare.
  std::unique_ptr<std::uint8_t[]> m_writeFrame = std::make_unique<std::uint8_t[]>(kMaxWriteFrame + 1);
  IFrameTransport& m_channel;
  IDiagLogSink& m_log;
};

}  // namespace orvane
