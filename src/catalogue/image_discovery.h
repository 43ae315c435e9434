#pragma once
// Image discovery: the *.bin files of a directory assigned to the five items.
#include <array>
#include <string>
#include <vector>

#include "catalogue/firmware_image.h"
#include "catalogue/string_table.h"

namespace orvane {

// One image per item, indexed by ImageType; an empty path = none assigned.
using ImageSlots = std::array<CFirmwareImage, kItemCount>;

// What discovery did with one file, for tools that show it.
struct DiscoveredFile {
  std::string path;
  ImageType type = IMAGE_NONE;  // IMAGE_NONE: skipped as invalid
  bool assigned = false;
  std::string reason;  // why it was skipped or not assigned; empty when assigned
};

struct DiscoveryReport {
  std::vector<DiscoveredFile> files;
};

// The scan found something to update.
inline constexpr StringId kImagesFound = static_cast<StringId>(0);

// Starts every slot over, then assigns each valid *.bin file of `directory`
// (case-insensitive extension, files in name order) to the slot of its type.
// Only regular files are read, never waited on: a named pipe, a device, a
// socket or a folder with such a name is skipped with its reason. Returns
// kImagesFound when at least one file was assigned; IDS_SAME_TYPE_TWICE
// ("Same type more than one") when a second valid file of an assigned type
// turns up (the slots keep what was assigned so far), IDS_NO_VALID_IMAGE
// ("Found none valid .bin file under current directory") when no file could
// be assigned. Shows nothing: the caller says the warning. `report`
// (optional) receives what happened to each file.
StringId FindImageFiles(const std::string& directory, ImageSlots& images, DiscoveryReport* report = nullptr);

}  // namespace orvane
