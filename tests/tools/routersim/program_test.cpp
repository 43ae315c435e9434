// orvane-routersim as a program: its flags, its three lines, and its end by
// SIGTERM; and the flag parsing behind it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "orvane_version.h"
#include "platform/clock.h"
#include "routersim/routersim_cli.h"
#include "support/frames.h"
#include "support/text_search.h"
#include "tools/routersim/loopback_client.h"

extern char** environ;

namespace orvane::routersim {
namespace {

using orvane::test::Contains;
using orvane::test::Framed;
using orvane::test::Unframed;

constexpr std::uint32_t kStartWaitMs = 20000;  // a sanitizer build starts slowly
constexpr std::uint32_t kReplyWaitMs = 2000;

std::optional<CliOptions> Parse(std::vector<const char*> args, int* status, std::string* errText = nullptr) {
  args.insert(args.begin(), "orvane-routersim");
  std::ostringstream out;
  std::ostringstream err;
  auto options = ParseRouterSimArgs(static_cast<int>(args.size()), args.data(), out, err, status);
  if (errText) *errText = err.str();
  return options;
}

TEST(RouterSimFlags, EveryFlagReachesTheConfig) {
  int status = -1;
  const auto options = Parse({"--bind", "127.0.0.2", "--telnet-port", "2323", "--port", "2324", "--control-port",
                              "2325", "--ip", "192.168.1.1", "--mac", "00:11:22:33:44:55", "--discovery-version", "1.0.0.9.9",
                              "--set", "app_version=2.0.0.0.1", "--set", "wan_ifname=ppp0", "--result-code", "3",
                              "--result-delay", "1500", "--rate", "921600", "--time-scale", "0.05", "--silent-control", "--refuse-telnet",
                              "--close-relay-after", "0", "--corrupt-next-reply"},
                             &status);
  ASSERT_TRUE(options);
  EXPECT_EQ(0, status);
  const Config& c = options->config;
  EXPECT_EQ("127.0.0.2", c.bindAddress);
  EXPECT_EQ(2323, c.telnetPort);
  EXPECT_EQ(2324, c.relayPort);
  EXPECT_EQ(2325, c.controlPort);
  EXPECT_EQ((Ipv4{192, 168, 1, 1}), c.ip);
  EXPECT_EQ((Mac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}), c.mac);
  EXPECT_EQ("1.0.0.9.9", c.versionText);
  EXPECT_EQ("2.0.0.0.1", c.settings.at("app_version"));
  EXPECT_EQ("1.0.0.2.5", c.settings.at("cfe_version")) << "defaults stay unless overridden";
  EXPECT_EQ("ppp0", c.settings.at("wan_ifname"));
  EXPECT_EQ(3u, c.resultCode);
  EXPECT_EQ(1500u, c.resultDelayMs);
  EXPECT_EQ(921600u, c.moduleLinkBitsPerSecond);
  EXPECT_DOUBLE_EQ(0.05, options->timeScale);
  EXPECT_TRUE(c.faults.silentControl);
  EXPECT_TRUE(c.faults.refuseTelnet);
  EXPECT_EQ(std::optional<std::uint64_t>(0), c.faults.closeRelayAfter) << "0 is a value, not 'off'";
  EXPECT_TRUE(c.faults.corruptNextReply);

