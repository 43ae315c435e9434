#pragma once
// Signed images from the command line: `orvane image keygen` and
// `orvane image sign` for the release engineer, the trusted keys that
// check, update, doctor and the image tools load, and how a check's
// signature findings are shown (text and JSON).
#include <ostream>
#include <string>
#include <vector>

#include "catalogue/image_signatures.h"
#include "cli/json_writer.h"
#include "trust/trusted_keys.h"

namespace orvane::cli {

struct TrustOptions {
  std::vector<std::string> keyFiles;  // --trusted-key, each a signify public key
  std::string keyFolder;              // every *.pub in it; empty: platform::DefaultKeyFolder()
  bool allowUnsigned = false;         // --allow-unsigned
};

// The keys built in, the key folder's and each --trusted-key file. False,
// with the reason on `err`, when a file named by --trusted-key is no
// readable public key (the operator named it: nothing goes on without it).
// A broken file in the key folder is kept as a problem of the keys.
bool LoadTrustedKeys(const TrustOptions& options, trust::TrustedKeys& keys, std::ostream& err,
                     const std::string& command);

// The lines that `orvane --version` adds: the crypto library and the
// trusted keys (their numbers and where they came from).
std::string TrustVersionText();

// The check's signatures as the "signatures" member: the verdict, the
// list's state, the refused image (item, file, reason code, text) and each
// image's SHA-256 and state.
void WriteSignaturesJson(JsonWriter& json, const SignatureCheck& signatures, const UpdateItems& items);
// "Signatures: ..." and a line per image, when images were checked.
void PrintSignatures(std::ostream& out, const SignatureCheck& signatures);

// "signed", "not_listed", "hash_differs", "unknown_key", "signature_invalid",
// "no_signature_file", "signature_file_unreadable", "listed_unchecked".
const char* ImageSignatureCode(trust::ImageSignature state);

struct KeygenOptions {
  std::string name;  // writes NAME.pub and NAME.sec
};
int KeygenCommand(const KeygenOptions& options, std::ostream& out, std::ostream& err);

struct SignOptions {
  std::string key;        // a signify secret key without passphrase
  std::string directory;  // signs every *.bin of it into DIR/SHA256.sig
};
int SignCommand(const SignOptions& options, std::ostream& out, std::ostream& err);

}  // namespace orvane::cli
