#pragma once
// A signing key made for one test, and SHA256.sig files signed with it, so
// that tests can stage every signature state of an image folder. Its
// formats are Orvane's own writers (pinned separately against
// signify-openbsd in the trust tests).
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "trust/checksum_list.h"
#include "trust/signify.h"

namespace orvane::test {

class TestSigner {
 public:
  explicit TestSigner(std::string name = "test") {
    const trust::KeyPairResult pair = trust::Ed25519Generate();
    if (!pair.keys) throw std::runtime_error("test key: " + pair.error);
    m_keys = *pair.keys;
    trust::RandomBytes(m_number.data(), m_number.size());
    m_name = std::move(name);
  }

  const trust::KeyNumber& Number() const { return m_number; }
  std::string NumberText() const { return trust::KeyNumberText(m_number); }

  std::string PublicKeyText() const {
    return trust::WritePublicKey({m_number, m_keys.publicKey, m_name + " public key"});
  }
  std::string SecretKeyText() const {
    return trust::WriteSecretKey({m_number, m_keys.seed, m_keys.publicKey, m_name + " secret key"});
  }

  // An embedded signature over `message`, as SHA256.sig holds it.
  std::string Sign(const std::string& message) const {
    const trust::SignResult s =
        trust::Ed25519Sign(m_keys.seed, reinterpret_cast<const std::uint8_t*>(message.data()), message.size());
    if (!s.signature) throw std::runtime_error("test signature: " + s.error);
    return trust::WriteEmbeddedSignature({"verify with " + m_name + ".pub", {m_number, *s.signature}, message});
  }

  // SHA256.sig over these files' bytes, listed under their names.
  std::string SignFiles(const std::vector<std::pair<std::string, std::vector<std::uint8_t>>>& files) const {
    std::string list;
    for (const auto& [name, bytes] : files) list += trust::ChecksumLine(name, trust::Sha256(bytes.data(), bytes.size()));
    return Sign(list);
  }

 private:
  std::string m_name;
  trust::Ed25519KeyPair m_keys;
  trust::KeyNumber m_number{};
};

}  // namespace orvane::test