  const auto defaults = Parse({}, &status);
  ASSERT_TRUE(defaults);
  EXPECT_EQ("127.0.0.1", defaults->config.bindAddress);
  EXPECT_EQ(0, defaults->config.relayPort);
  EXPECT_FALSE(defaults->config.faults.closeRelayAfter);
  EXPECT_FALSE(defaults->config.ip);
  EXPECT_EQ(0u, defaults->config.moduleLinkBitsPerSecond) << "no limit unless asked";
}

TEST(RouterSimFlags, BadValuesAreUsageErrors) {
  const std::vector<std::vector<const char*>> bad = {
      {"--mac", "00:11:22:33:44"}, {"--ip", "1.2.3"},        {"--bind", "localhost"},
      {"--set", "novalue"},         {"--port", "65536"},      {"--discovery-version", "0123456789012345678901"},
      {"--time-scale", "0"},        {"--result-code", "-1"},  {"--rate", "fast"},
      {"--no-such-flag"}};
  for (const auto& args : bad) {
    int status = -1;
    std::string err;
    EXPECT_FALSE(Parse(args, &status, &err)) << args[0];
    EXPECT_EQ(kExitUsage, status) << args[0];
    EXPECT_FALSE(err.empty()) << args[0];
  }
}

TEST(RouterSimFlags, VersionIsTheProjectsOwn) {
  const char* args[] = {"orvane-routersim", "--version"};
  std::ostringstream out, err;
  int status = -1;
  EXPECT_FALSE(ParseRouterSimArgs(2, args, out, err, &status));
  EXPECT_EQ(kExitOk, status);
  EXPECT_EQ(out.str(), std::string("orvane-routersim ") + ORVANE_VERSION_FULL + "\n");
}

// The program started with a pipe on its standard output.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    args.insert(args.begin(), ORVANE_ROUTERSIM_PROGRAM);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&m_pid, ORVANE_ROUTERSIM_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    m_out = fds[0];
  }
  ~Program() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) ::close(m_out);
  }

  pid_t Pid() const { return m_pid; }

  // The next line of its output, or nothing within `waitMs`.
  std::optional<std::string> ReadLine(std::uint32_t waitMs) {
    const std::uint32_t start = platform::TickCount();
    while (true) {
      const std::size_t end = m_text.find('\n');
      if (end != std::string::npos) {
        std::string line = m_text.substr(0, end);
        m_text.erase(0, end + 1);
        return line;
      }
      const std::uint32_t spent = platform::TickCount() - start;
      if (spent >= waitMs) return std::nullopt;
      pollfd p{m_out, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(platform::ToRealMs(waitMs - spent))) <= 0) return std::nullopt;
      char buffer[256];
      const ssize_t n = ::read(m_out, buffer, sizeof buffer);
      if (n <= 0) return std::nullopt;
      m_text.append(buffer, static_cast<std::size_t>(n));
    }
  }

  // Waits for the program to end; its wait status, or nothing.
  std::optional<int> WaitExit(std::uint32_t waitMs) {
    const std::uint32_t start = platform::TickCount();
    do {
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return status;
      }
      platform::Sleep(20);
    } while (!platform::TicksElapsed(start, waitMs));
    return std::nullopt;
  }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
  std::string m_text;
};

std::uint16_t PortOf(const std::string& line, const std::string& service) {
  const std::regex pattern(service + " 127\\.0\\.0\\.1:([0-9]+)");
  std::smatch match;
  if (!std::regex_match(line, match, pattern)) return 0;
  return static_cast<std::uint16_t>(std::stoi(match[1]));
}

TEST(RouterSimProgram, PrintsItsServicesServesAndEndsOnSigterm) {
  Program program({"--set", "app_version=9.8.7.6.5", "--mac", "02:aa:bb:cc:dd:ee"});
  ASSERT_GT(program.Pid(), 0);
  const auto telnetLine = program.ReadLine(kStartWaitMs);
  const auto relayLine = program.ReadLine(kReplyWaitMs);
  const auto controlLine = program.ReadLine(kReplyWaitMs);
  ASSERT_TRUE(telnetLine && relayLine && controlLine);
  const std::uint16_t telnetPort = PortOf(*telnetLine, "telnet");
  const std::uint16_t relayPort = PortOf(*relayLine, "relay");
  const std::uint16_t controlPort = PortOf(*controlLine, "control");
  ASSERT_NE(0, telnetPort) << *telnetLine;
  ASSERT_NE(0, relayPort) << *relayLine;
  ASSERT_NE(0, controlPort) << *controlLine;

  test::TcpClient telnet;
  ASSERT_TRUE(telnet.Connect(telnetPort));
  telnet.ReadText(kReplyWaitMs, "login: ");
  telnet.Send("qmbzx\r\n");
  telnet.ReadText(kReplyWaitMs, "Password: ");
  telnet.Send("qmbzx\r\n");
  telnet.ReadText(kReplyWaitMs, "# ");
  telnet.Send("nvram get app_version\r\n");
  EXPECT_TRUE(Contains(telnet.ReadText(kReplyWaitMs, "# "), "\r\n9.8.7.6.5\r\n"));

  test::UdpClient udp;
  std::vector<std::uint8_t> request(32, 0);
  request[0] = 1;
  ASSERT_TRUE(udp.SendTo(controlPort, Framed(request, true)));
  const auto reply = udp.Receive(kReplyWaitMs);
  ASSERT_TRUE(reply);
  const auto packet = Unframed(*reply);
  ASSERT_TRUE(packet);
  EXPECT_EQ((std::vector<std::uint8_t>{0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}),
            std::vector<std::uint8_t>(packet->begin() + 5, packet->begin() + 11));

  test::TcpClient relay;
  EXPECT_TRUE(relay.Connect(relayPort));

  ASSERT_EQ(0, ::kill(program.Pid(), SIGTERM));
  const auto status = program.WaitExit(kStartWaitMs);
  ASSERT_TRUE(status) << "still running after SIGTERM";
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(0, WEXITSTATUS(*status));
  EXPECT_FALSE(telnet.Connect(telnetPort)) << "its ports are closed";
}

TEST(RouterSimProgram, UsageErrorEndsAtOnceWithStatus2) {
  Program program({"--mac", "nonsense"});
  ASSERT_GT(program.Pid(), 0);
  const auto status = program.WaitExit(kStartWaitMs);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(kExitUsage, WEXITSTATUS(*status));
}

}  // namespace
}  // namespace orvane::routersim
