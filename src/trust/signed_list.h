#pragma once
// The signed SHA-256 list beside the images: `SHA256.sig` in the image
// folder, a signify signature with the list embedded after it (as
// `signify -S -e` writes it), and what it says of one image file.
//
//   ReadSignatureFile(folder)        -> the file's bytes, or absent / unreadable
//   CheckSignedList(file, keys)      -> verified by a trusted key (which),
//                                       signed by an unknown key, invalid,
//                                       not a signature file; the list
//   JudgeImage(list, name, SHA-256)  -> signed, not listed, hash differs, ...
//
// With no trusted key the list is still read (the image tools show it), but
// its signature is not checked and no image counts as signed.
#include <cstddef>
#include <string>
#include <string_view>

#include "trust/checksum_list.h"
#include "trust/signify.h"
#include "trust/trusted_keys.h"

namespace orvane::trust {

inline constexpr const char* kSignatureFileName = "SHA256.sig";
// Far above a list of a folder's images: a larger file is not read.
inline constexpr std::size_t kMaxSignatureFileBytes = 1024 * 1024;

struct SignatureFile {
  enum class State { Absent, Unreadable, Read };
  State state = State::Absent;
  std::string path;
  std::string bytes;  // when Read
  std::string why;    // when Unreadable
};

SignatureFile ReadSignatureFile(const std::string& folder);

enum class ListState {
  Absent,      // no SHA256.sig
  Unreadable,  // cannot be read, or too long
  Malformed,   // no signify embedded signature
  Unchecked,   // read, but no key is trusted: the signature was not checked
  UnknownKey,  // signed by a key that is not trusted
  Invalid,     // by a trusted key's number, but the signature does not verify
  Verified,    // a trusted key verified it
};

struct SignedList {
  ListState state = ListState::Absent;
  std::string path;
  KeyNumber signer{};              // the signature's key number (once read)
  std::string keySource;           // where the verifying trusted key came from (Verified only)
  ChecksumList list;               // the list as read (trust it only when Verified)
  std::string detail;              // why it is unreadable or malformed
};

SignedList CheckSignedList(const SignatureFile& file, const TrustedKeys& keys);
// The signed message of `text` parsed, verified against `keys`.
SignedList CheckSignedText(std::string_view text, const TrustedKeys& keys);

enum class ImageSignature {
  Signed,            // listed with this SHA-256 in a list a trusted key verified
  ListedUnchecked,   // listed with this SHA-256; no key is trusted
  NotListed,
  HashDiffers,
  UnknownKey,
  SignatureInvalid,
  NoSignatureFile,
  SignatureFileBad,  // unreadable or no signature file
};

ImageSignature JudgeImage(const SignedList& list, std::string_view fileName, const Sha256Digest& digest);

// "signed", "listed (signature not checked)", "not listed", "hash differs",
// "signature by an unknown key", "signature invalid", "no SHA256.sig",
// "SHA256.sig unreadable".
const char* ImageSignatureName(ImageSignature state);
// Only a signed image passes a check with trusted keys.
inline bool Passes(ImageSignature state) { return state == ImageSignature::Signed; }

}  // namespace orvane::trust
