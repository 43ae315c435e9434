#pragma once
// The router's login shell as one telnet connection sees it, without I/O.
//
//   connect  -> IAC WILL ECHO, IAC WILL SGA, "\r\nrouter login: "
//   "qmbzx"  -> echoed, then "Password: "
//   "qmbzx"  -> not echoed; "\r\n", then the prompt "router:~# "
//   wrong    -> "\r\nLogin incorrect\r\n" and a new login prompt
//   "nvram get KEY" -> the value on its own line (nothing for an unknown key)
//
// The shell announces that it echoes and suppresses go-ahead, so that an
// interactive telnet client switches to character mode, but it never waits
// for an answer to those options and ignores every telnet command it
// receives (IAC sequences, subnegotiations included). Typed characters are
// echoed as a shell does; CR, LF, CR LF and CR NUL each end one line.
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace orvane::routersim {

// The router's settings store behind `nvram`; shared by all sessions and
// read by the control responder, so it takes a lock of its own.
class SettingsStore {
 public:
  explicit SettingsStore(std::map<std::string, std::string> initial = {}) : m_values(std::move(initial)) {}
  std::optional<std::string> Get(const std::string& key) const;
  void Set(const std::string& key, const std::string& value);
  std::map<std::string, std::string> All() const;

 private:
  mutable std::mutex m_lock;
  std::map<std::string, std::string> m_values;
};

struct ShellAccount {
  std::string user = "qmbzx";
  std::string password = "qmbzx";
};

class TelnetShell {
 public:
  // The longest command line kept; further characters are ignored.
  static constexpr std::size_t kMaxLineLength = 1024;

  TelnetShell(ShellAccount account, SettingsStore& settings) : m_account(std::move(account)), m_settings(settings) {}

  // The bytes to send when the connection opens.
  std::string Greeting() const;
  // Takes received bytes and returns what the router sends back.
  std::string Feed(std::span<const std::uint8_t> bytes);
  // True once the user logged out; the connection closes after the output.
  bool Finished() const { return m_finished; }
  bool LoggedIn() const { return m_phase == Phase::kShell; }

  static constexpr const char* kLoginPrompt = "router login: ";
  static constexpr const char* kPasswordPrompt = "Password: ";
  static constexpr const char* kShellPrompt = "router:~# ";

 private:
  enum class Phase { kLogin, kPassword, kShell };
  enum class Telnet { kData, kIac, kOption, kSub, kSubIac };

  void OnChar(std::uint8_t c, std::string& out);
  void OnLine(std::string& out);
  void RunCommand(const std::string& line, std::string& out);

  ShellAccount m_account;
  SettingsStore& m_settings;
  Phase m_phase = Phase::kLogin;
  Telnet m_telnet = Telnet::kData;
  bool m_afterCr = false;  // a LF or NUL right after CR belongs to that line end
  bool m_finished = false;
  std::string m_line;
  std::string m_user;
};

}  // namespace orvane::routersim
