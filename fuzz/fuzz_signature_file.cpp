// SHA256.sig as the check reads it from an image folder: any bytes. The
// signify readers (embedded signature, and the same bytes as a public key,
// secret key and detached signature) give a value or a typed problem; what
// they read writes back to text that reads the same; the SHA-256 list is
// bounded and each entry's line reads back to it; the signed list is judged
// against a trusted key (RFC 8032's first test key under a fixed key
// number, so that a corpus signed with it reaches the verification).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "trust/checksum_list.h"
#include "trust/signed_list.h"
#include "trust/signify.h"

namespace {

using namespace orvane::trust;

const TrustedKeys& FuzzKeys() {
  static const TrustedKeys keys = [] {
    SignifyPublicKey key;
    ParseHex("0123456789abcdef", key.number.data(), key.number.size());
    ParseHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", key.key.data(), key.key.size());
    TrustedKeys k;
    k.keys.push_back({key, "fuzz"});
    return k;
  }();
  return keys;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // exact size: ASan sees any overread

  const SignifyRead<EmbeddedSignature> embedded = ReadEmbeddedSignature(text);
  Check(embedded.value.has_value() == (embedded.problem == SignifyProblem::None));
  if (embedded) {
    const SignifyRead<EmbeddedSignature> again = ReadEmbeddedSignature(WriteEmbeddedSignature(*embedded.value));
    Check(again && again.value->message == embedded.value->message &&
          again.value->signature.signature == embedded.value->signature.signature &&
          again.value->signature.number == embedded.value->signature.number);
  }
  const SignifyRead<SignifyPublicKey> pub = ReadPublicKey(text);
  if (pub) Check(ReadPublicKey(WritePublicKey(*pub.value)).value->key == pub.value->key);
  const SignifyRead<SignifySecretKey> sec = ReadSecretKey(text);
  if (sec) Check(sec.problem == SignifyProblem::None);
  (void)ReadSignature(text);

  const SignedList list = CheckSignedText(text, FuzzKeys());
  Check((list.state == ListState::Malformed) == !embedded);
  Check(list.list.entries.size() <= kMaxChecksumEntries);
  for (const ChecksumEntry& entry : list.list.entries) {
    const ChecksumList back = ParseChecksumList(ChecksumLine(entry.name, entry.digest));
    Check(back.entries.size() == 1 && back.entries[0].name == entry.name && back.entries[0].digest == entry.digest);
    const ImageSignature state = JudgeImage(list, entry.name, entry.digest);
    Check(state != ImageSignature::NotListed);
    Check(Passes(state) == (list.state == ListState::Verified && MatchFile(list.list, entry.name, entry.digest) ==
                                                                      ListMatch::Listed));
  }
  return 0;
}
