#pragma once
// The signature rule over an image set: with trusted keys, every image the
// scan assigned to an item must be listed, with the SHA-256 of the bytes the
// scan froze, in a SHA256.sig that a trusted key verifies. With no trusted
// key nothing is required (the images are not signature-checked).
//
// Pure: judges what the scan read and froze; reads no file itself.
#include <array>
#include <string>
#include <vector>

#include "catalogue/image_set.h"
#include "trust/signed_list.h"
#include "trust/trusted_keys.h"

namespace orvane {

struct ItemSignature {
  bool hasImage = false;
  std::string file;    // the image's path
  std::string sha256;  // hex of the frozen bytes; empty without an image
  trust::ImageSignature state = trust::ImageSignature::NoSignatureFile;
};

// What the check does about signatures.
enum class SignatureVerdict {
  NotChecked,       // no trusted key
  Verified,         // every image is signed
  AllowedUnsigned,  // an image is not, and the operator allowed it
  Refused,          // an image is not: the check fails
};

// "not checked", "verified", "unsigned allowed", "refused".
const char* SignatureVerdictName(SignatureVerdict verdict);

struct SignatureCheck {
  SignatureVerdict verdict = SignatureVerdict::NotChecked;
  trust::SignedList list;
  std::array<ItemSignature, kItemCount> items{};
  // Trusted key files that could not be read. They keep the check on (a
  // folder whose only key is broken does not turn it off) and are named
  // when an image is refused, since its key may be the one not read.
  std::vector<trust::KeyProblem> keyProblems;
  // The first image that does not pass; IMAGE_NONE when none does not, or
  // when no key is trusted.
  ImageType refusedItem = IMAGE_NONE;

  // The signing key's number when a trusted key verified the list; "".
  std::string SignerText() const;
  // Why the first image does not pass, in the operator's words
  // ("router_app.bin: hash differs (...)"); "" when every image passes.
  std::string RefusalText() const;
};

// Judges the set's images against `keys`; `allowUnsigned` turns a refusal
// into AllowedUnsigned.
SignatureCheck CheckImageSignatures(const CImageSet& images, const trust::TrustedKeys& keys, bool allowUnsigned);

// The file name part of a path ("router_app.bin").
std::string FileNameOf(const std::string& path);

}  // namespace orvane
