// Every parser of the module's answers over one arbitrary answer: the
// verdict by first byte and length, the handshake, both version texts, the
// NV backup/restore and restore status answers, the block write's
// acknowledgement. No read outside the answer; version texts are views into
// it within their offsets and longest forms, holding no line end or zero.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "diag/diag_commands.h"

namespace {

using orvane::ReplyVerdict;

bool Inside(std::string_view text, const std::vector<std::uint8_t>& reply, std::size_t from) {
  if (text.empty()) return true;
  const auto* begin = reinterpret_cast<const char*>(reply.data());
  return text.data() == begin + from && from + text.size() <= reply.size();
}

void CheckText(std::string_view text, const std::vector<std::uint8_t>& reply, std::size_t from, std::size_t most) {
  if (text.size() > most || !Inside(text, reply, from)) std::abort();
  if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> reply(data, data + size);  // exact size: ASan sees any overread
  const std::span<const std::uint8_t> bytes(reply.data(), reply.size());

  for (const std::size_t expected : {std::size_t{0}, std::size_t{1}, orvane::kChangeModeLength, orvane::kNvReplyLength,
                                     orvane::kRestoreStatusReplyLength, orvane::kBoardVersionReplyLength,
                                     orvane::kIsoVersionReplyLength, size}) {
    const ReplyVerdict verdict = orvane::JudgeReply(bytes, expected);
    const std::uint8_t first = size > 0 ? reply[0] : 0;
    const bool refused = size > 0 && (first == 0x13 || first == 0x14 || first == 0x15);
    const bool nak = size > 0 && (first == 0x03 || first == 0x18);
    const ReplyVerdict want = refused ? ReplyVerdict::Refused
                              : nak   ? ReplyVerdict::NegativeAck
                              : expected == 0 || expected == size ? ReplyVerdict::Accepted
                                                                   : ReplyVerdict::WrongLength;
    if (verdict != want) std::abort();
  }
  const bool ack = size > 0 && reply[0] == orvane::DLOAD_ACK;
  if ((orvane::JudgeWriteReply(bytes) == ReplyVerdict::Accepted) != ack) std::abort();

  CheckText(orvane::ParseBoardVersion(bytes), reply, orvane::kBoardVersionTextAt, orvane::kBoardVersionMaxChars);
  CheckText(orvane::ParseIsoVersion(bytes), reply, orvane::kIsoVersionTextAt, orvane::kIsoVersionMaxChars);

  const orvane::NvReply nv = orvane::ParseNvBackupRestoreReply(bytes);
  if (nv.done && !(size > orvane::kNvReasonAt && reply[orvane::kNvFailedAt] == 0 && reply[orvane::kNvReasonAt] == 0)) {
    std::abort();
  }

  const orvane::RestoreStatusReply restore = orvane::ParseRestoreStatusReply(bytes);
  if (restore.status != orvane::RestoreStatus::Failed && size <= orvane::kRestoreResultAt) std::abort();
  if (restore.status == orvane::RestoreStatus::Restored &&
      !(reply[orvane::kRestoreStateAt] == orvane::RESTORE_RAN && reply[orvane::kRestoreResultAt] == 0)) {
    std::abort();
  }

  const orvane::HandShakeReply hand = orvane::ParseHandShakeReply(bytes);
  if (hand.length != size) std::abort();
  if ((hand.check == orvane::HandShakeCheck::TooShort) != (size < orvane::kHandShakeMinReply)) std::abort();
  if (hand.check == orvane::HandShakeCheck::Ok) {
    if (reply[orvane::kHandShakeStatusAt] != 0) std::abort();
    if (hand.state.inDownloader != (reply[orvane::kHandShakeDownloaderAt] == 1)) std::abort();
    if (hand.state.offline != (reply[orvane::kHandShakeOfflineAt] == 1)) std::abort();
  } else if (!hand.state.inDownloader || !hand.state.offline) {
    std::abort();  // an answer that is no good leaves the module's state unknown: both flags set
  }
  return 0;
}
