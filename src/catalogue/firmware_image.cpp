#include "catalogue/firmware_image.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "diag/framing.h"
#include "platform/codepage.h"

namespace orvane {
namespace {

std::uint32_t ReadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint16_t ReadLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// Network paths are refused: an image is sent from a local mapping, and a
// share that goes away mid-update would fault the reader.
bool IsAcceptablePath(const std::string& path) {
  return path.size() >= 8 && path.compare(0, 2, "\\\\") != 0;
}

std::string Hex32(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

std::string Hex16(std::uint16_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", v);
  return text;
}

}  // namespace

const char* ImageTypeName(ImageType type) {
  switch (type) {
    case IMAGE_BOOT: return "boot";
    case IMAGE_APP: return "app";
    case IMAGE_RESOURCE: return "resource";
    case IMAGE_FIRMWARE: return "firmware";
    case IMAGE_DASHBOARD: return "dashboard";
    default: return "none";
  }
}

ImageType ImageTypeFromName(const char* name) {
  for (int t = IMAGE_BOOT; t < IMAGE_NONE; ++t) {
    if (std::strcmp(name, ImageTypeName(static_cast<ImageType>(t))) == 0) return static_cast<ImageType>(t);
  }
  return IMAGE_NONE;
}

std::uint32_t UnitHeader::Magic() const { return ReadLe32(raw + kUnitMagicOffset); }
std::uint32_t UnitHeader::HeaderLength() const { return ReadLe32(raw + kUnitHeaderLengthOffset); }
std::uint32_t UnitHeader::TargetAddress() const { return ReadLe32(raw + kUnitTargetOffset); }
std::uint32_t UnitHeader::DataLength() const { return ReadLe32(raw + kUnitLengthOffset); }
std::uint16_t UnitHeader::HeaderChecksum() const { return ReadLe16(raw + kUnitChecksumOffset); }
std::uint32_t UnitHeader::BlockSize() const { return ReadLe32(raw + kUnitBlockSizeOffset); }

void CFirmwareImage::ResetImage() {
  m_units.clear();
  m_extents.clear();
  m_type = IMAGE_NONE;
  m_mapping.Unmap();
  m_pView = nullptr;
  m_nViewSize = 0;
}

bool CFirmwareImage::Fail(std::string reason) {
  m_reason = std::move(reason);
  return false;
}

bool CFirmwareImage::LoadImage() {
  if (m_bLoaded) return true;
  ResetImage();
  m_reason.clear();
  if (!IsAcceptablePath(m_path)) {
    return Fail(m_path.size() < 8 ? "path shorter than 8 characters" : "network paths are not accepted");
  }
  m_bLoaded = 0;
  if (!m_mapping.Map(m_path)) return Fail(m_mapping.Error());
  m_pView = m_mapping.Data();
  m_nViewSize = m_mapping.Size();
  return Validate();
}

bool CFirmwareImage::LoadFromMemory(const std::uint8_t* data, std::size_t size) {
  ResetImage();
  m_reason.clear();
  m_bLoaded = 0;
  if (data == nullptr) return Fail("no data");
  m_pView = data;
  m_nViewSize = size;
  return Validate();
}

bool CFirmwareImage::Validate() {
  if (m_nViewSize < kMinImageFileSize) {
    return Fail("file is " + std::to_string(m_nViewSize) + " bytes, shorter than a file header and one unit header (" +
                std::to_string(kMinImageFileSize) + ")");
  }
  // Extents hold 32-bit offsets, as the format's own fields do.
  if (m_nViewSize > std::numeric_limits<std::uint32_t>::max()) return Fail("file is larger than 4 GiB");
  std::size_t offset = kFileHeaderSize;
  while (offset < m_nViewSize) {
    if (!ParseUnit(&offset)) return false;
  }
  m_type = ClassifyImage();
  m_bLoaded = m_type != IMAGE_NONE ? 1 : 0;
  return m_bLoaded != 0;
}

bool CFirmwareImage::ParseUnit(std::size_t* offsetInOut) {
  const std::size_t unitIndex = m_units.size();
  const std::string unit = "unit " + std::to_string(unitIndex);
  // Arithmetic in 64 bits: header fields are 32-bit and sums must not wrap.
  std::uint64_t offset = *offsetInOut;
  const std::uint64_t size = m_nViewSize;
  if (offset + kUnitHeaderSize > size) {
    return Fail(unit + " at offset " + std::to_string(offset) + ": header cut short by the end of the file (" +
                std::to_string(size - offset) + " of " + std::to_string(kUnitHeaderSize) + " bytes)");
  }

  UnitHeader header;
  std::memcpy(header.raw, m_pView + offset, kUnitHeaderSize);
  offset += kUnitHeaderSize;

  UnitHeader zeroed = header;
  zeroed.raw[kUnitChecksumOffset] = 0;
  zeroed.raw[kUnitChecksumOffset + 1] = 0;
  const std::uint16_t headerCrc = Crc16(zeroed.raw, kUnitHeaderSize);
  if (headerCrc != header.HeaderChecksum()) {
    return Fail(unit + ": header checksum is " + Hex16(header.HeaderChecksum()) + ", the header's bytes give " +
                Hex16(headerCrc));
  }

  const std::uint64_t blockSize = header.BlockSize();
  const std::uint64_t length = header.DataLength();
  if (blockSize == 0) return Fail(unit + ": block size is 0");
  if (length == 0) return Fail(unit + ": data length is 0");

  const std::uint64_t blocks = (length + blockSize - 1) / blockSize;
  const std::uint64_t tableBytes = 2 * blocks;
  if (header.HeaderLength() != kUnitHeaderSize + tableBytes) {
    return Fail(unit + ": header length " + std::to_string(header.HeaderLength()) + " should be " +
                std::to_string(kUnitHeaderSize + tableBytes) + " for " + std::to_string(blocks) + " blocks");
  }
  if (offset + tableBytes + length > size) {
    return Fail(unit + ": checksum table and " + std::to_string(length) +
                " data bytes reach past the end of the file");
  }

  const std::uint8_t* table = m_pView + offset;
  const std::uint64_t dataOffset = offset + tableBytes;
  m_extents.push_back(UnitExtent{static_cast<std::uint32_t>(dataOffset), static_cast<std::uint32_t>(length)});
  offset = dataOffset;

  for (std::uint64_t i = 0; i < blocks; ++i) {
    const std::uint64_t blockLength = (i + 1 < blocks) ? blockSize : length - (blocks - 1) * blockSize;
    const std::uint16_t expected = ReadLe16(table + 2 * i);
    const std::uint16_t actual = Crc16(m_pView + offset, static_cast<std::size_t>(blockLength));
    if (actual != expected) {
      m_extents.pop_back();
      return Fail(unit + ", block " + std::to_string(i) + " of " + std::to_string(blocks) + ": the data give checksum " +
                  Hex16(actual) + ", the table says " + Hex16(expected));
    }
    offset += blockLength;
  }

  const std::uint64_t unitSize = kUnitHeaderSize + tableBytes + length;
  if (unitSize % 4 != 0) offset += 4 - unitSize % 4;

  m_units.push_back(header);
  *offsetInOut = static_cast<std::size_t>(offset);
  return true;
}

ImageType CFirmwareImage::ClassifyImage() {
  const std::uint32_t magic = m_units.front().Magic();
  const std::uint32_t kind = FileKind();
  const std::size_t count = m_units.size();

  if (magic == UNIT_MAGIC_ROUTER) {
    if (kind != FILE_KIND_ROUTER) {
      Fail("router image (HDR0) with file kind " + std::to_string(kind) + " instead of 2");
      return IMAGE_NONE;
    }
    if (count != 1) {
      Fail("router image with " + std::to_string(count) + " units; it must have exactly one");
      return IMAGE_NONE;
    }
    // The flags word lies inside the data; a unit too short to hold it
    // carries no kind at all.
    if (m_extents.front().length < kRouterFlagsOffset + 4) {
      Fail("router image data of " + std::to_string(m_extents.front().length) +
           " bytes is too short to carry its kind flags (16 bytes at least)");
      return IMAGE_NONE;
    }
    const std::uint32_t flags = (ReadLe32(UnitData(0) + kRouterFlagsOffset) >> 1) & 3;
    switch (flags) {
      case 0: return IMAGE_APP;
      case 1: return IMAGE_BOOT;
      case 2: return IMAGE_RESOURCE;
      default:
        Fail("router image kind flags are 3 (no such kind)");
        return IMAGE_NONE;
    }
  }
  if (magic == UNIT_MAGIC_MODULE) {
    if (kind == FILE_KIND_FIRMWARE) return IMAGE_FIRMWARE;
    if (kind == FILE_KIND_DASHBOARD) return IMAGE_DASHBOARD;
    return count == 2 ? IMAGE_DASHBOARD : IMAGE_FIRMWARE;
  }
  Fail("unit 0 has unknown magic " + Hex32(magic));
  return IMAGE_NONE;
}

std::string CFirmwareImage::GetUpdateVersion() const {
  if (m_pView == nullptr || m_nViewSize < kFileHeaderSize) return {};
  const char* text = reinterpret_cast<const char*>(m_pView + kFileVersionOffset);
  const void* nul = std::memchr(text, 0, kFileVersionField);
  const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : kFileVersionField;
  return platform::AnsiToUtf8(std::string_view(text, length));
}

std::uint32_t CFirmwareImage::FileKind() const {
  if (m_pView == nullptr || m_nViewSize < 4) return 0;
  return ReadLe32(m_pView);
}

}  // namespace orvane
