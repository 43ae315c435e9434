// Argument parsing uses CLI11 (Debian's libcli11-dev, header only): nested
// subcommands with generated --help on every level would otherwise be a few
// hundred lines of hand-written parsing.
#include "cli/orvane_cli.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <sstream>
#include <system_error>

#include "cli/doctor_command.h"
#include "cli/history_command.h"
#include "cli/image_commands.h"
#include "cli/router_commands.h"
#include "cli/trust_commands.h"
#include "cli/station_command.h"
#include "orvane_version.h"

namespace orvane::cli {

namespace {

// A port of the router: a number 1..65535 (0 would mean "any port").
const CLI::Validator kPortNumber(
    [](std::string& text) {
      std::size_t used = 0;
      unsigned long value = 0;
      try {
        value = std::stoul(text, &used, 10);
      } catch (...) {
        used = 0;
      }
      if (text.empty() || used != text.size() || value < 1 || value > 65535) {
        return "not a port number 1..65535: \"" + text + "\"";
      }
      return std::string();
    },
    "1..65535");

// The image folder must be there, and be a folder.
const CLI::Validator kImageFolder(
    [](std::string& text) {
      std::error_code error;
      const auto status = std::filesystem::status(std::filesystem::path(std::u8string(text.begin(), text.end())), error);
      if (!std::filesystem::exists(status)) return "no such folder: \"" + text + "\"";
      if (!std::filesystem::is_directory(status)) return "not a folder: \"" + text + "\"";
      return std::string();
    },
    "DIR");

// The log folder may be missing (it is made), but neither it nor a folder
// above it may be anything other than a folder: nothing could be written
// below a file.
const CLI::Validator kLogFolder(
    [](std::string& text) {
      namespace fs = std::filesystem;
      const fs::path folder(std::u8string(text.begin(), text.end()));
      for (fs::path at = folder; !at.empty(); at = at.parent_path()) {
        std::error_code error;
        const auto status = fs::status(at, error);
        if (fs::exists(status)) {
          if (fs::is_directory(status)) return std::string();
          if (at == folder) return "not a folder: \"" + text + "\"";
          const std::u8string above = at.u8string();
          return "not a folder: \"" + text + "\" (\"" + std::string(above.begin(), above.end()) +
                 "\" is not a folder)";
        }
        if (at == at.parent_path()) break;  // the root
      }
      return std::string();
    },
    "DIR");

// A word where a command belongs that names none, in words ("orvane image:
// unknown command \"scna\" (commands: inspect, scan, pack)"); empty when the
// command words are all known.
std::string UnknownCommand(CLI::App& app, int argc, const char* const* argv) {
  CLI::App* level = &app;
  std::string path = "orvane";
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    const std::vector<CLI::App*> commands = level->get_subcommands([](CLI::App*) { return true; });
    if (word.empty() || word[0] == '-' || commands.empty()) return {};
    CLI::App* next = nullptr;
    std::string names;
    for (CLI::App* command : commands) {
      if (command->check_name(word)) next = command;
      names += (names.empty() ? "" : ", ") + command->get_name();
    }
    if (next == nullptr) return path + ": unknown command \"" + word + "\" (commands: " + names + "; see --help)";
    level = next;
    path += " " + word;
  }
  return {};
}

// The flags that say where the router and the images are and how fast the
// pauses run, shared by check, update and doctor.
void AddNetworkOptions(CLI::App* cmd, std::string& directory, NetworkProfile& profile, double& timeScale) {
  cmd->add_option("--dir", directory, "Directory holding the images (*.bin); default: the current directory")
      ->check(kImageFolder);
  cmd->add_option("--broadcast", profile.broadcastAddress, "Where router discovery is sent (default 192.168.1.255)");
  cmd->add_option("--port", profile.relayTcpPort, "The router's relay port, TCP (default 1280)")->check(kPortNumber);
  cmd->add_option("--control-port", profile.controlUdpPort, "The router's control port, UDP (default 1280)")
      ->check(kPortNumber);
  cmd->add_option("--telnet-port", profile.telnetPort, "The router's shell port (default 23)")->check(kPortNumber);
  cmd->add_option("--time-scale", timeScale,
                  "Run every pause and time-out at this fraction of its length (simulator demos; default 1)");
}

// The trusted keys of check, update, doctor and the image tools; and, where
// a check is made, the lab's way past a failed signature check.
void AddTrustOptions(CLI::App* cmd, TrustOptions& o, bool allowUnsigned) {
  cmd->add_option("--trusted-key", o.keyFiles,
                  "Trust this signify public key (*.pub) too; repeat for several. Keys are also taken from "
                  "every *.pub in the key folder and from those built in")
      ->allow_extra_args(false);
  cmd->add_option("--keys-dir", o.keyFolder, "The key folder (default /etc/orvane/keys; on Windows keys\\ beside "
                                             "the program)");
  if (allowUnsigned) {
    cmd->add_flag("--allow-unsigned", o.allowUnsigned,
                  "Go on when an image is not signed by a trusted key (labs only; the run history records it)");
  }
}

void AddRouterOptions(CLI::App* cmd, RouterOptions& o) {
  AddNetworkOptions(cmd, o.directory, o.profile, o.timeScale);
  cmd->add_option("--log-dir", o.logFolder, "Folder of the dated download logs (default: the user's state folder)")
      ->check(kLogFolder);
  cmd->add_flag("--json", o.json, "Print one JSON object at the end");
  AddTrustOptions(cmd, o.trust, true);
}

}  // namespace

