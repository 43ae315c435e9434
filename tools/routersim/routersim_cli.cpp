#include "routersim/routersim_cli.h"

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "orvane_version.h"
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
  app.set_version_flag("--version", std::string("orvane-routersim ") + ORVANE_VERSION_FULL,
                       "Show the program's version");
  app.add_option("--discovery-version", version,
                 "Version text that discovery reports (default: the app_version setting)")
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
  app.add_option("--restart-delay-ms", config.restartDelayMs,
                 "Milliseconds the router still answers after an accepted image's result before its restart begins");
  app.add_option("--restart-after-image-ms", config.restartMs,
                 "Milliseconds the router answers no control datagram after an accepted image (its restart)")
      ->capture_default_str();
  app.add_flag("--keep-versions", config.faults.keepVersions,
               "Fault: an accepted router image leaves the reported versions as they were");
  app.add_option("--rate", config.moduleLinkBitsPerSecond,
                 "Bits per second of the link between router and module, 8 bits a byte (0 = no limit)")
      ->capture_default_str();
  app.add_option("--lan-round-trip-us", config.lanRoundTripUs,
                 "Microseconds added to each module answer for the LAN's round trip (0 = none)")
      ->capture_default_str();
  app.add_option("--time-scale", options.timeScale, "Real time per system time (0.05 = twenty times faster)")
      ->capture_default_str()
      ->check(CLI::Range(1e-6, 1000.0));
  app.add_flag("--silent-control", config.faults.silentControl, "Fault: take control datagrams but answer none");
  app.add_flag("--refuse-telnet", config.faults.refuseTelnet, "Fault: refuse telnet connections");
  app.add_flag("--refuse-relay", config.faults.refuseRelay, "Fault: refuse relay connections");
  CLI::Option* closeOption = app.add_option("--close-relay-after", closeRelayAfter,
                                            "Fault: close each relay connection after N received bytes");
  app.add_flag("--corrupt-next-reply", config.faults.corruptNextReply,
               "Fault: give the next reply frame a bad check sequence");
  app.add_flag("--flood-discovery", config.faults.floodDiscovery,
               "Hostile: answer a discovery with an endless stream of datagrams that are no announcement");
  app.add_option("--telnet-flood", config.faults.telnetFloodBytes,
                 "Hostile: send each telnet connection N bytes without a line end instead of the shell");
  app.add_flag("--telnet-silent", config.faults.telnetSilent, "Hostile: accept telnet connections, never send a byte");
  std::uint32_t relayFloodByte = 0;
  CLI::Option* relayFloodOption =
      app.add_option("--relay-flood", relayFloodByte,
                     "Hostile: send each relay connection this byte without end (126 flags, 125 escapes), answer nothing")
          ->check(CLI::Range(0, 255));
  app.add_option("--relay-huge-frame", config.faults.relayHugeFrame,
                 "Hostile: answer every piece for the module with one frame of a packet of N bytes");

  // The wireless module behind the relay.
  ModuleConfig& module = options.module;
  std::string moduleStart = "normal";
  std::string unlock;
  app.add_option("--module", moduleStart, "The module's state at start: none, normal, offline or downloader")
      ->check(CLI::IsMember({"none", "normal", "offline", "downloader"}))
      ->capture_default_str();
  app.add_option("--fw-version", module.firmwareVersion, "Module firmware version before an update")
      ->capture_default_str();
  app.add_option("--fw-version-after", module.firmwareVersionAfter, "Module firmware version after an update")
      ->capture_default_str();
  app.add_option("--dash-version", module.dashboardVersion, "Module dashboard version before an update")
      ->capture_default_str();
  app.add_option("--dash-version-after", module.dashboardVersionAfter, "Module dashboard version after an update")
      ->capture_default_str();
  app.add_option("--unlock", unlock, "The downloader's unlock code, 16 hex digits (default: the bytes \"12345678\")");
  app.add_option("--restart-ms", module.restartMs, "How long the module takes to restart, in milliseconds")
      ->capture_default_str();
  std::uint32_t errorByte = 0, nakWrite = 0, silentRequest = 0, nvReason = 0;
  CLI::Option* errorByteOption =
      app.add_option("--fault-error-byte", errorByte, "Fault: answer 0x13 to requests beginning with this byte");
  CLI::Option* nakOption = app.add_option("--fault-nak-write", nakWrite, "Fault: refuse the N-th block write");
  CLI::Option* silentOption =
      app.add_option("--fault-silent-request", silentRequest, "Fault: leave the N-th request unanswered");
  CLI::Option* nvOption = app.add_option("--fault-nv-backup", nvReason, "Fault: NV backup fails with reason 1..4")
                              ->check(CLI::Range(1, 4));
  app.add_flag("--fault-restore-status", module.faults.restoreStatusFail, "Fault: the NV restore status reports failure");
  app.add_flag("--fault-stay-downloader", module.faults.stayInDownloader,
               "Fault: after the reset the downloader starts again");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    *exitStatus = app.exit(e, out, err);
    return std::nullopt;
  } catch (const CLI::CallForVersion& e) {
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
  if (relayFloodOption->count() > 0) config.faults.relayFloodByte = static_cast<std::uint8_t>(relayFloodByte);

  module.start = moduleStart == "none"         ? ModuleStart::kAbsent
                 : moduleStart == "offline"    ? ModuleStart::kOffline
                 : moduleStart == "downloader" ? ModuleStart::kDownloader
                                               : ModuleStart::kNormal;
  if (!unlock.empty()) {
    const auto hexValue = [](char c) {
      return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    bool good = unlock.size() == 16;
    for (std::size_t i = 0; good && i < 8; ++i) {
      const int hi = hexValue(unlock[2 * i]), lo = hexValue(unlock[2 * i + 1]);
      good = hi >= 0 && lo >= 0;
      if (good) module.unlockCode[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    if (!good) {
      err << "orvane-routersim: --unlock takes exactly 16 hex digits\n";
      *exitStatus = kExitUsage;
      return std::nullopt;
    }
  }
  if (errorByteOption->count() > 0) module.faults.errorByteTo = static_cast<std::uint8_t>(errorByte);
  if (nakOption->count() > 0) module.faults.nakWrite = nakWrite;
  if (silentOption->count() > 0) module.faults.silentRequest = silentRequest;
  if (nvOption->count() > 0) module.faults.nvBackupReason = static_cast<std::uint8_t>(nvReason);
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
  SimModule module(options->module);
  Config config = options->config;
  config.keepImageData = false;  // nobody reads them here, and the program may take many
  RouterSim sim(config, &module);
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
