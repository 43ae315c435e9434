#include "trust/signify.h"

#include <algorithm>
#include <vector>

#include "trust/base64.h"

namespace orvane::trust {
namespace {

constexpr std::uint8_t kAlgorithm[2] = {'E', 'd'};
constexpr std::uint8_t kKdf[2] = {'B', 'K'};
constexpr std::size_t kPublicKeyRecord = 2 + 8 + 32;
constexpr std::size_t kSecretKeyRecord = 2 + 2 + 4 + 16 + 8 + 8 + 64;
constexpr std::size_t kSignatureRecord = 2 + 8 + 64;

struct Lines {
  std::string comment;
  std::vector<std::uint8_t> record;
  std::string_view rest;  // after the second line's end
};

SignifyProblem Split(std::string_view text, std::size_t recordSize, Lines& lines) {
  const std::size_t commentEnd = text.find('\n');
  if (commentEnd == std::string_view::npos || text.substr(0, kCommentHeader.size()) != kCommentHeader) {
    return SignifyProblem::NoComment;
  }
  std::string_view comment = text.substr(kCommentHeader.size(), commentEnd - kCommentHeader.size());
  if (!comment.empty() && comment.back() == '\r') comment.remove_suffix(1);
  if (comment.size() > kMaxCommentBytes) return SignifyProblem::CommentTooLong;
  const std::size_t dataEnd = text.find('\n', commentEnd + 1);
  if (dataEnd == std::string_view::npos) return SignifyProblem::NoDataLine;
  std::string_view data = text.substr(commentEnd + 1, dataEnd - commentEnd - 1);
  if (!data.empty() && data.back() == '\r') data.remove_suffix(1);
  // Longer than the record's base64 can be: not decoded at all.
  if (data.size() > (recordSize + 2) / 3 * 4) return SignifyProblem::WrongLength;
  std::optional<std::vector<std::uint8_t>> record = Base64Decode(data);
  if (!record) return SignifyProblem::BadBase64;
  if (record->size() != recordSize) return SignifyProblem::WrongLength;
  if (!std::equal(kAlgorithm, kAlgorithm + 2, record->begin())) return SignifyProblem::NotEd25519;
  lines.comment = std::string(comment);
  lines.record = std::move(*record);
  lines.rest = text.substr(dataEnd + 1);
  return SignifyProblem::None;
}

template <typename T>
SignifyRead<T> Problem(SignifyProblem problem) {
  SignifyRead<T> read;
  read.problem = problem;
  return read;
}

template <std::size_t N>
void Take(const std::vector<std::uint8_t>& record, std::size_t offset, std::array<std::uint8_t, N>& out) {
  std::copy_n(record.begin() + static_cast<std::ptrdiff_t>(offset), N, out.begin());
}

std::string File(const std::string& comment, const std::vector<std::uint8_t>& record) {
  return std::string(kCommentHeader) + comment + "\n" + Base64Encode(record.data(), record.size()) + "\n";
}

template <std::size_t N>
void Put(std::vector<std::uint8_t>& record, const std::array<std::uint8_t, N>& bytes) {
  record.insert(record.end(), bytes.begin(), bytes.end());
}

}  // namespace

const char* SignifyProblemText(SignifyProblem problem) {
  switch (problem) {
    case SignifyProblem::None: return "";
    case SignifyProblem::NoComment: return "the first line is not \"untrusted comment: ...\"";
    case SignifyProblem::CommentTooLong: return "the comment is longer than 1023 bytes";
    case SignifyProblem::NoDataLine: return "no line end after the base64 line";
    case SignifyProblem::BadBase64: return "the second line is not base64";
    case SignifyProblem::WrongLength: return "the second line is not of this kind of file's length";
    case SignifyProblem::NotEd25519: return "not an Ed25519 key or signature";
    case SignifyProblem::UnknownKdf: return "the secret key's key derivation is not bcrypt_pbkdf";
    case SignifyProblem::Encrypted:
      return "the secret key is protected by a passphrase, which Orvane does not read (make the key with "
             "`signify-openbsd -G -n` or `orvane image keygen`)";
    case SignifyProblem::ChecksumMismatch: return "the secret key does not match its checksum";
    case SignifyProblem::TooLong: return "longer than a key file can be";
  }
  return "";
}

SignifyRead<SignifyPublicKey> ReadPublicKey(std::string_view text) {
  if (text.size() > kMaxKeyFileBytes) return Problem<SignifyPublicKey>(SignifyProblem::TooLong);
  Lines lines;
  const SignifyProblem problem = Split(text, kPublicKeyRecord, lines);
  if (problem != SignifyProblem::None) return Problem<SignifyPublicKey>(problem);
  SignifyPublicKey key;
  key.comment = std::move(lines.comment);
  Take(lines.record, 2, key.number);
  Take(lines.record, 10, key.key);
  return {key, SignifyProblem::None};
}

SignifyRead<SignifySecretKey> ReadSecretKey(std::string_view text) {
  if (text.size() > kMaxKeyFileBytes) return Problem<SignifySecretKey>(SignifyProblem::TooLong);
  Lines lines;
  const SignifyProblem problem = Split(text, kSecretKeyRecord, lines);
  if (problem != SignifyProblem::None) return Problem<SignifySecretKey>(problem);
  const std::vector<std::uint8_t>& r = lines.record;
  if (!std::equal(kKdf, kKdf + 2, r.begin() + 2)) return Problem<SignifySecretKey>(SignifyProblem::UnknownKdf);
  const std::uint32_t rounds = (std::uint32_t{r[4]} << 24) | (std::uint32_t{r[5]} << 16) |
                               (std::uint32_t{r[6]} << 8) | std::uint32_t{r[7]};
  if (rounds != 0) return Problem<SignifySecretKey>(SignifyProblem::Encrypted);
  const Sha512Digest check = Sha512(r.data() + 40, 64);
  if (!std::equal(check.begin(), check.begin() + 8, r.begin() + 24)) {
    return Problem<SignifySecretKey>(SignifyProblem::ChecksumMismatch);
  }
  SignifySecretKey key;
  key.comment = std::move(lines.comment);
  Take(r, 32, key.number);
  Take(r, 40, key.seed);
  Take(r, 72, key.publicKey);
  return {key, SignifyProblem::None};
}

SignifyRead<SignifySignature> ReadSignature(std::string_view text) {
  if (text.size() > kMaxKeyFileBytes) return Problem<SignifySignature>(SignifyProblem::TooLong);
  Lines lines;
  const SignifyProblem problem = Split(text, kSignatureRecord, lines);
  if (problem != SignifyProblem::None) return Problem<SignifySignature>(problem);
  SignifySignature signature;
  Take(lines.record, 2, signature.number);
  Take(lines.record, 10, signature.signature);
  return {signature, SignifyProblem::None};
}

SignifyRead<EmbeddedSignature> ReadEmbeddedSignature(std::string_view text) {
  Lines lines;
  const SignifyProblem problem = Split(text, kSignatureRecord, lines);
  if (problem != SignifyProblem::None) return Problem<EmbeddedSignature>(problem);
  EmbeddedSignature signed_;
  signed_.comment = std::move(lines.comment);
  Take(lines.record, 2, signed_.signature.number);
  Take(lines.record, 10, signed_.signature.signature);
  signed_.message = std::string(lines.rest);
  return {signed_, SignifyProblem::None};
}

std::string WritePublicKey(const SignifyPublicKey& key) {
  std::vector<std::uint8_t> record(kAlgorithm, kAlgorithm + 2);
  Put(record, key.number);
  Put(record, key.key);
  return File(key.comment, record);
}

std::string WriteSecretKey(const SignifySecretKey& key) {
  std::vector<std::uint8_t> secret(key.seed.begin(), key.seed.end());
  secret.insert(secret.end(), key.publicKey.begin(), key.publicKey.end());
  std::array<std::uint8_t, 16> salt{};
  RandomBytes(salt.data(), salt.size());
  const Sha512Digest check = Sha512(secret.data(), secret.size());
  std::vector<std::uint8_t> record(kAlgorithm, kAlgorithm + 2);
  record.insert(record.end(), kKdf, kKdf + 2);
  record.insert(record.end(), 4, 0);  // kdf rounds 0: no passphrase
  Put(record, salt);
  record.insert(record.end(), check.begin(), check.begin() + 8);
  Put(record, key.number);
  record.insert(record.end(), secret.begin(), secret.end());
  return File(key.comment, record);
}

std::string WriteEmbeddedSignature(const EmbeddedSignature& signed_) {
  std::vector<std::uint8_t> record(kAlgorithm, kAlgorithm + 2);
  Put(record, signed_.signature.number);
  Put(record, signed_.signature.signature);
  return File(signed_.comment, record) + signed_.message;
}

std::string KeyNumberText(const KeyNumber& number) { return HexText(number); }

}  // namespace orvane::trust
