#pragma once
#include <cstdint>

namespace orvane {

// The five update items, which also classify an image file. The value is the
// item's index in a session's item table and its row in the list.
enum ImageType : std::int32_t {
  IMAGE_BOOT = 0,       // router board boot loader
  IMAGE_APP = 1,        // router board application
  IMAGE_RESOURCE = 2,   // router board resource
  IMAGE_FIRMWARE = 3,   // wireless module firmware
  IMAGE_DASHBOARD = 4,  // wireless module dashboard
  IMAGE_NONE = 5,       // not a valid image / no item
};

inline constexpr int kItemCount = 5;

// Short lower-case name for tools and JSON ("boot", ..., "none").
const char* ImageTypeName(ImageType type);
// The inverse of ImageTypeName for the five items; IMAGE_NONE otherwise.
ImageType ImageTypeFromName(const char* name);

}  // namespace orvane
