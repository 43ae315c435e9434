// The DIAG caller against a scripted transport: what goes on the wire, how
// each kind of answer ends an operation, its typed result and its lines.
#include "diag/diag_caller.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/clock.h"
#include "support/frames.h"
#include "support/scripted_transport.h"
#include "support/time_scale.h"

namespace orvane {
namespace {

using test::Bytes;
using Lines = std::vector<std::string>;

class RecordingLog : public IDiagLogSink {
 public:
  void DiagLine(const std::string& line) override {
    lines.push_back(line);
    ticks.push_back(platform::TickCount());
  }
  Lines lines;
  std::vector<std::uint32_t> ticks;
};

Bytes WithText(Bytes head, const std::string& text, std::size_t total) {
  head.insert(head.end(), text.begin(), text.end());
  head.resize(total, 0);
  return head;
}

Bytes HandShakeAnswer(std::uint8_t status, std::uint8_t downloader, std::uint8_t offline) {
  Bytes a = {0x26, 0x00, 0x00, 0x25, 0xA7, 0x00, 0x06, 0x00, 0x00, status, 0, 0, 0, 0, downloader, offline};
  a.resize(133, 0);
  return a;
}

class DiagCallerTest : public ::testing::Test {
 protected:
  test::ScopedTimeScale m_timeScale{0.01};

  // Starts a new scene: nothing sent, nothing logged, these answers.
  void Script(std::initializer_list<std::optional<Bytes>> answers) {
    m_channel.sent.clear();
    m_channel.receives.clear();
    m_log = {};
    m_channel.answers = answers;
  }
  void ExpectFailure(const DiagResult& r, DiagOutcome outcome, int attempts) {
    EXPECT_EQ(r.outcome, outcome) << DescribeDiagResult(r);
    EXPECT_EQ(r.attempts, attempts);
  }

