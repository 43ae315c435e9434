// The DIAG command set against a scripted transport: request bytes, keys,
// flags, retries, classification and every log line.
#include "diag/diag_caller.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>

#include "diag/framing.h"
#include "platform/clock.h"

namespace orvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct SentPacket {
  Bytes packet;
  bool leadingFlag;
  std::uint32_t key;
  std::uint32_t keyLength;
  std::uint32_t receiveTimeoutMs = 0;
};

// Plays back answers in order: nullopt = nothing arrives in time.
class ScriptedTransport : public IFrameTransport {
 public:
  void SetResponseKey(std::uint32_t key, std::uint32_t keyLength) override {
    m_key = key;
    m_keyLength = keyLength;
    ++keySets;
  }
  bool Send(bool raw, const std::uint8_t* data, std::size_t length, bool leadingFlag, std::uint32_t) override {
    EXPECT_FALSE(raw);
    sent.push_back({Bytes(data, data + length), leadingFlag, m_key, m_keyLength});
    if (failSends > 0) {
      --failSends;
      return false;
    }
    return true;
  }
  bool Receive(std::uint8_t* buffer, std::size_t capacity, std::size_t* length, std::uint32_t timeoutMs) override {
    if (!sent.empty()) sent.back().receiveTimeoutMs = timeoutMs;
    EXPECT_EQ(buffer[0], kResponseFill);  // filled before every receive
    EXPECT_EQ(buffer[capacity - 1], kResponseFill);
    if (answers.empty() || !answers.front()) {
      if (!answers.empty()) answers.pop_front();
      return false;
    }
    const Bytes a = *answers.front();
    answers.pop_front();
    *length = std::min(a.size(), capacity);
    std::copy(a.begin(), a.begin() + static_cast<long>(*length), buffer);
    return true;
  }

  std::deque<std::optional<Bytes>> answers;
  std::vector<SentPacket> sent;
  int failSends = 0;
  int keySets = 0;

 private:
  std::uint32_t m_key = 0xFFFFFFFF;
  std::uint32_t m_keyLength = 4;
};

platform::LocalTime Noon() { return {2026, 1, 2, 12, 0, 0}; }

class DiagCallerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(platform::SetTimeScale(0.01)); }
  void TearDown() override { platform::SetTimeScale(1.0); }

  // The log without its time stamps, one entry per line.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    const std::string text = m_log.Text();
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      lines.push_back(text.substr(start + 18, end - start - 18));  // "YYYYMMDDHH:MM:SS: "
      start = end + 1;
    }
    return lines;
  }
  using Lines_t = std::vector<std::string>;

  ScriptedTransport m_channel;
  CDownloadLog m_log{"/nonexistent-unused", Noon};
  CDiagCaller m_caller{m_channel, m_log};
};

Bytes WithText(Bytes head, const std::string& text, std::size_t total) {
  head.insert(head.end(), text.begin(), text.end());
  head.resize(total, 0);
  return head;
}

Bytes Framed(const Bytes& packet, bool flag) {
  Bytes out(MaxFrameSize(packet.size()));
  out.resize(EncodeFrame(packet.data(), packet.size(), out.data(), flag ? 1 : 0));
  return out;
}

TEST_F(DiagCallerTest, RequestsGoOnTheWireAsTheModuleExpects) {
  m_channel.answers = {Bytes{0x3A}, Bytes{0x02}, Bytes{0x29, 0x01, 0x00},
                       WithText({0x4B, 0xC9, 0x03, 0xFF}, "V1", 66)};
  ASSERT_TRUE(m_caller.DIAG_SwitchToDownloader());
  ASSERT_TRUE(m_caller.DIAG_Reset());
  ASSERT_TRUE(m_caller.DIAG_ChangeMode(MODE_OFFLINE_DIGITAL));
  ASSERT_TRUE(m_caller.DIAG_QueryBoardVersion(nullptr));
  ASSERT_EQ(m_channel.sent.size(), 4u);
  const auto wire = [&](int i) { return Framed(m_channel.sent[i].packet, m_channel.sent[i].leadingFlag); };
  EXPECT_EQ(wire(0), (Bytes{0x3A, 0xA1, 0x6E, 0x7E}));
  EXPECT_EQ(wire(1), (Bytes{0x7E, 0x0A, 0x22, 0x5F, 0x7E}));
  EXPECT_EQ(wire(2), (Bytes{0x29, 0x01, 0x00, 0x31, 0x40, 0x7E}));
  EXPECT_EQ(wire(3), (Bytes{0x4B, 0xC9, 0x03, 0xFF, 0xE8, 0x99, 0x7E}));
}

