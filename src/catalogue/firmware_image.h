#pragma once
// Image files: a 92-byte file header and one or more checksummed units.
//
// File:  0 kind (u32)  4 (unused)  8 version text, 84 bytes, NUL-ended
//        92 units back to back, each starting at a multiple of 4
// Unit:  98-byte header, n 16-bit block CRCs, L data bytes, padding to a
//        multiple of 4 (the last unit's padding may be missing)
// All numbers little-endian; every checksum CRC-16/X.25.
//
// A CFirmwareImage takes its file through platform::MappedFile when it is
// loaded: a view frozen at that moment (a sealed copy in memory, or on
// Windows the file held against writers), which it validates in place and
// from which the update run later sends unit data. A file that another
// program truncates or rewrites after the load changes nothing that is sent.
// The view costs the image's size in memory for as long as the image is
// loaded; beyond it nothing is copied but the 98-byte unit headers.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/image_type.h"
#include "platform/file_mapping.h"

namespace orvane {

inline constexpr std::size_t kFileHeaderSize = 92;
inline constexpr std::size_t kFileVersionOffset = 8;
inline constexpr std::size_t kFileVersionField = 84;
inline constexpr std::size_t kUnitHeaderSize = 98;
// A file header and one unit header; a valid file is longer still.
inline constexpr std::size_t kMinImageFileSize = kFileHeaderSize + kUnitHeaderSize;

inline constexpr std::uint32_t FILE_KIND_FIRMWARE = 1;
inline constexpr std::uint32_t FILE_KIND_ROUTER = 2;
inline constexpr std::uint32_t FILE_KIND_DASHBOARD = 3;

inline constexpr std::uint32_t UNIT_MAGIC_ROUTER = 0x30524448;  // "HDR0"
inline constexpr std::uint32_t UNIT_MAGIC_MODULE = 0xA55AAA55;  // bytes 55 AA 5A A5

// Offsets inside a unit header.
inline constexpr std::size_t kUnitMagicOffset = 0;
inline constexpr std::size_t kUnitHeaderLengthOffset = 4;
inline constexpr std::size_t kUnitUnlockOffset = 12;
inline constexpr std::size_t kUnitTargetOffset = 20;
inline constexpr std::size_t kUnitLengthOffset = 24;
inline constexpr std::size_t kUnitChecksumOffset = 92;
inline constexpr std::size_t kUnitBlockSizeOffset = 94;

// Router images carry their kind in bits 1..2 of the 32-bit word at offset 12
// of the unit's data: 0 application, 1 boot loader, 2 resource, 3 invalid.
inline constexpr std::size_t kRouterFlagsOffset = 12;

// A copy of one unit header, with its fields decoded.
struct UnitHeader {
  std::uint8_t raw[kUnitHeaderSize];

  std::uint32_t Magic() const;
  std::uint32_t HeaderLength() const;
  const std::uint8_t* UnlockCode() const { return raw + kUnitUnlockOffset; }  // 8 bytes
  std::uint32_t TargetAddress() const;
  std::uint32_t DataLength() const;
  std::uint16_t HeaderChecksum() const;
  std::uint32_t BlockSize() const;
};

// Where a unit's data lies in the file.
struct UnitExtent {
  std::uint32_t offset;  // from the start of the file
  std::uint32_t length;
};

class CFirmwareImage {
 public:
  CFirmwareImage() = default;
  ~CFirmwareImage() { ResetImage(); }
  CFirmwareImage(CFirmwareImage&&) noexcept = default;
  CFirmwareImage& operator=(CFirmwareImage&&) noexcept = default;

  // Empties units and extents, sets the type to IMAGE_NONE and releases the
  // view (and with it the memory of its copy). Path and loaded flag stay.
  void ResetImage();

  // Takes the frozen view of the file named by the path, validates and
  // classifies it. Returns true
  // at once if already loaded. On failure FailureReason() says which check
  // failed first.
  bool LoadImage();

  // Validates bytes that the caller keeps alive (no file involved); the same
  // checks as LoadImage. For tools and fuzzing.
  bool LoadFromMemory(const std::uint8_t* data, std::size_t size);

  // The file header's version text (UTF-8), or empty without a view.
  std::string GetUpdateVersion() const;

  // The file kind word at offset 0; 0 without a view.
  std::uint32_t FileKind() const;

  void SetPath(std::string path) { m_path = std::move(path); }
  const std::string& Path() const { return m_path; }
  bool IsLoaded() const { return m_bLoaded != 0; }
  ImageType Type() const { return m_type; }
  const std::vector<UnitHeader>& Units() const { return m_units; }
  const std::vector<UnitExtent>& Extents() const { return m_extents; }
  // The whole file as it was when loaded; null without a view.
  const std::uint8_t* View() const { return m_pView; }
  std::size_t ViewSize() const { return m_nViewSize; }
  // The data of unit `index`, straight from the view.
  const std::uint8_t* UnitData(std::size_t index) const { return m_pView + m_extents[index].offset; }

  // Empty after a successful load; otherwise the first failed check, in words.
  const std::string& FailureReason() const { return m_reason; }

 private:
  bool Validate();
  bool ParseUnit(std::size_t* offset);
  ImageType ClassifyImage();
  bool Fail(std::string reason);

  std::vector<UnitHeader> m_units;
  std::vector<UnitExtent> m_extents;
  std::string m_path;
  std::uint8_t m_bLoaded = 0;
  platform::MappedFile m_mapping;
  const std::uint8_t* m_pView = nullptr;
  std::size_t m_nViewSize = 0;
  ImageType m_type = IMAGE_NONE;
  std::string m_reason;
};

}  // namespace orvane
