#pragma once
// Builds image files: the inverse of CFirmwareImage, for the image tool,
// the simulator, tests and benchmarks.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/image_type.h"

namespace orvane {

struct ImageUnitPlan {
  std::vector<std::uint8_t> data;          // not empty
  std::optional<std::uint32_t> target;     // default: the previous unit's end (0 for the first)
};

struct ImagePlan {
  ImageType type = IMAGE_NONE;             // boot, app, resource, firmware or dashboard
  std::string version;                     // UTF-8; stored in the system code page, < 84 bytes
  std::array<std::uint8_t, 8> unlock{};    // module unlock code, as it is sent
  std::uint32_t blockSize = 4096;
  std::vector<ImageUnitPlan> units;        // router images: exactly one
};

// Builds the file bytes for `plan`. Refuses (returns false, `error` says
// why) when the image would not read back as the requested type: a router
// image with other than one unit, a router payload whose kind flags (data
// offset 12) name another kind, an empty payload, a zero block size, a
// version text that does not fit.
bool BuildImage(const ImagePlan& plan, std::vector<std::uint8_t>& out, std::string& error);

// A router payload's kind flags for `type` (boot 1, app 0, resource 2),
// written into bits 1..2 of the word at data offset 12. The payload must be
// at least 16 bytes.
void SetRouterKindFlags(std::vector<std::uint8_t>& payload, ImageType type);

}  // namespace orvane
