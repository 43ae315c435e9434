#pragma once
// Network namespaces of a test's own (Linux, root): a command runner, the
// `ip` program and a namespace that is removed when its object goes. Tests
// that need one skip with NetNamespace::error() where it cannot be made.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

extern char** environ;

namespace orvane::test {

// The environment of this process with `overrides` ("NAME=value") in place.
inline std::vector<std::string> EnvironmentWith(const std::vector<std::string>& overrides) {
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

// argv/envp arrays over `texts`, ended by a null pointer.
inline std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

struct CommandResult {
  int exit_code = -1;  // -1: did not end normally
  std::string output;  // standard output and error together
};

// Runs a program (looked up on PATH) to its end with `env` added to this
// process's environment; its standard input is /dev/null.
inline CommandResult RunCommand(std::vector<std::string> argv, std::vector<std::string> env = {}) {
  std::vector<std::string> environment = EnvironmentWith(env);
  std::vector<char*> args = Pointers(argv);
  std::vector<char*> envp = Pointers(environment);
  int out[2];
  CommandResult result;
  if (pipe(out) != 0) return result;
  const pid_t child = fork();
  if (child == 0) {
    const int none = open("/dev/null", O_RDONLY);
    if (none >= 0) dup2(none, STDIN_FILENO);
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

// The first of `candidates` that can be run; empty when none can.
inline std::string FindProgram(std::initializer_list<const char*> candidates) {
  for (const char* path : candidates) {
    if (access(path, X_OK) == 0) return path;
  }
  return {};
}

inline std::string IpCommand() {
  const std::string found = FindProgram({"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"});
  return found.empty() ? "ip" : found;
}

// A network namespace of this test's own, removed when the object goes.
class NetNamespace {
 public:
  // `prefix` names the namespaces of one test program ("nvtest", "lan").
  explicit NetNamespace(const std::string& prefix = "nvtest") {
    static int count = 0;
    name_ = prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(++count);
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

  // `ip netns exec <namespace> argv...` in front of a command line.
  std::vector<std::string> Exec(std::vector<std::string> argv) const {
    argv.insert(argv.begin(), {IpCommand(), "netns", "exec", name_});
    return argv;
  }

 private:
  std::string name_;
  std::string error_;
  bool made_ = false;
};

}  // namespace orvane::test
