// netvigil and nvram as programs: the daemon runs in a network namespace of
// the test's own, pings with real ICMP (only 127.0.0.x inside that
// namespace), keeps its counters in a private store, logs to a private file
// and "reboots" through a stand-in that records that it ran. Where a test
// needs other traffic, a responder inside the namespace answers the daemon's
// request with datagrams it crafts itself.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "support/net_namespace.h"
#include "support/text_search.h"
#include "watchdog/nvram/nvram.h"
#include "watchdog/nvram/nvram_command.h"
#include "watchdog_test_support.h"

namespace {

using orvane::test::CommandResult;
using orvane::test::Contains;
using orvane::test::EnvironmentWith;
using orvane::test::IpCommand;
using orvane::test::NetNamespace;
using orvane::test::Pointers;
using orvane::test::RunCommand;
using watchdog_test::ReadFile;
using watchdog_test::SplitLines;
using watchdog_test::TempFolder;
using watchdog_test::WriteFile;

constexpr uint32_t kPassTimeoutMs = 30000;  // one start of the daemon, at most
constexpr uid_t kNobody = 65534;

// The processes whose parent is this test: the detached daemons (this test
// adopts them as their sub-reaper) and anything they left behind.
std::vector<pid_t> OwnChildren() {
  std::vector<pid_t> children;
  for (const std::string& name : watchdog_test::ListFolder("/proc")) {
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = ReadFile("/proc/" + name + "/stat");
    const size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) continue;
    // After the name: " S ppid ..."
    const pid_t parent = static_cast<pid_t>(atoi(stat.c_str() + close_paren + 4));
    if (parent == getpid()) children.push_back(static_cast<pid_t>(atoi(name.c_str())));
  }
  return children;
}

// ---- crafted ICMP ------------------------------------------------------------

using Bytes = std::vector<unsigned char>;

uint16_t Checksum(const Bytes& bytes) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) sum += (bytes[i] << 8) | bytes[i + 1];
  if (bytes.size() % 2 != 0) sum += bytes.back() << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// An IPv4 datagram from `source` to 127.0.0.1 carrying `icmp`, its ICMP
// checksum filled in (the kernel fills in the IPv4 header's).
Bytes Ipv4Icmp(const char* source, Bytes icmp) {
  icmp[2] = icmp[3] = 0;
  const uint16_t sum = Checksum(icmp);
  icmp[2] = static_cast<unsigned char>(sum >> 8);
  icmp[3] = static_cast<unsigned char>(sum);
  Bytes datagram(20, 0);
  datagram[0] = 0x45;
  datagram[2] = static_cast<unsigned char>((20 + icmp.size()) >> 8);
  datagram[3] = static_cast<unsigned char>(20 + icmp.size());
  datagram[8] = 64;  // time to live
  datagram[9] = IPPROTO_ICMP;
  inet_pton(AF_INET, source, &datagram[12]);
  inet_pton(AF_INET, "127.0.0.1", &datagram[16]);
  datagram.insert(datagram.end(), icmp.begin(), icmp.end());
  return datagram;
}

// `request` is the daemon's echo request as it arrived: IPv4 header and
// ICMP message.
Bytes ReplyTo(const Bytes& request, const char* source) {
  Bytes icmp(request.begin() + (request[0] & 0x0F) * 4, request.end());
  icmp[0] = 0;  // echo reply, everything else as asked
  return Ipv4Icmp(source, icmp);
}

// "Host unreachable" about the request: the daemon's ping fails at once.
Bytes UnreachableFor(const Bytes& request) {
  Bytes icmp = {3, 1, 0, 0, 0, 0, 0, 0};
  icmp.insert(icmp.end(), request.begin(), request.begin() + (request[0] & 0x0F) * 4 + 8);
  return Ipv4Icmp("127.0.0.1", icmp);
}

// Answers the first echo request seen inside a network namespace with
// crafted datagrams, sent through a raw socket that writes its own IPv4
// headers, then ends. The kernel's own echo replies are turned off in that
// namespace, so only crafted answers come back. A thread of the test: the
// namespace switch applies to that thread alone.
class Responder {
 public:
  using Craft = std::function<std::vector<Bytes>(const Bytes& request)>;

  Responder(const std::string& ns_path, Craft craft) : craft_(std::move(craft)) {
    thread_ = std::thread([this, ns_path] { Run(ns_path); });
    while (state_ == kStarting) orvane::platform::Sleep(1);
  }
  ~Responder() {
    if (thread_.joinable()) thread_.join();
  }
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;

  bool ready() const { return state_ != kFailed; }
  // Waits until the responder has ended; whether it answered a request.
  bool Answered() {
    if (thread_.joinable()) thread_.join();
    return state_ == kAnswered;
  }

 private:
  enum State { kStarting, kListening, kAnswered, kFailed, kNoRequest };

  void Run(const std::string& ns_path) {
    const int ns_fd = open(ns_path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool in_namespace = ns_fd >= 0 && setns(ns_fd, CLONE_NEWNET) == 0;
    if (ns_fd >= 0) close(ns_fd);
    const int in = in_namespace ? socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP) : -1;
    const int out = in_namespace ? socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW) : -1;
    const int quiet = open("/proc/sys/net/ipv4/icmp_echo_ignore_all", O_WRONLY | O_CLOEXEC);
    const bool ok = in >= 0 && out >= 0 && quiet >= 0 && write(quiet, "1", 1) == 1;
    if (quiet >= 0) close(quiet);
    state_ = ok ? kListening : kFailed;
    State end = kNoRequest;
    const uint32_t start = orvane::platform::TickCount();
    while (ok && !orvane::platform::TicksElapsed(start, 10000)) {
      pollfd readable{in, POLLIN, 0};
      if (poll(&readable, 1, 100) <= 0) continue;
      unsigned char buffer[1500];
      const ssize_t got = recv(in, buffer, sizeof buffer, 0);
      if (got < 28 || buffer[(buffer[0] & 0x0F) * 4] != 8) continue;  // not an echo request
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      for (const Bytes& datagram : craft_(Bytes(buffer, buffer + got))) {
        sendto(out, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      }
      end = kAnswered;
      break;
    }
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    if (ok) state_ = end;
  }

  Craft craft_;
  std::atomic<State> state_{kStarting};
  std::thread thread_;
};

class NetvigilDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.ok());
    ns_ = std::make_unique<NetNamespace>();
    if (!ns_->ok()) {
      GTEST_SKIP() << "network namespaces cannot be made here (" << ns_->error()
                   << "); the daemon's ICMP tests need root and ip netns";
    }
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    setenv("NVRAM_FILE", (folder_ / "nvram.txt").c_str(), 1);
    log_ = folder_ / "netvigil.log";
    marker_ = folder_ / "link.ppp0";
    record_ = folder_ / "reboots";
    bin_ = folder_ / "bin";
    ASSERT_EQ(mkdir(bin_.c_str(), 0755), 0);
    PutReboot(0);
  }

  // The stand-in reboot: shell built-ins only, since PATH holds nothing but
  // its folder. It records how many log lines the daemon had written and
  // whether the reboot record was in the store, then ends with `status` (a
  // failed reboot when not 0).
  void PutReboot(int status) {
    const std::string reboot = bin_ + "/reboot";
    WriteFile(reboot,
              "#!/bin/sh\n"
              "n=0\n"
              "while IFS= read -r line; do n=$((n+1)); done < \"$NETVIGIL_LOG_FILE\"\n"
              "stored=\n"
              "while IFS= read -r line; do\n"
              "  case \"$line\" in netvigil_last_reboot=?*) stored=' record stored';; esac\n"
              "done < \"$NVRAM_FILE\"\n"
              "echo \"$n$stored\" >> \"$REBOOT_RECORD\"\n"
              "exit " + std::to_string(status) + "\n");
    ASSERT_EQ(chmod(reboot.c_str(), 0755), 0);
    ASSERT_EQ(access(reboot.c_str(), X_OK), 0);
  }

  void TearDown() override {
    StopDaemons();
    ns_.reset();
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    unsetenv("NVRAM_FILE");
  }

  void Set(const char* key, const std::string& value) {
    ASSERT_EQ(nvram_set(key, value.c_str()), 0) << key;
  }
  std::string Get(const char* key) {
    const char* value = nvram_get(key);
    return value != nullptr ? value : "<missing>";
  }
  std::string Counters() { return Get("ping_address_index") + "," + Get("ping_times"); }
  void SetLink(bool up) {
    if (up) {
      WriteFile(marker_, "");
    } else {
      unlink(marker_.c_str());
    }
  }
  std::vector<std::string> LogLines() const { return SplitLines(ReadFile(log_)); }
  int CountLog(const std::string& part) const {
    int count = 0;
    for (const std::string& line : LogLines()) count += line.find(part) != std::string::npos;
    return count;
  }
  std::vector<int> Reboots() const {
    std::vector<int> lines;
    for (const std::string& line : SplitLines(ReadFile(record_))) lines.push_back(atoi(line.c_str()));
    return lines;
  }

  std::string NamespacePath() const { return "/run/netns/" + ns_->name(); }

  // Runs netvigil with `options` inside the namespace (as `nobody` when
  // asked) and returns once the process it started has ended: the daemon
  // has detached, or a foreground run is over. `capture` collects standard
  // output and error (not for the daemon: it keeps them open).
  CommandResult Run(std::vector<std::string> options, bool capture, bool unprivileged = false) {
    std::vector<std::string> environment = EnvironmentWith({
        "NVRAM_FILE=" + folder_ / "nvram.txt",
        "NETVIGIL_LOG_FILE=" + log_,
        "NETVIGIL_LINK_MARKER=" + marker_,
        "NETVIGIL_TIME_SCALE=" + time_scale_,
        "REBOOT_RECORD=" + record_,
        "PATH=" + bin_,
    });
    std::vector<char*> envp = Pointers(environment);
    const std::string ns_path = NamespacePath();
    options.insert(options.begin(), program_);
    std::vector<char*> argv = Pointers(options);
    CommandResult result;
    int out[2] = {-1, -1};
    if (capture && pipe(out) != 0) return result;
    const pid_t starter = fork();
    if (starter == 0) {
      if (capture) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(out[0]);
        close(out[1]);
      }
      const int ns_fd = open(ns_path.c_str(), O_RDONLY | O_CLOEXEC);
      if (ns_fd < 0 || setns(ns_fd, CLONE_NEWNET) != 0) _exit(120);
      if (unprivileged && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
                           setuid(kNobody) != 0)) {
        _exit(121);
      }
      execve(argv[0], argv.data(), envp.data());
      _exit(122);
    }
    if (capture) {
      close(out[1]);
      char buffer[512];
      for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) result.output.append(buffer, n);
      close(out[0]);
    }
    int status = 0;
    if (starter > 0 && waitpid(starter, &status, 0) == starter && WIFEXITED(status)) {
      result.exit_code = WEXITSTATUS(status);
    }
    return result;
  }

  // Starts the daemon and returns once it has detached.
  void Start(bool unprivileged = false) {
    ASSERT_EQ(Run({}, false, unprivileged).exit_code, 0)
        << "the starting process ends with 0 once detached";
  }

  // Waits for the detached daemon to end; its exit code, or -1 (time-out or
  // not a normal end).
  int WaitForEnd() {
    const uint32_t start = orvane::platform::TickCount();
    while (!orvane::platform::TicksElapsed(start, kPassTimeoutMs)) {
      int status = 0;
      const pid_t ended = waitpid(-1, &status, WNOHANG);
      if (ended > 0) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      if (ended < 0 && errno == ECHILD) return -1;
      orvane::platform::Sleep(5);
    }
    return -1;
  }

  // One start of the daemon that must end by itself, with status 0.
  void Pass() {
    Start();
    ASSERT_EQ(WaitForEnd(), 0);
  }

  bool WaitUntil(const std::function<bool()>& condition) {
    const uint32_t start = orvane::platform::TickCount();
    while (!orvane::platform::TicksElapsed(start, kPassTimeoutMs)) {
      if (condition()) return true;
      orvane::platform::Sleep(10);
    }
    return condition();
  }

  // Ends the daemons this test started that are still looping (the wait and
  // reboot paths never end by themselves), and whatever they left behind.
  void StopDaemons() {
    for (int round = 0; round < 50; ++round) {
      const std::vector<pid_t> children = OwnChildren();
      for (pid_t child : children) kill(child, SIGKILL);
      int status = 0;
      while (waitpid(-1, &status, WNOHANG) > 0) {
      }
      if (children.empty()) return;
      orvane::platform::Sleep(10);
    }
  }

  TempFolder folder_;
  std::unique_ptr<NetNamespace> ns_;
  std::string log_, marker_, record_, bin_;
  std::string time_scale_ = "0.01";
  std::string program_ = NETVIGIL_PROGRAM;  // the daemon with the file store
};

TEST_F(NetvigilDaemon, PingOfLoopbackSucceedsAndResetsCounters) {
  ASSERT_EQ(ns_->Ip({"link", "set", "lo", "up"}), "");
  SetLink(true);
  Set("remote_server_number", "1");
  Set("remote_server1", "127.0.0.1");
  Set("ping_address_index", "1");
  Set("ping_times", "3");
  Set("ping_out_times", "5");
  Set("success_interval", "1");
  Pass();
  EXPECT_EQ(Counters(), "1,1");
  EXPECT_EQ(ReadFile(log_),
            "[INFO] [     main:  341]:Netvigil start!\n"
            "[INFO] [     main:  381]:ping 127.0.0.1\n"
            "[INFO] [ netvigil:  277]:Receive success!\n"
            "[INFO] [     main:  391]:ping 127.0.0.1 success\n");
  EXPECT_TRUE(Reboots().empty());
}

TEST_F(NetvigilDaemon, HostNameIsResolvedForThePing) {
  // A name rather than a dotted address, resolved through this system's hosts
  // file: the test needs it to name loopback.
  const hostent* local = gethostbyname("localhost");
  if (local == nullptr || local->h_addrtype != AF_INET ||
      memcmp(local->h_addr_list[0], "\x7f\0\0\x01", 4) != 0) {
    GTEST_SKIP() << "localhost is not 127.0.0.1 on this system";
  }
  ASSERT_EQ(ns_->Ip({"link", "set", "lo", "up"}), "");
  SetLink(true);
  Set("remote_server_number", "1");
  Set("remote_server1", "localhost");
  Set("ping_address_index", "1");
  Set("ping_times", "2");
  Set("ping_out_times", "3");
  Set("success_interval", "1");
  Pass();
  EXPECT_EQ(Counters(), "1,1");
  EXPECT_EQ(CountLog("[     main:  391]:ping localhost success"), 1) << ReadFile(log_);
}

