#include "routersim/telnet_shell.h"

#include <sstream>
#include <vector>

namespace orvane::routersim {
namespace {

// Telnet commands (RFC 854) and the options the shell announces.
constexpr std::uint8_t kIac = 0xFF;
constexpr std::uint8_t kSe = 0xF0;
constexpr std::uint8_t kSb = 0xFA;
constexpr std::uint8_t kWill = 0xFB;
constexpr std::uint8_t kDont = 0xFE;
constexpr std::uint8_t kOptEcho = 0x01;
constexpr std::uint8_t kOptSuppressGoAhead = 0x03;

constexpr char kCtrlC = 0x03;
constexpr char kCtrlD = 0x04;
constexpr char kBackspace = 0x08;
constexpr char kDelete = 0x7F;

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

}  // namespace

std::optional<std::string> SettingsStore::Get(const std::string& key) const {
  std::lock_guard<std::mutex> guard(m_lock);
  const auto it = m_values.find(key);
  if (it == m_values.end()) return std::nullopt;
  return it->second;
}

void SettingsStore::Set(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_values[key] = value;
}

std::map<std::string, std::string> SettingsStore::All() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_values;
}

std::string TelnetShell::Greeting() const {
  std::string out;
  for (const std::uint8_t option : {kOptEcho, kOptSuppressGoAhead}) {
    out += static_cast<char>(kIac);
    out += static_cast<char>(kWill);
    out += static_cast<char>(option);
  }
  out += "\r\n";
  out += kLoginPrompt;
  return out;
}

std::string TelnetShell::Feed(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (const std::uint8_t b : bytes) {
    if (m_finished) break;
    switch (m_telnet) {
      case Telnet::kData:
        if (b == kIac) {
          m_telnet = Telnet::kIac;
        } else {
          OnChar(b, out);
        }
        break;
      case Telnet::kIac:
        if (b == kIac) {
          m_telnet = Telnet::kData;  // an escaped 0xFF data byte: not a character a shell takes
        } else if (b >= kWill && b <= kDont) {
          m_telnet = Telnet::kOption;
        } else if (b == kSb) {
          m_telnet = Telnet::kSub;
        } else {
          m_telnet = Telnet::kData;  // a two-byte command (NOP, AYT, IP, ...)
        }
        break;
      case Telnet::kOption:
        m_telnet = Telnet::kData;
        break;
      case Telnet::kSub:
        if (b == kIac) m_telnet = Telnet::kSubIac;
        break;
      case Telnet::kSubIac:
        m_telnet = b == kSe ? Telnet::kData : Telnet::kSub;
        break;
    }
  }
  return out;
}

void TelnetShell::OnChar(std::uint8_t c, std::string& out) {
  const bool afterCr = m_afterCr;
  m_afterCr = false;
  const bool echo = m_phase != Phase::kPassword;
  if (c == '\r') {
    m_afterCr = true;
    OnLine(out);
    return;
  }
  if (c == '\n') {
    if (!afterCr) OnLine(out);
    return;
  }
  if (c == 0) return;
  if (c == kCtrlC) {
    m_line.clear();
    if (echo) out += "^C";
    out += "\r\n";
    if (m_phase == Phase::kShell) {
      out += kShellPrompt;
    } else {
      m_phase = Phase::kLogin;
      out += kLoginPrompt;
    }
    return;
  }
  if (c == kCtrlD) {
    if (m_phase == Phase::kShell && m_line.empty()) {
      out += "logout\r\n";
      m_finished = true;
    }
    return;
  }
  if (c == kBackspace || c == kDelete) {
    if (!m_line.empty()) {
      m_line.pop_back();
      if (echo) out += "\b \b";
    }
    return;
  }
  if (c < 0x20 || c > 0x7E) return;  // other control and 8-bit bytes are not typed text
  if (m_line.size() >= kMaxLineLength) return;
  m_line += static_cast<char>(c);
  if (echo) out += static_cast<char>(c);
}

void TelnetShell::OnLine(std::string& out) {
  std::string line;
  line.swap(m_line);
  out += "\r\n";
  switch (m_phase) {
    case Phase::kLogin:
      if (line.empty()) {
        out += kLoginPrompt;
        return;
      }
      m_user = line;
      m_phase = Phase::kPassword;
      out += kPasswordPrompt;
      return;
    case Phase::kPassword:
      if (m_user == m_account.user && line == m_account.password) {
        m_phase = Phase::kShell;
        out += kShellPrompt;
      } else {
        m_phase = Phase::kLogin;
        out += "Login incorrect\r\n";
        out += kLoginPrompt;
      }
      m_user.clear();
      return;
    case Phase::kShell:
      RunCommand(line, out);
      if (!m_finished) out += kShellPrompt;
      return;
  }
}

void TelnetShell::RunCommand(const std::string& line, std::string& out) {
  const std::vector<std::string> words = Words(line);
  if (words.empty()) return;
  const std::string& command = words[0];
  if (command == "exit" || command == "logout") {
    m_finished = true;
    return;
  }
  if (command == "nvram") {
    if (words.size() == 3 && words[1] == "get") {
      if (const auto value = m_settings.Get(words[2])) out += *value + "\r\n";
      return;
    }
    if (words.size() == 3 && words[1] == "set") {
      const std::size_t eq = words[2].find('=');
      if (eq != std::string::npos && eq > 0) {
        m_settings.Set(words[2].substr(0, eq), words[2].substr(eq + 1));
        return;
      }
    }
    if (words.size() == 2 && words[1] == "show") {
      for (const auto& [key, value] : m_settings.All()) out += key + "=" + value + "\r\n";
      return;
    }
    out += "usage: nvram [get name] [set name=value] [show]\r\n";
    return;
  }
  if (command == "help") {
    out += "commands: nvram get NAME, nvram set NAME=VALUE, nvram show, exit\r\n";
    return;
  }
  out += "sh: " + command + ": not found\r\n";
}

}  // namespace orvane::routersim
