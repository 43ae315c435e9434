// Argument parsing uses CLI11 (Debian's libcli11-dev, header only): nested
// subcommands with generated --help on every level would otherwise be a few
// hundred lines of hand-written parsing.
#include "cli/orvane_cli.h"

#include <CLI/CLI.hpp>

#include "cli/image_commands.h"

namespace orvane::cli {

int RunOrvane(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"Orvane: checks and updates a 3G router and its wireless module from image files.", "orvane"};
  app.require_subcommand(1);

  CLI::App* image = app.add_subcommand("image", "Inspect, scan and build image files (*.bin)");
  image->require_subcommand(1);

  InspectOptions inspect;
  CLI::App* inspectCmd = image->add_subcommand("inspect", "Validate image files and show their type, version and units");
  inspectCmd->add_flag("--json", inspect.json, "Print one JSON array, an object per file");
  inspectCmd->add_option("FILE", inspect.files, "Image files")->required();

  ScanOptions scan;
  CLI::App* scanCmd = image->add_subcommand("scan", "Show which *.bin files of a directory go to which update item");
  scanCmd->add_flag("--json", scan.json, "Print one JSON object");
  scanCmd->add_option("DIR", scan.directory, "Directory to search")->required();

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

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::ParseError& e) {
    app.exit(e, out, err);
    return kExitUsage;
  }

  if (*inspectCmd) return InspectImages(inspect, out, err);
  if (*scanCmd) return ScanDirectory(scan, out, err);
  if (*packCmd) return PackImage(pack, out, err);
  err << app.help();
  return kExitUsage;
}

}  // namespace orvane::cli
