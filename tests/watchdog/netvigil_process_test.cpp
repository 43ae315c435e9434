// netvigil and nvram as programs: the daemon runs in a network namespace of
// the test's own, pings with real ICMP (only 127.0.0.x inside that
// namespace), keeps its counters in a private store, logs to a private file
// and "reboots" through a stand-in that records that it ran.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "watchdog/nvram/nvram.h"
#include "watchdog_test_support.h"

extern char** environ;

namespace {

using watchdog_test::ReadFile;
using watchdog_test::SplitLines;
using watchdog_test::TempFolder;
using watchdog_test::WriteFile;

constexpr uint32_t kPassTimeoutMs = 30000;  // one start of the daemon, at most
constexpr uid_t kNobody = 65534;

// The environment of this process with `overrides` ("NAME=value") in place.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& overrides) {
  std::set<std::string> replaced;
  for (const std::string& entry : overrides) replaced.insert(entry.substr(0, entry.find('=')));
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (replaced.count(text.substr(0, text.find('='))) == 0) result.push_back(text);
  }
  result.insert(result.end(), overrides.begin(), overrides.end());
  return result;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

struct CommandResult {
  int exit_code = -1;  // -1: did not end normally
  std::string output;  // standard output and error together
};

CommandResult RunCommand(std::vector<std::string> argv, std::vector<std::string> env = {}) {
  std::vector<std::string> environment = EnvironmentWith(env);
  std::vector<char*> args = Pointers(argv);
  std::vector<char*> envp = Pointers(environment);
  int out[2];
  CommandResult result;
  if (pipe(out) != 0) return result;
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(out[1], STDERR_FILENO);
    close(out[0]);
    close(out[1]);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  char buffer[512];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) result.output.append(buffer, n);
  close(out[0]);
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  }
  return result;
}

std::string IpCommand() {
  for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "ip";
}

// A network namespace of this test's own, removed when the object goes.
class NetNamespace {
 public:
  NetNamespace() {
    static int count = 0;
    name_ = "nvtest-" + std::to_string(getpid()) + "-" + std::to_string(++count);
    if (geteuid() != 0) {
      error_ = "not running as root";
      return;
    }
    const CommandResult made = RunCommand({IpCommand(), "netns", "add", name_});
    if (made.exit_code != 0) {
      error_ = "ip netns add failed: " + made.output;
      return;
    }
    made_ = true;
  }
  ~NetNamespace() {
    if (made_) RunCommand({IpCommand(), "netns", "del", name_});
  }
  NetNamespace(const NetNamespace&) = delete;
  NetNamespace& operator=(const NetNamespace&) = delete;

  bool ok() const { return made_; }
  const std::string& error() const { return error_; }
  const std::string& name() const { return name_; }

  // Runs `ip -n <namespace> args...`; returns its output when it fails.
  std::string Ip(std::vector<std::string> args) const {
    args.insert(args.begin(), {IpCommand(), "-n", name_});
    const CommandResult result = RunCommand(args);
    return result.exit_code == 0 ? "" : "ip failed: " + result.output;
  }

 private:
  std::string name_;
  std::string error_;
  bool made_ = false;
};

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
    // The stand-in reboot: shell built-ins only, since PATH holds nothing but
    // its folder. It records how many log lines the daemon had written.
    const std::string reboot = bin_ + "/reboot";
    WriteFile(reboot,
              "#!/bin/sh\n"
              "n=0\n"
              "while IFS= read -r line; do n=$((n+1)); done < \"$NETVIGIL_LOG_FILE\"\n"
              "echo \"$n\" >> \"$REBOOT_RECORD\"\n");
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

  // Starts netvigil inside the namespace (as `nobody` when asked) and returns
  // once the starting process has ended, i.e. the daemon has detached.
  void Start(bool unprivileged = false) {
    std::vector<std::string> environment = EnvironmentWith({
        "NVRAM_FILE=" + folder_ / "nvram.txt",
        "NETVIGIL_LOG_FILE=" + log_,
        "NETVIGIL_LINK_MARKER=" + marker_,
        "NETVIGIL_TIME_SCALE=" + time_scale_,
        "REBOOT_RECORD=" + record_,
        "PATH=" + bin_,
    });
    std::vector<char*> envp = Pointers(environment);
    const std::string ns_path = "/run/netns/" + ns_->name();
    char program[] = NETVIGIL_PROGRAM;
    char* argv[] = {program, nullptr};
    const pid_t starter = fork();
    ASSERT_GE(starter, 0);
    if (starter == 0) {
      const int ns_fd = open(ns_path.c_str(), O_RDONLY | O_CLOEXEC);
      if (ns_fd < 0 || setns(ns_fd, CLONE_NEWNET) != 0) _exit(120);
      if (unprivileged && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
                           setuid(kNobody) != 0)) {
        _exit(121);
      }
      execve(program, argv, envp.data());
      _exit(122);
    }
    int status = 0;
    ASSERT_EQ(waitpid(starter, &status, 0), starter);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "the starting process ends with 0 once detached";
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
