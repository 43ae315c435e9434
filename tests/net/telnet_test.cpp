// The telnet session: its text rules, and the session against an in-test
// shell on loopback.
#include "net/telnet_session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "net/loopback_peer.h"
#include "net/telnet_text.h"
#include "platform/clock.h"

namespace orvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
using testing::kLoopback;
using testing::OwnedSocket;
using testing::TcpListener;

Lines Split(const std::string& text) {
  return SplitReplyLines(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(TelnetTextTest, LinesAreCutAtCrLfWithEmptyLinesKept) {
  // A login prompt without a line end.
  EXPECT_EQ(Split("login: "), (Lines{"login: "}));
  EXPECT_EQ(FindMarkerLine(Split("login: "), ":"), 0);

  // A line, an empty line and the shell prompt without a line end.
  const Lines prompt = Split("2.1.0.3.7\r\n\r\n# ");
  EXPECT_EQ(prompt, (Lines{"2.1.0.3.7", "", "# "}));
  EXPECT_EQ(FindMarkerLine(prompt, "#"), 2);

  // Nothing received: one empty line, no marker.
  EXPECT_EQ(Split(""), (Lines{""}));
  EXPECT_EQ(FindMarkerLine(Split(""), ":"), -1);

  // A lone CR or LF does not end a line; a zero byte ends the text.
  EXPECT_EQ(Split("a\rb\nc\r\n"), (Lines{"a\rb\nc"}));
  EXPECT_EQ(Split(std::string("one\r\ntw\0o\r\nthree", 16)), (Lines{"one"}));
  // Telnet commands stay in the text.
  EXPECT_EQ(Split("\xFF\xFB\x01login:"), (Lines{"\xC3\xBF\xC3\xBB\x01login:"}));
}

TEST(TelnetTextTest, TheHashMarkerCountsOnlyInTheLastLine) {
  const Lines lines = {"# not a prompt", "text"};
  EXPECT_EQ(FindMarkerLine(lines, "#"), -1);
  EXPECT_EQ(FindMarkerLine(lines, "not a"), 0);
  // Other markers are searched from the last line back.
  EXPECT_EQ(FindMarkerLine({"a:", "b:", "c"}, ":"), 1);
  EXPECT_EQ(FindMarkerLine({}, ":"), -1);
}

TEST(TelnetTextTest, ReceiveBufferGrowsByWholeMultiples) {
  EXPECT_EQ(GrowReceiveCapacity(16, 0, 20), 32u);
  EXPECT_EQ(GrowReceiveCapacity(32, 0, 100), 128u);
  EXPECT_EQ(GrowReceiveCapacity(16, 10, 6), 16u);   // fits
  EXPECT_EQ(GrowReceiveCapacity(16, 10, 7), 32u);
  EXPECT_EQ(GrowReceiveCapacity(16, 15, 33), 48u);  // k = 3, not a doubling
  EXPECT_EQ(GrowReceiveCapacity(16, 15, 34), 64u);
}

TEST(TelnetTextTest, AVersionLineBeginsWithFiveDotSeparatedGroups) {
  EXPECT_TRUE(IsVersionText("2.1.0.3.7"));
  EXPECT_TRUE(IsVersionText("1.2.3.4.5."));           // a trailing dot
  EXPECT_TRUE(IsVersionText("2.1.0.3.7 (build 5)"));  // text behind it
  EXPECT_TRUE(IsVersionText("10.20.30.40.50abc"));
  EXPECT_FALSE(IsVersionText(""));
  EXPECT_FALSE(IsVersionText("10.10.10.10"));   // four groups
  EXPECT_FALSE(IsVersionText("12..1.3.7"));     // an empty group
  EXPECT_FALSE(IsVersionText(".1.2.3.4.5"));
  EXPECT_FALSE(IsVersionText("1.2.3.4.5.6"));   // six groups
  EXPECT_FALSE(IsVersionText("1.2.3.4"));       // too short
  EXPECT_FALSE(IsVersionText("# nvram get app_version"));
}

TEST(TelnetTextTest, TheLastVersionLineIsPickedWhole) {
  std::string target = "kept";
  EXPECT_TRUE(PickVersionLine({"nvram get app_version", "2.1.0.3.7", "# "}, target));
  EXPECT_EQ(target, "2.1.0.3.7");
  EXPECT_TRUE(PickVersionLine({"1.1.1.1.1", "2.1.0.3.7 (build 5)", "#"}, target));
  EXPECT_EQ(target, "2.1.0.3.7 (build 5)");
  target = "kept";
  EXPECT_FALSE(PickVersionLine({"nvram get app_version", "", "#"}, target));
  EXPECT_EQ(target, "kept");
}

TEST(TelnetTextTest, ALineTooLongOrOnlyAPieceIsNoVersionLine) {
  const std::string longest = "2.1.0.3.7 " + std::string(kMaxVersionLineBytes - 10, 'b');
  std::string target = "kept";
  EXPECT_EQ(PickVersionLine({"echo", longest, "#"}, target).result, VersionLine::kPicked);
  EXPECT_EQ(target, longest);

  target = "kept";
  const VersionLinePick tooLong = PickVersionLine({"echo", longest + "b", "#"}, target);
  EXPECT_EQ(tooLong.result, VersionLine::kTooLong);
  EXPECT_EQ(tooLong.bytes, kMaxVersionLineBytes + 1);
  EXPECT_EQ(target, "kept");

  // The reply was cut inside its last line, or starts inside one an earlier
  // reply cut: a version at the start of a piece says nothing.
  EXPECT_EQ(PickVersionLine({"echo", "2.1.0.3.7"}, target, {false, true}).result, VersionLine::kCut);
  EXPECT_EQ(PickVersionLine({"2.1.0.3.7", "#"}, target, {true, false}).result, VersionLine::kCut);
  EXPECT_EQ(target, "kept");
  // A whole version line before the piece is still the version.
  EXPECT_TRUE(PickVersionLine({"1.0.0.2.5", "2.1.0.3.7"}, target, {false, true}));
  EXPECT_EQ(target, "1.0.0.2.5");
}

// A shell on loopback: accepts the session's connection and reads what it sends.
class TelnetSessionTest : public testing::ScaledTime {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_listener.Valid());
    m_profile.telnetPort = m_listener.Port();
  }

  void ConnectSession(CTelnetSession& session, OwnedSocket* shell) {
    ASSERT_TRUE(session.Connect(kLoopback));
    *shell = m_listener.Accept();
    ASSERT_TRUE(shell->Valid());
  }

  TcpListener m_listener;
  NetworkProfile m_profile;
};