TEST_F(NetvigilDaemon, UnreachableServersMoveOnThenRebootAfterTheLastAttempt) {
  // The namespace's loopback stays down: every ping fails.
  time_scale_ = "0.005";  // the 180 s warning lasts 0.9 s
  SetLink(true);
  Set("remote_server_number", "2");
  Set("remote_server1", "127.0.0.1");
  Set("remote_server2", "127.0.0.1");
  Set("ping_address_index", "1");
  Set("ping_times", "1");
  Set("ping_out_times", "2");
  Set("ping_interval", "1");

  const char* expected[] = {"1,2", "2,1", "2,2"};
  for (const char* counters : expected) {
    Pass();
    EXPECT_EQ(Counters(), counters);
  }
  EXPECT_TRUE(Reboots().empty());
  EXPECT_EQ(CountLog("[     main:  399]:ping 127.0.0.1 failure"), 3);
  EXPECT_EQ(CountLog("[ netvigil:  253]:Interrupt by isr in sleep!"), 3);  // no reply in 10 s

  // The fourth start finds the last server's attempts used up: the warning,
  // 180 s, the reboot; then, the router still up, the loop goes on.
  Start();
  ASSERT_TRUE(WaitUntil([&] { return Reboots().size() >= 2; })) << ReadFile(log_);
  StopDaemons();

  const std::vector<std::string> lines = LogLines();
  const std::vector<int> reboots = Reboots();
  ASSERT_GE(reboots[0], 1);
  ASSERT_LE(reboots[0], static_cast<int>(lines.size()));
  // The first reboot ran right after the need-reboot line.
  EXPECT_EQ(lines[reboots[0] - 1],
            "[INFO] [     main:  404]:ping 127.0.0.1 fail, need reboot after 180 seconds!");
  EXPECT_EQ(CountLog(":  404]:"), 2);
  // After the reboot command closed the socket, the next ping used a new one:
  // it waited for a reply (253) instead of failing on a dead descriptor (266).
  int waits_after_reboot = 0;
  for (size_t i = static_cast<size_t>(reboots[0]); i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].find(":  266]:"), std::string::npos) << lines[i];
    waits_after_reboot += lines[i].find(":  253]:") != std::string::npos;
  }
  EXPECT_GE(waits_after_reboot, 1);
  EXPECT_EQ(Counters(), "2,2");  // the reboot path leaves the counters alone
}

TEST_F(NetvigilDaemon, TwoServersOverFourStarts) {
  // Server 1 (127.0.0.2) has no route inside the namespace; server 2 answers.
  ASSERT_EQ(ns_->Ip({"link", "set", "lo", "up"}), "");
  ASSERT_EQ(ns_->Ip({"route", "add", "unreachable", "127.0.0.2/32", "table", "local"}), "");
  SetLink(true);
  Set("remote_server_number", "2");
  Set("remote_server1", "127.0.0.2");
  Set("remote_server2", "127.0.0.1");
  Set("ping_address_index", "1");
  Set("ping_times", "1");
  Set("ping_out_times", "3");
  Set("success_interval", "1");

  const char* expected[] = {"1,2", "1,3", "2,1", "1,1"};
  for (const char* counters : expected) {
    Pass();
    EXPECT_EQ(Counters(), counters);
  }
  EXPECT_EQ(CountLog("ping 127.0.0.2 failure"), 3);
  EXPECT_EQ(CountLog("ping 127.0.0.1 success"), 1);
  EXPECT_EQ(LogLines().back(), "[INFO] [     main:  391]:ping 127.0.0.1 success");
  EXPECT_TRUE(Reboots().empty());
}

TEST_F(NetvigilDaemon, WithoutTheRawSocketEveryPingFailsQuietly) {
  // As `nobody` the raw socket cannot be opened; the daemon must count the
  // failure without sending anything or touching an invalid descriptor.
  ASSERT_EQ(ns_->Ip({"link", "set", "lo", "up"}), "");
  SetLink(true);
  Set("remote_server_number", "1");
  Set("remote_server1", "127.0.0.1");
  Set("ping_address_index", "1");
  Set("ping_times", "1");
  Set("ping_out_times", "3");
  ASSERT_EQ(chmod(folder_.path().c_str(), 0777), 0);
  for (const char* name : {"nvram.txt", "nvram.txt.lock"}) {
    ASSERT_EQ(chown((folder_ / name).c_str(), kNobody, kNobody), 0);
  }
  Start(/*unprivileged=*/true);
  ASSERT_EQ(WaitForEnd(), 0);
  EXPECT_EQ(Counters(), "1,2");
  EXPECT_EQ(ReadFile(log_),
            "[INFO] [     main:  341]:Netvigil start!\n"
            "[INFO] [     main:  381]:ping 127.0.0.1\n"
            "[INFO] [     main:  399]:ping 127.0.0.1 failure\n");
}

TEST_F(NetvigilDaemon, LinkDownRebootsUnlessDiallingOnDemand) {
  Set("remote_server_number", "1");
  Set("remote_server1", "127.0.0.1");
  Set("reboot_interval", "1");
  SetLink(false);

  // Exactly "2": the daemon waits for ever and never reboots.
  Set("wan_ppp_demand", "2");
  Start();
  ASSERT_TRUE(WaitUntil([&] { return CountLog(":  433]:") >= 5; }));
  StopDaemons();
  EXPECT_TRUE(Reboots().empty());
  EXPECT_EQ(CountLog(":  440]:"), 0);
  EXPECT_EQ(CountLog(":  381]:"), 0);  // no ping while the link is down
  EXPECT_EQ(LogLines()[1],
            "[INFO] [     main:  433]:Wait for 1 seconds to establish the PPP connection!");

  // Anything else is not "2": after the wait, the reboot.
  for (const char* demand : {"20", "2 ", ""}) {
    unlink(log_.c_str());
    unlink(record_.c_str());
    Set("wan_ppp_demand", demand);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return !Reboots().empty(); })) << "demand '" << demand << "'";
    StopDaemons();
    const std::vector<std::string> lines = LogLines();
    const int at_reboot = Reboots()[0];
    ASSERT_GE(at_reboot, 3);
    EXPECT_EQ(lines[at_reboot - 2],
              "[INFO] [     main:  433]:Wait for 1 seconds to establish the PPP connection!");
    EXPECT_EQ(lines[at_reboot - 1],
              "[INFO] [     main:  440]:PPP can not be establish in 1 seconds!");
  }
}

TEST_F(NetvigilDaemon, NoServerConfiguredWaitsAndNeverPings) {
  Set("remote_server_number", "0");
  Set("remote_server1", "127.0.0.1");
  Set("reboot_interval", "1");
  SetLink(true);
  Start();
  ASSERT_TRUE(WaitUntil([&] { return CountLog(":  350]:") >= 5; }));
  StopDaemons();
  EXPECT_EQ(CountLog(":  381]:"), 0);
  EXPECT_TRUE(Reboots().empty());
  EXPECT_EQ(LogLines()[1],
            "[INFO] [     main:  350]:No IP addres configurate, wait for 1 seconds to establish "
            "the PPP connection!");

  // With the link down as well, the wait ends in a reboot.
  unlink(log_.c_str());
  SetLink(false);
  Set("wan_ppp_demand", "0");
  Start();
  ASSERT_TRUE(WaitUntil([&] { return !Reboots().empty(); }));
  StopDaemons();
  const std::vector<std::string> lines = LogLines();
  const int at_reboot = Reboots()[0];
  ASSERT_GE(at_reboot, 1);
  EXPECT_EQ(lines[at_reboot - 1],
            "[INFO] [     main:  363]:PPP can not be establish in 1 seconds, need reboot!");
}

