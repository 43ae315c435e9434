#include "catalogue/image_builder.h"

#include <cstring>

#include "catalogue/firmware_image.h"
#include "diag/framing.h"
#include "platform/codepage.h"

namespace orvane {
namespace {

void PutLe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

void PutLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

bool IsRouterType(ImageType t) { return t == IMAGE_BOOT || t == IMAGE_APP || t == IMAGE_RESOURCE; }

std::uint32_t RouterKindFlags(ImageType t) { return t == IMAGE_BOOT ? 1 : t == IMAGE_RESOURCE ? 2 : 0; }

void AppendUnit(std::vector<std::uint8_t>& out, std::uint32_t magic, const ImagePlan& plan,
                const std::vector<std::uint8_t>& data, std::uint32_t target) {
  const std::size_t length = data.size();
  const std::size_t blocks = (length + plan.blockSize - 1) / plan.blockSize;
  std::uint8_t header[kUnitHeaderSize] = {};
  PutLe32(header + kUnitMagicOffset, magic);
  PutLe32(header + kUnitHeaderLengthOffset, static_cast<std::uint32_t>(kUnitHeaderSize + 2 * blocks));
  std::memcpy(header + kUnitUnlockOffset, plan.unlock.data(), plan.unlock.size());
  PutLe32(header + kUnitTargetOffset, target);
  PutLe32(header + kUnitLengthOffset, static_cast<std::uint32_t>(length));
  PutLe32(header + kUnitBlockSizeOffset, plan.blockSize);
  PutLe16(header + kUnitChecksumOffset, Crc16(header, kUnitHeaderSize));  // computed with the field at 0
  out.insert(out.end(), header, header + kUnitHeaderSize);

  for (std::size_t i = 0; i < blocks; ++i) {
    const std::size_t begin = i * plan.blockSize;
    const std::size_t n = std::min<std::size_t>(plan.blockSize, length - begin);
    std::uint8_t crc[2];
    PutLe16(crc, Crc16(data.data() + begin, n));
    out.insert(out.end(), crc, crc + 2);
  }
  out.insert(out.end(), data.begin(), data.end());
  while (out.size() % 4 != 0) out.push_back(0);
}

}  // namespace

void SetRouterKindFlags(std::vector<std::uint8_t>& payload, ImageType type) {
  std::uint8_t* word = payload.data() + kRouterFlagsOffset;
  const std::uint32_t old = static_cast<std::uint32_t>(word[0]) | (static_cast<std::uint32_t>(word[1]) << 8) |
                            (static_cast<std::uint32_t>(word[2]) << 16) | (static_cast<std::uint32_t>(word[3]) << 24);
  PutLe32(word, (old & ~0x6u) | (RouterKindFlags(type) << 1));
}

bool BuildImage(const ImagePlan& plan, std::vector<std::uint8_t>& out, std::string& error) {
  out.clear();
  if (plan.type == IMAGE_NONE) return error = "no image type given", false;
  if (plan.blockSize == 0) return error = "block size must not be 0", false;
  if (plan.units.empty()) return error = "at least one payload is needed", false;
  const std::string version = platform::Utf8ToAnsi(plan.version);
  if (version.size() >= kFileVersionField) {
    return error = "version text is " + std::to_string(version.size()) + " bytes; at most " +
                   std::to_string(kFileVersionField - 1) + " fit",
           false;
  }
  for (std::size_t i = 0; i < plan.units.size(); ++i) {
    if (plan.units[i].data.empty()) return error = "payload " + std::to_string(i + 1) + " is empty", false;
    if (plan.units[i].data.size() > 0xFFFFFFFFu - 4096) return error = "payload " + std::to_string(i + 1) + " is too large", false;
  }

  const bool router = IsRouterType(plan.type);
  if (router) {
    if (plan.units.size() != 1) {
      return error = std::string("a router image holds exactly one payload, not ") +
                     std::to_string(plan.units.size()),
             false;
    }
    const auto& data = plan.units[0].data;
    if (data.size() < kRouterFlagsOffset + 4) {
      return error = "a router payload must be at least 16 bytes: its kind flags lie at offset 12", false;
    }
    const std::uint32_t word = static_cast<std::uint32_t>(data[12]) | (static_cast<std::uint32_t>(data[13]) << 8) |
                               (static_cast<std::uint32_t>(data[14]) << 16) |
                               (static_cast<std::uint32_t>(data[15]) << 24);
    const std::uint32_t flags = (word >> 1) & 3;
    if (flags != RouterKindFlags(plan.type)) {
      const char* named = flags == 0 ? "app" : flags == 1 ? "boot" : flags == 2 ? "resource" : "no kind (3)";
      return error = std::string("the payload's kind flags (bits 1-2 of the word at offset 12) say ") + named +
                     ", not " + ImageTypeName(plan.type),
             false;
    }
  }

  // Firmware and dashboard images state their kind in the file header, so
  // the unit count never decides it.
  const std::uint32_t kind = router ? FILE_KIND_ROUTER
                             : plan.type == IMAGE_FIRMWARE ? FILE_KIND_FIRMWARE
                                                           : FILE_KIND_DASHBOARD;
  out.assign(kFileHeaderSize, 0);
  PutLe32(out.data(), kind);
  std::memcpy(out.data() + kFileVersionOffset, version.data(), version.size());

  const std::uint32_t magic = router ? UNIT_MAGIC_ROUTER : UNIT_MAGIC_MODULE;
  std::uint32_t nextTarget = 0;
  for (const ImageUnitPlan& unit : plan.units) {
    const std::uint32_t target = unit.target.value_or(nextTarget);
    AppendUnit(out, magic, plan, unit.data, target);
    nextTarget = target + static_cast<std::uint32_t>(unit.data.size());
  }

  // Read it back: what is written must inspect as the requested type.
  CFirmwareImage check;
  if (!check.LoadFromMemory(out.data(), out.size()) || check.Type() != plan.type) {
    error = "internal: the built image does not read back as " + std::string(ImageTypeName(plan.type)) + ": " +
            check.FailureReason();
    out.clear();
    return false;
  }
  return true;
}

}  // namespace orvane