// Threads of this process, where the system lists them (Linux); 0 elsewhere,
// which makes the comparisons below trivially equal.
std::size_t ThreadCount() {
  std::size_t n = 0;
#ifdef __linux__  // not a Windows build run under wine: its /proc is wine's own
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end; it.increment(error)) ++n;
#endif
  return n;
}

bool ThreadsCounted() { return ThreadCount() > 0; }

// The count before any session thread: a first thread is started and ended
// so that helper threads of the runtime (a sanitizer's) exist already.
std::size_t BaselineThreadCount() {
  std::thread([] {}).join();
  platform::Sleep(20);
  return ThreadCount();
}

TEST_F(TelnetSessionTest, ConnectAnnouncesItsOptionsInOrder) {
  CTelnetSession session(m_profile);
  OwnedSocket shell;
  ConnectSession(session, &shell);
  EXPECT_EQ(shell.ReadBytes(12), (Bytes{0xFF, 0xFB, 0x01, 0xFF, 0xFC, 0x21, 0xFF, 0xFD, 0x01, 0xFF, 0xFD, 0x03}));
}

TEST_F(TelnetSessionTest, LoginDialogueAndCommandReplies) {
  CTelnetSession session(m_profile);
  OwnedSocket shell;
  ConnectSession(session, &shell);
  ASSERT_TRUE(shell.SendAll(std::string("\r\nrouter login: ")));
  ASSERT_TRUE(session.ReadLines(500));
  EXPECT_EQ(session.FindLine(":"), 1);

  ASSERT_TRUE(shell.SendAll(std::string("Password: ")));
  EXPECT_TRUE(session.Command("qmbzx\r\n", ":", 500));
  const Bytes sent = shell.ReadBytes(12 + 7);
  EXPECT_EQ(std::string(sent.begin() + 12, sent.end()), "qmbzx\r\n");

  ASSERT_TRUE(shell.SendAll(std::string("nvram get app_version\r\n2.1.0.3.7\r\n# ")));
  EXPECT_TRUE(session.Command("nvram get app_version\r\n", "#", 500));
  EXPECT_EQ(session.Lines(), (Lines{"nvram get app_version", "2.1.0.3.7", "# "}));

  // A reply whose last line is no prompt fails the command, lines kept.
  ASSERT_TRUE(shell.SendAll(std::string("# \r\nbusy\r\n")));
  EXPECT_FALSE(session.Command("x\r\n", "#", 500));
  EXPECT_EQ(session.Lines().size(), 2u);

  EXPECT_TRUE(session.Disconnect());
  EXPECT_TRUE(session.Lines().empty());
  EXPECT_TRUE(shell.ReadBytes(100, 1000).size() < 100);  // the shell sees the close
}