TEST_F(NetvigilDaemon, OnlyTheReplyToItsOwnRequestCountsAsSuccess) {
  // Crafted answers to the daemon's request. After a wrong one comes "host
  // unreachable" about the request: the daemon fails on that (306) only if
  // it passed the wrong one over, and the wrong one had arrived by then.
  ASSERT_EQ(ns_->Ip({"link", "set", "lo", "up"}), "");
  time_scale_ = "0.05";  // half a second for the answer
  SetLink(true);
  Set("remote_server_number", "1");
  Set("remote_server1", "127.0.0.1");
  Set("ping_out_times", "5");
  Set("success_interval", "1");
  struct Case {
    const char* what;
    Responder::Craft craft;
    bool answered;
  };
  const Case cases[] = {
      {"another program's reply",
       [](const Bytes& request) {
         Bytes reply = ReplyTo(request, "127.0.0.1");
         reply[20 + 4] ^= 0x5A;  // its identifier
         return std::vector<Bytes>{Ipv4Icmp("127.0.0.1", Bytes(reply.begin() + 20, reply.end())),
                                   UnreachableFor(request)};
       },
       false},
      {"a reply with a forged source",
       [](const Bytes& request) {
         return std::vector<Bytes>{ReplyTo(request, "127.0.0.2"), UnreachableFor(request)};
       },
       false},
      {"the reply from the pinged address",
       [](const Bytes& request) { return std::vector<Bytes>{ReplyTo(request, "127.0.0.1")}; },
       true},
  };
  for (const Case& c : cases) {
    unlink(log_.c_str());
    Set("ping_address_index", "1");
    Set("ping_times", "1");
    Responder responder(NamespacePath(), c.craft);
    ASSERT_TRUE(responder.ready()) << "no raw sockets in the namespace";
    Pass();
    EXPECT_TRUE(responder.Answered()) << c.what << ": the daemon's request was not seen";
    EXPECT_EQ(CountLog("[ netvigil:  277]:Receive success!"), c.answered ? 1 : 0) << c.what;
    EXPECT_EQ(CountLog("[ netvigil:  306]:Receive failure!"), c.answered ? 0 : 1) << c.what;
    EXPECT_EQ(Counters(), c.answered ? "1,1" : "1,2") << c.what;
  }
}

TEST_F(NetvigilDaemon, UnusableRebootIntervalNeitherSpinsNorRebootsAtOnce) {
  Set("remote_server_number", "1");
  Set("remote_server1", "127.0.0.1");
  SetLink(false);

  // 0 while dialling on demand: one fault line, then the shipped 300 s wait
  // per pass instead of the same line over and over.
  time_scale_ = "0.001";  // 300 s in 0.3 s
  Set("reboot_interval", "0");
  Set("wan_ppp_demand", "2");
  Start();
  orvane::platform::Sleep(700);
  StopDaemons();
  EXPECT_EQ(CountLog("[ settings:  510]:Settings fault: reboot_interval is \"0\", using 300"), 1);
  const int waits = CountLog("[     main:  433]:Wait for 300 seconds to establish the PPP connection!");
  EXPECT_GE(waits, 2);
  EXPECT_LE(waits, 5);
  EXPECT_EQ(LogLines().size(), static_cast<size_t>(2 + waits));

  // Negative, not dialling on demand: no failing sleep and no reboot before
  // the 300 s are over.
  time_scale_ = "0.01";  // 300 s in 3 s
  unlink(log_.c_str());
  Set("reboot_interval", "-5");
  Set("wan_ppp_demand", "0");
  Start();
  orvane::platform::Sleep(700);
  StopDaemons();
  EXPECT_TRUE(Reboots().empty());
  EXPECT_EQ(ReadFile(log_),
            "[INFO] [     main:  341]:Netvigil start!\n"
            "[INFO] [ settings:  510]:Settings fault: reboot_interval is \"-5\", using 300\n"
            "[INFO] [     main:  433]:Wait for 300 seconds to establish the PPP connection!\n");
}

TEST_F(NetvigilDaemon, RebootIsRecordedForTheNextStartAndTheGapHoldsTheNextOneBack) {
  Set("remote_server_number", "1");
  Set("remote_server1", "127.0.0.1");
  Set("ping_address_index", "1");
  Set("reboot_interval", "1");
  Set("wan_ppp_demand", "0");
  SetLink(false);
  const long long before = time(nullptr);
  Start();
  ASSERT_TRUE(WaitUntil([&] { return !Reboots().empty(); }));
  StopDaemons();
  const long long after = time(nullptr);
  ASSERT_TRUE(Contains(ReadFile(record_), " record stored")) << "stored before reboot ran";
  const std::string record = Get("netvigil_last_reboot");
  long long when = 0;
  char reason[16] = {};
  ASSERT_EQ(sscanf(record.c_str(), "time=%lld server=1 reason=%15s", &when, reason), 2) << record;
  EXPECT_STREQ(reason, "no-link");
  EXPECT_GE(when, before);
  EXPECT_LE(when, after);

  // The next start logs the record once and clears it; with a least gap of
  // an hour the link wait's reboot is held back.
  unlink(log_.c_str());
  unlink(record_.c_str());
  Set("netvigil_min_reboot_gap", "3600");
  Start();
  ASSERT_TRUE(WaitUntil([&] { return CountLog(":  446]:Reboot held back") >= 2; }));
  StopDaemons();
  EXPECT_TRUE(Reboots().empty());
  EXPECT_EQ(LogLines()[1], "[INFO] [     main:  343]:Last reboot by netvigil: " + record);
  EXPECT_EQ(CountLog(":  343]:"), 1);
  EXPECT_EQ(Get("netvigil_last_reboot"), "");
}

TEST_F(NetvigilDaemon, MissingSettingsAreTakenAsTheShippedDefaults) {
  // What the package ships; the daemon must fall back to no harsher values.
  std::map<std::string, std::string> shipped = watchdog_test::DefaultsOf(NETVIGIL_DEFAULTS_SCRIPT);
  const int attempts = atoi(shipped["ping_out_times"].c_str());
  ASSERT_GT(attempts, 1) << "more than one attempt is needed to tell the fallback from 1";
  ASSERT_FALSE(shipped["ping_interval"].empty());
  ASSERT_FALSE(shipped["success_interval"].empty());

  // Loopback down: every ping fails. No ping_out_times, no ping_interval.
  SetLink(true);
  Set("remote_server_number", "1");
  Set("remote_server1", "127.0.0.1");
  Set("ping_address_index", "1");
  Set("ping_times", "1");
  for (int attempt = 2; attempt <= attempts; ++attempt) {
    Pass();
    EXPECT_EQ(Counters(), "1," + std::to_string(attempt));
  }
  EXPECT_TRUE(Reboots().empty()) << ReadFile(log_);
  const std::string fault = "[ settings:  510]:Settings fault: ping_out_times is \"0\", using ";
  EXPECT_EQ(CountLog(fault + shipped["ping_out_times"]), attempts - 1);  // once per start

  // The shipped number of failures reached: the reboot, then the shipped
  // pause after it.
  Start();
  ASSERT_TRUE(WaitUntil([&] { return CountLog(":  510]:Settings fault: ping_interval") == 1; }))
      << ReadFile(log_);
  StopDaemons();
  EXPECT_EQ(Reboots().size(), 1u);
  EXPECT_EQ(LogLines().back(), "[INFO] [ settings:  510]:Settings fault: ping_interval is \"\", using " +
                                   shipped["ping_interval"]);

  // A ping that is answered rests for the shipped success_interval.
  ASSERT_EQ(ns_->Ip({"link", "set", "lo", "up"}), "");
  const CommandResult dry = Run({"--dry-run"}, true);
  EXPECT_EQ(dry.exit_code, 0) << dry.output;
  EXPECT_TRUE(Contains(dry.output, "[INFO] [ settings:  510]:Settings fault: success_interval is "
                                   "\"\", using " + shipped["success_interval"] +
                                   "\ndry-run: would pause " + shipped["success_interval"] +
                                   " seconds (success_interval)\n"));
}

