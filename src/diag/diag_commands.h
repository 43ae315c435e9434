#pragma once
// The module's command set: for every command a builder that writes its
// request from its arguments and a parser that judges its answer into a
// typed value.
//
//   command            request (bytes as sent)                 answer
//   board version      4B C9 03 FF                             66 bytes, text from 4
//   dashboard version  4B C9 24 FF, 32 zero bytes              260 bytes, text from 5
//   restore status     4B C9 21 FF, 32 zero bytes              36 bytes, state 5, result 6
//   NV backup          4B C8 1E FF 00 00 00 00                 8 bytes, failed 5, reason 6
//   NV restore         4B C8 1E FF 01 01 00 00                 8 bytes, failed 5, reason 6
//   switch             3A                                      3A
//   change mode        29 mode 00                              29 mode 00
//   handshake          26 00 00 25 A7 00 06, zeros to 133      >= 16 bytes: 1..8 fixed,
//                                                              status 9, flags 14 and 15
//   unlock             [7E] 0B code(8)                         02
//   reset              [7E] 0A                                 02
//   write              7E 0F address(4) length(2) data... 7E   02
//
// Every answer is first judged by its first byte: 13 / 14 / 15 refuse the
// request for good, 03 (negative acknowledgement) and 18 (wrong mode) fail
// one attempt; anything else is an answer, accepted when its length is the
// command's.
//
// Pure functions over caller-owned bytes: no I/O, no logging, no allocation;
// CDiagCaller sends, retries and logs.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace orvane {

// ---- Codes: the first byte of a request or an answer.
inline constexpr std::uint8_t DIAG_SUBSYS_CMD_F = 0x4B;  // a subsystem's command follows
inline constexpr std::uint8_t DIAG_DLOAD_F = 0x3A;       // restart into the downloader
inline constexpr std::uint8_t DIAG_CONTROL_F = 0x29;     // change the operating mode
inline constexpr std::uint8_t DIAG_NV_READ_F = 0x26;     // NV read; carries the handshake
inline constexpr std::uint8_t DLOAD_WRITE_32BIT = 0x0F;  // downloader: write at a 32-bit address
inline constexpr std::uint8_t DLOAD_RESET = 0x0A;        // downloader: restart the module
inline constexpr std::uint8_t DLOAD_UNLOCK = 0x0B;       // downloader: allow writes
inline constexpr std::uint8_t DLOAD_ACK = 0x02;
inline constexpr std::uint8_t DLOAD_NAK = 0x03;          // followed by a two-byte reason
inline constexpr std::uint8_t DIAG_BAD_CMD_F = 0x13;
inline constexpr std::uint8_t DIAG_BAD_PARM_F = 0x14;
inline constexpr std::uint8_t DIAG_BAD_LEN_F = 0x15;
inline constexpr std::uint8_t DIAG_BAD_MODE_F = 0x18;    // followed by two bytes, like a NAK

inline constexpr std::uint8_t MODE_OFFLINE_DIGITAL = 1;

// ---- Vendor subsystems and their commands. A subsystem request opens with
// DIAG_SUBSYS_CMD_F, the subsystem and the two-byte command (low byte
// first); its answer opens with the same four bytes.
inline constexpr std::uint8_t SUBSYS_VENDOR_INFO = 0xC9;  // versions, restore status
inline constexpr std::uint8_t SUBSYS_VENDOR_NV = 0xC8;    // NV backup and restore
inline constexpr std::uint16_t SUBSYS_BOARD_VERSION = 0xFF03;
inline constexpr std::uint16_t SUBSYS_ISO_VERSION = 0xFF24;
inline constexpr std::uint16_t SUBSYS_RESTORE_STATUS = 0xFF21;
inline constexpr std::uint16_t SUBSYS_NV_BACKUP_RESTORE = 0xFF1E;
inline constexpr std::size_t kSubsysHeaderLength = 4;
// The dashboard version and restore status queries carry 32 zero bytes
// behind their header.
inline constexpr std::size_t kPaddedQueryLength = kSubsysHeaderLength + 32;  // 36

