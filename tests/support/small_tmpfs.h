#pragma once
// A small file system of its own (tmpfs of a given size) for tests of a
// full disk, mounted in a private mount namespace so that nothing outside
// the test sees it and nothing is left mounted when the test dies: a child
// process makes the namespace, mounts the tmpfs and waits; this process
// reaches the mount through the child's root (/proc/<pid>/root/...). When
// the object goes, the child ends and its namespace with the mount.
//
// Needs the right to mount (root, as CI runs); Mounted() is false
// otherwise and Why() says why, for a GTEST_SKIP.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "support/temp_dir.h"

namespace orvane::test {

class SmallTmpfs {
 public:
  // How long the child may take to mount (system milliseconds).
  static constexpr std::uint32_t kMountWaitMs = 10000;

  explicit SmallTmpfs(std::size_t bytes) {
    const std::string point = m_base.File("mnt");
    std::filesystem::create_directory(point);
    int ready[2] = {-1, -1};
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(m_release, O_CLOEXEC) != 0) {
      m_why = std::string("pipe: ") + std::strerror(errno);
      return;
    }
    const std::string options = "size=" + std::to_string(bytes);
    m_child = ::fork();
    if (m_child == 0) {
      // The child calls nothing but the system: its parent may have threads.
      ::close(ready[0]);
      ::close(m_release[1]);
      char step = 'u';
      if (::unshare(CLONE_NEWNS) == 0) {
        step = 'p';
        if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
          step = 'm';
          if (::mount("tmpfs", point.c_str(), "tmpfs", 0, options.c_str()) == 0) step = 'k';
        }
      }
      const int error = errno;
      const char report[2] = {step, static_cast<char>(error)};
      if (::write(ready[1], report, sizeof report) != sizeof report || step != 'k') ::_exit(1);
      char none = 0;
      while (::read(m_release[0], &none, 1) < 0 && errno == EINTR) {
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(m_release[0]);
    m_release[0] = -1;
    if (m_child < 0) {
      m_why = std::string("fork: ") + std::strerror(errno);
      ::close(ready[0]);
      return;
    }
    char report[2] = {0, 0};
    pollfd wait{ready[0], POLLIN, 0};
    const int polled = ::poll(&wait, 1, static_cast<int>(platform::ToRealMs(kMountWaitMs)));
    const ssize_t got = polled > 0 ? ::read(ready[0], report, sizeof report) : 0;
    ::close(ready[0]);
    if (got != sizeof report || report[0] != 'k') {
      const char* step = report[0] == 'u' ? "unshare(CLONE_NEWNS)" : report[0] == 'p' ? "a private /" : "mount";
      m_why = got == sizeof report ? std::string(step) + ": " + std::strerror(report[1])
                                   : "the mounting child did not answer";
      return;
    }
    m_path = "/proc/" + std::to_string(m_child) + "/root" + point;
  }

  ~SmallTmpfs() {
    if (m_release[1] >= 0) ::close(m_release[1]);  // the child's signal to end
    if (m_child > 0) ::waitpid(m_child, nullptr, 0);
  }
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;

  bool Mounted() const { return !m_path.empty(); }
  const std::string& Why() const { return m_why; }
  // The mount's root, as this process reaches it.
  const std::string& Path() const { return m_path; }

 private:
  TempDir m_base;
  int m_release[2] = {-1, -1};
  pid_t m_child = -1;
  std::string m_path;
  std::string m_why;
};

}  // namespace orvane::test
