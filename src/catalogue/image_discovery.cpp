#include "catalogue/image_discovery.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace orvane {
namespace {

bool HasBinExtension(const std::filesystem::path& path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext == ".bin";
}

// The entries named *.bin of `directory`, sorted by name so every run
// assigns the same way whatever order the file system lists them in. Their
// type is not looked at here: loading takes regular files only (a link is
// followed) and names anything else in its reason.
std::vector<std::string> ListImageFiles(const std::string& directory) {
  std::vector<std::string> files;
  std::error_code error;
  const std::u8string dir8(directory.begin(), directory.end());
  std::filesystem::directory_iterator it(std::filesystem::path(dir8), error);
  if (error) return files;
  for (const auto& entry : it) {
    if (!HasBinExtension(entry.path())) continue;
    const std::u8string name = entry.path().u8string();
    files.emplace_back(name.begin(), name.end());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

StringId FindImageFiles(const std::string& directory, ImageSlots& images, DiscoveryReport* report) {
  for (CFirmwareImage& image : images) image = CFirmwareImage{};

  int assigned = 0;
  for (const std::string& path : ListImageFiles(directory)) {
    CFirmwareImage scratch;
    scratch.SetPath(path);
    const ImageType type = scratch.LoadImage() ? scratch.Type() : IMAGE_NONE;
    DiscoveredFile seen{path, type, false, scratch.FailureReason()};
    if (type == IMAGE_NONE) {
      if (report != nullptr) report->files.push_back(std::move(seen));
      continue;
    }
    CFirmwareImage& slot = images[type];
    if (!slot.Path().empty()) {
      seen.reason = std::string("another ") + ImageTypeName(type) + " image is already assigned: " + slot.Path();
      if (report != nullptr) report->files.push_back(std::move(seen));
      return IDS_SAME_TYPE_TWICE;
    }
    // The scratch image is already loaded (its frozen copy taken) and
    // validated: it becomes the slot's image as it is instead of being
    // loaded a second time.
    slot = std::move(scratch);
    seen.assigned = true;
    if (report != nullptr) report->files.push_back(std::move(seen));
    ++assigned;
  }
  return assigned > 0 ? kImagesFound : IDS_NO_VALID_IMAGE;
}

}  // namespace orvane
