#include "catalogue/image_set.h"

namespace orvane {

std::shared_ptr<const CImageSet> CImageSet::Scan(const std::string& directory) {
  std::shared_ptr<CImageSet> set(new CImageSet);
  set->m_directory = directory;
  set->m_warning = FindImageFiles(directory, set->m_images, &set->m_report);
  for (int i = 0; i < kItemCount; ++i) {
    const CFirmwareImage* image = set->Image(static_cast<ImageType>(i));
    if (image != nullptr && image->View() != nullptr) {
      set->m_digests[i] = trust::Sha256(image->View(), image->ViewSize());
    }
  }
  set->m_signatureFile = trust::ReadSignatureFile(directory);
  return set;
}

const trust::Sha256Digest& CImageSet::Digest(ImageType item) const {
  static const trust::Sha256Digest kNone{};
  if (item < 0 || item >= kItemCount) return kNone;
  return m_digests[item];
}

const CFirmwareImage* CImageSet::Image(ImageType item) const {
  if (item < 0 || item >= kItemCount || m_images[item].Path().empty()) return nullptr;
  return &m_images[item];
}

void CImageSet::AttachTo(UpdateItems& items) const {
  for (int i = 0; i < kItemCount; ++i) items[i].m_pImage = Image(static_cast<ImageType>(i));
}

}  // namespace orvane