// ---- Version answers: 8-bit text from a fixed offset, ended by CR, LF, NUL,
// the answer's end or the text's longest form.
inline constexpr std::size_t kBoardVersionReplyLength = 66;
inline constexpr std::size_t kBoardVersionTextAt = 4;
inline constexpr std::size_t kBoardVersionMaxChars = 31;
inline constexpr std::size_t kIsoVersionReplyLength = 260;
inline constexpr std::size_t kIsoVersionTextAt = 5;
inline constexpr std::size_t kIsoVersionMaxChars = 128;

// ---- NV backup and restore. Request bytes 4 and 5 both carry the operation.
inline constexpr std::size_t kNvRequestLength = 8;
inline constexpr std::size_t kNvOperationAt = 4;
inline constexpr std::uint8_t NV_BACKUP = 0;
inline constexpr std::uint8_t NV_RESTORE = 1;
inline constexpr std::size_t kNvReplyLength = 8;
inline constexpr std::size_t kNvFailedAt = 5;  // nonzero: the operation did not happen
inline constexpr std::size_t kNvReasonAt = 6;  // why, in the module's numbering below
inline constexpr std::uint8_t NV_REASON_BOARD_STATE = 1;
inline constexpr std::uint8_t NV_REASON_NO_BACKUP = 2;
inline constexpr std::uint8_t NV_REASON_CRC = 3;
inline constexpr std::uint8_t NV_REASON_NV_FAILED = 4;

// ---- Restore status: what the new firmware did with the backup at start.
inline constexpr std::size_t kRestoreStatusReplyLength = kPaddedQueryLength;  // 36
inline constexpr std::size_t kRestoreStateAt = 5;   // 0 no backup, 1 a restore ran
inline constexpr std::size_t kRestoreResultAt = 6;  // after a restore: 0 success
inline constexpr std::uint8_t RESTORE_NO_BACKUP = 0;
inline constexpr std::uint8_t RESTORE_RAN = 1;

// ---- Switch and change mode: the answer echoes the request.
inline constexpr std::size_t kSwitchReplyLength = 1;
inline constexpr std::size_t kChangeModeLength = 3;  // code, then the mode as two bytes low first

// ---- Handshake: an NV read of the packet's fixed size (code, two-byte item,
// 128 data bytes, two-byte status) whose first data bytes the module
// recognises; the answer echoes them, then status and the two flags.
inline constexpr std::size_t kHandShakeRequestLength = 133;
inline constexpr std::array<std::uint8_t, 6> kHandShakeTag = {0x00, 0x00, 0x25, 0xA7, 0x00, 0x06};  // bytes 1..6
inline constexpr std::size_t kHandShakeFormatAt = 1;
// Answer bytes 1..8: the tag and two zero bytes.
inline constexpr std::array<std::uint8_t, 8> kHandShakeFormat = {0x00, 0x00, 0x25, 0xA7, 0x00, 0x06, 0x00, 0x00};
inline constexpr std::size_t kHandShakeStatusAt = 9;      // 0: the flags are valid
inline constexpr std::size_t kHandShakeDownloaderAt = 14;  // 1: the downloader runs
inline constexpr std::size_t kHandShakeOfflineAt = 15;     // 1: offline mode
inline constexpr std::size_t kHandShakeMinReply = kHandShakeOfflineAt + 1;  // 16

// ---- Downloader commands: opened with a flag, answered by an
// acknowledgement (key: its one byte).
inline constexpr std::size_t kUnlockCodeLength = 8;
inline constexpr std::size_t kAckLength = 1;

// ---- Block write: a 7-byte header and the block, framed straight into the
// caller's buffer: 0F, address big-endian (4), length big-endian (2), data.
inline constexpr std::size_t DOWNLOAD_BLOCK_SIZE = 4096;
inline constexpr std::size_t kWriteHeaderLength = 7;
inline constexpr std::size_t kWriteAddressAt = 1;
inline constexpr std::size_t kWriteLengthAt = 5;
// Worst case: both flags, the header with its four address bytes stuffed
// (the code and a whole block's length 10 00 never are), every data byte
// and both check bytes stuffed. A shorter block saves two bytes per data
// byte and can stuff only one more header byte.
inline constexpr std::size_t kMaxWriteFrame = 2 + kWriteHeaderLength + 4 + 2 * DOWNLOAD_BLOCK_SIZE + 2 * 2;  // 8209

