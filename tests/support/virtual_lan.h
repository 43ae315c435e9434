#pragma once
// A router's LAN made of network namespaces, with the real addresses: the
// PC's namespace and the router's joined by a veth pair, the PC side
// 192.168.1.2/24 and the router side 192.168.1.1/24. The addresses exist
// only inside the namespaces this object made; it removes them when it goes.
// Programs run inside either namespace (`ip netns exec`): the updater in the
// PC's with its default network profile, the simulator in the router's on
// the real ports.
//
// Options make the PC's usual faults: no address on the router's network,
// an office adapter on 192.168.1.x configured before the router's, an
// nftables rule that drops the router's UDP answers, and a second router on
// the same LAN (a bridge inside the router's namespace plays the switch). The
// office adapter leads to an empty namespace of its own.
// An optional egress rate limit (tc tbf) on the PC's veth shapes the link.
//
// Linux and root only: Error() says why the LAN could not be made, for the
// test's GTEST_SKIP.
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/network_profile.h"
#include "platform/clock.h"
#include "support/net_namespace.h"

namespace orvane::test {

// The real router's LAN.
inline constexpr const char* kLanRouterAddress = "192.168.1.1";
inline constexpr const char* kLanPcAddress = "192.168.1.2";
inline constexpr const char* kLanSecondRouterAddress = "192.168.1.3";
inline constexpr const char* kLanOfficeAddress = "192.168.1.100";
inline constexpr const char* kLanPrefix = "/24";
// Adapter names inside the namespaces.
inline constexpr const char* kLanAdapter = "lan0";        // the PC's and each router's end of the LAN
inline constexpr const char* kOfficeAdapter = "office0";  // the PC's other adapter on 192.168.1.x
inline constexpr const char* kSwitchName = "switch0";     // the router namespace's bridge (second router)
inline constexpr const char* kSecondRouterLink = "lan1";  // router's side of the second router's veth

struct VirtualLanOptions {
  // The PC's adapter towards the router has 192.168.1.2/24; false: it is up
  // but has no IPv4 address (a PC on another network).
  bool pcOnRouterNetwork = true;
  // An adapter "office0" with 192.168.1.100/24 is configured on the PC before
  // the router's adapter, so that routes to 192.168.1.x lead there first.
  bool officeAdapterFirst = false;
  // An nftables rule in the PC's namespace drops every UDP datagram from
  // port 1280 (the router's control answers); TCP passes.
  bool dropRouterUdp = false;
  // A second router namespace on the same LAN with 192.168.1.3/24.
  bool secondRouter = false;
  // tc tbf rate on the PC's veth ("100mbit"); empty: not shaped.
  std::string pcEgressRate;
};

// A program started in a namespace, ended by SIGTERM (then SIGKILL) and
// reaped when the object goes.
class LanProcess {
 public:
  LanProcess(const LanProcess&) = delete;
  LanProcess& operator=(const LanProcess&) = delete;
  ~LanProcess() { Stop(); }

