// The command set's builders and parsers on plain bytes: each request as
// the module expects it, the block write's frame, the answers' fixed bytes
// and texts. How answers end an operation is judged through the caller.
#include "diag/diag_commands.h"

#include <gtest/gtest.h>

#include "support/frames.h"

namespace orvane {
namespace {

using test::Bytes;

Bytes Of(const DiagRequest& r) { return Bytes(r.Bytes().begin(), r.Bytes().end()); }

Bytes Padded(Bytes head, std::size_t total) {
  head.resize(total, 0x00);
  return head;
}

TEST(DiagRequests, TheCommandTable) {
  struct Row {
    const char* name;
    DiagRequest request;
    Bytes bytes;
    std::uint32_t key, keyLength;
    std::size_t replyLength;
    bool leadingFlag;
  };
  const std::uint8_t code[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  const Row rows[] = {
      {"board version", BuildBoardVersionQuery(),
       {0x4B /*DIAG_SUBSYS_CMD_F*/, 0xC9 /*vendor subsystem*/, 0x03, 0xFF /*board version*/},
       0xFF03C94B, 4, 66, false},
      {"dashboard version", BuildIsoVersionQuery(),
       Padded({0x4B /*DIAG_SUBSYS_CMD_F*/, 0xC9 /*vendor subsystem*/, 0x24, 0xFF /*dashboard version*/}, 36),
       0xFF24C94B, 4, 260, false},
      {"restore status", BuildRestoreStatusQuery(),
       Padded({0x4B /*DIAG_SUBSYS_CMD_F*/, 0xC9 /*vendor subsystem*/, 0x21, 0xFF /*restore status*/}, 36),
       0xFF21C94B, 4, 36, false},
      {"NV backup", BuildNvBackupRestore(true),
       {0x4B /*DIAG_SUBSYS_CMD_F*/, 0xC8 /*vendor NV*/, 0x1E, 0xFF /*backup/restore*/, 0x00, 0x00 /*backup*/, 0x00, 0x00},
       0xFF1EC84B, 4, 8, false},
      {"NV restore", BuildNvBackupRestore(false),
       {0x4B /*DIAG_SUBSYS_CMD_F*/, 0xC8 /*vendor NV*/, 0x1E, 0xFF /*backup/restore*/, 0x01, 0x01 /*restore*/, 0x00, 0x00},
       0xFF1EC84B, 4, 8, false},
      {"switch", BuildSwitchToDownloader(), {0x3A /*DIAG_DLOAD_F*/}, 0x3A, 1, 1, false},
      {"change mode", BuildChangeMode(1), {0x29 /*DIAG_CONTROL_F*/, 0x01, 0x00 /*mode: offline*/}, 0x000129, 3, 3, false},
      {"handshake", BuildHandShake(true),
       Padded({0x26 /*DIAG_NV_READ_F*/, 0x00, 0x00, 0x25, 0xA7, 0x00, 0x06 /*handshake tag*/}, 133),
       0x25000026, 4, 0 /*any: parsed*/, true},
      {"unlock", BuildUnlock(code),
       {0x0B /*unlock*/, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88 /*code as given*/}, 0x02 /*ack*/, 1, 1, true},
      {"reset", BuildReset(), {0x0A /*reset*/}, 0x02 /*ack*/, 1, 1, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Of(row.request), row.bytes);
    EXPECT_EQ(row.request.key, row.key);
    EXPECT_EQ(row.request.keyLength, row.keyLength);
    EXPECT_EQ(row.request.replyLength, row.replyLength);
    EXPECT_EQ(row.request.leadingFlag, row.leadingFlag);
  }
  EXPECT_FALSE(BuildHandShake(false).leadingFlag);
}

TEST(WriteFrame, HeaderBehindTheFlagAndTheWorstCaseFits) {
  // A short last block carries its own length; the data is stuffed.
  const std::uint8_t tail[3] = {0xAA, 0x7D, 0xBB};
  Bytes frame(kMaxWriteFrame);
  frame.resize(BuildWriteFrame(0x00000100, tail, 3, frame.data()));
  EXPECT_EQ(frame, test::Framed({0x0F /*write*/, 0x00, 0x00, 0x01, 0x00 /*address, big-endian*/,
                                 0x00, 0x03 /*length, big-endian*/, 0xAA, 0x7D, 0xBB},
                                true));

  // Every stuffable byte stuffed: address 7E7D7E7D, data all 7E.
  const Bytes block(DOWNLOAD_BLOCK_SIZE, 0x7E);
  frame.assign(kMaxWriteFrame + 16, 0xEE);
  const std::size_t n = BuildWriteFrame(0x7E7D7E7D, block.data(), block.size(), frame.data());
  EXPECT_LE(n, kMaxWriteFrame);
  EXPECT_GE(n, kMaxWriteFrame - 2);  // only the check bytes may escape stuffing
  EXPECT_EQ(frame[kMaxWriteFrame], 0xEE);

  EXPECT_EQ(BuildWriteFrame(0, block.data(), 0, frame.data()), 0u);
  const Bytes tooLong(DOWNLOAD_BLOCK_SIZE + 1);
  EXPECT_EQ(BuildWriteFrame(0, tooLong.data(), tooLong.size(), frame.data()), 0u);
  EXPECT_EQ(BuildWriteFrame(0, nullptr, 1, frame.data()), 0u);
}

Bytes GoodHandShake() {
  Bytes a(20, 0x00);
  const Bytes head = {0x26, 0x00, 0x00, 0x25, 0xA7, 0x00, 0x06, 0x00, 0x00, 0x00 /*status*/};
  std::copy(head.begin(), head.end(), a.begin());
  return a;
}

TEST(HandShakeReply, EachFixedByteIsChecked) {
  for (std::size_t i = 1; i <= 8; ++i) {
    Bytes a = GoodHandShake();
    a[i] ^= 0x01;
    const HandShakeReply r = ParseHandShakeReply(a);
    EXPECT_EQ(r.check, HandShakeCheck::WrongFormat) << "byte " << i;
    EXPECT_EQ(r.format[i - 1], a[i]) << "byte " << i;
  }
  // Byte 0 is the command's echo, matched by the response key.
  Bytes a = GoodHandShake();
  a[0] = 0x00, a[15] = 1;
  const HandShakeReply r = ParseHandShakeReply(std::span(a).first(16));  // the shortest whole answer
  EXPECT_EQ(r.check, HandShakeCheck::Ok);
  EXPECT_FALSE(r.state.inDownloader);
  EXPECT_TRUE(r.state.offline);
  EXPECT_EQ(ParseHandShakeReply(std::span(a).first(15)).check, HandShakeCheck::TooShort);
}

Bytes WithText(Bytes head, const std::string& text, std::size_t total) {
  head.insert(head.end(), text.begin(), text.end());
  head.resize(total, 0);
  return head;
}

TEST(VersionText, FromItsOffsetToATerminatorOrItsLimit) {
  const Bytes board = {0x4B, 0xC9, 0x03, 0xFF};
  EXPECT_EQ(ParseBoardVersion(WithText(board, "A.B\r\nrest", 66)), "A.B");
  EXPECT_EQ(ParseBoardVersion(WithText(board, "A.B\nrest", 66)), "A.B");
  EXPECT_EQ(ParseBoardVersion(WithText(board, std::string(62, 'x'), 66)), std::string(31, 'x'));
  EXPECT_EQ(ParseBoardVersion(WithText(board, "cut", 6)), "cu");  // the answer's end
  const Bytes iso = {0x4B, 0xC9, 0x24, 0xFF, 0x00};
  EXPECT_EQ(ParseIsoVersion(WithText(iso, std::string(255, 'y'), 260)), std::string(128, 'y'));
  EXPECT_EQ(ParseIsoVersion(Bytes(3, 'z')), "");
}

}  // namespace
}  // namespace orvane