TEST_F(NetvigilDaemon, UnreadableStoreSkipsThePassWithNothingCountedOrWritten) {
  // The daemon with the `command` store, reading through a stand-in nvram
  // that fails one read of one key, then hands every call to the project's
  // nvram program. Loopback down: the ping fails, so the pass would count.
  program_ = NETVIGIL_COMMAND_STORE_PROGRAM;
  const std::string never_written = folder_ / "never-written";
  ASSERT_EQ(mkfifo(never_written.c_str(), 0600), 0);
  const std::string failed = folder_ / "failed-once";
  SetLink(true);
  Set("remote_server_number", "1");
  Set("remote_server1", "127.0.0.1");
  Set("ping_out_times", "3");
  struct Case {
    const char* key;
    std::string failure;  // the stand-in's shell text for its one failure
    std::string why;
    std::string log_before;  // the pass's lines before the unreadable one
  };
  const std::string counted = "[INFO] [     main:  341]:Netvigil start!\n"
                              "[INFO] [     main:  381]:ping 127.0.0.1\n"
                              "[INFO] [ netvigil:  229]:Error!\n"  // no route to send on
                              "[INFO] [ netvigil:  253]:Interrupt by isr in sleep!\n"
                              "[INFO] [     main:  399]:ping 127.0.0.1 failure\n";
  const Case cases[] = {
      {"ping_out_times", "exit 3", "nvram get ended with exit status 3", counted},
      // Opening a FIFO that nobody writes blocks: the read runs out of time.
      {"ping_out_times", "exec 3<'" + never_written + "'",
       "nvram get did not end within " + std::to_string(kNvramCommandTimeoutMs) + " ms", counted},
      // At start: no ping at all.
      {"ping_times", "kill -9 $$", "nvram get was ended by signal 9",
       "[INFO] [     main:  341]:Netvigil start!\n"},
  };
  for (const Case& c : cases) {
    unlink(log_.c_str());
    unlink(failed.c_str());
    Set("ping_address_index", "1");
    Set("ping_times", "1");
    const std::string nvram = bin_ + "/nvram";
    WriteFile(nvram, std::string("#!/bin/sh\n") +
                         "if [ \"$1 $2\" = 'get " + c.key + "' ] && [ ! -e '" + failed + "' ]; then\n"
                         "  : > '" + failed + "'\n  " + c.failure + "\nfi\n"
                         "exec '" NVRAM_PROGRAM "' \"$@\"\n");
    ASSERT_EQ(chmod(nvram.c_str(), 0755), 0);
    const std::string store = ReadFile(folder_ / "nvram.txt");

    Pass();
    EXPECT_EQ(ReadFile(log_), c.log_before + "[INFO] [ settings:  511]:Settings unreadable: " +
                                  c.key + " (" + c.why + "), pass skipped\n");
    EXPECT_EQ(ReadFile(folder_ / "nvram.txt"), store) << c.why << ": nothing written";
    EXPECT_TRUE(Reboots().empty()) << c.why;

    // The store answers again: the next start counts its failure.
    Pass();
    EXPECT_EQ(Counters(), "1,2") << c.why;
    EXPECT_EQ(CountLog(":  511]:"), 1) << c.why;
    EXPECT_EQ(CountLog(":  510]:"), 0) << c.why << ": no settings fault";
  }
}

TEST_F(NetvigilDaemon, FailedRebootCommandIsRetriedWithoutTheGapHoldingItBack) {
  // The last attempt of the last server fails (loopback down), with a least
  // gap of an hour between reboots and one that ran long ago.
  time_scale_ = "0.002";  // the 180 s warning lasts 0.36 s
  SetLink(true);
  Set("remote_server_number", "1");
  Set("remote_server1", "127.0.0.1");
  Set("ping_out_times", "1");
  Set("ping_interval", "600");  // 1.2 s between a failed reboot and the next ping
  Set("netvigil_min_reboot_gap", "3600");
  struct Case {
    const char* what;
    int status;  // of the stand-in reboot; -1: no reboot on PATH
    std::string result;
    bool retried;
  };
  const Case cases[] = {
      {"reboot exits with 1", 1, "exit-1", true},
      {"no reboot on PATH", -1, "not-started", true},
      {"reboot exits with 0 and the router stays up", 0, "exit-0", false},
  };
  for (const Case& c : cases) {
    unlink(log_.c_str());
    unlink(record_.c_str());
    unlink((bin_ + "/reboot").c_str());
    if (c.status >= 0) PutReboot(c.status);
    Set("ping_address_index", "1");
    Set("ping_times", "1");
    Set("netvigil_last_reboot", "");
    Set("netvigil_last_reboot_time", "1000");
    const long long before = time(nullptr);
    Start();
    // Two tries, or one and the guard's answer to the second.
    const std::string second = c.retried ? ":  447]:Reboot failed" : ":  446]:Reboot held back";
    ASSERT_TRUE(WaitUntil([&] { return CountLog(second) >= (c.retried ? 2 : 1); }))
        << c.what << "\n" << ReadFile(log_);
    StopDaemons();

    EXPECT_EQ(CountLog(":  404]:"), 2) << c.what;
    EXPECT_EQ(CountLog(":  446]:"), c.retried ? 0 : 1) << c.what;
    if (c.status >= 0) {
      EXPECT_EQ(Reboots().size(), c.retried ? 2u : 1u) << c.what;
      EXPECT_TRUE(Contains(ReadFile(record_), " record stored")) << "stored before reboot ran";
    }
    // The record tells what the command did; the guard's time moved only for
    // a command that did not fail.
    long long when = 0;
    char result[32] = {};
    const std::string record = Get("netvigil_last_reboot");
    ASSERT_EQ(sscanf(record.c_str(), "time=%lld server=1 reason=unreachable result=%31s", &when,
                     result),
              2)
        << c.what << ": " << record;
    EXPECT_EQ(result, c.result) << c.what;
    EXPECT_GE(when, before) << c.what;
    if (c.retried) {
      EXPECT_EQ(Get("netvigil_last_reboot_time"), "1000") << c.what;
      const std::string how = c.status >= 0 ? "ended with exit status 1"
                                            : "could not be started, errno " + std::to_string(ENOENT);
      EXPECT_EQ(CountLog("[     main:  447]:Reboot failed: reboot " + how + "; the loop tries again"),
                2)
          << c.what;
    } else {
      EXPECT_EQ(Get("netvigil_last_reboot_time"), std::to_string(when)) << c.what;
    }
  }
}

TEST_F(NetvigilDaemon, DryRunPrintsThePassAndStoresOnlyWithWrite) {
  ASSERT_EQ(ns_->Ip({"link", "set", "lo", "up"}), "");
  SetLink(true);
  Set("remote_server_number", "1");
  Set("remote_server1", "127.0.0.1");
  Set("ping_address_index", "1");
  Set("ping_times", "2");
  Set("ping_out_times", "3");
  Set("success_interval", "60");

  const CommandResult dry = Run({"--dry-run"}, true);
  EXPECT_EQ(dry.exit_code, 0) << dry.output;
  EXPECT_TRUE(Contains(dry.output, "dry-run: counters before: ping_address_index=1 ping_times=2\n"
                                   "dry-run: server 1 of 1 (remote_server1) is \"127.0.0.1\", attempt 2\n"
                                   "[INFO] [     main:  381]:ping 127.0.0.1\n"
                                   "[INFO] [ netvigil:  277]:Receive success!\n"
                                   "dry-run: would store ping_address_index=1 (--write stores it)\n"
                                   "dry-run: would store ping_times=1 (--write stores it)\n"
                                   "[INFO] [     main:  391]:ping 127.0.0.1 success\n"
                                   "dry-run: would pause 60 seconds (success_interval)\n"));
  EXPECT_EQ(Counters(), "1,2");
  EXPECT_NE(access(log_.c_str(), F_OK), 0) << "the log file stays untouched";

  const CommandResult written = Run({"--dry-run", "--write"}, true);
  EXPECT_EQ(written.exit_code, 0) << written.output;
  EXPECT_TRUE(Contains(written.output, "dry-run: stores ping_times=1\n"));
  EXPECT_EQ(Counters(), "1,1");
}

