#pragma once
// The signify file formats (Ed25519), read and written so that files made
// by `signify-openbsd` and by Orvane serve either side.
//
// Every file is two lines and, for an embedded signature, the message:
//   untrusted comment: <text up to 1023 bytes>\n
//   <base64 of the binary record>\n
//   [message bytes, signed as they are]
//
// Binary records (numbers big-endian):
//   public key  "Ed" | key number (8) | public key (32)                  42 bytes
//   secret key  "Ed" | "BK" | kdf rounds (u32) | salt (16) | checksum (8)
//               | key number (8) | secret key (64: seed, public key)    104 bytes
//   signature   "Ed" | key number (8) | signature (64)                   74 bytes
// The key number ties a signature to the key that made it; the checksum is
// the first 8 bytes of SHA-512 over the 64-byte secret key. A secret key
// with kdf rounds above 0 is protected by a passphrase (bcrypt_pbkdf):
// such keys are refused, not read.
//
// Readers are total and bounded: any text gives a key or signature or a
// typed reason, never more work than its length.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "trust/crypto.h"

namespace orvane::trust {

using KeyNumber = std::array<std::uint8_t, 8>;

inline constexpr std::string_view kCommentHeader = "untrusted comment: ";
inline constexpr std::size_t kMaxCommentBytes = 1023;
// Key and signature files are a few hundred bytes; more is no such file.
inline constexpr std::size_t kMaxKeyFileBytes = 4096;

struct SignifyPublicKey {
  KeyNumber number{};
  Ed25519PublicKey key{};
  std::string comment;
};

struct SignifySecretKey {
  KeyNumber number{};
  Ed25519Seed seed{};
  Ed25519PublicKey publicKey{};
  std::string comment;
};

struct SignifySignature {
  KeyNumber number{};
  Ed25519Signature signature{};
};

// A signature file with the signed message after it (`signify -S -e`).
struct EmbeddedSignature {
  std::string comment;
  SignifySignature signature;
  std::string message;
};

enum class SignifyProblem {
  None,
  NoComment,         // the first line is not "untrusted comment: ..."
  CommentTooLong,
  NoDataLine,        // no line end after the base64 line
  BadBase64,
  WrongLength,       // the record is not of its kind's length
  NotEd25519,        // the algorithm is not "Ed"
  UnknownKdf,        // a secret key's kdf is not "BK"
  Encrypted,         // a secret key protected by a passphrase
  ChecksumMismatch,  // a secret key whose checksum does not match it
  TooLong,           // a key file longer than kMaxKeyFileBytes
};

// "the first line is not 'untrusted comment: ...'", ...
const char* SignifyProblemText(SignifyProblem problem);

template <typename T>
struct SignifyRead {
  std::optional<T> value;
  SignifyProblem problem = SignifyProblem::None;
  explicit operator bool() const { return value.has_value(); }
};

SignifyRead<SignifyPublicKey> ReadPublicKey(std::string_view text);
SignifyRead<SignifySecretKey> ReadSecretKey(std::string_view text);
SignifyRead<SignifySignature> ReadSignature(std::string_view text);
// Bounded by the caller: the message is whatever follows the second line.
SignifyRead<EmbeddedSignature> ReadEmbeddedSignature(std::string_view text);

std::string WritePublicKey(const SignifyPublicKey& key);
// Unprotected (kdf rounds 0), with a random salt as signify writes one.
std::string WriteSecretKey(const SignifySecretKey& key);
std::string WriteEmbeddedSignature(const EmbeddedSignature& signed_);

// The key number as 16 hex digits: how the programs name a key.
std::string KeyNumberText(const KeyNumber& number);

}  // namespace orvane::trust