// The longest request a builder writes (the handshake).
inline constexpr std::size_t kMaxRequestLength = kHandShakeRequestLength;

// One request and what its answer looks like.
struct DiagRequest {
  std::array<std::uint8_t, kMaxRequestLength> bytes{};
  std::size_t length = 0;
  std::uint32_t key = 0;        // the answer's first `keyLength` bytes, little-endian
  std::uint32_t keyLength = 0;  // 1..4
  std::size_t replyLength = 0;  // the accepted answer's length; 0 accepts any
  bool leadingFlag = false;     // the frame opens with 0x7E

  std::span<const std::uint8_t> Bytes() const { return {bytes.data(), length}; }
};

DiagRequest BuildBoardVersionQuery();
DiagRequest BuildIsoVersionQuery();
DiagRequest BuildRestoreStatusQuery();
DiagRequest BuildNvBackupRestore(bool backup);
DiagRequest BuildSwitchToDownloader();
DiagRequest BuildChangeMode(std::uint8_t mode);
DiagRequest BuildHandShake(bool leadingFlag);  // the caller chooses the opening flag
DiagRequest BuildUnlock(std::span<const std::uint8_t, kUnlockCodeLength> code);
DiagRequest BuildReset();

// Frames the write of `n` bytes (1..DOWNLOAD_BLOCK_SIZE) at `address` into
// `out`: flag, header and data stuffed, the complemented CRC of both low byte
// first stuffed, flag. The data is read straight from `data`, never copied
// into a packet first. `out` must hold kMaxWriteFrame bytes. Returns the
// frame's length; 0 (nothing written) for a null `data` or an `n` out of range.
std::size_t BuildWriteFrame(std::uint32_t address, const std::uint8_t* data, std::size_t n, std::uint8_t* out);

// ---- Answers.
enum class ReplyVerdict {
  Accepted,     // an answer of the expected length (any length when none is expected)
  Refused,      // 13 / 14 / 15: no attempt will do better
  NegativeAck,  // 03 / 18, or for the write anything but an acknowledgement: this attempt failed
  WrongLength,  // an answer of another length: this attempt failed
};
// `expectedLength` 0 accepts any length.
ReplyVerdict JudgeReply(std::span<const std::uint8_t> reply, std::size_t expectedLength);
// The block write's answer: only DLOAD_ACK is accepted.
ReplyVerdict JudgeWriteReply(std::span<const std::uint8_t> reply);

// The version texts of accepted answers, as 8-bit text viewing `reply`.
std::string_view ParseBoardVersion(std::span<const std::uint8_t> reply);
std::string_view ParseIsoVersion(std::span<const std::uint8_t> reply);

struct NvReply {
  bool done = false;
  std::uint8_t reason = 0;  // when not done: byte 6 (NV_REASON_*, or another value)
};
// An answer too short to hold the result counts as not done, reason 0.
NvReply ParseNvBackupRestoreReply(std::span<const std::uint8_t> reply);

enum class RestoreStatus { NoBackup, Restored, Failed };
struct RestoreStatusReply {
  RestoreStatus status = RestoreStatus::Failed;
  std::uint8_t code = 0;  // Failed: byte 5, or byte 6 when byte 5 says a restore ran
};
RestoreStatusReply ParseRestoreStatusReply(std::span<const std::uint8_t> reply);

// The handshake's two flags as the module reported them. Both read true when
// no well-formed answer came (the module's state is then unknown).
struct HandShakeState {
  bool inDownloader = true;  // the module runs its downloader, not its firmware
  bool offline = true;       // the module is in offline mode
};

enum class HandShakeCheck { Ok, TooShort, WrongFormat, BadStatus };
struct HandShakeReply {
  HandShakeCheck check = HandShakeCheck::Ok;
  HandShakeState state;  // Ok: the flags (each true only for exactly 1)
  std::size_t length = 0;  // the answer's length
  std::array<std::uint8_t, kHandShakeFormat.size()> format{};  // WrongFormat: bytes 1..8 as received
  std::uint8_t status = 0;  // BadStatus: byte 9
};
// Checks in order: length, bytes 1..8, status.
HandShakeReply ParseHandShakeReply(std::span<const std::uint8_t> reply);

}  // namespace orvane
