#include "cli/trust_commands.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "cli/image_commands.h"
#include "platform/system_files.h"
#include "platform/utf8_path.h"
#include "trust/checksum_list.h"
#include "trust/crypto.h"
#include "trust/signed_list.h"

namespace orvane::cli {
namespace {

namespace fs = std::filesystem;

const char* ListStateName(trust::ListState state) {
  switch (state) {
    case trust::ListState::Absent: return "absent";
    case trust::ListState::Unreadable: return "unreadable";
    case trust::ListState::Malformed: return "malformed";
    case trust::ListState::Unchecked: return "not checked";
    case trust::ListState::UnknownKey: return "unknown key";
    case trust::ListState::Invalid: return "invalid";
    case trust::ListState::Verified: return "verified";
  }
  return "";
}

bool IsImageName(const fs::path& path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext == ".bin";
}

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// A new file that only its owner may read (where the system has such
// permissions); refused when the file exists.
bool WriteNewFile(const std::string& path, const std::string& text, bool secret, std::string& error) {
  const fs::path p = platform::Utf8Path(path);
  std::error_code ec;
  if (fs::exists(p, ec)) return error = path + ": exists already; not overwritten", false;
  {
    std::ofstream out(p, std::ios::binary);
    if (!out) return error = path + ": cannot be created", false;
  }
  if (secret) fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace, ec);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
  out.flush();
  if (!out) return error = path + ": write failed", false;
  return true;
}

}  // namespace

bool LoadTrustedKeys(const TrustOptions& options, trust::TrustedKeys& keys, std::ostream& err,
                     const std::string& command) {
  trust::AddBuiltInKeys(keys);
  trust::AddKeyFolder(keys, options.keyFolder.empty() ? platform::DefaultKeyFolder() : options.keyFolder);
  for (const std::string& file : options.keyFiles) {
    const trust::KeyFileRead read = trust::ReadPublicKeyFile(file);
    if (!read.key) {
      err << "orvane " << command << ": --trusted-key " << file << ": " << read.why << "\n";
      return false;
    }
    trust::AddKeyFile(keys, file);
  }
  return true;
}

std::string TrustVersionText() {
  trust::TrustedKeys keys;
  trust::AddBuiltInKeys(keys);
  trust::AddKeyFolder(keys, platform::DefaultKeyFolder());
  return trust::CryptoLibraryVersion() + "\ntrusted keys: " + trust::DescribeTrustedKeys(keys);
}

const char* ImageSignatureCode(trust::ImageSignature state) {
  switch (state) {
    case trust::ImageSignature::Signed: return "signed";
    case trust::ImageSignature::ListedUnchecked: return "listed_unchecked";
    case trust::ImageSignature::NotListed: return "not_listed";
    case trust::ImageSignature::HashDiffers: return "hash_differs";
    case trust::ImageSignature::UnknownKey: return "unknown_key";
    case trust::ImageSignature::SignatureInvalid: return "signature_invalid";
    case trust::ImageSignature::NoSignatureFile: return "no_signature_file";
    case trust::ImageSignature::SignatureFileBad: return "signature_file_unreadable";
  }
  return "";
}

void WriteSignaturesJson(JsonWriter& json, const SignatureCheck& s, const UpdateItems& items) {
  const bool read = s.list.state != trust::ListState::Absent && s.list.state != trust::ListState::Unreadable &&
                    s.list.state != trust::ListState::Malformed;
  json.Key("signatures").BeginObject()
      .Key("verdict").String(SignatureVerdictName(s.verdict))
      .Key("signature_file").String(s.list.path)
      .Key("list").String(ListStateName(s.list.state))
      .Key("signer").String(read ? trust::KeyNumberText(s.list.signer) : "");
  json.Key("refused").BeginObject();
  if (s.refusedItem != IMAGE_NONE) {
    const ItemSignature& item = s.items[s.refusedItem];
    json.Key("name").String(items[s.refusedItem].m_strName)
        .Key("file").String(item.file)
        .Key("reason").String(ImageSignatureCode(item.state))
        .Key("text").String(s.RefusalText());
  }
  json.EndObject();
  json.Key("key_problems").BeginArray();
  for (const trust::KeyProblem& problem : s.keyProblems) json.String(problem.source + ": " + problem.why);
  json.EndArray();
  json.Key("items").BeginArray();
  for (int i = 0; i < kItemCount; ++i) {
    const ItemSignature& item = s.items[i];
    if (!item.hasImage) continue;
    json.BeginObject()
        .Key("name").String(items[i].m_strName)
        .Key("file").String(item.file)
        .Key("sha256").String(item.sha256)
        .Key("state").String(ImageSignatureCode(item.state))
        .EndObject();
  }
  json.EndArray().EndObject();
}