  test::ScriptedTransport m_channel;
  RecordingLog m_log;
  CDiagCaller m_caller{m_channel, m_log};
};

TEST_F(DiagCallerTest, PublishedWireVectors) {
  Script({Bytes{0x3A}, Bytes{0x02}, Bytes{0x29, 0x01, 0x00}, WithText({0x4B, 0xC9, 0x03, 0xFF}, "V1", 66)});
  ASSERT_TRUE(m_caller.DIAG_SwitchToDownloader());
  ASSERT_TRUE(m_caller.DIAG_Reset());
  ASSERT_TRUE(m_caller.DIAG_ChangeMode(MODE_OFFLINE_DIGITAL));
  ASSERT_TRUE(m_caller.DIAG_QueryBoardVersion(nullptr));
  ASSERT_EQ(m_channel.sent.size(), 4u);
  const auto wire = [&](int i) { return test::Framed(m_channel.sent[i].bytes, m_channel.sent[i].leadingFlag); };
  EXPECT_EQ(wire(0), (Bytes{0x3A, 0xA1, 0x6E, 0x7E}));
  EXPECT_EQ(wire(1), (Bytes{0x7E, 0x0A, 0x22, 0x5F, 0x7E}));
  EXPECT_EQ(wire(2), (Bytes{0x29, 0x01, 0x00, 0x31, 0x40, 0x7E}));
  EXPECT_EQ(wire(3), (Bytes{0x4B, 0xC9, 0x03, 0xFF, 0xE8, 0x99, 0x7E}));
}

TEST_F(DiagCallerTest, EachOperationSendsItsRequestKeyedOnceWithItsTimeouts) {
  const std::uint8_t code[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  struct Op {
    const char* name;
    std::function<DiagResult()> run;
    DiagRequest request;
    Bytes answer;
    std::uint32_t receiveTimeoutMs;
  };
  const Op ops[] = {
      {"board version", [&] { return m_caller.DIAG_QueryBoardVersion(nullptr); }, BuildBoardVersionQuery(),
       WithText({0x4B, 0xC9, 0x03, 0xFF}, "B", 66), 3000},
      {"dashboard version", [&] { return m_caller.DIAG_QueryISOVersion(nullptr); }, BuildIsoVersionQuery(),
       WithText({0x4B, 0xC9, 0x24, 0xFF, 0}, "D", 260), 3000},
      {"restore status", [&] { return m_caller.DIAG_NV_QueryRestoreStatus(); }, BuildRestoreStatusQuery(),
       WithText({0x4B, 0xC9, 0x21, 0xFF}, "", 36), 3000},
      {"backup", [&] { return m_caller.DIAG_NV_BackupRestore(true); }, BuildNvBackupRestore(true),
       Bytes{0x4B, 0xC8, 0x1E, 0xFF, 0, 0, 0, 0}, 3000},
      {"restore", [&] { return m_caller.DIAG_NV_BackupRestore(false); }, BuildNvBackupRestore(false),
       Bytes{0x4B, 0xC8, 0x1E, 0xFF, 1, 0, 0, 0}, 3000},
      {"switch", [&] { return m_caller.DIAG_SwitchToDownloader(); }, BuildSwitchToDownloader(), Bytes{0x3A}, 3000},
      {"change mode", [&] { return m_caller.DIAG_ChangeMode(1); }, BuildChangeMode(1), Bytes{0x29, 1, 0}, 3000},
      {"handshake, flag", [&] { return m_caller.DIAG_HandShake(true, nullptr); }, BuildHandShake(true),
       HandShakeAnswer(0, 0, 0), 6000},
      {"handshake, no flag", [&] { return m_caller.DIAG_HandShake(false, nullptr); }, BuildHandShake(false),
       HandShakeAnswer(0, 0, 0), 6000},
      {"unlock", [&] { return m_caller.DIAG_Unlock(code); }, BuildUnlock(code), Bytes{0x02}, 3000},
      {"reset", [&] { return m_caller.DIAG_Reset(); }, BuildReset(), Bytes{0x02}, 3000},
  };
  for (const Op& op : ops) {
    SCOPED_TRACE(op.name);
    Script({op.answer});
    const int keySets = m_channel.keySets;
    const DiagResult r = op.run();
    EXPECT_TRUE(r.ok()) << DescribeDiagResult(r);
    EXPECT_EQ(r.attempts, 1);
    EXPECT_EQ(m_channel.keySets, keySets + 1);
    ASSERT_EQ(m_channel.sent.size(), 1u);
    const auto& sent = m_channel.sent[0];
    EXPECT_EQ(sent.bytes, Bytes(op.request.Bytes().begin(), op.request.Bytes().end()));
    EXPECT_FALSE(sent.raw);
    EXPECT_EQ(sent.leadingFlag, op.request.leadingFlag);
    EXPECT_EQ(sent.timeoutMs, 3000u);
    EXPECT_EQ(sent.key, op.request.key);
    EXPECT_EQ(sent.keyLength, op.request.keyLength);
    ASSERT_EQ(m_channel.receives.size(), 1u);
    EXPECT_EQ(m_channel.receives[0].timeoutMs, op.receiveTimeoutMs);
    // The whole buffer, refilled even after the previous operation's answer.
    EXPECT_EQ(m_channel.receives[0].before, Bytes(512, 0xCD));
  }
}

TEST_F(DiagCallerTest, ARefusalEndsTheOperationAtOnce) {
  Script({Bytes{0x13, 0x4B, 0xC9, 0x03, 0xFF}});
  std::string version = "untouched";
  const DiagResult r = m_caller.DIAG_QueryBoardVersion(&version);
  ExpectFailure(r, DiagOutcome::Refused, 1);
  EXPECT_EQ(DescribeDiagResult(r), "refused: 13 (bad command)");
  EXPECT_EQ(m_channel.sent.size(), 1u);
  EXPECT_EQ(version, "untouched");
  EXPECT_EQ(m_log.lines, (Lines{"Execute#1> 13", "DIAG_QueryBoardVersion: Write or Read Fail"}));

  for (const std::uint8_t code : {0x14, 0x15}) {
    Script({Bytes{code, 0x0A}});
    EXPECT_EQ(m_caller.DIAG_Reset().code, code);
    EXPECT_EQ(m_channel.sent.size(), 1u);
    char first[16];
    std::snprintf(first, sizeof first, "Execute#1> %02X", code);
    EXPECT_EQ(m_log.lines, (Lines{first, "DIAG_Reset: Write or Read Fail"}));
  }
}

TEST_F(DiagCallerTest, NegativeAnswersAreNamedThenRetriedAfterAPause) {
  const std::uint8_t code[8] = {};
  Script({Bytes{0x03, 0x00, 0x05}, Bytes{0x18}, Bytes{0x02}});
  const int keySets = m_channel.keySets;
  const DiagResult r = m_caller.DIAG_Unlock(code);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.attempts, 3);
  // A one-byte answer shows the buffer's fill behind it.
  EXPECT_EQ(m_log.lines, (Lines{"Execute#1> (03 00 05)", "Execute#2> (18 CD CD)"}));
  ASSERT_EQ(m_channel.sent.size(), 3u);
  EXPECT_EQ(m_channel.keySets, keySets + 1);  // once, before the first attempt
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(m_channel.sent[i + 1].key, 0x02u);
    EXPECT_GE(m_channel.sent[i + 1].tick - m_log.ticks[i], 200u);  // named, then paused
  }