TEST_F(NetvigilDaemon, DryRunOfTheLastAttemptTellsOfTheRebootWithoutRunningIt) {
  // Loopback down: the ping fails; the last attempt of the last server.
  SetLink(true);
  Set("remote_server_number", "1");
  Set("remote_server1", "127.0.0.1");
  Set("ping_address_index", "1");
  Set("ping_times", "1");
  Set("ping_out_times", "1");
  Set("ping_interval", "1");
  const CommandResult dry = Run({"--dry-run", "--write"}, true);
  EXPECT_EQ(dry.exit_code, 1);
  EXPECT_TRUE(Contains(dry.output,
                       "[INFO] [     main:  404]:ping 127.0.0.1 fail, need reboot after 180 seconds!\n"
                       "dry-run: would pause 180 seconds (before the reboot)\n"
                       "dry-run: would store netvigil_last_reboot=time="));
  EXPECT_TRUE(Contains(dry.output, " server=1 reason=unreachable\ndry-run: would run reboot\n"));
  EXPECT_TRUE(Reboots().empty());
  EXPECT_EQ(Get("netvigil_last_reboot"), "<missing>");
  EXPECT_EQ(Counters(), "1,1");
}

TEST_F(NetvigilDaemon, OptionsOtherThanTheKnownOnesAreUsageErrors) {
  const CommandResult version = Run({"--version"}, true);
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.output.rfind("netvigil ", 0), 0u) << version.output;
  EXPECT_EQ(orvane::test::LinesOf(version.output).size(), 1u) << version.output;
  EXPECT_EQ(Run({"--help"}, true).exit_code, 0);
  const std::vector<std::pair<std::vector<std::string>, std::string>> errors = {
      {{"--bogus"}, "netvigil: unknown option '--bogus'\n"},
      {{"--write"}, "netvigil: --write needs --dry-run\n"},
      {{"dry-run"}, "netvigil: unknown option 'dry-run'\n"},
      {{"--version", "--dry-run"}, "netvigil: --version takes no other option\n"}};
  for (const auto& [options, complaint] : errors) {
    const CommandResult result = Run(options, true);
    EXPECT_EQ(result.exit_code, 2) << options[0];
    EXPECT_EQ(result.output.rfind(complaint + "usage: netvigil [--dry-run", 0), 0u) << result.output;
  }
  // None of them started the daemon.
  EXPECT_NE(access(log_.c_str(), F_OK), 0);
  EXPECT_TRUE(OwnChildren().empty());
}

// ---- TCP probes, the recovery, the reboot cap, the start-up delay -------------

// The daemon with the optional settings: a firewall (nftables) inside the
// test's namespace, TCP listeners there, a stand-in recovery program and a
// stand-in uptime file.
class NetvigilOptions : public NetvigilDaemon {
 protected:
  void SetUp() override {
    NetvigilDaemon::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    uptime_ = folder_ / "uptime";
    recoveries_ = folder_ / "recoveries";
  }
  void TearDown() override {
    unsetenv("NETVIGIL_UPTIME_FILE");
    if (listener_ >= 0) close(listener_);
    NetvigilDaemon::TearDown();
  }

  // nft inside the namespace; empty when it worked, else what it said.
  std::string Nft(const std::vector<std::string>& args) {
    std::vector<std::string> command = {IpCommand(), "netns", "exec", ns_->name(), nft_};
    command.insert(command.end(), args.begin(), args.end());
    const CommandResult result = RunCommand(command);
    return result.exit_code == 0 ? "" : "nft failed: " + result.output;
  }
  // Drops what `match` matches on its way into the namespace's host.
  std::string Drop(const std::vector<std::string>& match) {
    if (!table_) {
      const std::string made = Nft({"add", "table", "inet", "nvtest"});
      if (!made.empty()) return made;
      const std::string chain = Nft({"add", "chain", "inet", "nvtest", "input",
                                     "{ type filter hook input priority 0 ; }"});
      if (!chain.empty()) return chain;
      table_ = true;
    }
    std::vector<std::string> rule = {"add", "rule", "inet", "nvtest", "input"};
    rule.insert(rule.end(), match.begin(), match.end());
    rule.push_back("drop");
    return Nft(rule);
  }
  bool HaveNft() {
    nft_ = orvane::test::FindProgram({"/usr/sbin/nft", "/sbin/nft", "/usr/bin/nft", "/bin/nft"});
    return !nft_.empty();
  }

  // A TCP port on the namespace's 127.0.0.1 that listens (the kernel
  // completes the handshake without an accept) until StopListening.
  uint16_t Listen() {
    uint16_t port = 0;
    const std::string ns_path = NamespacePath();
    std::thread([&] {
      const int ns_fd = open(ns_path.c_str(), O_RDONLY | O_CLOEXEC);
      if (ns_fd < 0 || setns(ns_fd, CLONE_NEWNET) != 0) return;
      close(ns_fd);
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t length = sizeof address;
      if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
          listen(fd, 8) == 0 &&
          getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        listener_ = fd;
        port = ntohs(address.sin_port);
      } else if (fd >= 0) {
        close(fd);
      }
    }).join();
    return port;
  }
  void StopListening() {
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
  }

  // The stand-in recovery: records that it ran, then does `then` (shell
  // built-ins, or programs by their full path).
  void PutRecovery(const std::string& then) {
    const std::string recover = bin_ + "/recover";
    WriteFile(recover, "#!/bin/sh\necho ran >> '" + recoveries_ + "'\n" + then + "\n");
    ASSERT_EQ(chmod(recover.c_str(), 0755), 0);
    Set("netvigil_recover_cmd", recover);
  }
  int Recoveries() const { return static_cast<int>(SplitLines(ReadFile(recoveries_)).size()); }

  // The last attempt of the only server, 127.0.0.1, with the link up.
  void LastAttemptOfLoopback() {
    SetLink(true);
    Set("remote_server_number", "1");
    Set("remote_server1", "127.0.0.1");
    Set("ping_address_index", "1");
    Set("ping_times", "1");
    Set("ping_out_times", "1");
  }

  std::string nft_;
  bool table_ = false;
  int listener_ = -1;
  std::string uptime_, recoveries_;
};

TEST_F(NetvigilOptions, TcpProbeAnswersWhereIcmpIsDroppedAndFailsOnlyWithoutAnyAnswer) {
  if (!HaveNft()) GTEST_SKIP() << "nft is missing (apt-get install nftables)";
  ASSERT_EQ(ns_->Ip({"link", "set", "lo", "up"}), "");
  ASSERT_EQ(Drop({"meta", "l4proto", "icmp"}), "");
  SetLink(true);
  Set("remote_server_number", "1");
  Set("ping_out_times", "3");
  Set("success_interval", "1");
  auto pass = [&](const std::string& server, const char* times) {
    unlink(log_.c_str());
    Set("remote_server1", server);
    Set("ping_address_index", "1");
    Set("ping_times", times);
    Pass();
  };

  // The host is up, but its echo requests are dropped: a ping counts a failure.
  pass("127.0.0.1", "1");
  EXPECT_EQ(Counters(), "1,2");
  EXPECT_EQ(CountLog("[ netvigil:  253]:Interrupt by isr in sleep!"), 1) << ReadFile(log_);

  // A TCP probe of a port that listens: answered, the counters reset.
  const uint16_t listening = Listen();
  ASSERT_NE(listening, 0) << "no listener in the namespace";
  const std::string server = "tcp:127.0.0.1:" + std::to_string(listening);
  pass(server, "2");
  EXPECT_EQ(Counters(), "1,1");
  EXPECT_EQ(ReadFile(log_), "[INFO] [     main:  341]:Netvigil start!\n"
                            "[INFO] [     main:  381]:ping " + server + "\n"
                            "[INFO] [ netvigil:  280]:Connected to TCP port " +
                                std::to_string(listening) + "!\n"
                            "[INFO] [     main:  391]:ping " + server + " success\n");

  // The listener gone, the host still refuses the connection: it answers.
  StopListening();
  pass(server, "2");
  EXPECT_EQ(Counters(), "1,1");
  EXPECT_EQ(CountLog("[ netvigil:  281]:TCP port " + std::to_string(listening) +
                     " refused: the host answers!"), 1) << ReadFile(log_);

  // The host silent to TCP as well: nothing answers within the 10 s, counted.
  ASSERT_EQ(Drop({"tcp", "dport", std::to_string(listening)}), "");
  pass(server, "1");
  EXPECT_EQ(Counters(), "1,2");
  EXPECT_EQ(CountLog("[ netvigil:  282]:No TCP answer from port " + std::to_string(listening) +
                     " in time!"), 1) << ReadFile(log_);
  EXPECT_EQ(CountLog("[     main:  399]:ping " + server + " failure"), 1);

  // Not a TCP probe that can be made: it fails at once, counted like an
  // unknown name.
  pass("tcp:127.0.0.1:0", "1");
  EXPECT_EQ(Counters(), "1,2");
  EXPECT_EQ(CountLog(":  399]:ping tcp:127.0.0.1:0 failure"), 1);
  EXPECT_TRUE(Reboots().empty());
}