void PrintSignatures(std::ostream& out, const SignatureCheck& s) {
  if (s.verdict == SignatureVerdict::NotChecked) return;
  out << "Signatures: " << SignatureVerdictName(s.verdict);
  if (s.verdict == SignatureVerdict::Verified) out << " (" << s.list.path << ", trusted key " << s.SignerText() << ")";
  out << "\n";
  for (const ItemSignature& item : s.items) {
    if (item.hasImage) {
      out << "  " << FileNameOf(item.file) << ": SHA-256 " << item.sha256 << ", " << trust::ImageSignatureName(item.state)
          << "\n";
    }
  }
}

int KeygenCommand(const KeygenOptions& options, std::ostream& out, std::ostream& err) {
  const std::string pubPath = options.name + ".pub";
  const std::string secPath = options.name + ".sec";
  std::error_code ec;
  for (const std::string& path : {pubPath, secPath}) {
    if (fs::exists(platform::Utf8Path(path), ec)) {
      err << "orvane image keygen: " << path << ": exists already; not overwritten\n";
      return kExitFailed;
    }
  }
  const trust::KeyPairResult pair = trust::Ed25519Generate();
  if (!pair.keys) {
    err << "orvane image keygen: " << pair.error << "\n";
    return kExitFailed;
  }
  trust::KeyNumber number{};
  trust::RandomBytes(number.data(), number.size());
  const std::string comment = platform::PathText(platform::Utf8Path(options.name).filename());
  std::string error;
  if (!WriteNewFile(secPath, trust::WriteSecretKey({number, pair.keys->seed, pair.keys->publicKey, comment + " secret key"}),
                    true, error) ||
      !WriteNewFile(pubPath, trust::WritePublicKey({number, pair.keys->publicKey, comment + " public key"}), false,
                    error)) {
    err << "orvane image keygen: " << error << "\n";
    return kExitFailed;
  }
  out << "wrote " << pubPath << " and " << secPath << ": key " << trust::KeyNumberText(number)
      << " (the secret key has no passphrase: keep it off the operators' PCs)\n";
  return kExitOk;
}

int SignCommand(const SignOptions& options, std::ostream& out, std::ostream& err) {
  const auto fail = [&](const std::string& message) {
    err << "orvane image sign: " << message << "\n";
    return kExitFailed;
  };
  std::vector<std::uint8_t> keyBytes;
  std::string error;
  if (!ReadWholeFile(options.key, keyBytes, error)) return fail(error);
  const trust::SignifyRead<trust::SignifySecretKey> key =
      trust::ReadSecretKey(std::string_view(reinterpret_cast<const char*>(keyBytes.data()), keyBytes.size()));
  if (!key) return fail(options.key + ": " + trust::SignifyProblemText(key.problem));

  const fs::path dir = platform::Utf8Path(options.directory);
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return fail(options.directory + ": not a directory");
  std::vector<fs::path> files;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (IsImageName(it->path()) && it->is_regular_file(ec)) files.push_back(it->path());
  }
  if (ec) return fail(options.directory + ": cannot be listed: " + ec.message());
  if (files.empty()) return fail(options.directory + ": no *.bin file to sign");
  std::sort(files.begin(), files.end());

  std::string list;
  for (const fs::path& file : files) {
    std::vector<std::uint8_t> bytes;
    if (!ReadWholeFile(platform::PathText(file), bytes, error)) return fail(error);
    list += trust::ChecksumLine(platform::PathText(file.filename()), trust::Sha256(bytes.data(), bytes.size()));
  }
  const trust::SignResult signature =
      trust::Ed25519Sign(key.value->seed, reinterpret_cast<const std::uint8_t*>(list.data()), list.size());
  if (!signature.signature) return fail(signature.error);
  fs::path pub = platform::Utf8Path(options.key).filename();
  pub.replace_extension(".pub");
  const std::string text = trust::WriteEmbeddedSignature(
      {"verify with " + platform::PathText(pub), {key.value->number, *signature.signature}, list});
  const std::string target = platform::PathText(dir / trust::kSignatureFileName);
  if (!WriteFileAtomically(target, Bytes(text), error)) return fail(error);
  out << "wrote " << target << ": " << files.size() << (files.size() == 1 ? " image" : " images")
      << " signed by key " << trust::KeyNumberText(key.value->number) << "\n";
  return kExitOk;
}

}  // namespace orvane::cli
