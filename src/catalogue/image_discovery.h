#pragma once
// Image discovery: the *.bin files of a directory assigned to the five items.
#include <string>
#include <vector>

#include "catalogue/prompter.h"
#include "catalogue/update_item.h"

namespace orvane {

// What discovery did with one file, for tools that show it.
struct DiscoveredFile {
  std::string path;
  ImageType type = IMAGE_NONE;  // IMAGE_NONE: skipped as invalid
  bool assigned = false;
  std::string reason;  // why it was skipped or not assigned; empty when assigned
};

struct DiscoveryReport {
  std::vector<DiscoveredFile> files;
  std::string warning;  // the warning shown, if any
};

// Starts every item's image over, then assigns each valid *.bin file of
// `directory` (case-insensitive extension, files in name order) to the item
// of its type. Only regular files are read, never waited on: a named pipe, a
// device, a socket or a folder with such a name is skipped with its reason. Returns true when at least one file was assigned. Shows
// "Same type more than one" when a second valid file of an assigned type
// turns up (the items keep what was assigned so far), and "Found none valid
// .bin file under current directory" when no file could be assigned; both
// return false. `report` (optional) receives what happened to each file.
bool FindImageFiles(const std::string& directory, UpdateItems& items, IPrompter& prompter,
                    DiscoveryReport* report = nullptr);

}  // namespace orvane
