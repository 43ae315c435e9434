#include "trust/signed_list.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/utf8_path.h"

namespace orvane::trust {

SignatureFile ReadSignatureFile(const std::string& folder) {
  namespace fs = std::filesystem;
  SignatureFile file;
  const fs::path path = platform::Utf8Path(folder) / kSignatureFileName;
  file.path = platform::PathText(path);
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (!fs::exists(status)) return file;
  file.state = SignatureFile::State::Unreadable;
  if (!fs::is_regular_file(status)) return file.why = "not a regular file", file;
  std::ifstream in(path, std::ios::binary);
  if (!in) return file.why = "cannot be opened for reading", file;
  file.bytes.resize(kMaxSignatureFileBytes + 1);
  in.read(file.bytes.data(), static_cast<std::streamsize>(file.bytes.size()));
  if (in.bad()) return file.bytes.clear(), file.why = "read error", file;
  file.bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (file.bytes.size() > kMaxSignatureFileBytes) {
    file.bytes.clear();
    return file.why = "longer than " + std::to_string(kMaxSignatureFileBytes) + " bytes", file;
  }
  file.state = SignatureFile::State::Read;
  return file;
}

SignedList CheckSignedText(std::string_view text, const TrustedKeys& keys) {
  SignedList result;
  const SignifyRead<EmbeddedSignature> read = ReadEmbeddedSignature(text);
  if (!read) {
    result.state = ListState::Malformed;
    result.detail = SignifyProblemText(read.problem);
    return result;
  }
  const EmbeddedSignature& signed_ = *read.value;
  result.signer = signed_.signature.number;
  result.list = ParseChecksumList(signed_.message);
  if (!keys.Configured()) {
    result.state = ListState::Unchecked;
    return result;
  }
  // Every trusted key of the signature's number is tried: two keys may
  // share one (the number is the signer's choice, not the key's hash).
  result.state = ListState::UnknownKey;
  for (const TrustedKey& key : keys.keys) {
    if (key.key.number != signed_.signature.number) continue;
    if (Ed25519Verify(key.key.key, reinterpret_cast<const std::uint8_t*>(signed_.message.data()),
                      signed_.message.size(), signed_.signature.signature)) {
      result.state = ListState::Verified;
      result.keySource = key.source;
      return result;
    }
    result.state = ListState::Invalid;
  }
  return result;
}

SignedList CheckSignedList(const SignatureFile& file, const TrustedKeys& keys) {
  SignedList result;
  switch (file.state) {
    case SignatureFile::State::Absent:
      result.state = ListState::Absent;
      break;
    case SignatureFile::State::Unreadable:
      result.state = ListState::Unreadable;
      result.detail = file.why;
      break;
    case SignatureFile::State::Read:
      result = CheckSignedText(file.bytes, keys);
      break;
  }
  result.path = file.path;
  return result;
}

ImageSignature JudgeImage(const SignedList& list, std::string_view fileName, const Sha256Digest& digest) {
  switch (list.state) {
    case ListState::Absent: return ImageSignature::NoSignatureFile;
    case ListState::Unreadable:
    case ListState::Malformed: return ImageSignature::SignatureFileBad;
    case ListState::UnknownKey: return ImageSignature::UnknownKey;
    case ListState::Invalid: return ImageSignature::SignatureInvalid;
    case ListState::Unchecked:
    case ListState::Verified: break;
  }
  switch (MatchFile(list.list, fileName, digest)) {
    case ListMatch::NotListed: return ImageSignature::NotListed;
    case ListMatch::HashDiffers: return ImageSignature::HashDiffers;
    case ListMatch::Listed: break;
  }
  return list.state == ListState::Verified ? ImageSignature::Signed : ImageSignature::ListedUnchecked;
}

const char* ImageSignatureName(ImageSignature state) {
  switch (state) {
    case ImageSignature::Signed: return "signed";
    case ImageSignature::ListedUnchecked: return "listed (signature not checked)";
    case ImageSignature::NotListed: return "not listed";
    case ImageSignature::HashDiffers: return "hash differs";
    case ImageSignature::UnknownKey: return "signature by an unknown key";
    case ImageSignature::SignatureInvalid: return "signature invalid";
    case ImageSignature::NoSignatureFile: return "no SHA256.sig";
    case ImageSignature::SignatureFileBad: return "SHA256.sig unreadable";
  }
  return "";
}

}  // namespace orvane::trust