TEST_F(TelnetSessionTest, ReadLinesWaitsAtLeastHalfASecond) {
  CTelnetSession session(m_profile);
  OwnedSocket shell;
  ConnectSession(session, &shell);
  const std::uint32_t start = platform::TickCount();
  EXPECT_TRUE(session.ReadLines(100));
  testing::ExpectDuration(ElapsedSince(start), kTelnetMinReadWaitMs, "ReadLines(100)");
  EXPECT_EQ(session.Lines(), (Lines{""}));
}

TEST_F(TelnetSessionTest, OnlyTheFirst2045BytesAreLookedAtAndTheRestIsGone) {
  CTelnetSession session(m_profile);
  OwnedSocket shell;
  ConnectSession(session, &shell);
  // 3000 bytes: lines of 9 characters and CR LF (11 bytes each).
  std::string text;
  while (text.size() < 3000) text += "abcdefgh" + std::to_string(text.size() / 11 % 10) + "\r\n";
  text.resize(3000);
  ASSERT_TRUE(shell.SendAll(text));
  ASSERT_TRUE(session.ReadLines(500));
  // 2045 = 185 whole lines and 10 bytes of the next, which a CR LF ends.
  ASSERT_EQ(session.Lines().size(), 186u);
  EXPECT_EQ(session.Lines()[185], text.substr(185 * 11, 10));
  EXPECT_FALSE(session.Pieces().firstIsTail);
  EXPECT_TRUE(session.Pieces().lastIsCut) << "that last line lost its end";

  // The dropped bytes ended inside a line ("abcdefgh"): what comes next is
  // the rest of it.
  ASSERT_TRUE(shell.SendAll(std::string("after\r\n")));
  ASSERT_TRUE(session.ReadLines(500));
  EXPECT_EQ(session.Lines(), (Lines{"after"}));
  EXPECT_TRUE(session.Pieces().firstIsTail);
  EXPECT_FALSE(session.Pieces().lastIsCut);
}

// A shell whose version line is 2 KB long: the line loses its end to the
// 2045 bytes looked at, the prompt behind it is gone, and the rest of the
// line may still come with the next reply. Neither piece is a version, and
// the reply after them is read as if nothing had happened.
TEST_F(TelnetSessionTest, APieceOfALongLineIsNeverTakenForAVersion) {
  CTelnetSession session(m_profile);
  OwnedSocket shell;
  ConnectSession(session, &shell);
  std::string target;
  const std::string echo = "nvram get app_version\r\n";
  ASSERT_TRUE(shell.SendAll(echo + "2.1.0.3.7 " + std::string(kTelnetMaxReplyBytes - echo.size(), 'x')));
  EXPECT_FALSE(session.Command("nvram get app_version\r\n", "#", 500)) << "the prompt was cut off";
  EXPECT_EQ(PickVersionLine(session.Lines(), target, session.Pieces()).result, VersionLine::kCut);

  ASSERT_TRUE(shell.SendAll(std::string("1.2.3.4.5 rest of it\r\nrouter:~# ")));
  EXPECT_TRUE(session.ReadLines(500));
  EXPECT_EQ(PickVersionLine(session.Lines(), target, session.Pieces()).result, VersionLine::kCut);
  EXPECT_TRUE(target.empty());

  ASSERT_TRUE(shell.SendAll(std::string("nvram get cfe_version\r\n1.0.0.2.5\r\nrouter:~# ")));
  EXPECT_TRUE(session.Command("nvram get cfe_version\r\n", "#", 500));
  EXPECT_TRUE(PickVersionLine(session.Lines(), target, session.Pieces()));
  EXPECT_EQ(target, "1.0.0.2.5");
}

