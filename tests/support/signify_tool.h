#pragma once
// Debian's `signify-openbsd`, run as a release engineer runs it, for the
// tests that prove that its files and ours serve either side. A test that
// needs it calls ORVANE_REQUIRE_SIGNIFY() first: without the program (it is
// not on Windows, and a machine may lack the package) the test is skipped
// with a message saying so.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace orvane::test {

inline std::string SignifyProgram() {
#ifdef _WIN32
  return {};  // a Debian program: not there for the Windows build's tests
#endif
  for (const char* candidate : {"/usr/bin/signify-openbsd", "/usr/local/bin/signify-openbsd"}) {
    std::error_code ignored;
    if (std::filesystem::exists(candidate, ignored)) return candidate;
  }
  return {};
}

// A program's exit status from what std::system returned; -1 when it did
// not end by itself.
inline int ExitStatus(int status) {
#ifdef _WIN32
  return status;
#else
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

// One argument for /bin/sh, in single quotes.
inline std::string ShellWord(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs `signify-openbsd ARGS` (each argument quoted) in `folder`, its
// output and errors into `folder`/signify.out; the exit status.
inline int RunSignify(const std::filesystem::path& folder, std::initializer_list<std::string> args) {
  std::string command = "cd " + ShellWord(folder.string()) + " && " + ShellWord(SignifyProgram());
  for (const std::string& a : args) command += " " + ShellWord(a);
  command += " >signify.out 2>&1 </dev/null";
  return ExitStatus(std::system(command.c_str()));
}

// Runs a /bin/sh command line in `folder` (for `sha256sum --tag`, as a
// release engineer makes the list); its exit status.
inline int RunShell(const std::filesystem::path& folder, const std::string& commandLine) {
  const std::string command = "cd " + ShellWord(folder.string()) + " && " + commandLine + " </dev/null";
  return ExitStatus(std::system(command.c_str()));
}

}  // namespace orvane::test

#define ORVANE_REQUIRE_SIGNIFY()                                                                       \
  do {                                                                                                 \
    if (::orvane::test::SignifyProgram().empty()) {                                                    \
      GTEST_SKIP() << "signify-openbsd is not installed (apt-get install signify-openbsd): skipped";   \
    }                                                                                                  \
  } while (0)