TEST_F(NetvigilOptions, RecoveryRunsOnceWhenARebootIsDueAndTheRebootWaitsOnePass) {
  if (!HaveNft()) GTEST_SKIP() << "nft is missing (apt-get install nftables)";
  ASSERT_EQ(ns_->Ip({"link", "set", "lo", "up"}), "");
  time_scale_ = "0.002";  // the 180 s warning lasts 0.36 s; the recovery's 60 s, 0.12 s
  Set("ping_interval", "1");
  Set("success_interval", "1");
  const std::string never_written = folder_ / "never-written";
  ASSERT_EQ(mkfifo(never_written.c_str(), 0600), 0);
  struct Case {
    const char* what;
    std::string then;  // what the stand-in does after recording its run
    std::string how;   // the line that tells how it ended
    std::string result;
    bool restores;
  };
  const Case cases[] = {
      // The stand-in makes the server reachable: the firewall's rules go.
      {"a recovery that restores the link", "exec '" + nft_ + "' flush ruleset",
       "ended with exit status 0", "exit-0", true},
      {"a recovery that does not help", "exit 3", "ended with exit status 3", "exit-3", false},
      // Opening a FIFO that nobody writes blocks: past its time-out it is killed.
      {"a recovery that hangs", "exec 3<'" + never_written + "'", "was killed after seconds: 60",
       "timeout", false},
  };
  for (const Case& c : cases) {
    unlink(log_.c_str());
    unlink(record_.c_str());
    unlink(recoveries_.c_str());
    ASSERT_EQ(Drop({"meta", "l4proto", "icmp"}), "") << c.what;
    LastAttemptOfLoopback();
    PutRecovery(c.then);
    const std::string command = bin_ + "/recover";
    Start();
    if (c.restores) {
      ASSERT_EQ(WaitForEnd(), 0) << c.what << ": the pass after the recovery ends the process\n"
                                 << ReadFile(log_);
      EXPECT_TRUE(Reboots().empty()) << c.what;
      EXPECT_EQ(Counters(), "1,1") << c.what;
      EXPECT_EQ(LogLines().back(),
                "[INFO] [     main:  453]:127.0.0.1 answers after the recovery: no reboot");
    } else {
      // The next pass fails again: the reboot follows, and the loop goes on
      // rebooting without running the recovery again.
      ASSERT_TRUE(WaitUntil([&] { return Reboots().size() >= 2; })) << c.what << "\n"
                                                                    << ReadFile(log_);
      StopDaemons();
      EXPECT_EQ(CountLog(":  454]:No answer after the recovery: the reboot is due"),
                static_cast<int>(Reboots().size()))
          << c.what;
      const std::vector<std::string> lines = LogLines();
      EXPECT_EQ(lines[Reboots()[0] - 1],
                "[INFO] [     main:  454]:No answer after the recovery: the reboot is due")
          << c.what;
    }
    EXPECT_EQ(Recoveries(), 1) << c.what;
    EXPECT_EQ(CountLog("[     main:  449]:Reboot due: running " + command + " first"), 1) << c.what;
    EXPECT_EQ(CountLog("[     main:  450]:Recovery " + command + " " + c.how +
                       "; the reboot waits one pass"),
              1)
        << c.what << "\n" << ReadFile(log_);
    long long when = 0;
    char result[32] = {};
    const std::string record = Get("netvigil_last_recover");
    ASSERT_EQ(sscanf(record.c_str(), "time=%lld server=1 reason=unreachable result=%31s", &when,
                     result),
              2)
        << c.what << ": " << record;
    EXPECT_EQ(result, c.result) << c.what;
    Nft({"flush", "ruleset"});
    table_ = false;
  }
}

TEST_F(NetvigilOptions, CapHoldsBackTheFourthRebootWithinTheWindowAcrossStarts) {
  // Loopback down: every ping fails; each start reboots once and then rests
  // in the long ping_interval until the test ends it.
  time_scale_ = "0.002";  // the window of 3600 s lasts 7.2 s
  LastAttemptOfLoopback();
  Set("ping_interval", "3600");
  Set("netvigil_max_reboots", "3");
  Set("netvigil_reboot_window", "3600");
  const long long before = time(nullptr);
  for (size_t n = 1; n <= 3; ++n) {
    Start();
    ASSERT_TRUE(WaitUntil([&] { return Reboots().size() == n; })) << n << "\n" << ReadFile(log_);
    StopDaemons();
    long long since = 0;
    int count = 0;
    ASSERT_EQ(sscanf(Get("netvigil_reboot_count").c_str(), "%lld %d", &since, &count), 2);
    EXPECT_EQ(count, static_cast<int>(n));
    EXPECT_GE(since, before);
  }
  const std::string full = Get("netvigil_reboot_count");

  // The fourth start within the window: held back, once per pass.
  unlink(log_.c_str());
  Start();
  ASSERT_TRUE(WaitUntil([&] { return CountLog(":  448]:") >= 1; })) << ReadFile(log_);
  orvane::platform::Sleep(200);
  StopDaemons();
  EXPECT_EQ(Reboots().size(), 3u);
  EXPECT_EQ(CountLog(":  448]:"), 1) << "one pass, one line";
  EXPECT_TRUE(Contains(ReadFile(log_), "[     main:  448]:Reboot held back: 3 reboots within "
                                       "3600 seconds (netvigil_max_reboots), the next one in "));
  EXPECT_EQ(Get("netvigil_reboot_count"), full);

  // A reboot command that fails is not counted.
  const long long now = time(nullptr);
  const std::string one = std::to_string(now) + " 1";
  Set("netvigil_reboot_count", one);
  PutReboot(1);
  Start();
  ASSERT_TRUE(WaitUntil([&] { return CountLog(":  447]:Reboot failed") >= 1; })) << ReadFile(log_);
  StopDaemons();
  EXPECT_EQ(Get("netvigil_reboot_count"), one);

  // Once the window has passed, the next reboot runs and starts a new one.
  PutReboot(0);
  Set("netvigil_reboot_count", std::to_string(now - 60) + " 3");  // 30000 s of daemon time ago
  const size_t ran = Reboots().size();
  Start();
  ASSERT_TRUE(WaitUntil([&] { return Reboots().size() == ran + 1; })) << ReadFile(log_);
  StopDaemons();
  long long since = 0;
  int count = 0;
  ASSERT_EQ(sscanf(Get("netvigil_reboot_count").c_str(), "%lld %d", &since, &count), 2);
  EXPECT_EQ(count, 1);
  EXPECT_GE(since, now);
}

