#include "diag/diag_commands.h"

#include <algorithm>

#include "diag/frame_transport.h"
#include "diag/framing.h"

namespace orvane {
namespace {

// The answer's key: the request's first `keyLength` bytes, which it echoes.
DiagRequest Echoed(DiagRequest request, std::uint32_t keyLength) {
  request.keyLength = keyLength;
  request.key = KeyOf(request.bytes.data(), keyLength);
  return request;
}

// A subsystem request of `length` bytes (header, zeros behind it), keyed by
// its header.
DiagRequest Subsystem(std::uint8_t subsystem, std::uint16_t command, std::size_t length, std::size_t replyLength) {
  DiagRequest r;
  r.bytes[0] = DIAG_SUBSYS_CMD_F;
  r.bytes[1] = subsystem;
  r.bytes[2] = static_cast<std::uint8_t>(command & 0xFF);
  r.bytes[3] = static_cast<std::uint8_t>(command >> 8);
  r.length = length;
  r.replyLength = replyLength;
  return Echoed(r, kSubsysHeaderLength);
}

// A downloader request: opened with a flag, answered by an acknowledgement.
DiagRequest Downloader(std::uint8_t code) {
  DiagRequest r;
  r.bytes[0] = code;
  r.length = 1;
  r.key = DLOAD_ACK;
  r.keyLength = kAckLength;
  r.replyLength = kAckLength;
  r.leadingFlag = true;
  return r;
}

std::string_view TextAt(std::span<const std::uint8_t> reply, std::size_t begin, std::size_t maxChars) {
  if (begin >= reply.size()) return {};
  const std::size_t limit = std::min(begin + maxChars, reply.size());
  std::size_t end = begin;
  while (end < limit && reply[end] != '\r' && reply[end] != '\n' && reply[end] != 0) ++end;
  return {reinterpret_cast<const char*>(reply.data()) + begin, end - begin};
}

}  // namespace

DiagRequest BuildBoardVersionQuery() {
  return Subsystem(SUBSYS_VENDOR_INFO, SUBSYS_BOARD_VERSION, kSubsysHeaderLength, kBoardVersionReplyLength);
}

DiagRequest BuildIsoVersionQuery() {
  return Subsystem(SUBSYS_VENDOR_INFO, SUBSYS_ISO_VERSION, kPaddedQueryLength, kIsoVersionReplyLength);
}

DiagRequest BuildRestoreStatusQuery() {
  return Subsystem(SUBSYS_VENDOR_INFO, SUBSYS_RESTORE_STATUS, kPaddedQueryLength, kRestoreStatusReplyLength);
}

DiagRequest BuildNvBackupRestore(bool backup) {
  DiagRequest r = Subsystem(SUBSYS_VENDOR_NV, SUBSYS_NV_BACKUP_RESTORE, kNvRequestLength, kNvReplyLength);
  r.bytes[kNvOperationAt] = r.bytes[kNvOperationAt + 1] = backup ? NV_BACKUP : NV_RESTORE;
  return r;
}

DiagRequest BuildSwitchToDownloader() {
  DiagRequest r;
  r.bytes[0] = DIAG_DLOAD_F;
  r.length = 1;
  r.replyLength = kSwitchReplyLength;
  return Echoed(r, 1);
}

DiagRequest BuildChangeMode(std::uint8_t mode) {
  DiagRequest r;
  r.bytes[0] = DIAG_CONTROL_F;
  r.bytes[1] = mode;  // the mode's high byte stays 0
  r.length = kChangeModeLength;
  r.replyLength = kChangeModeLength;
  return Echoed(r, kChangeModeLength);
}

DiagRequest BuildHandShake(bool leadingFlag) {
  DiagRequest r;
  r.bytes[0] = DIAG_NV_READ_F;
  std::copy(kHandShakeTag.begin(), kHandShakeTag.end(), r.bytes.begin() + 1);
  r.length = kHandShakeRequestLength;
  r.replyLength = 0;  // any length: the parser names a short answer
  r.leadingFlag = leadingFlag;
  return Echoed(r, 4);
}

DiagRequest BuildUnlock(std::span<const std::uint8_t, kUnlockCodeLength> code) {
  DiagRequest r = Downloader(DLOAD_UNLOCK);
  std::copy(code.begin(), code.end(), r.bytes.begin() + 1);
  r.length = 1 + kUnlockCodeLength;
  return r;
}

DiagRequest BuildReset() { return Downloader(DLOAD_RESET); }

std::size_t BuildWriteFrame(std::uint32_t address, const std::uint8_t* data, std::size_t n, std::uint8_t* out) {
  if (data == nullptr || n == 0 || n > DOWNLOAD_BLOCK_SIZE) return 0;
  const std::uint8_t header[kWriteHeaderLength] = {
      DLOAD_WRITE_32BIT,
      static_cast<std::uint8_t>(address >> 24),
      static_cast<std::uint8_t>(address >> 16),
      static_cast<std::uint8_t>(address >> 8),
      static_cast<std::uint8_t>(address),
      static_cast<std::uint8_t>(n >> 8),
      static_cast<std::uint8_t>(n),
  };
  static_assert(kWriteAddressAt == 1 && kWriteLengthAt == 5, "header layout as written above");
  std::size_t position = 0;
  out[position++] = FRAME_FLAG;
  std::uint16_t crc = CRC_INIT;
  EscapeAppend(out, &position, header, sizeof header, &crc);
  EscapeAppend(out, &position, data, n, &crc);
  const std::uint16_t fcs = static_cast<std::uint16_t>(~crc);
  const std::uint8_t check[2] = {static_cast<std::uint8_t>(fcs & 0xFF), static_cast<std::uint8_t>(fcs >> 8)};
  EscapeAppend(out, &position, check, sizeof check, &crc);  // the register is not needed after this
  out[position++] = FRAME_FLAG;
  return position;
}

ReplyVerdict JudgeReply(std::span<const std::uint8_t> reply, std::size_t expectedLength) {
  if (!reply.empty()) {
    const std::uint8_t first = reply[0];
    if (first == DIAG_BAD_CMD_F || first == DIAG_BAD_PARM_F || first == DIAG_BAD_LEN_F) return ReplyVerdict::Refused;
    if (first == DLOAD_NAK || first == DIAG_BAD_MODE_F) return ReplyVerdict::NegativeAck;
  }
  if (expectedLength == 0 || reply.size() == expectedLength) return ReplyVerdict::Accepted;
  return ReplyVerdict::WrongLength;
}

ReplyVerdict JudgeWriteReply(std::span<const std::uint8_t> reply) {
  return !reply.empty() && reply[0] == DLOAD_ACK ? ReplyVerdict::Accepted : ReplyVerdict::NegativeAck;
}

std::string_view ParseBoardVersion(std::span<const std::uint8_t> reply) {
  return TextAt(reply, kBoardVersionTextAt, kBoardVersionMaxChars);
}

std::string_view ParseIsoVersion(std::span<const std::uint8_t> reply) {
  return TextAt(reply, kIsoVersionTextAt, kIsoVersionMaxChars);
}

NvReply ParseNvBackupRestoreReply(std::span<const std::uint8_t> reply) {
  if (reply.size() <= kNvReasonAt) return {};
  return {reply[kNvFailedAt] == 0 && reply[kNvReasonAt] == 0, reply[kNvReasonAt]};
}

RestoreStatusReply ParseRestoreStatusReply(std::span<const std::uint8_t> reply) {
  if (reply.size() <= kRestoreResultAt) return {};
  const std::uint8_t state = reply[kRestoreStateAt];
  const std::uint8_t result = reply[kRestoreResultAt];
  if (state == RESTORE_NO_BACKUP) return {RestoreStatus::NoBackup, 0};
  if (state == RESTORE_RAN) {
    return result == 0 ? RestoreStatusReply{RestoreStatus::Restored, 0} : RestoreStatusReply{RestoreStatus::Failed, result};
  }
  return {RestoreStatus::Failed, state};
}

HandShakeReply ParseHandShakeReply(std::span<const std::uint8_t> reply) {
  HandShakeReply r;
  r.length = reply.size();
  if (reply.size() < kHandShakeMinReply) {
    r.check = HandShakeCheck::TooShort;
    return r;
  }
  const auto format = reply.subspan(kHandShakeFormatAt, kHandShakeFormat.size());
  if (!std::equal(format.begin(), format.end(), kHandShakeFormat.begin())) {
    r.check = HandShakeCheck::WrongFormat;
    std::copy(format.begin(), format.end(), r.format.begin());
    return r;
  }
  r.status = reply[kHandShakeStatusAt];
  if (r.status != 0) {
    r.check = HandShakeCheck::BadStatus;
    return r;
  }
  r.state.inDownloader = reply[kHandShakeDownloaderAt] == 1;
  r.state.offline = reply[kHandShakeOfflineAt] == 1;
  return r;
}

}  // namespace orvane
