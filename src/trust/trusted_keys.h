#pragma once
// The keys whose signatures the programs trust: signify public keys from
// files (every *.pub of a key folder, and files named one by one) and the
// keys built into the programs (CMake ORVANE_TRUSTED_KEYS).
//
// A key file that cannot be read or is no public key is kept as a problem,
// never passed over in silence: a folder meant to hold the release key
// that holds a broken copy must not turn the signature check off.
#include <string>
#include <vector>

#include "trust/signify.h"

namespace orvane::trust {

struct TrustedKey {
  SignifyPublicKey key;
  std::string source;  // the file, or "built in (release.pub)"
};

struct KeyProblem {
  std::string source;
  std::string why;
};

struct TrustedKeys {
  std::vector<TrustedKey> keys;
  std::vector<KeyProblem> problems;

  // The check is on once any key was configured, readable or not.
  bool Configured() const { return !keys.empty() || !problems.empty(); }
  // The first key with this number; null when none is trusted.
  const TrustedKey* Find(const KeyNumber& number) const;
};

// A public key file: its key, or why not.
struct KeyFileRead {
  std::optional<SignifyPublicKey> key;
  std::string why;  // "cannot be opened", "not a public key: ..."
};
KeyFileRead ReadPublicKeyFile(const std::string& path);

// Adds the key of `path` (or its problem). A key already trusted (the same
// number and key) is not added twice.
void AddKeyFile(TrustedKeys& keys, const std::string& path);
// Adds every *.pub of `folder`, in name order. A folder that does not
// exist adds nothing; one that cannot be listed is a problem.
void AddKeyFolder(TrustedKeys& keys, const std::string& folder);
// Adds the keys built into the program.
void AddBuiltInKeys(TrustedKeys& keys);

// "8e5a3b1c2d4f6a70 (/etc/orvane/keys/release.pub), ..." or "none"; and
// each problem, "(unreadable: /etc/orvane/keys/x.pub: not a public key: ...)".
std::string DescribeTrustedKeys(const TrustedKeys& keys);

struct BuiltInKeyText {
  const char* name;
  const char* text;
};
// Generated from ORVANE_TRUSTED_KEYS (builtin_keys.cpp.in, through
// orvane_add_trust_library in src/trust/CMakeLists.txt).
const std::vector<BuiltInKeyText>& BuiltInKeyTexts();

}  // namespace orvane::trust