  // Starts `argv`; its standard output is kept for WaitForLines, standard
  // error goes to this process's (or, with `withErrors`, is kept with it).
  static std::unique_ptr<LanProcess> Start(std::vector<std::string> argv, bool withErrors = false) {
    std::unique_ptr<LanProcess> process(new LanProcess);
    int out[2];
    if (pipe(out) != 0) return nullptr;
    std::vector<char*> args = Pointers(argv);
    const pid_t child = fork();
    if (child == 0) {
      dup2(out[1], STDOUT_FILENO);
      if (withErrors) dup2(out[1], STDERR_FILENO);
      close(out[0]);
      close(out[1]);
      execvp(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    if (child < 0) {
      close(out[0]);
      return nullptr;
    }
    process->m_pid = child;
    process->m_out = out[0];
    return process;
  }

  // Reads standard output until it holds `count` lines, within `timeoutMs`
  // of system time; false when the program ended or the time ran out.
  bool WaitForLines(int count, std::uint32_t timeoutMs) {
    const std::uint32_t start = platform::TickCount();
    for (;;) {
      int lines = 0;
      for (const char c : m_output) lines += c == '\n' ? 1 : 0;
      if (lines >= count) return true;
      const std::uint32_t elapsed = platform::TickCount() - start;
      if (elapsed >= timeoutMs) return false;
      pollfd fd{m_out, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(platform::ToRealMs(timeoutMs - elapsed))) <= 0) continue;
      char buffer[256];
      const ssize_t n = read(m_out, buffer, sizeof buffer);
      if (n <= 0) return false;
      m_output.append(buffer, static_cast<std::size_t>(n));
    }
  }
  const std::string& Output() const { return m_output; }

  // Reads standard output until `text` has appeared `count` times, within
  // `timeoutMs` of system time; false when the program ended or the time ran
  // out first.
  bool WaitForText(const std::string& text, int count, std::uint32_t timeoutMs) {
    const std::uint32_t start = platform::TickCount();
    for (;;) {
      int seen = 0;
      for (std::size_t at = m_output.find(text); at != std::string::npos; at = m_output.find(text, at + 1)) ++seen;
      if (seen >= count) return true;
      const std::uint32_t elapsed = platform::TickCount() - start;
      if (elapsed >= timeoutMs || !ReadSome(timeoutMs - elapsed)) return false;
    }
  }

  // Reads standard output to its end and waits for the program's exit
  // status, within `timeoutMs` of system time; -1 when it did not end in
  // time (it is left running) or a signal ended it. `usage`, when given,
  // gets the program's resource use (its CPU time, its peak resident size);
  // `whileRunning` is called with its process id between reads.
  int WaitForExit(std::uint32_t timeoutMs, rusage* usage = nullptr,
                  const std::function<void(pid_t)>& whileRunning = {}) {
    const std::uint32_t start = platform::TickCount();
    while (m_pid > 0) {
      int status = 0;
      rusage used{};
      if (wait4(m_pid, &status, WNOHANG, &used) == m_pid) {
        m_pid = -1;
        if (usage != nullptr) *usage = used;
        while (ReadSome(0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (whileRunning) whileRunning(m_pid);
      const std::uint32_t elapsed = platform::TickCount() - start;
      if (elapsed >= timeoutMs) return -1;
      if (!ReadSome(std::min<std::uint32_t>(timeoutMs - elapsed, kStopPollMs))) platform::Sleep(kStopPollMs);
    }
    return -1;
  }
  // The program's process id while it runs; -1 once it has been reaped.
  pid_t Pid() const { return m_pid; }

  // Sends `signal` to the program.
  void Signal(int signal) const {
    if (m_pid > 0) kill(m_pid, signal);
  }

  void Stop() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      int status = 0;
      // A simulator ends within its service thread's next slice; one that
      // does not is killed.
      const std::uint32_t start = platform::TickCount();
      while (waitpid(m_pid, &status, WNOHANG) == 0) {
        if (platform::TicksElapsed(start, kStopTimeoutMs)) {
          kill(m_pid, SIGKILL);
          waitpid(m_pid, &status, 0);
          break;
        }
        platform::Sleep(kStopPollMs);
      }
      m_pid = -1;
    }
    if (m_out >= 0) close(m_out);
    m_out = -1;
  }

 private:
  static constexpr std::uint32_t kStopTimeoutMs = 5000;
  static constexpr std::uint32_t kStopPollMs = 20;
  LanProcess() = default;
  // One read of what has arrived within `timeoutMs`; false at the output's
  // end or when nothing came.
  bool ReadSome(std::uint32_t timeoutMs) {
    if (m_out < 0) return false;
    pollfd fd{m_out, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(platform::ToRealMs(timeoutMs))) <= 0) return false;
    char buffer[512];
    const ssize_t n = read(m_out, buffer, sizeof buffer);
    if (n <= 0) return false;
    m_output.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
  pid_t m_pid = -1;
  int m_out = -1;
  std::string m_output;
};

class VirtualLan {
 public:
  explicit VirtualLan(VirtualLanOptions options = {}) : m_options(std::move(options)) {
    m_pc = std::make_unique<NetNamespace>("lanpc");
    m_router = std::make_unique<NetNamespace>("lanrt");
    if (!m_pc->ok()) {
      Fail(m_pc->error());
    } else if (!m_router->ok()) {
      Fail(m_router->error());
    } else if (m_options.dropRouterUdp && FindProgram({"/usr/sbin/nft", "/sbin/nft", "/usr/bin/nft"}).empty()) {
      Fail("the nft program is not installed");
    } else if (!m_options.pcEgressRate.empty() && FindProgram({"/usr/sbin/tc", "/sbin/tc", "/usr/bin/tc"}).empty()) {
      Fail("the tc program is not installed");
    } else {
      Build();
    }
  }
  VirtualLan(const VirtualLan&) = delete;
  VirtualLan& operator=(const VirtualLan&) = delete;
  ~VirtualLan() {
    // Programs first: their namespaces go with the objects below.
    m_processes.clear();
  }

  bool ok() const { return m_error.empty(); }
  const std::string& Error() const { return m_error; }
  const NetNamespace& Pc() const { return *m_pc; }
  const NetNamespace& Router() const { return *m_router; }
  const NetNamespace* SecondRouter() const { return m_second.get(); }

  // Runs a program in the PC's namespace to its end.
  CommandResult RunOnPc(std::vector<std::string> argv) const { return RunCommand(m_pc->Exec(std::move(argv))); }

  // Starts the simulator program `routersim` in the router's namespace (or
  // the second router's) on the real ports, bound to every address so that
  // it takes the broadcast, announcing `ip`; `extra` are more of its flags.
  // Null when it did not come up (its reason went to standard error).
  LanProcess* StartRouterSim(const std::string& routersim, double timeScale, std::vector<std::string> extra = {},
                             bool second = false) {
    if (second && !m_second) return nullptr;
    const NetNamespace& where = second ? *m_second : *m_router;
    const std::string telnet = std::to_string(kDefaultTelnetPort);
    const std::string control = std::to_string(DISCOVERY_PORT);
    std::vector<std::string> argv = {routersim, "--bind", "0.0.0.0", "--ip",
                                     second ? kLanSecondRouterAddress : kLanRouterAddress,
                                     "--telnet-port", telnet, "--port", control, "--control-port", control,
                                     "--time-scale", std::to_string(timeScale)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::unique_ptr<LanProcess> process = LanProcess::Start(where.Exec(argv));
    // It prints one line per service once all three listen.
    constexpr int kServiceLines = 3;
    constexpr std::uint32_t kStartTimeoutMs = 10000;
    if (!process || !process->WaitForLines(kServiceLines, kStartTimeoutMs)) return nullptr;
    m_processes.push_back(std::move(process));
    return m_processes.back().get();
  }

 private:
  void Fail(const std::string& error) {
    if (m_error.empty()) m_error = error;
  }
  void Step(const std::string& failure) {
    if (!failure.empty()) Fail(failure);
  }
  void InPc(std::vector<std::string> argv) {
    const CommandResult result = RunCommand(m_pc->Exec(std::move(argv)));
    if (result.exit_code != 0) Fail("in the PC's namespace: " + result.output);
  }

  void Build() {
    const NetNamespace& pc = *m_pc;
    const NetNamespace& router = *m_router;
    Step(pc.Ip({"link", "set", "lo", "up"}));
    Step(router.Ip({"link", "set", "lo", "up"}));
    if (m_options.officeAdapterFirst) {
      // A veth pair into an empty namespace: an office network without a router.
      m_office = std::make_unique<NetNamespace>("lanof");
      if (!m_office->ok()) return Fail(m_office->error());
      Step(pc.Ip({"link", "add", kOfficeAdapter, "type", "veth", "peer", "name", kLanAdapter, "netns",
                  m_office->name()}));
      Step(m_office->Ip({"link", "set", kLanAdapter, "up"}));
      Step(pc.Ip({"addr", "add", std::string(kLanOfficeAddress) + kLanPrefix, "brd", "+", "dev", kOfficeAdapter}));
      Step(pc.Ip({"link", "set", kOfficeAdapter, "up"}));
    }
    Step(pc.Ip({"link", "add", kLanAdapter, "type", "veth", "peer", "name", kLanAdapter, "netns", router.name()}));
    if (m_options.pcOnRouterNetwork) {
      Step(pc.Ip({"addr", "add", std::string(kLanPcAddress) + kLanPrefix, "brd", "+", "dev", kLanAdapter}));
    }
    Step(pc.Ip({"link", "set", kLanAdapter, "up"}));
    if (m_options.secondRouter) {
      // The router's end and the second router's veth meet in a bridge that
      // carries the router's address.
      m_second = std::make_unique<NetNamespace>("lanrt2");
      if (!m_second->ok()) return Fail(m_second->error());
      Step(m_second->Ip({"link", "set", "lo", "up"}));
      Step(router.Ip({"link", "add", kSwitchName, "type", "bridge"}));
      Step(router.Ip({"link", "set", kLanAdapter, "master", kSwitchName}));
      Step(router.Ip({"link", "add", kSecondRouterLink, "type", "veth", "peer", "name", kLanAdapter, "netns",
                      m_second->name()}));
      Step(router.Ip({"link", "set", kSecondRouterLink, "master", kSwitchName}));
      Step(router.Ip({"link", "set", kSecondRouterLink, "up"}));
      Step(router.Ip({"addr", "add", std::string(kLanRouterAddress) + kLanPrefix, "brd", "+", "dev", kSwitchName}));
      Step(router.Ip({"link", "set", kSwitchName, "up"}));
      Step(m_second->Ip(
          {"addr", "add", std::string(kLanSecondRouterAddress) + kLanPrefix, "brd", "+", "dev", kLanAdapter}));
      Step(m_second->Ip({"link", "set", kLanAdapter, "up"}));
    } else {
      Step(router.Ip({"addr", "add", std::string(kLanRouterAddress) + kLanPrefix, "brd", "+", "dev", kLanAdapter}));
    }
    Step(router.Ip({"link", "set", kLanAdapter, "up"}));
    if (m_options.dropRouterUdp) {
      InPc({"nft", "add", "table", "inet", "lanfilter"});
      InPc({"nft", "add", "chain", "inet", "lanfilter", "input",
            "{ type filter hook input priority 0 ; policy accept ; }"});
      InPc({"nft", "add", "rule", "inet", "lanfilter", "input", "udp", "sport", std::to_string(DISCOVERY_PORT),
            "drop"});
    }
    if (!m_options.pcEgressRate.empty()) {
      InPc({"tc", "qdisc", "add", "dev", kLanAdapter, "root", "tbf", "rate", m_options.pcEgressRate, "burst",
            "64kb", "latency", "50ms"});
    }
    for (const NetNamespace* ns : {m_pc.get(), m_router.get(), m_second.get(), m_office.get()}) {
      if (ok() && ns != nullptr) WaitForLinks(*ns);
    }
  }

  // The kernel reports a new link as running a moment after both ends are
  // up (and a bridge once a port forwards); until then it may drop what is
  // sent through it. Waits until every link of `ns` but loopback is UP.
  void WaitForLinks(const NetNamespace& ns) {
    constexpr std::uint32_t kLinkUpTimeoutMs = 30000;
    constexpr std::uint32_t kLinkPollMs = 100;
    const std::uint32_t start = platform::TickCount();
    for (;;) {
      const CommandResult links = RunCommand({IpCommand(), "-n", ns.name(), "-o", "link", "show"});
      bool allUp = links.exit_code == 0;
      std::size_t from = 0;
      for (std::size_t end; allUp && (end = links.output.find('\n', from)) != std::string::npos; from = end + 1) {
        const std::string line = links.output.substr(from, end - from);
        if (line.find("LOOPBACK") == std::string::npos && line.find(" state UP ") == std::string::npos) allUp = false;
      }
      if (allUp) return;
      if (platform::TicksElapsed(start, kLinkUpTimeoutMs)) return Fail("the links of " + ns.name() + " stay down");
      platform::Sleep(kLinkPollMs);
    }
  }

  VirtualLanOptions m_options;
  std::string m_error;
  // Declared before the processes: destroyed after them.
  std::unique_ptr<NetNamespace> m_pc;
  std::unique_ptr<NetNamespace> m_router;
  std::unique_ptr<NetNamespace> m_second;
  std::unique_ptr<NetNamespace> m_office;
  std::vector<std::unique_ptr<LanProcess>> m_processes;
};

// A station's bench made of network namespaces: the PC's namespace with
// one veth pair per port ("port0", "port1", ...), each to a router namespace
// of its own whose end ("lan0") has the real router's 192.168.1.1/24. The
// PC's ends have 192.168.1.11/24, .12, ... (a port in `unaddressed` none), so
// the same router address lies behind every port and only a lane that keeps
// to its interface reaches its own router. A router is unplugged by setting
// its end of the link down.
class VirtualBench {
 public:
  static constexpr const char* kPortPrefix = "port";
  static constexpr int kFirstPcHost = 11;

  // `portRate` (tc's words, "100mbit"): each PC port's way out is shaped to
  // it, as a real adapter's link; empty: as fast as the veth pair goes.
  explicit VirtualBench(int ports, std::vector<int> unaddressed = {}, const std::string& portRate = "") {
    m_pc = std::make_unique<NetNamespace>("benchpc");
    if (!m_pc->ok()) {
      Fail(m_pc->error());
      return;
    }
    Step(m_pc->Ip({"link", "set", "lo", "up"}));
    for (int port = 0; port < ports && ok(); ++port) {
      auto router = std::make_unique<NetNamespace>("benchrt");
      if (!router->ok()) {
        Fail(router->error());
        return;
      }
      Step(router->Ip({"link", "set", "lo", "up"}));
      const std::string name = PortName(port);
      Step(m_pc->Ip({"link", "add", name, "type", "veth", "peer", "name", kLanAdapter, "netns", router->name()}));
      bool addressed = true;
      for (const int without : unaddressed) addressed = addressed && without != port;
      if (addressed) {
        Step(m_pc->Ip({"addr", "add", "192.168.1." + std::to_string(kFirstPcHost + port) + kLanPrefix, "brd", "+",
                       "dev", name}));
      }
      Step(m_pc->Ip({"link", "set", name, "up"}));
      if (!portRate.empty()) {
        const CommandResult shaped = RunCommand({"tc", "-n", m_pc->name(), "qdisc", "add", "dev", name, "root", "tbf",
                                                 "rate", portRate, "burst", "16kb", "latency", "5ms"});
        if (shaped.exit_code != 0) Fail("tc on " + name + ": " + shaped.output);
      }
      Step(router->Ip({"addr", "add", std::string(kLanRouterAddress) + kLanPrefix, "brd", "+", "dev", kLanAdapter}));
      Step(router->Ip({"link", "set", kLanAdapter, "up"}));
      m_routers.push_back(std::move(router));
    }
    if (ok()) WaitForCarrier();
  }
  VirtualBench(const VirtualBench&) = delete;
  VirtualBench& operator=(const VirtualBench&) = delete;
  ~VirtualBench() { m_processes.clear(); }

  bool ok() const { return m_error.empty(); }
  const std::string& Error() const { return m_error; }
  static std::string PortName(int port) { return kPortPrefix + std::to_string(port); }

  // The simulator on port `port`'s router, on the real ports, announcing
  // 192.168.1.1 and `mac`; null when it did not come up.
  LanProcess* StartRouterSim(int port, const std::string& routersim, double timeScale, const std::string& mac,
                             std::vector<std::string> extra = {}) {
    const std::string telnet = std::to_string(kDefaultTelnetPort);
    const std::string control = std::to_string(DISCOVERY_PORT);
    std::vector<std::string> argv = {routersim, "--bind", "0.0.0.0", "--ip", kLanRouterAddress, "--mac", mac,
                                     "--telnet-port", telnet, "--port", control, "--control-port", control,
                                     "--time-scale", std::to_string(timeScale)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::unique_ptr<LanProcess> process = LanProcess::Start(m_routers[port]->Exec(argv));
    constexpr int kServiceLines = 3;
    constexpr std::uint32_t kStartTimeoutMs = 10000;
    if (!process || !process->WaitForLines(kServiceLines, kStartTimeoutMs)) return nullptr;
    m_processes.push_back(std::move(process));
    return m_processes.back().get();
  }

  // Ends every program the bench started.
  void StopPrograms() { m_processes.clear(); }

  // A program in the PC's namespace, its standard output (and with
  // `withErrors` its standard error) kept.
  LanProcess* StartOnPc(std::vector<std::string> argv, bool withErrors = false) {
    std::unique_ptr<LanProcess> process = LanProcess::Start(m_pc->Exec(std::move(argv)), withErrors);
    if (!process) return nullptr;
    m_processes.push_back(std::move(process));
    return m_processes.back().get();
  }
  CommandResult RunOnPc(std::vector<std::string> argv) const { return RunCommand(m_pc->Exec(std::move(argv))); }

  // Plugs port `port`'s router in (its end of the link up) or pulls it out;
  // "" or why not.
  std::string SetPlugged(int port, bool plugged) const {
    return m_routers[port]->Ip({"link", "set", kLanAdapter, plugged ? "up" : "down"});
  }

 private:
  void Fail(const std::string& error) {
    if (m_error.empty()) m_error = error;
  }
  void Step(const std::string& failure) {
    if (!failure.empty()) Fail(failure);
  }
  // Until every port of the PC is UP (both ends of its link up).
  void WaitForCarrier() {
    constexpr std::uint32_t kLinkUpTimeoutMs = 30000;
    constexpr std::uint32_t kLinkPollMs = 100;
    const std::uint32_t start = platform::TickCount();
    for (;;) {
      const CommandResult links = RunCommand({IpCommand(), "-n", m_pc->name(), "-o", "link", "show"});
      int up = 0;
      for (std::size_t at = links.output.find(" state UP "); at != std::string::npos;
           at = links.output.find(" state UP ", at + 1)) {
        ++up;
      }
      if (links.exit_code == 0 && up >= static_cast<int>(m_routers.size())) return;
      if (platform::TicksElapsed(start, kLinkUpTimeoutMs)) return Fail("the bench's links stay down");
      platform::Sleep(kLinkPollMs);
    }
  }

  std::string m_error;
  std::unique_ptr<NetNamespace> m_pc;
  std::vector<std::unique_ptr<NetNamespace>> m_routers;
  std::vector<std::unique_ptr<LanProcess>> m_processes;  // destroyed before the namespaces
};

}  // namespace orvane::test