TEST_F(TelnetSessionTest, AShellSendingWithoutEndCannotGrowTheBufferBeyondWhatIsLookedAt) {
  CTelnetSession session(m_profile);
  OwnedSocket shell;
  ConnectSession(session, &shell);
  ASSERT_TRUE(shell.SendAll(std::string(1 << 20, 'x')));
  platform::Sleep(200);
  EXPECT_LE(session.ReceiveCapacity(), 2 * kTelnetMaxReplyBytes);
  ASSERT_TRUE(session.ReadLines(500));
  EXPECT_EQ(session.Lines(), (Lines{std::string(kTelnetMaxReplyBytes, 'x')}));
}

TEST_F(TelnetSessionTest, ReceiveBufferGrowsFrom16To32For20Bytes) {
  CTelnetSession session(m_profile);
  EXPECT_EQ(session.ReceiveCapacity(), kTelnetInitialCapacity);
  OwnedSocket shell;
  ConnectSession(session, &shell);
  ASSERT_TRUE(shell.SendAll(std::string(18, 'x') + "\r\n"));
  ASSERT_TRUE(session.ReadLines(500));
  EXPECT_EQ(session.ReceiveCapacity(), 32u);
  EXPECT_EQ(session.Lines(), (Lines{std::string(18, 'x')}));
}

TEST_F(TelnetSessionTest, ConnectOnAConnectedSessionLeavesOneReceiverOnTheNewConnection) {
  CTelnetSession session(m_profile);
  OwnedSocket first;
  ConnectSession(session, &first);
  ASSERT_TRUE(first.SendAll(std::string("old text\r\n")));
  platform::Sleep(200);
  const std::size_t threads = ThreadCount();

  OwnedSocket second;
  ConnectSession(session, &second);
  EXPECT_EQ(ThreadCount(), threads);
  // The earlier connection was closed, and what it had sent is not read as
  // the new greeting.
  EXPECT_LT(first.ReadBytes(100, 1000).size(), 100u);
  ASSERT_TRUE(second.SendAll(std::string("login: ")));
  ASSERT_TRUE(session.ReadLines(500));
  EXPECT_EQ(session.Lines(), (Lines{"login: "}));
}

TEST_F(TelnetSessionTest, DisconnectAndDestructionEndTheReceiverPromptly) {
  const std::size_t before = BaselineThreadCount();
  {
    CTelnetSession session(m_profile);
    OwnedSocket shell;
    ConnectSession(session, &shell);
    if (ThreadsCounted()) {
      EXPECT_EQ(ThreadCount(), before + 1);
    }
    const std::uint32_t start = platform::TickCount();
    EXPECT_TRUE(session.Disconnect());
    testing::ExpectAtMost(ElapsedSince(start), kErrorPauseMs, "disconnect");
    EXPECT_EQ(ThreadCount(), before);
    EXPECT_TRUE(session.Disconnect());

    ConnectSession(session, &shell);
    shell.Close();  // the shell went away: the receiver pauses 1500 ms per receive
    platform::Sleep(200);
  }  // destruction must not wait out that pause, nor leave the thread behind
  EXPECT_EQ(ThreadCount(), before);
}

TEST_F(TelnetSessionTest, ConnectFailsOnABadHostOrAPortWithoutShell) {
  CTelnetSession session(m_profile);
  EXPECT_FALSE(session.Connect("router"));
  m_listener.Close();
  EXPECT_FALSE(session.Connect(kLoopback));
  EXPECT_FALSE(session.Port().IsOpen());
}

}  // namespace
}  // namespace orvane