TEST_F(DiagCallerTest, KeysFlagsAndTimeoutsPerOperation) {
  const std::uint8_t code[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  Bytes hs(20, 0);
  hs[0] = 0x26, hs[3] = 0x25, hs[4] = 0xA7, hs[6] = 0x06;
  m_channel.answers = {Bytes{0x02}, hs, hs, Bytes(8, 0), WithText({0x4B, 0xC9, 0x21, 0xFF, 0, 0}, "", 36),
                       WithText({0x4B, 0xC9, 0x24, 0xFF, 0}, "D", 260)};
  ASSERT_TRUE(m_caller.DIAG_Unlock(code));
  ASSERT_TRUE(m_caller.DIAG_HandShake(true, nullptr, nullptr));
  ASSERT_TRUE(m_caller.DIAG_HandShake(false, nullptr, nullptr));
  m_channel.answers[0]->at(0) = 0x4B;  // NV backup answer begins with its request
  ASSERT_TRUE(m_caller.DIAG_NV_BackupRestore(true));
  ASSERT_TRUE(m_caller.DIAG_NV_QueryRestoreStatus());
  ASSERT_TRUE(m_caller.DIAG_QueryISOVersion(nullptr));

  const auto& s = m_channel.sent;
  ASSERT_EQ(s.size(), 6u);
  // Unlock: 0x0B and the code unchanged, with the opening flag, awaiting 0x02.
  EXPECT_EQ(s[0].packet, (Bytes{0x0B, 1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_TRUE(s[0].leadingFlag);
  EXPECT_EQ(s[0].key, 0x02u);
  EXPECT_EQ(s[0].keyLength, 1u);
  // Handshake: 133 bytes, caller's flag, 6 s, keyed by its first four bytes.
  EXPECT_EQ(s[1].packet.size(), 133u);
  EXPECT_EQ(Bytes(s[1].packet.begin(), s[1].packet.begin() + 7), (Bytes{0x26, 0, 0, 0x25, 0xA7, 0, 0x06}));
  EXPECT_TRUE(s[1].leadingFlag);
  EXPECT_FALSE(s[2].leadingFlag);
  EXPECT_EQ(s[1].key, 0x25000026u);
  EXPECT_EQ(s[1].receiveTimeoutMs, 6000u);
  EXPECT_EQ(s[0].receiveTimeoutMs, 3000u);
  EXPECT_EQ(s[3].packet, (Bytes{0x4B, 0xC8, 0x1E, 0xFF, 0, 0, 0, 0}));
  EXPECT_EQ(s[3].key, 0xFF1EC84Bu);
  EXPECT_EQ(s[4].packet.size(), 36u);
  EXPECT_EQ(s[5].packet.size(), 36u);
  EXPECT_EQ(s[5].key, 0xFF24C94Bu);
  EXPECT_EQ(m_channel.keySets, 6);  // once per operation
}

TEST_F(DiagCallerTest, ErrorByteEndsTheOperationAtOnce) {
  m_channel.answers = {Bytes{0x13, 0x4B, 0xC9, 0x03, 0xFF}};
  std::string version = "untouched";
  EXPECT_FALSE(m_caller.DIAG_QueryBoardVersion(&version));
  EXPECT_EQ(m_channel.sent.size(), 1u);
  EXPECT_EQ(version, "untouched");
  EXPECT_EQ(Lines(), (Lines_t{"Execute#1> 13", "DIAG_QueryBoardVersion: Write or Read Fail"}));

  for (const std::uint8_t code : {0x14, 0x15}) {
    m_log.Clear();
    m_channel.sent.clear();
    m_channel.answers = {Bytes{code, 0x0A}};
    EXPECT_FALSE(m_caller.DIAG_Reset());
    EXPECT_EQ(m_channel.sent.size(), 1u);
    char first[16];
    std::snprintf(first, sizeof first, "Execute#1> %02X", code);
    EXPECT_EQ(Lines(), (Lines_t{first, "DIAG_Reset: Write or Read Fail"}));
  }
}

TEST_F(DiagCallerTest, NegativeAcknowledgementRetriesAfterAPause) {
  const std::uint8_t code[8] = {};
  m_channel.answers = {Bytes{0x03, 0x00, 0x05}, Bytes{0x18}, Bytes{0x02}};
  const std::uint32_t start = platform::TickCount();
  EXPECT_TRUE(m_caller.DIAG_Unlock(code));
  EXPECT_GE(platform::TickCount() - start, 400u);  // two 200 ms pauses
  EXPECT_EQ(m_channel.sent.size(), 3u);
  // A one-byte answer shows the buffer's fill behind it.
  EXPECT_EQ(Lines(), (Lines_t{"Execute#1> (03 00 05)", "Execute#2> (18 CD CD)"}));
}

TEST_F(DiagCallerTest, WrongLengthIsRetriedAndNamed) {
  m_channel.answers = {Bytes(65, 0x4B), WithText({0x4B, 0xC9, 0x03, 0xFF}, "11.608.13", 66)};
  std::string version;
  EXPECT_TRUE(m_caller.DIAG_QueryBoardVersion(&version));
  EXPECT_EQ(version, "11.608.13");
  EXPECT_EQ(Lines(), (Lines_t{"CDiagCaller::Execute> Response's Length Error(Expect:66 Actual:65)",
                              "Firmware Version: 11.608.13"}));
}

TEST_F(DiagCallerTest, SilentModuleFailsAfterThreeReadsAndThreePauses) {
  m_channel.answers = {std::nullopt, std::nullopt, std::nullopt};
  const std::uint32_t start = platform::TickCount();
  EXPECT_FALSE(m_caller.DIAG_NV_QueryRestoreStatus());
  EXPECT_GE(platform::TickCount() - start, 600u);
  EXPECT_EQ(Lines(), (Lines_t{"Execute#1> Read Fail", "Execute#2> Read Fail", "Execute#3> Read Fail",
                              "DIAG_NV_QueryRestoreStatus: Write or Read Fail"}));

  m_log.Clear();
  m_channel.failSends = 3;
  EXPECT_FALSE(m_caller.DIAG_SwitchToDownloader());
  EXPECT_EQ(Lines(), (Lines_t{"Execute#1> Write Fail", "Execute#2> Write Fail", "Execute#3> Write Fail",
                              "DIAG_SwitchToDownloader: Write or Read Fail"}));
}

TEST_F(DiagCallerTest, VersionTextsStopAtTerminatorsAndTheirLimits) {
  std::string v;
  m_channel.answers = {WithText({0x4B, 0xC9, 0x03, 0xFF}, "A.B\r\nrest", 66)};
  ASSERT_TRUE(m_caller.DIAG_QueryBoardVersion(&v));
  EXPECT_EQ(v, "A.B");
  m_channel.answers = {WithText({0x4B, 0xC9, 0x03, 0xFF}, std::string(62, 'x'), 66)};
  ASSERT_TRUE(m_caller.DIAG_QueryBoardVersion(&v));
  EXPECT_EQ(v, std::string(31, 'x'));
  m_channel.answers = {WithText({0x4B, 0xC9, 0x24, 0xFF, 0x00}, std::string(255, 'y'), 260)};
  ASSERT_TRUE(m_caller.DIAG_QueryISOVersion(&v));
  EXPECT_EQ(v, std::string(128, 'y'));
  EXPECT_EQ(Lines().back(), "Dashboard Version: " + std::string(128, 'y'));
  // 8-bit text arrives as UTF-8.
  m_channel.answers = {WithText({0x4B, 0xC9, 0x03, 0xFF}, "r\xE9v", 66)};
  ASSERT_TRUE(m_caller.DIAG_QueryBoardVersion(&v));
  EXPECT_EQ(v, "r\xC3\xA9v");
}

TEST_F(DiagCallerTest, NvReasonsFailWithoutRetry) {
  const Bytes head = {0x4B, 0xC8, 0x1E, 0xFF, 0x00};
  const auto answer = [&](std::uint8_t b5, std::uint8_t b6) {
    Bytes a = head;
    a.push_back(b5);
    a.push_back(b6);
    a.push_back(0);
    return a;
  };
  struct Case {
    bool backup;
    std::uint8_t b5, b6;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {true, 1, 2, {"Backup NV: 不存在有效的备份"}},
      {false, 1, 1, {"Restore NV: 单板状态不正确"}},
      {true, 0, 3, {"Backup NV: CRC校验失败"}},
      {true, 1, 4, {"Backup NV: NV操作失败"}},
      {true, 1, 0, {}},  // fails silently
      {true, 0, 9, {}},
  };
  for (const Case& c : cases) {
    m_log.Clear();
    m_channel.sent.clear();
    m_channel.answers = {answer(c.b5, c.b6)};
    EXPECT_FALSE(m_caller.DIAG_NV_BackupRestore(c.backup));
    EXPECT_EQ(m_channel.sent.size(), 1u);
    EXPECT_EQ(Lines(), c.lines);
  }
  m_channel.answers = {answer(0, 0)};
  EXPECT_TRUE(m_caller.DIAG_NV_BackupRestore(false));
  EXPECT_EQ(m_channel.sent.back().packet, (Bytes{0x4B, 0xC8, 0x1E, 0xFF, 0x01, 0x01, 0x00, 0x00}));
}

TEST_F(DiagCallerTest, RestoreStatusOutcomes) {
  const auto answer = [](std::uint8_t b5, std::uint8_t b6) {
    Bytes a(36, 0);
    a[0] = 0x4B, a[1] = 0xC9, a[2] = 0x21, a[3] = 0xFF, a[5] = b5, a[6] = b6;
    return a;
  };
  m_channel.answers = {answer(0, 7), answer(1, 0), answer(1, 1), answer(2, 0)};
  EXPECT_TRUE(m_caller.DIAG_NV_QueryRestoreStatus());
  EXPECT_TRUE(m_caller.DIAG_NV_QueryRestoreStatus());
  EXPECT_FALSE(m_caller.DIAG_NV_QueryRestoreStatus());
  EXPECT_FALSE(m_caller.DIAG_NV_QueryRestoreStatus());
  EXPECT_EQ(Lines(), (Lines_t{"DIAG_NV_QueryRestoreStatus: No Backup to Restore",
                              "DIAG_NV_QueryRestoreStatus: Restore Success", "DIAG_NV_QueryRestoreStatus: Restore Fail",
                              "DIAG_NV_QueryRestoreStatus: Restore Fail"}));
}

TEST_F(DiagCallerTest, HandShakeChecksAndFlags) {
  Bytes good(133, 0);
  good[0] = 0x26, good[3] = 0x25, good[4] = 0xA7, good[6] = 0x06;
  int downloader = -1, offline = -1;

  m_channel.answers = {Bytes(15, 0)};
  EXPECT_FALSE(m_caller.DIAG_HandShake(true, &downloader, &offline));
  EXPECT_EQ(downloader, 1);
  EXPECT_EQ(offline, 1);
  EXPECT_EQ(Lines().back(), "DIAG_HandShake: Response Length = 15 (too short)");

  Bytes badFormat = good;
  badFormat[8] = 1;
  m_channel.answers = {badFormat};
  EXPECT_FALSE(m_caller.DIAG_HandShake(true, &downloader, &offline));
  EXPECT_EQ(Lines().back(), "DIAG_HandShake: Response's format error");

  Bytes badStatus = good;
  badStatus[9] = 5;
  m_channel.answers = {badStatus};
  EXPECT_FALSE(m_caller.DIAG_HandShake(true, &downloader, &offline));
  EXPECT_EQ(Lines().back(), "DIAG_HandShake: status = 5");

  Bytes inDownloader = good;
  inDownloader[14] = 1;
  inDownloader[15] = 2;  // only exactly 1 counts
  m_channel.answers = {inDownloader};
  EXPECT_TRUE(m_caller.DIAG_HandShake(false, &downloader, &offline));
  EXPECT_EQ(downloader, 1);
  EXPECT_EQ(offline, 0);
  EXPECT_EQ(Lines().back(), "DIAG_HandShake: (1,0)");

  Bytes normal = good;
  normal[15] = 1;
  m_channel.answers = {normal};
  EXPECT_TRUE(m_caller.DIAG_HandShake(true, &downloader, &offline));
  EXPECT_EQ(downloader, 0);
  EXPECT_EQ(offline, 1);
  EXPECT_EQ(m_caller.ResponseLength(), 133u);
}

}  // namespace
}  // namespace orvane
