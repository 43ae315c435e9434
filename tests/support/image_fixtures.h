#pragma once
// Image files for tests, built through the image builder. The format itself
// is pinned separately by a hand-assembled vector in the catalogue tests.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "catalogue/image_builder.h"

namespace orvane::test {

// Deterministic payload bytes (a simple LCG), so failures reproduce.
inline std::vector<std::uint8_t> Payload(std::size_t size, std::uint32_t seed = 1) {
  std::vector<std::uint8_t> data(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : data) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return data;
}

inline std::vector<std::uint8_t> MakeImage(ImageType type, const std::string& version,
                                           std::vector<std::size_t> unitSizes = {300},
                                           std::uint32_t blockSize = 64) {
  ImagePlan plan;
  plan.type = type;
  plan.version = version;
  plan.blockSize = blockSize;
  plan.unlock = {1, 2, 3, 4, 5, 6, 7, 8};
  std::uint32_t seed = 7;
  for (const std::size_t size : unitSizes) {
    ImageUnitPlan unit;
    unit.data = Payload(size, seed++);
    if (type == IMAGE_BOOT || type == IMAGE_APP || type == IMAGE_RESOURCE) SetRouterKindFlags(unit.data, type);
    plan.units.push_back(std::move(unit));
  }
  std::vector<std::uint8_t> bytes;
  std::string error;
  if (!BuildImage(plan, bytes, error)) throw std::runtime_error("test image: " + error);
  return bytes;
}

}  // namespace orvane::test
