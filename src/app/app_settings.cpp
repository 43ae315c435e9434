#include "app/app_settings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

#include "net/address.h"

namespace orvane::app {
namespace {

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// A decimal port number 1..65535, nothing else.
bool ParsePort(std::string_view text, std::uint16_t& port) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

// The clock accepts scales above 0 and up to 1000.
bool ParseScale(std::string_view text, double& scale) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !(value > 0.0 && value <= 1000.0)) return false;
  scale = value;
  return true;
}

}  // namespace

AppSettings ParseSettings(std::string_view text) {
  AppSettings settings;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

  std::string section;
  int lineNumber = 0;
  auto problem = [&](const std::string& what) {
    settings.problems.push_back("line " + std::to_string(lineNumber) + ": " + what);
  };

  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    std::string_view line = Trim(text.substr(0, newline));
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    ++lineNumber;

    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']') {
        problem("not a section heading");
        section = "?";
        continue;
      }
      section = Lower(Trim(line.substr(1, line.size() - 2)));
      if (section != "network" && section != "timing" && section != "run" && section != "trust") problem("unknown section [" + section + "]");
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      problem("not key=value");
      continue;
    }
    const std::string key = Lower(Trim(line.substr(0, equals)));
    const std::string_view value = Trim(line.substr(equals + 1));
    const std::string where = "[" + section + "] " + key;

    bool valid = true;
    if (section == "network") {
      NetworkProfile& p = settings.profile;
      if (key == "broadcast") {
        Ipv4Address address{};
        valid = ParseIpv4(value, &address);
        if (valid) p.broadcastAddress = std::string(value);
      } else if (key == "relay_port") {
        valid = ParsePort(value, p.relayTcpPort);
      } else if (key == "control_port") {
        valid = ParsePort(value, p.controlUdpPort);
      } else if (key == "telnet_port") {
        valid = ParsePort(value, p.telnetPort);
      } else {
        problem("unknown key " + where);
        continue;
      }
    } else if (section == "timing" && key == "time_scale") {
      valid = ParseScale(value, settings.timeScale);
    } else if (section == "run" && key == "verify") {
      valid = value == "0" || value == "1";
      if (valid) settings.verify = value == "1";
    } else if (section == "trust" && key == "allow_unsigned") {
      valid = value == "0" || value == "1";
      if (valid) settings.allowUnsigned = value == "1";
    } else {
      problem("unknown key " + where);
      continue;
    }
    if (!valid) problem("invalid value \"" + std::string(value) + "\" for " + where + ", default kept");
  }
  return settings;
}

std::string DescribeSettings(const AppSettings& settings) {
  const NetworkProfile& p = settings.profile;
  char text[220];
  std::snprintf(text, sizeof text,
                "broadcast %s, relay port %u, control port %u, telnet port %u, time scale %g, verify %s",
                p.broadcastAddress.c_str(), static_cast<unsigned>(p.relayTcpPort),
                static_cast<unsigned>(p.controlUdpPort), static_cast<unsigned>(p.telnetPort), settings.timeScale,
                settings.verify ? "on" : "off");
  return std::string(text) + (settings.allowUnsigned ? ", images not signed by a trusted key allowed" : "");
}

}  // namespace orvane::app