  Script({Bytes{0x03, 0x00, 0x05}, Bytes{0x03, 0x00, 0x05}, Bytes{0x03, 0x00, 0x05}});
  const DiagResult nak = m_caller.DIAG_Unlock(code);
  ExpectFailure(nak, DiagOutcome::Refused, 3);
  EXPECT_EQ(DescribeDiagResult(nak), "negative acknowledgement 03 00 05");
  EXPECT_EQ(m_log.lines.back(), "DIAG_Unlock: Write or Read Fail");
}

TEST_F(DiagCallerTest, AnAnswerOfTheWrongLengthIsRetriedAndNamed) {
  Script({Bytes(65, 0x4B), WithText({0x4B, 0xC9, 0x03, 0xFF}, "11.608.13", 66)});
  std::string version;
  EXPECT_TRUE(m_caller.DIAG_QueryBoardVersion(&version));
  EXPECT_EQ(version, "11.608.13");
  EXPECT_EQ(m_log.lines, (Lines{"CDiagCaller::Execute> Response's Length Error(Expect:66 Actual:65)",
                                "Firmware Version: 11.608.13"}));

  Script({Bytes(65, 0x4B), Bytes(65, 0x4B), Bytes(65, 0x4B)});
  const DiagResult r = m_caller.DIAG_QueryBoardVersion(&version);
  ExpectFailure(r, DiagOutcome::WrongShape, 3);
  EXPECT_EQ(DescribeDiagResult(r), "wrong length: expected 66, got 65");
}

TEST_F(DiagCallerTest, ASilentModuleFailsAfterThreeAttemptsAndThreePauses) {
  Script({std::nullopt, std::nullopt, std::nullopt});
  const std::uint32_t start = platform::TickCount();
  const DiagResult r = m_caller.DIAG_NV_QueryRestoreStatus();
  ExpectFailure(r, DiagOutcome::NoReply, 3);
  EXPECT_EQ(DescribeDiagResult(r), "no reply after 3 attempts");
  EXPECT_GE(platform::TickCount() - start, 600u);
  EXPECT_EQ(m_log.lines, (Lines{"Execute#1> Read Fail", "Execute#2> Read Fail", "Execute#3> Read Fail",
                                "DIAG_NV_QueryRestoreStatus: Write or Read Fail"}));
  for (int i = 0; i < 2; ++i) EXPECT_GE(m_channel.sent[i + 1].tick - m_log.ticks[i], 200u);  // named, then paused
  EXPECT_EQ(m_caller.ResponseLength(), 0u);

  Script({});
  m_channel.failSends = 3;
  const DiagResult notSent = m_caller.DIAG_SwitchToDownloader();
  ExpectFailure(notSent, DiagOutcome::NotSent, 3);
  EXPECT_EQ(DescribeDiagResult(notSent), "not sent after 3 attempts");
  EXPECT_EQ(m_log.lines, (Lines{"Execute#1> Write Fail", "Execute#2> Write Fail", "Execute#3> Write Fail",
                                "DIAG_SwitchToDownloader: Write or Read Fail"}));
  EXPECT_TRUE(m_channel.receives.empty());
}

TEST_F(DiagCallerTest, VersionsArriveAsUtf8AndAreLogged) {
  std::string board, iso;
  Script({WithText({0x4B, 0xC9, 0x03, 0xFF}, "r\xE9v\r\n", 66), WithText({0x4B, 0xC9, 0x24, 0xFF, 0}, "D1", 260)});
  ASSERT_TRUE(m_caller.DIAG_QueryBoardVersion(&board));
  ASSERT_TRUE(m_caller.DIAG_QueryISOVersion(&iso));
  EXPECT_EQ(board, "r\xC3\xA9v");
  EXPECT_EQ(iso, "D1");
  EXPECT_EQ(m_log.lines, (Lines{"Firmware Version: r\xC3\xA9v", "Dashboard Version: D1"}));
}

TEST_F(DiagCallerTest, NvReasonsAreRejectionsWithoutRetry) {
  struct Case {
    bool backup;
    std::uint8_t b5, b6;
    Lines lines;
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
    Script({Bytes{0x4B, 0xC8, 0x1E, 0xFF, 0x00, c.b5, c.b6, 0x00}});
    const DiagResult r = m_caller.DIAG_NV_BackupRestore(c.backup);
    ExpectFailure(r, DiagOutcome::Rejected, 1);
    EXPECT_EQ(r.code, c.b6);
    EXPECT_EQ(m_channel.sent.size(), 1u);
    EXPECT_EQ(m_log.lines, c.lines);
  }
  Script({Bytes(7, 0x4B)});
  m_caller.DIAG_NV_BackupRestore(false);
  EXPECT_EQ(m_log.lines.back(), "Restore NV: Write or Read Fail");
}

TEST_F(DiagCallerTest, RestoreStatusOutcomes) {
  const auto answer = [](std::uint8_t b5, std::uint8_t b6) {
    Bytes a(36, 0);
    a[0] = 0x4B, a[1] = 0xC9, a[2] = 0x21, a[3] = 0xFF, a[5] = b5, a[6] = b6;
    return a;
  };
  Script({answer(0, 7), answer(1, 0), answer(1, 4), answer(2, 0)});
  EXPECT_TRUE(m_caller.DIAG_NV_QueryRestoreStatus());
  EXPECT_TRUE(m_caller.DIAG_NV_QueryRestoreStatus());
  EXPECT_EQ(m_caller.DIAG_NV_QueryRestoreStatus().code, 4);
  const DiagResult r = m_caller.DIAG_NV_QueryRestoreStatus();
  ExpectFailure(r, DiagOutcome::Rejected, 1);
  EXPECT_EQ(DescribeDiagResult(r), "status 2");
  EXPECT_EQ(m_log.lines, (Lines{"DIAG_NV_QueryRestoreStatus: No Backup to Restore",
                                "DIAG_NV_QueryRestoreStatus: Restore Success",
                                "DIAG_NV_QueryRestoreStatus: Restore Fail",
                                "DIAG_NV_QueryRestoreStatus: Restore Fail"}));
}

TEST_F(DiagCallerTest, HandShakeChecksTheAnswerAndReportsTheFlags) {
  HandShakeState state{false, false};
  Script({Bytes(15, 0x26)});
  ExpectFailure(m_caller.DIAG_HandShake(true, &state), DiagOutcome::WrongShape, 1);
  EXPECT_TRUE(state.inDownloader && state.offline);  // unknown: both true
  EXPECT_EQ(m_log.lines, (Lines{"DIAG_HandShake: Response Length = 15 (too short)"}));

  Bytes badFormat = HandShakeAnswer(0, 0, 0);
  badFormat[8] = 1;
  Script({badFormat});
  DiagResult r = m_caller.DIAG_HandShake(true, &state);
  EXPECT_EQ(DescribeDiagResult(r),
            "wrong bytes: expected 00 00 25 A7 00 06 00 00, got 00 00 25 A7 00 06 00 01");
  EXPECT_EQ(m_log.lines, (Lines{"DIAG_HandShake: Response's format error"}));

  Script({HandShakeAnswer(5, 0, 0)});
  r = m_caller.DIAG_HandShake(true, &state);
  ExpectFailure(r, DiagOutcome::Rejected, 1);
  EXPECT_EQ(r.code, 5);
  EXPECT_EQ(m_log.lines, (Lines{"DIAG_HandShake: status = 5"}));

  Script({HandShakeAnswer(0, 1, 2)});
  EXPECT_TRUE(m_caller.DIAG_HandShake(false, &state));
  EXPECT_TRUE(state.inDownloader);
  EXPECT_FALSE(state.offline);
  EXPECT_EQ(m_log.lines, (Lines{"DIAG_HandShake: (1,0)"}));
  EXPECT_EQ(m_caller.ResponseLength(), 133u);
}

TEST_F(DiagCallerTest, AWholeBlockIsOneRawFrameAwaitingTheAcknowledgement) {
  Bytes block(DOWNLOAD_BLOCK_SIZE);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 13);
  Script({Bytes{0x02}});
  const DiagResult r = m_caller.DIAG_Write(0x00200000, block.data(), block.size());
  EXPECT_TRUE(r.ok()) << DescribeDiagResult(r);
  ASSERT_EQ(m_channel.sent.size(), 1u);
  const auto& sent = m_channel.sent[0];
  EXPECT_TRUE(sent.raw);
  EXPECT_FALSE(sent.leadingFlag);  // the frame carries its own
  EXPECT_EQ(sent.timeoutMs, 3000u);
  EXPECT_EQ(sent.key, 0x02u);
  EXPECT_EQ(sent.keyLength, 1u);
  ASSERT_EQ(m_channel.receives.size(), 1u);
  EXPECT_EQ(m_channel.receives[0].capacity, 5u);
  EXPECT_EQ(m_channel.receives[0].timeoutMs, 5000u);
  EXPECT_EQ(m_channel.receives[0].before, Bytes(5, 0xCD));

