#pragma once
// CImageSet: one scan of an image folder, immutable once made. Each item's
// image is loaded, validated and frozen by the scan (the bytes it validated
// are the bytes every run sends, whatever happens to the file afterwards),
// so any number of sessions, one per router, share one set. The scan also
// takes the SHA-256 of each item's frozen bytes and reads the folder's
// SHA256.sig, so that what a signature check judges is what is sent.
//
// Made on one thread; after Scan() returns, every member is read-only and
// may be read from any thread.
#include <memory>
#include <string>

#include "catalogue/image_discovery.h"
#include "catalogue/update_item.h"
#include "trust/crypto.h"
#include "trust/signed_list.h"

namespace orvane {

class CImageSet {
 public:
  // Scans `directory` (FindImageFiles). Never null; a scan that found
  // nothing usable says so in Warning().
  static std::shared_ptr<const CImageSet> Scan(const std::string& directory);

  CImageSet(const CImageSet&) = delete;
  CImageSet& operator=(const CImageSet&) = delete;

  const std::string& Directory() const { return m_directory; }
  // kImagesFound, or the id of the warning that ends a check
  // (IDS_SAME_TYPE_TWICE, IDS_NO_VALID_IMAGE).
  StringId Warning() const { return m_warning; }
  bool Usable() const { return m_warning == kImagesFound; }
  // The item's image; null when the folder holds none for it.
  const CFirmwareImage* Image(ImageType item) const;
  const DiscoveryReport& Report() const { return m_report; }
  // The SHA-256 of the item's image as frozen by the scan; all zero
  // without an image.
  const trust::Sha256Digest& Digest(ImageType item) const;
  // The folder's SHA256.sig as the scan read it.
  const trust::SignatureFile& SignatureFile() const { return m_signatureFile; }

  // Points each of `items` at this set's image for it (or at none). The
  // set must outlive the items' use of the images.
  void AttachTo(UpdateItems& items) const;

 private:
  CImageSet() = default;

  std::string m_directory;
  StringId m_warning = kImagesFound;
  ImageSlots m_images;
  DiscoveryReport m_report;
  std::array<trust::Sha256Digest, kItemCount> m_digests{};
  trust::SignatureFile m_signatureFile;
};

using ImageSetPtr = std::shared_ptr<const CImageSet>;

}  // namespace orvane
