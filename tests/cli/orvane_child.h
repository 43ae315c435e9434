#pragma once
// `orvane` as a process of its own, as an operator's shell starts it: its
// arguments, standard input from /dev/null, standard output and error to
// files of their own. It is waited for through platform/clock.h, and killed
// by its id when the test ends before it does. ORVANE_PROGRAM names the
// program (set by the test's target).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "support/temp_dir.h"

extern char** environ;

namespace orvane::test {

class OrvaneChild {
 public:
  // Between two looks at a running program (system milliseconds).
  static constexpr std::uint32_t kLookMs = 10;

  OrvaneChild() = default;
  ~OrvaneChild() {
    if (m_running) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
  }
  OrvaneChild(const OrvaneChild&) = delete;
  OrvaneChild& operator=(const OrvaneChild&) = delete;

  // `args` without the program's name.
  ::testing::AssertionResult Start(const std::vector<std::string>& args) {
    std::vector<std::string> all = {ORVANE_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_output.File("out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, m_output.File("err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int error = posix_spawn(&m_pid, ORVANE_PROGRAM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return ::testing::AssertionFailure() << "posix_spawn: " << std::strerror(error);
    m_running = true;
    return ::testing::AssertionSuccess();
  }

  // The exit status; -1 when the program still runs after `ms` system
  // milliseconds (it is left running) or a signal ended it.
  int WaitForExit(std::uint32_t ms) {
    const std::uint32_t start = platform::TickCount();
    while (m_running) {
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_running = false;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (platform::TicksElapsed(start, ms)) return -1;
      platform::Sleep(kLookMs);
    }
    return -1;
  }

  // The process's id (it stays known after the end).
  pid_t Pid() const { return m_pid; }
  std::string Out() const { return Read("out"); }
  std::string Err() const { return Read("err"); }

 private:
  std::string Read(const char* name) const {
    const auto bytes = ReadFile(m_output.File(name));
    return std::string(bytes.begin(), bytes.end());
  }

  TempDir m_output;
  pid_t m_pid = -1;
  bool m_running = false;
};

}  // namespace orvane::test
