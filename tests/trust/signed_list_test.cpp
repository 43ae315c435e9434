// The signed list beside the images and the trusted keys: which signature
// states a SHA256.sig and a key set give, and how the key files are read.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/temp_dir.h"
#include "support/test_signer.h"
#include "support/text_search.h"
#include "trust/signed_list.h"
#include "trust/trusted_keys.h"

namespace orvane::trust {
namespace {

using test::WriteText;

using test::Contains;

class SignedListTest : public ::testing::Test {
 protected:
  // Trusts `signer`'s key (through a key file, as the programs do).
  TrustedKeys Trusting(const test::TestSigner& signer, const std::string& name = "release.pub") {
    WriteText(m_keysDir.File(name), signer.PublicKeyText());
    TrustedKeys keys;
    AddKeyFile(keys, m_keysDir.File(name));
    EXPECT_TRUE(keys.problems.empty()) << keys.problems.front().why;
    return keys;
  }

  test::TempDir m_keysDir;
  test::TestSigner m_release{"release"};
  test::TestSigner m_stranger{"stranger"};
  std::vector<std::uint8_t> m_image = std::vector<std::uint8_t>(300, 0x42);
};

TEST_F(SignedListTest, EachStateOfTheListGivesItsImageState) {
  const TrustedKeys keys = Trusting(m_release);
  const Sha256Digest digest = Sha256(m_image.data(), m_image.size());
  const std::string list = ChecksumLine("router_app.bin", digest);

  const SignedList good = CheckSignedText(m_release.Sign(list), keys);
  EXPECT_EQ(good.state, ListState::Verified);
  EXPECT_EQ(good.signer, m_release.Number());
  EXPECT_EQ(good.keySource, m_keysDir.File("release.pub"));
  EXPECT_EQ(JudgeImage(good, "router_app.bin", digest), ImageSignature::Signed);
  EXPECT_EQ(JudgeImage(good, "router_boot.bin", digest), ImageSignature::NotListed);
  Sha256Digest other = digest;
  other[31] ^= 1;
  EXPECT_EQ(JudgeImage(good, "router_app.bin", other), ImageSignature::HashDiffers);

  const SignedList unknown = CheckSignedText(m_stranger.Sign(list), keys);
  EXPECT_EQ(unknown.state, ListState::UnknownKey);
  EXPECT_EQ(unknown.signer, m_stranger.Number());
  EXPECT_EQ(JudgeImage(unknown, "router_app.bin", digest), ImageSignature::UnknownKey);

  // The list changed after signing: one digit of the digest.
  std::string tampered = m_release.Sign(list);
  tampered[tampered.size() - 2] = tampered[tampered.size() - 2] == '0' ? '1' : '0';
  const SignedList invalid = CheckSignedText(tampered, keys);
  EXPECT_EQ(invalid.state, ListState::Invalid);
  EXPECT_EQ(JudgeImage(invalid, "router_app.bin", digest), ImageSignature::SignatureInvalid);

  // Another key's signature under the trusted key's number.
  SignifyRead<EmbeddedSignature> forged = ReadEmbeddedSignature(m_stranger.Sign(list));
  ASSERT_TRUE(forged);
  forged.value->signature.number = m_release.Number();
  EXPECT_EQ(CheckSignedText(WriteEmbeddedSignature(*forged.value), keys).state, ListState::Invalid);
  // Both keys trusted under that one number: the one that made the signature verifies it.
  TrustedKeys both = keys;
  SignifyPublicKey strangerKey = *ReadPublicKey(m_stranger.PublicKeyText()).value;
  strangerKey.number = m_release.Number();
  both.keys.push_back({strangerKey, "stranger.pub"});
  const SignedList shared = CheckSignedText(WriteEmbeddedSignature(*forged.value), both);
  EXPECT_EQ(shared.state, ListState::Verified);
  EXPECT_EQ(shared.keySource, "stranger.pub");

  const SignedList malformed = CheckSignedText("SHA256 (router_app.bin) = " + HexText(digest) + "\n", keys);
  EXPECT_EQ(malformed.state, ListState::Malformed);
  EXPECT_TRUE(Contains(malformed.detail, "untrusted comment"));
  EXPECT_EQ(JudgeImage(malformed, "router_app.bin", digest), ImageSignature::SignatureFileBad);

  const SignedList unchecked = CheckSignedText(m_stranger.Sign(list), TrustedKeys{});
  EXPECT_EQ(unchecked.state, ListState::Unchecked);
  EXPECT_EQ(JudgeImage(unchecked, "router_app.bin", digest), ImageSignature::ListedUnchecked);
  EXPECT_FALSE(Passes(ImageSignature::ListedUnchecked));
}

TEST_F(SignedListTest, TheSignatureFileIsReadBoundedFromTheFolder) {
  test::TempDir images;
  const TrustedKeys keys = Trusting(m_release);
  SignedList list = CheckSignedList(ReadSignatureFile(images.Str()), keys);
  EXPECT_EQ(list.state, ListState::Absent);
  EXPECT_EQ(JudgeImage(list, "a.bin", {}), ImageSignature::NoSignatureFile);

  std::filesystem::create_directory(images.File(kSignatureFileName));
  list = CheckSignedList(ReadSignatureFile(images.Str()), keys);
  EXPECT_EQ(list.state, ListState::Unreadable);
  EXPECT_EQ(list.detail, "not a regular file");
  std::filesystem::remove(images.File(kSignatureFileName));

  WriteText(images.File(kSignatureFileName), std::string(kMaxSignatureFileBytes + 1, 'x'));
  list = CheckSignedList(ReadSignatureFile(images.Str()), keys);
  EXPECT_EQ(list.state, ListState::Unreadable);
  EXPECT_TRUE(Contains(list.detail, "longer than"));

  WriteText(images.File(kSignatureFileName), m_release.SignFiles({{"a.bin", m_image}}));
  list = CheckSignedList(ReadSignatureFile(images.Str()), keys);
  EXPECT_EQ(list.state, ListState::Verified);
  EXPECT_EQ(list.path, images.File(kSignatureFileName));
  EXPECT_EQ(JudgeImage(list, "a.bin", Sha256(m_image.data(), m_image.size())), ImageSignature::Signed);
}

TEST_F(SignedListTest, KeyFoldersTakeEveryPubFileAndKeepTheBrokenOnesAsProblems) {
  WriteText(m_keysDir.File("b-release.pub"), m_release.PublicKeyText());
  WriteText(m_keysDir.File("a-stranger.pub"), m_stranger.PublicKeyText());
  WriteText(m_keysDir.File("c-copy.pub"), m_release.PublicKeyText());  // the same key twice
  WriteText(m_keysDir.File("d-broken.pub"), "untrusted comment: cut short\nRWQ");
  WriteText(m_keysDir.File("release.sec"), m_release.SecretKeyText());  // not a .pub: not looked at
  std::filesystem::create_directory(m_keysDir.File("e-folder.pub"));

  TrustedKeys keys;
  AddKeyFolder(keys, m_keysDir.Str());
  ASSERT_EQ(keys.keys.size(), 2u);
  EXPECT_EQ(keys.keys[0].key.number, m_stranger.Number()) << "in name order";
  EXPECT_EQ(keys.keys[1].key.number, m_release.Number());
  ASSERT_EQ(keys.problems.size(), 2u);
  EXPECT_EQ(keys.problems[0].source, m_keysDir.File("d-broken.pub"));
  EXPECT_TRUE(Contains(keys.problems[0].why, "not a signify public key"));
  EXPECT_EQ(keys.problems[1].why, "not a regular file");
  EXPECT_NE(keys.Find(m_release.Number()), nullptr);

  const std::string described = DescribeTrustedKeys(keys);
  EXPECT_TRUE(Contains(described, m_stranger.NumberText() + " (" + m_keysDir.File("a-stranger.pub") + "), " +
                                      m_release.NumberText()));
  EXPECT_TRUE(Contains(described, "unreadable: " + m_keysDir.File("d-broken.pub")));

  TrustedKeys none;
  AddKeyFolder(none, m_keysDir.File("no-such-folder"));
  EXPECT_FALSE(none.Configured());
  EXPECT_EQ(DescribeTrustedKeys(none), "none");

  TrustedKeys onlyBroken;
  AddKeyFile(onlyBroken, m_keysDir.File("d-broken.pub"));
  AddKeyFile(onlyBroken, m_keysDir.File("missing.pub"));
  EXPECT_TRUE(onlyBroken.Configured()) << "a broken key file does not turn the check off";
  EXPECT_EQ(onlyBroken.problems[1].why, "no such file");
  EXPECT_EQ(CheckSignedText(m_release.Sign(""), onlyBroken).state, ListState::UnknownKey);
}

TEST(BuiltInKeys, EveryKeyBuiltInReads) {
  TrustedKeys keys;
  AddBuiltInKeys(keys);
  EXPECT_TRUE(keys.problems.empty()) << keys.problems.front().why;
  EXPECT_EQ(keys.keys.size() + keys.problems.size() > 0, !BuiltInKeyTexts().empty());
}

}  // namespace
}  // namespace orvane::trust
