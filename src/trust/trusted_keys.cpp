#include "trust/trusted_keys.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/utf8_path.h"

namespace orvane::trust {
namespace {

namespace fs = std::filesystem;

void Add(TrustedKeys& keys, const SignifyPublicKey& key, std::string source) {
  for (const TrustedKey& known : keys.keys) {
    if (known.key.number == key.number && known.key.key == key.key) return;
  }
  keys.keys.push_back({key, std::move(source)});
}

}  // namespace

const TrustedKey* TrustedKeys::Find(const KeyNumber& number) const {
  for (const TrustedKey& key : keys) {
    if (key.key.number == number) return &key;
  }
  return nullptr;
}

KeyFileRead ReadPublicKeyFile(const std::string& path) {
  KeyFileRead read;
  const fs::path file = platform::Utf8Path(path);
  std::error_code error;
  const fs::file_status status = fs::status(file, error);
  if (!fs::exists(status)) return read.why = "no such file", read;
  // A pipe or a device would be waited on without end.
  if (!fs::is_regular_file(status)) return read.why = "not a regular file", read;
  std::ifstream in(file, std::ios::binary);
  if (!in) return read.why = "cannot be opened for reading", read;
  std::string text(kMaxKeyFileBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) return read.why = "read error", read;
  text.resize(static_cast<std::size_t>(in.gcount()));
  const SignifyRead<SignifyPublicKey> key = ReadPublicKey(text);
  if (!key) return read.why = std::string("not a signify public key: ") + SignifyProblemText(key.problem), read;
  read.key = *key.value;
  return read;
}

void AddKeyFile(TrustedKeys& keys, const std::string& path) {
  const KeyFileRead read = ReadPublicKeyFile(path);
  if (read.key) {
    Add(keys, *read.key, path);
  } else {
    keys.problems.push_back({path, read.why});
  }
}

void AddKeyFolder(TrustedKeys& keys, const std::string& folder) {
  const fs::path dir = platform::Utf8Path(folder);
  std::error_code error;
  if (!fs::exists(dir, error)) return;
  std::vector<std::string> files;
  fs::directory_iterator it(dir, error);
  if (error) {
    keys.problems.push_back({folder, "cannot be listed: " + error.message()});
    return;
  }
  // Bounded: a key folder holds a handful of keys.
  constexpr std::size_t kMaxEntries = 1024;
  std::size_t seen = 0;
  for (; it != fs::directory_iterator() && seen < kMaxEntries; it.increment(error), ++seen) {
    if (error) break;
    const fs::path& p = it->path();
    if (p.extension() == ".pub") files.push_back(platform::PathText(p));
  }
  if (error) keys.problems.push_back({folder, "cannot be listed: " + error.message()});
  std::sort(files.begin(), files.end());
  for (const std::string& file : files) AddKeyFile(keys, file);
}

void AddBuiltInKeys(TrustedKeys& keys) {
  for (const BuiltInKeyText& builtIn : BuiltInKeyTexts()) {
    const std::string source = std::string("built in (") + builtIn.name + ")";
    const SignifyRead<SignifyPublicKey> key = ReadPublicKey(builtIn.text);
    if (key) {
      Add(keys, *key.value, source);
    } else {
      keys.problems.push_back({source, std::string("not a signify public key: ") + SignifyProblemText(key.problem)});
    }
  }
}

std::string DescribeTrustedKeys(const TrustedKeys& keys) {
  std::string text;
  for (const TrustedKey& key : keys.keys) {
    text += (text.empty() ? "" : ", ") + KeyNumberText(key.key.number) + " (" + key.source + ")";
  }
  if (text.empty()) text = "none";
  for (const KeyProblem& problem : keys.problems) {
    text += "; unreadable: " + problem.source + ": " + problem.why;
  }
  return text;
}

}  // namespace orvane::trust
