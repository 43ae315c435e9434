// Image validation over arbitrary bytes: must never read outside the input,
// crash or hang, and must never call an input valid that does not re-validate.
#include <cstdint>
#include <cstdlib>

#include "catalogue/firmware_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orvane::CFirmwareImage image;
  const bool valid = image.LoadFromMemory(data, size);
  if (valid) {
    if (image.Type() == orvane::IMAGE_NONE || image.Units().empty()) std::abort();
    for (std::size_t i = 0; i < image.Extents().size(); ++i) {
      const auto& e = image.Extents()[i];
      if (static_cast<std::uint64_t>(e.offset) + e.length > size) std::abort();
    }
  } else if (image.FailureReason().empty()) {
    std::abort();  // every rejection says why
  }
  (void)image.GetUpdateVersion();
  return 0;
}
