#include "catalogue/image_signatures.h"

namespace orvane {

const char* SignatureVerdictName(SignatureVerdict verdict) {
  switch (verdict) {
    case SignatureVerdict::NotChecked: return "not checked";
    case SignatureVerdict::Verified: return "verified";
    case SignatureVerdict::AllowedUnsigned: return "unsigned allowed";
    case SignatureVerdict::Refused: return "refused";
  }
  return "";
}

std::string FileNameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string SignatureCheck::SignerText() const {
  return list.state == trust::ListState::Verified ? trust::KeyNumberText(list.signer) : "";
}

std::string SignatureCheck::RefusalText() const {
  if (refusedItem != IMAGE_NONE) {
    const ItemSignature& item = items[refusedItem];
    std::string text = FileNameOf(item.file) + ": " + trust::ImageSignatureName(item.state);
    switch (item.state) {
      case trust::ImageSignature::UnknownKey:
        text += " (" + trust::KeyNumberText(list.signer) + ")";
        break;
      case trust::ImageSignature::SignatureFileBad:
        if (!list.detail.empty()) text += " (" + list.detail + ")";
        break;
      case trust::ImageSignature::HashDiffers:
        text += " (the image's SHA-256 is " + item.sha256 + ")";
        break;
      default:
        break;
    }
    // The key that signed it may be the one that could not be read.
    if (!keyProblems.empty()) {
      text += "; a trusted key cannot be read: " + keyProblems.front().source + ": " + keyProblems.front().why;
    }
    return text;
  }
  return "";
}

SignatureCheck CheckImageSignatures(const CImageSet& images, const trust::TrustedKeys& keys, bool allowUnsigned) {
  SignatureCheck check;
  check.list = trust::CheckSignedList(images.SignatureFile(), keys);
  check.keyProblems = keys.problems;
  bool allPass = true;
  for (int i = 0; i < kItemCount; ++i) {
    const ImageType type = static_cast<ImageType>(i);
    const CFirmwareImage* image = images.Image(type);
    ItemSignature& item = check.items[i];
    if (image == nullptr) continue;
    item.hasImage = true;
    item.file = image->Path();
    item.sha256 = trust::HexText(images.Digest(type));
    item.state = trust::JudgeImage(check.list, FileNameOf(image->Path()), images.Digest(type));
    if (!trust::Passes(item.state) && allPass) {
      allPass = false;
      check.refusedItem = type;
    }
  }
  if (!keys.Configured()) {
    check.refusedItem = IMAGE_NONE;
    check.verdict = SignatureVerdict::NotChecked;
  } else if (allPass) {
    check.verdict = SignatureVerdict::Verified;
  } else {
    check.verdict = allowUnsigned ? SignatureVerdict::AllowedUnsigned : SignatureVerdict::Refused;
  }
  return check;
}

}  // namespace orvane
