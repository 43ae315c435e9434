#include "trust/crypto.h"

#include <gcrypt.h>

#include <climits>
#include <mutex>

namespace orvane::trust {
namespace {

// The library's one-time set-up. Secure memory is not used: the only
// secret the programs handle is a signing key that `orvane image sign`
// reads from a file the release engineer keeps, for the few milliseconds
// of one signature.
void Ready() {
  static std::once_flag once;
  std::call_once(once, [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
}

// An S-expression released when it goes.
class Sexp {
 public:
  Sexp() = default;
  ~Sexp() { gcry_sexp_release(m_sexp); }
  Sexp(const Sexp&) = delete;
  Sexp& operator=(const Sexp&) = delete;
  gcry_sexp_t* Out() { return &m_sexp; }
  gcry_sexp_t Get() const { return m_sexp; }

 private:
  gcry_sexp_t m_sexp = nullptr;
};

std::string ErrorText(gcry_error_t error) {
  return std::string(gcry_strsource(error)) + ": " + gcry_strerror(error);
}

// The data of token `name` inside `sexp`, when it is `size` bytes long (a
// point may come with its 0x40 prefix, which is dropped).
bool TokenBytes(gcry_sexp_t sexp, const char* name, std::uint8_t* out, std::size_t size) {
  gcry_sexp_t token = gcry_sexp_find_token(sexp, name, 0);
  if (token == nullptr) return false;
  std::size_t length = 0;
  const char* data = gcry_sexp_nth_data(token, 1, &length);
  bool ok = false;
  if (data != nullptr) {
    if (length == size + 1 && static_cast<std::uint8_t>(data[0]) == 0x40) {
      ++data;
      --length;
    }
    if (length == size) {
      for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(data[i]);
      ok = true;
    }
  }
  gcry_sexp_release(token);
  return ok;
}

// libgcrypt takes lengths as int; our messages are bounded far below.
constexpr std::size_t kMaxMessage = INT_MAX;

const std::uint8_t kNothing = 0;
const std::uint8_t* Bytes(const std::uint8_t* data) { return data != nullptr ? data : &kNothing; }

}  // namespace

Sha256Digest Sha256(const std::uint8_t* data, std::size_t size) {
  Ready();
  Sha256Digest digest{};
  gcry_md_hash_buffer(GCRY_MD_SHA256, digest.data(), Bytes(data), size);
  return digest;
}

Sha256Digest Sha256(std::string_view text) {
  return Sha256(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

Sha512Digest Sha512(const std::uint8_t* data, std::size_t size) {
  Ready();
  Sha512Digest digest{};
  gcry_md_hash_buffer(GCRY_MD_SHA512, digest.data(), Bytes(data), size);
  return digest;
}

bool Ed25519Verify(const Ed25519PublicKey& key, const std::uint8_t* message, std::size_t size,
                   const Ed25519Signature& signature) {
  Ready();
  if (size > kMaxMessage) return false;
  Sexp keySexp, sigSexp, dataSexp;
  if (gcry_sexp_build(keySexp.Out(), nullptr, "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))",
                      static_cast<int>(key.size()), key.data()) != 0) {
    return false;
  }
  if (gcry_sexp_build(sigSexp.Out(), nullptr, "(sig-val(eddsa(r %b)(s %b)))", 32, signature.data(), 32,
                      signature.data() + 32) != 0) {
    return false;
  }
  if (gcry_sexp_build(dataSexp.Out(), nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))",
                      static_cast<int>(size), Bytes(message)) != 0) {
    return false;
  }
  return gcry_pk_verify(sigSexp.Get(), dataSexp.Get(), keySexp.Get()) == 0;
}

SignResult Ed25519Sign(const Ed25519Seed& seed, const std::uint8_t* message, std::size_t size) {
  Ready();
  SignResult result;
  if (size > kMaxMessage) return result.error = "message too long", result;
  Sexp keySexp, dataSexp, sigSexp;
  gcry_error_t error = gcry_sexp_build(keySexp.Out(), nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(d %b)))",
                                       static_cast<int>(seed.size()), seed.data());
  if (error == 0) {
    error = gcry_sexp_build(dataSexp.Out(), nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))",
                            static_cast<int>(size), Bytes(message));
  }
  if (error == 0) error = gcry_pk_sign(sigSexp.Out(), dataSexp.Get(), keySexp.Get());
  if (error != 0) return result.error = ErrorText(error), result;
  Ed25519Signature signature{};
  if (!TokenBytes(sigSexp.Get(), "r", signature.data(), 32) ||
      !TokenBytes(sigSexp.Get(), "s", signature.data() + 32, 32)) {
    return result.error = "the library's signature is not 64 bytes", result;
  }
  result.signature = signature;
  return result;
}

KeyPairResult Ed25519Generate() {
  Ready();
  KeyPairResult result;
  Sexp params, key;
  gcry_error_t error = gcry_sexp_build(params.Out(), nullptr, "(genkey(ecc(curve Ed25519)(flags eddsa)))");
  if (error == 0) error = gcry_pk_genkey(key.Out(), params.Get());
  if (error != 0) return result.error = ErrorText(error), result;
  Ed25519KeyPair pair;
  gcry_sexp_t priv = gcry_sexp_find_token(key.Get(), "private-key", 0);
  const bool ok = priv != nullptr && TokenBytes(priv, "d", pair.seed.data(), pair.seed.size()) &&
                  TokenBytes(priv, "q", pair.publicKey.data(), pair.publicKey.size());
  gcry_sexp_release(priv);
  if (!ok) return result.error = "the library's key pair is not of Ed25519's sizes", result;
  result.keys = pair;
  return result;
}

void RandomBytes(std::uint8_t* out, std::size_t size) {
  Ready();
  gcry_randomize(out, size, GCRY_STRONG_RANDOM);
}

std::string HexText(const std::uint8_t* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

bool ParseHex(std::string_view text, std::uint8_t* out, std::size_t size) {
  if (text.size() != size * 2) return false;
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < size; ++i) {
    const int high = digit(text[2 * i]);
    const int low = digit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return true;
}

std::string CryptoLibraryVersion() {
  Ready();
  return std::string("libgcrypt ") + gcry_check_version(nullptr);
}

}  // namespace orvane::trust
