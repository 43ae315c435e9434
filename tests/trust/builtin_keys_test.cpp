// The keys built into the programs at build time (CMake ORVANE_TRUSTED_KEYS),
// through a library of the trust code made the way orvane_trust is made
// (orvane_add_trust_library), with the key files of builtin_keys/ built in:
//   builtin_test.pub  a key made for this test; its secret key was not kept,
//                     only the SHA256.sig it made over images/router_app.bin
//   builtin_cut.pub   a key file cut short after its first line
// Built-in keys only add to the trusted keys; how an image set is judged
// against them is the same as for the key folder's, tested with the session.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/test_signer.h"
#include "trust/signed_list.h"
#include "trust/trusted_keys.h"

namespace orvane::trust {
namespace {

const std::string kDir = ORVANE_BUILTIN_KEYS_DIR;

TEST(BuiltInTestKeys, EachKeyFileIsBuiltInByteForByteAndTrustedByDefault) {
  // The files as they are, in the order given (the test key's comment holds
  // a quote, a backslash and UTF-8).
  const std::vector<BuiltInKeyText>& texts = BuiltInKeyTexts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_STREQ(texts[0].name, "builtin_test.pub");
  EXPECT_EQ(std::string(texts[0].text), test::ReadText(kDir + "/builtin_test.pub"));
  EXPECT_STREQ(texts[1].name, "builtin_cut.pub");
  EXPECT_EQ(std::string(texts[1].text), test::ReadText(kDir + "/builtin_cut.pub"));

  const KeyFileRead file = ReadPublicKeyFile(kDir + "/builtin_test.pub");
  ASSERT_TRUE(file.key) << file.why;
  TrustedKeys keys;
  AddBuiltInKeys(keys);
  ASSERT_EQ(keys.keys.size(), 1u);
  EXPECT_EQ(keys.keys[0].key.number, file.key->number);
  EXPECT_EQ(keys.keys[0].key.key, file.key->key);
  EXPECT_EQ(keys.keys[0].source, "built in (builtin_test.pub)");
  // The broken one is a problem that keeps the check on, never passed over.
  ASSERT_EQ(keys.problems.size(), 1u);
  EXPECT_EQ(keys.problems[0].source, "built in (builtin_cut.pub)");
  EXPECT_EQ(keys.problems[0].why.rfind("not a signify public key: ", 0), 0u) << keys.problems[0].why;
  EXPECT_EQ(DescribeTrustedKeys(keys), KeyNumberText(file.key->number) +
                                           " (built in (builtin_test.pub)); unreadable: built in (builtin_cut.pub): " +
                                           keys.problems[0].why);

  // The same key from a file as well is trusted once.
  AddKeyFile(keys, kDir + "/builtin_test.pub");
  EXPECT_EQ(keys.keys.size(), 1u);
}

TEST(BuiltInTestKeys, AnImageSignedByTheBuiltInKeyPassesAndOneSignedByAnotherKeyIsRefused) {
  TrustedKeys keys;
  AddBuiltInKeys(keys);
  const std::string images = kDir + "/images";
  const std::vector<std::uint8_t> image = test::ReadFile(images + "/router_app.bin");
  ASSERT_FALSE(image.empty());
  const Sha256Digest digest = Sha256(image.data(), image.size());

  const SignedList signedByBuiltIn = CheckSignedList(ReadSignatureFile(images), keys);
  ASSERT_EQ(signedByBuiltIn.state, ListState::Verified) << signedByBuiltIn.detail;
  EXPECT_EQ(signedByBuiltIn.keySource, "built in (builtin_test.pub)");
  EXPECT_EQ(signedByBuiltIn.signer, keys.keys[0].key.number);
  EXPECT_EQ(JudgeImage(signedByBuiltIn, "router_app.bin", digest), ImageSignature::Signed);

  // The same image, signed by a key that is not built in.
  const test::TestSigner other("other");
  const SignedList signedByOther = CheckSignedText(other.SignFiles({{"router_app.bin", image}}), keys);
  EXPECT_EQ(signedByOther.state, ListState::UnknownKey);
  EXPECT_EQ(signedByOther.signer, other.Number());
  const ImageSignature judged = JudgeImage(signedByOther, "router_app.bin", digest);
  EXPECT_EQ(judged, ImageSignature::UnknownKey);
  EXPECT_FALSE(Passes(judged));

  // Without the built-in keys the list is read but nothing is signed.
  const SignedList unchecked = CheckSignedList(ReadSignatureFile(images), TrustedKeys{});
  EXPECT_EQ(unchecked.state, ListState::Unchecked);
  EXPECT_FALSE(Passes(JudgeImage(unchecked, "router_app.bin", digest)));
}

}  // namespace
}  // namespace orvane::trust
