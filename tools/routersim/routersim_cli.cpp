#include "routersim/routersim_cli.h"

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace orvane::routersim {
namespace {

// CLI11 validators over the wire parsers, so that a bad value is a usage
// error naming its flag.
const CLI::Validator kIpv4Text(
    [](std::string& text) { return ParseIpv4(text) ? std::string() : "not an IPv4 address: " + text; }, "A.B.C.D");
const CLI::Validator kMacText(
    [](std::string& text) { return ParseMac(text) ? std::string() : "not a MAC address: " + text; },
    "XX:XX:XX:XX:XX:XX");
const CLI::Validator kSettingText(
    [](std::string& text) {
      const std::size_t eq = text.find('=');
      return eq != std::string::npos && eq > 0 ? std::string() : "expected KEY=VALUE: " + text;
    },
    "KEY=VALUE");

}  // namespace

std::optional<CliOptions> ParseRouterSimArgs(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                                             int* exitStatus) {
  CLI::App app{
      "A stand-in for the router and its services on loopback: telnet shell, UDP control responder and TCP relay.",
      "orvane-routersim"};
  CliOptions options;
  Config& config = options.config;
  std::string ip;
  std::string mac;
  std::string version;
  std::vector<std::string> settings;
  std::uint64_t closeRelayAfter = 0;

  app.add_option("--bind", config.bindAddress, "IPv4 address every service binds to")
      ->capture_default_str()
      ->check(kIpv4Text);
  app.add_option("--telnet-port", config.telnetPort, "Telnet shell TCP port (0 = pick a free one)")
      ->capture_default_str();
  app.add_option("--port", config.relayPort, "Relay TCP port (0 = pick a free one)")->capture_default_str();
  app.add_option("--control-port", config.controlPort, "Control responder UDP port (0 = pick a free one)")
      ->capture_default_str();
  app.add_option("--ip", ip, "IPv4 address that discovery reports (default: the bind address)")->check(kIpv4Text);
  app.add_option("--mac", mac, "MAC address that discovery reports (default 02:00:5e:10:00:01)")->check(kMacText);
  app.add_option("--version", version, "Version text that discovery reports (default: the app_version setting)")
      ->check(CLI::Validator(
          [](std::string& text) {
            return text.size() <= kControlTextField ? std::string() : "longer than 21 characters: " + text;
          },
          "TEXT"));
  app.add_option("--set", settings, "A shell setting for `nvram get` (repeatable; cfe_version and app_version have defaults)")
      ->check(kSettingText);
  app.add_option("--result-code", config.resultCode, "Result code of a router image (4 = accepted)")
      ->capture_default_str();
  app.add_option("--result-delay", config.resultDelayMs, "Milliseconds from an image's last byte to its result")
      ->capture_default_str();
  app.add_option("--time-scale", options.timeScale, "Real time per system time (0.05 = twenty times faster)")
      ->capture_default_str()
      ->check(CLI::Range(1e-6, 1000.0));
  app.add_flag("--silent-control", config.faults.silentControl, "Fault: take control datagrams but answer none");
  app.add_flag("--refuse-telnet", config.faults.refuseTelnet, "Fault: refuse telnet connections");
  CLI::Option* closeOption = app.add_option("--close-relay-after", closeRelayAfter,
                                            "Fault: close each relay connection after N received bytes");
  app.add_flag("--corrupt-next-reply", config.faults.corruptNextReply,
               "Fault: give the next reply frame a bad check sequence");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    *exitStatus = app.exit(e, out, err);
    return std::nullopt;
  } catch (const CLI::ParseError& e) {
    app.exit(e, out, err);
    *exitStatus = kExitUsage;
    return std::nullopt;
  }

  if (!ip.empty()) config.ip = ParseIpv4(ip);
  if (!mac.empty()) config.mac = *ParseMac(mac);
  if (!version.empty()) config.versionText = version;
  for (const std::string& setting : settings) {
    const std::size_t eq = setting.find('=');
    config.settings[setting.substr(0, eq)] = setting.substr(eq + 1);
  }
  if (closeOption->count() > 0) config.faults.closeRelayAfter = closeRelayAfter;
  *exitStatus = kExitOk;
  return options;
}

int RunRouterSim(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                 const std::function<void()>& waitUntilDone) {
  int status = kExitOk;
  const std::optional<CliOptions> options = ParseRouterSimArgs(argc, argv, out, err, &status);
  if (!options) return status;
  if (!platform::SetTimeScale(options->timeScale)) {
    err << "orvane-routersim: time scale out of range: " << options->timeScale << "\n";
    return kExitUsage;
  }
  RouterSim sim(options->config);
  std::string error;
  if (!sim.Start(&error)) {
    err << "orvane-routersim: " << error << "\n";
    return kExitFailed;
  }
  const std::string& address = sim.BindAddress();
  const Ports ports = sim.BoundPorts();
  out << "telnet " << address << ":" << ports.telnet << "\n"
      << "relay " << address << ":" << ports.relay << "\n"
      << "control " << address << ":" << ports.control << std::endl;
  waitUntilDone();
  sim.Stop();
  return kExitOk;
}

}  // namespace orvane::routersim