  Bytes packet = {0x0F /*write*/, 0x00, 0x20, 0x00, 0x00 /*address*/, 0x10, 0x00 /*length 4096*/};
  packet.insert(packet.end(), block.begin(), block.end());
  const auto unframed = test::Unframed(sent.bytes);
  ASSERT_TRUE(unframed);
  EXPECT_EQ(*unframed, packet);
  EXPECT_EQ(sent.bytes, test::Framed(packet, true));
  EXPECT_TRUE(m_log.lines.empty());
}

TEST_F(DiagCallerTest, AnythingButAnAcknowledgementRetriesTheSameFrame) {
  const std::uint8_t block[4] = {0x7E, 0x7D, 0x00, 0xFF};
  Script({Bytes{0x03, 0x00, 0x05}, Bytes{0x13}, Bytes{0x02}});
  const DiagResult r = m_caller.DIAG_Write(0x1000, block, sizeof block);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.attempts, 3);
  ASSERT_EQ(m_channel.sent.size(), 3u);
  EXPECT_EQ(m_channel.sent[1].bytes, m_channel.sent[0].bytes);
  EXPECT_EQ(m_channel.sent[2].bytes, m_channel.sent[0].bytes);
  EXPECT_EQ(m_log.lines, (Lines{"DIAG_Write#1> (03 00 05)", "DIAG_Write#2> (13 CD CD)"}));
  EXPECT_GE(m_channel.sent[1].tick - m_log.ticks[0], 200u);  // named, then paused
}