int RunOrvane(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  std::istringstream none;
  return RunOrvane(argc, argv, none, out, err, TerminalState{});
}

int RunOrvane(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err,
              TerminalState terminal) {
  CLI::App app{"Orvane: checks and updates a 3G router and its wireless module from image files.", "orvane"};
  app.require_subcommand(1);
  app.set_version_flag(
      "--version", [] { return std::string("orvane ") + ORVANE_VERSION_FULL + "\n" + TrustVersionText(); },
      "Show the program's version, its crypto library and the trusted keys");

  CLI::App* image = app.add_subcommand("image", "Inspect, scan, build and sign image files (*.bin)");
  image->require_subcommand(1);

  InspectOptions inspect;
  CLI::App* inspectCmd = image->add_subcommand("inspect", "Validate image files and show their type, version, units, SHA-256 and signature state");
  inspectCmd->add_flag("--json", inspect.json, "Print one JSON array, an object per file");
  inspectCmd->add_option("FILE", inspect.files, "Image files")->required();
  AddTrustOptions(inspectCmd, inspect.trust, false);

  ScanOptions scan;
  CLI::App* scanCmd = image->add_subcommand("scan", "Show which *.bin files of a directory go to which update item, and whether they are signed");
  scanCmd->add_flag("--json", scan.json, "Print one JSON object");
  scanCmd->add_option("DIR", scan.directory, "Directory to search")->required();
  AddTrustOptions(scanCmd, scan.trust, false);

  KeygenOptions keygen;
  CLI::App* keygenCmd = image->add_subcommand(
      "keygen", "Make a signing key pair in signify's format, NAME.pub and NAME.sec (no passphrase)");
  keygenCmd->add_option("NAME", keygen.name, "Path and name of the two files, without .pub / .sec")->required();

  SignOptions sign;
  CLI::App* signCmd = image->add_subcommand(
      "sign", "Write DIR/SHA256.sig: the SHA-256 of every *.bin of DIR, signed (as signify -S -e does)");
  signCmd->add_option("--key", sign.key, "The signify secret key (*.sec, without passphrase)")->required();
  signCmd->add_option("DIR", sign.directory, "The image folder")->required()->check(kImageFolder);

  PackOptions pack;
  CLI::App* packCmd = image->add_subcommand("pack", "Build a valid image file, one unit per payload file");
  packCmd->add_option("--type", pack.type, "boot, app, resource, firmware or dashboard")
      ->required()
      ->check(CLI::IsMember({"boot", "app", "resource", "firmware", "dashboard"}));
  packCmd->add_option("--version", pack.version, "Version text stored in the file header")->required();
  packCmd->add_option("--unlock", pack.unlockHex, "Module unlock code, 16 hex digits");
  packCmd->add_option("--target", pack.targets,
                      "Target address of a unit (repeat per unit; later units follow the previous one's end)")
      ->allow_extra_args(false);
  packCmd->add_option("--block-size", pack.blockSize, "Checksum block size in bytes (default 4096)")
      ->check(CLI::Range(1u, 0xFFFFFFFFu));
  packCmd->add_option("-o,--output", pack.output, "Image file to write")->required();
  packCmd->add_option("PAYLOAD", pack.payloads, "Payload files, one unit each")->required();

  RouterOptions check;
  CLI::App* checkCmd = app.add_subcommand("check", "Find the images and the router, read the versions, compare");
  AddRouterOptions(checkCmd, check);

  RouterOptions update;
  CLI::App* updateCmd = app.add_subcommand("update", "Check, then update every selected item");
  AddRouterOptions(updateCmd, update);
  updateCmd->add_flag("-y,--yes", update.yes, "Do not ask before updating");
  updateCmd->add_flag("--verify", update.verify,
                      "After a run in which every item succeeded, wait for the router and read the versions back");

  StationCommandOptions station;
  CLI::App* stationCmd = app.add_subcommand(
      "station", "A bench: update routers unit after unit, one per network interface, several at once");
  stationCmd->footer(
      "Each lane waits for a router on its interface, checks it, updates the selected items without asking,\n"
      "verifies them, records the unit and shows PASS or FAIL, then waits until the router is unplugged.\n"
      "Exit status: 0 when every unit passed, 1 when one failed or was blocked, 130 when interrupted,\n"
      "2 for a usage error.");
  stationCmd->add_option("--interface", station.interfaces,
                         "A lane's network interface: its name, or its IPv4 address (repeat per lane)")
      ->required()
      ->allow_extra_args(false);
  AddNetworkOptions(stationCmd, station.directory, station.profile, station.timeScale);
  AddTrustOptions(stationCmd, station.trust, true);
  stationCmd->add_option("--log-dir", station.logFolder,
                         "Folder of the dated download logs (default: the user's state folder)")
      ->check(kLogFolder);
  stationCmd->add_option("--count", station.count, "End after this many units in all (default: until interrupted)")
      ->check(CLI::Range(1, 1000000));
  stationCmd->add_flag("--again", station.again, "Update a router this station already brought to success again");
  stationCmd->add_flag("--no-verify", station.noVerify, "Do not read the versions back after a unit's run");
  stationCmd->add_option("--report", station.reportFile, "Append a CSV row per unit to this file");
  stationCmd->add_flag("--json", station.json, "Print a JSON object per unit and a summary object");
  stationCmd->add_flag("--quiet", station.quiet, "No terminal bell when a unit ends");

  HistoryOptions history;
  CLI::App* historyCmd = app.add_subcommand("history", "List the recorded update runs");
  historyCmd->add_option("--log-dir", history.logFolder,
                         "Folder of the dated download logs and the run history (default: the user's state folder)")
      ->check(kLogFolder);
  historyCmd->add_option("--mac", history.mac, "Only the runs on this router (MAC address)");
  historyCmd->add_option("--since", history.since, "Only the runs on or after this date (YYYY-MM-DD)");
  historyCmd->add_flag("--json", history.json, "Print one JSON array, an object per run");

  DoctorOptions doctor;
  CLI::App* doctorCmd = app.add_subcommand(
      "doctor", "Find out what stands between this PC and the router, and what to do about it");
  doctorCmd->footer(
      "Each finding is printed with its severity (info, warning, fault) and what to do.\n"
      "Exit status: 0 when a check would succeed, 1 when it would fail, 2 for a usage error.");
  AddNetworkOptions(doctorCmd, doctor.directory, doctor.profile, doctor.timeScale);
  doctorCmd->add_option("--router", doctor.router,
                        "Where the router's TCP ports are tried when discovery is silent (default: the .1 of the "
                        "broadcast's network, 192.168.1.1)");
  doctorCmd->add_flag("--json", doctor.json, "Print one JSON object: check_would_succeed and the findings");
  AddTrustOptions(doctorCmd, doctor.trust, true);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e, out, err);
  } catch (const CLI::ParseError& e) {
    const std::string unknown = UnknownCommand(app, argc, argv);
    if (!unknown.empty()) {
      err << unknown << "\n";
      return kExitUsage;
    }
    app.exit(e, out, err);
    return kExitUsage;
  }

  if (*inspectCmd) return InspectImages(inspect, out, err);
  if (*scanCmd) return ScanDirectory(scan, out, err);
  if (*packCmd) return PackImage(pack, out, err);
  if (*keygenCmd) return KeygenCommand(keygen, out, err);
  if (*signCmd) return SignCommand(sign, out, err);
  if (*checkCmd) return CheckRouter(check, out, err);
  if (*updateCmd) return UpdateRouter(update, in, out, err, terminal);
  if (*doctorCmd) return Doctor(doctor, out, err);
  if (*stationCmd) return RunStation(station, out, err, terminal);
  if (*historyCmd) return ListHistory(history, out, err);
  err << app.help();
  return kExitUsage;
}

}  // namespace orvane::cli
