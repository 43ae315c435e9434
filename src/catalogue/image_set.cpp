#include "catalogue/image_set.h"

namespace orvane {

std::shared_ptr<const CImageSet> CImageSet::Scan(const std::string& directory) {
  std::shared_ptr<CImageSet> set(new CImageSet);
  set->m_directory = directory;
  set->m_warning = FindImageFiles(directory, set->m_images, &set->m_report);
  return set;
}

const CFirmwareImage* CImageSet::Image(ImageType item) const {
  if (item < 0 || item >= kItemCount || m_images[item].Path().empty()) return nullptr;
  return &m_images[item];
}

void CImageSet::AttachTo(UpdateItems& items) const {
  for (int i = 0; i < kItemCount; ++i) items[i].m_pImage = Image(static_cast<ImageType>(i));
}

}  // namespace orvane