TEST_F(DiagCallerTest, AFailedWriteEndsInItsLastAttemptAndPausesBeforeEachLine) {
  const std::uint8_t block[1] = {0x55};
  Script({std::nullopt, std::nullopt, std::nullopt});
  ExpectFailure(m_caller.DIAG_Write(0, block, 1), DiagOutcome::NoReply, 3);
  EXPECT_EQ(m_log.lines, (Lines{"DIAG_Write#1> Read Fail", "DIAG_Write#2> Read Fail", "DIAG_Write#3> Read Fail"}));
  for (int i = 0; i < 3; ++i) EXPECT_GE(m_log.ticks[i] - m_channel.sent[i].tick, 200u);

  Script({});
  m_channel.failSends = 3;
  ExpectFailure(m_caller.DIAG_Write(0, block, 1), DiagOutcome::NotSent, 3);
  EXPECT_EQ(m_log.lines, (Lines{"DIAG_Write#1> Write Fail", "DIAG_Write#2> Write Fail", "DIAG_Write#3> Write Fail"}));
  for (int i = 0; i < 3; ++i) EXPECT_GE(m_log.ticks[i] - m_channel.sent[i].tick, 200u);

  Script({Bytes{0x03, 0x00, 0x01}, Bytes{0x03, 0x00, 0x02}, Bytes{0x03, 0x00, 0x03}});
  const DiagResult nak = m_caller.DIAG_Write(0, block, 1);
  ExpectFailure(nak, DiagOutcome::Refused, 3);
  EXPECT_EQ(DescribeDiagResult(nak), "negative acknowledgement 03 00 03");

  // A block the write cannot frame goes nowhere.
  Script({});
  ExpectFailure(m_caller.DIAG_Write(0, block, 0), DiagOutcome::NotSent, 0);
  EXPECT_TRUE(m_channel.sent.empty());
}

}  // namespace
}  // namespace orvane
