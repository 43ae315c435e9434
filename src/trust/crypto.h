#pragma once
// SHA-256, SHA-512 and Ed25519, all computed by libgcrypt: this interface is
// the only place of the project that reaches the library, and no arithmetic
// of either algorithm is written here.
//
// Every function may be called from any thread; the library is set up once,
// on first use.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvane::trust {

using Sha256Digest = std::array<std::uint8_t, 32>;
using Sha512Digest = std::array<std::uint8_t, 64>;

Sha256Digest Sha256(const std::uint8_t* data, std::size_t size);
Sha256Digest Sha256(std::string_view text);
Sha512Digest Sha512(const std::uint8_t* data, std::size_t size);

// An Ed25519 public key (the encoded point), a private key's 32-byte seed
// and a 64-byte signature (R then S), as RFC 8032 writes them.
using Ed25519PublicKey = std::array<std::uint8_t, 32>;
using Ed25519Seed = std::array<std::uint8_t, 32>;
using Ed25519Signature = std::array<std::uint8_t, 64>;

struct Ed25519KeyPair {
  Ed25519Seed seed{};
  Ed25519PublicKey publicKey{};
};

// Whether `signature` is `key`'s signature of the message. A key that is no
// point of the curve or a signature out of range verifies nothing.
bool Ed25519Verify(const Ed25519PublicKey& key, const std::uint8_t* message, std::size_t size,
                   const Ed25519Signature& signature);

// A signature is made, or the library's reason why not.
struct SignResult {
  std::optional<Ed25519Signature> signature;
  std::string error;
};
SignResult Ed25519Sign(const Ed25519Seed& seed, const std::uint8_t* message, std::size_t size);

struct KeyPairResult {
  std::optional<Ed25519KeyPair> keys;
  std::string error;
};
// A new key pair from the library's strongest random source.
KeyPairResult Ed25519Generate();

// `size` bytes from the library's strong random source.
void RandomBytes(std::uint8_t* out, std::size_t size);

// Lower-case hex of `size` bytes; and back (exactly 2 * out.size() digits
// of either case), false for anything else.
std::string HexText(const std::uint8_t* bytes, std::size_t size);
template <std::size_t N>
std::string HexText(const std::array<std::uint8_t, N>& bytes) {
  return HexText(bytes.data(), N);
}
bool ParseHex(std::string_view text, std::uint8_t* out, std::size_t size);

// libgcrypt's version, for the programs' --version.
std::string CryptoLibraryVersion();

}  // namespace orvane::trust