TEST_F(NetvigilOptions, StartDelayIsCountedFromTheSystemsBoot) {
  ASSERT_EQ(ns_->Ip({"link", "set", "lo", "up"}), "");
  SetLink(true);
  Set("remote_server_number", "1");
  Set("remote_server1", "127.0.0.1");
  Set("ping_address_index", "1");
  Set("ping_times", "1");
  Set("success_interval", "1");
  Set("netvigil_start_delay", "300");
  setenv("NETVIGIL_UPTIME_FILE", uptime_.c_str(), 1);  // handed on to the daemon
  struct Case {
    const char* uptime;  // the file's text; null: no file
    std::string line;    // the delay's line, empty for none
    double seconds;      // the wait, real time at scale 0.01
  };
  const Case cases[] = {
      {"100.52 180.11\n", "[INFO] [     main:  460]:Start-up delay: up 100 seconds, the first probe in 200 seconds", 2.0},
      {"300.00 600.00\n", "", 0.0},
      {"86400.00 1.00\n", "", 0.0},
      {nullptr, "[INFO] [     main:  461]:Start-up delay: no uptime in " + uptime_ + ", waiting all 300 seconds", 3.0},
  };
  for (const Case& c : cases) {
    const std::string what = c.uptime != nullptr ? c.uptime : "no uptime file";
    unlink(log_.c_str());
    if (c.uptime != nullptr) {
      WriteFile(uptime_, c.uptime);
    } else {
      unlink(uptime_.c_str());
    }
    const uint32_t start = orvane::platform::TickCount();
    Pass();
    const double took = (orvane::platform::TickCount() - start) / 1000.0;
    const std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 3u) << what;
    if (c.line.empty()) {
      EXPECT_EQ(CountLog("Start-up delay"), 0) << what;
      EXPECT_LT(took, 1.5) << what;
    } else {
      EXPECT_EQ(lines[1], c.line) << what;  // before the first probe
      EXPECT_GE(took, c.seconds) << what;
      EXPECT_LT(took, c.seconds + 3.0) << what;
    }
    EXPECT_EQ(lines[c.line.empty() ? 1 : 2], "[INFO] [     main:  381]:ping 127.0.0.1") << what;
    EXPECT_EQ(Counters(), "1,1") << what;
  }
}

TEST_F(NetvigilOptions, DryRunTellsEachDecisionOfTheOptionalSettings) {
  // The start-up delay, then a TCP probe that is answered.
  ASSERT_EQ(ns_->Ip({"link", "set", "lo", "up"}), "");
  SetLink(true);
  const uint16_t port = Listen();
  ASSERT_NE(port, 0);
  Set("remote_server_number", "1");
  Set("remote_server1", "tcp:127.0.0.1:" + std::to_string(port));
  Set("ping_address_index", "1");
  Set("ping_times", "1");
  Set("ping_out_times", "1");
  Set("success_interval", "60");
  Set("netvigil_start_delay", "120");
  setenv("NETVIGIL_UPTIME_FILE", uptime_.c_str(), 1);
  WriteFile(uptime_, "20.00 30.00\n");
  CommandResult dry = Run({"--dry-run"}, true);
  EXPECT_EQ(dry.exit_code, 0) << dry.output;
  EXPECT_TRUE(Contains(dry.output,
                       "[INFO] [     main:  460]:Start-up delay: up 20 seconds, the first probe in 100 seconds\n"
                       "dry-run: would pause 100 seconds (netvigil_start_delay)\n"));
  EXPECT_TRUE(Contains(dry.output, "dry-run: a TCP connection to port " + std::to_string(port) +
                                       " of 127.0.0.1 answers (opened or refused)\n"));
  WriteFile(uptime_, "500.00 30.00\n");
  dry = Run({"--dry-run"}, true);
  EXPECT_TRUE(Contains(dry.output, "dry-run: up 500 seconds, netvigil_start_delay is 120: no wait\n"));

  // The last attempt fails (the host silent to TCP): the recovery comes
  // first; without one, the cap's count.
  StopListening();
  Set("remote_server1", "tcp:127.0.0.1:x");
  Set("netvigil_recover_cmd", "/usr/local/sbin/restart-ppp");
  dry = Run({"--dry-run"}, true);
  EXPECT_EQ(dry.exit_code, 1) << dry.output;
  EXPECT_TRUE(Contains(dry.output, "dry-run: not a TCP probe (tcp:HOST:PORT, port 1-65535): the probe fails\n"));
  EXPECT_TRUE(Contains(dry.output, "dry-run: would run the recovery /usr/local/sbin/restart-ppp "
                                   "(killed after 60 seconds) instead of reboot, which waits one pass\n"
                                   "dry-run: would store netvigil_last_recover=time="));
  EXPECT_FALSE(Contains(dry.output, "would run reboot"));
  Set("netvigil_recover_cmd", "");
  Set("netvigil_max_reboots", "3");
  Set("netvigil_reboot_window", "3600");
  const long long now = time(nullptr);
  Set("netvigil_reboot_count", std::to_string(now) + " 1");
  dry = Run({"--dry-run"}, true);
  EXPECT_TRUE(Contains(dry.output, "dry-run: would store netvigil_reboot_count=" + std::to_string(now) +
                                       " 2: reboot 2 of 3 within 3600 seconds\n"
                                       "dry-run: would run reboot\n"));
  Set("netvigil_reboot_count", std::to_string(now) + " 3");
  dry = Run({"--dry-run"}, true);
  EXPECT_TRUE(Contains(dry.output, "(netvigil_max_reboots), the next one in "));
  EXPECT_TRUE(Contains(dry.output, "dry-run: no reboot now\n"));
  // Nothing of it stored, nothing run.
  EXPECT_EQ(Get("netvigil_reboot_count"), std::to_string(now) + " 3");
  EXPECT_EQ(Get("netvigil_last_recover"), "<missing>");
  EXPECT_TRUE(Reboots().empty());
}

// ---- the nvram command ------------------------------------------------------

class NvramCommand : public ::testing::Test {
 protected:
  CommandResult Nvram(std::vector<std::string> args) {
    args.insert(args.begin(), NVRAM_PROGRAM);
    return RunCommand(args, {"NVRAM_FILE=" + folder_ / "nvram.txt"});
  }
  TempFolder folder_;
};

TEST_F(NvramCommand, SetsGetsShowsAndUnsets) {
  ASSERT_TRUE(folder_.ok());
  EXPECT_EQ(Nvram({"set", "remote_server1=127.0.0.1"}).exit_code, 0);
  EXPECT_EQ(Nvram({"set", "note=a=b"}).exit_code, 0);
  EXPECT_EQ(Nvram({"set", "empty="}).exit_code, 0);

  const CommandResult got = Nvram({"get", "note"});
  EXPECT_EQ(got.exit_code, 0);
  EXPECT_EQ(got.output, "a=b\n");
  const CommandResult missing = Nvram({"get", "nothing"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.output, "");

  EXPECT_EQ(Nvram({"show"}).output, "remote_server1=127.0.0.1\nnote=a=b\nempty=\n");
  EXPECT_EQ(Nvram({"unset", "note"}).exit_code, 0);
  EXPECT_EQ(Nvram({"show"}).output, "remote_server1=127.0.0.1\nempty=\n");
}

TEST_F(NvramCommand, RefusesMalformedRequests) {
  ASSERT_TRUE(folder_.ok());
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"get"}, {"set", "novalue"}, {"set", "=value"}, {"unset", "a=b"}, {"erase", "x"},
           {"show", "extra"}}) {
    const CommandResult result = Nvram(args);
    EXPECT_EQ(result.exit_code, 2) << (args.empty() ? "(none)" : args[0]);
    EXPECT_NE(result.output.find("usage: nvram"), std::string::npos);
  }
  EXPECT_EQ(Nvram({"show"}).output, "");  // nothing was stored
}

}  // namespace
