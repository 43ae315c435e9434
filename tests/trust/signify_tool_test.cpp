// Debian's signify-openbsd and Orvane on the same files: keys and SHA256.sig
// made by the tool are read and verified by Orvane, and Orvane's are
// accepted by the tool (-V for a signature, -C for the list). Skipped with a
// message where the tool is not installed.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/signify_tool.h"
#include "support/temp_dir.h"
#include "support/test_signer.h"
#include "support/text_search.h"
#include "trust/signed_list.h"
#include "trust/trusted_keys.h"

namespace orvane::trust {
namespace {

using test::ReadText;
using test::WriteText;

using test::Contains;

class SignifyToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ORVANE_REQUIRE_SIGNIFY();
    m_dir.Write("router_app.bin", std::vector<std::uint8_t>(5000, 0x17));
    m_dir.Write("module_fw.bin", std::vector<std::uint8_t>(3000, 0x71));
  }
  int Signify(std::initializer_list<std::string> args) { return test::RunSignify(m_dir.Path(), args); }
  std::string Output() const { return ReadText(m_dir.File("signify.out")); }
  // The list as `sha256sum --tag` writes it, by our own SHA-256.
  std::string TagList() const {
    std::string list;
    for (const char* name : {"module_fw.bin", "router_app.bin"}) {
      const std::vector<std::uint8_t> bytes = test::ReadFile(m_dir.File(name));
      list += ChecksumLine(name, Sha256(bytes.data(), bytes.size()));
    }
    return list;
  }

  test::TempDir m_dir;
};

TEST_F(SignifyToolTest, ItsKeysAndEmbeddedSignatureVerifyHere) {
  ASSERT_EQ(Signify({"-G", "-n", "-c", "release key", "-p", "release.pub", "-s", "release.sec"}), 0) << Output();
  const KeyFileRead pub = ReadPublicKeyFile(m_dir.File("release.pub"));
  ASSERT_TRUE(pub.key) << pub.why;
  EXPECT_EQ(pub.key->comment, "release key public key");
  const SignifyRead<SignifySecretKey> sec = ReadSecretKey(ReadText(m_dir.File("release.sec")));
  ASSERT_TRUE(sec) << SignifyProblemText(sec.problem);
  EXPECT_EQ(sec.value->publicKey, pub.key->key) << "the secret key carries the public key";
  EXPECT_EQ(sec.value->number, pub.key->number);

  WriteText(m_dir.File("SHA256"), TagList());
  ASSERT_EQ(Signify({"-S", "-e", "-s", "release.sec", "-m", "SHA256", "-x", "SHA256.sig"}), 0) << Output();
  TrustedKeys keys;
  AddKeyFile(keys, m_dir.File("release.pub"));
  const SignedList list = CheckSignedList(ReadSignatureFile(m_dir.Str()), keys);
  ASSERT_EQ(list.state, ListState::Verified);
  EXPECT_EQ(list.signer, pub.key->number);
  ASSERT_EQ(list.list.entries.size(), 2u);
  const std::vector<std::uint8_t> app = test::ReadFile(m_dir.File("router_app.bin"));
  EXPECT_EQ(JudgeImage(list, "router_app.bin", Sha256(app.data(), app.size())), ImageSignature::Signed);

  // Orvane's own signature made with the tool's secret key: the tool checks it.
  const SignResult mine = Ed25519Sign(sec.value->seed, reinterpret_cast<const std::uint8_t*>(TagList().data()),
                                      TagList().size());
  ASSERT_TRUE(mine.signature) << mine.error;
  WriteText(m_dir.File("SHA256.sig"),
            WriteEmbeddedSignature({"verify with release.pub", {sec.value->number, *mine.signature}, TagList()}));
  EXPECT_EQ(Signify({"-C", "-p", "release.pub", "-x", "SHA256.sig"}), 0) << Output();
}

TEST_F(SignifyToolTest, OurKeysAndListPassItsChecksAndItCatchesAChangedImage) {
  const test::TestSigner signer("orvane");
  WriteText(m_dir.File("orvane.pub"), signer.PublicKeyText());
  WriteText(m_dir.File("orvane.sec"), signer.SecretKeyText());
  WriteText(m_dir.File("SHA256.sig"), signer.Sign(TagList()));
  EXPECT_EQ(Signify({"-C", "-p", "orvane.pub", "-x", "SHA256.sig"}), 0) << Output();
  EXPECT_TRUE(Contains(Output(), "router_app.bin: OK")) << Output();

  // The tool signs with our secret key; its signature verifies with our public key.
  WriteText(m_dir.File("message"), "any message\n");
  ASSERT_EQ(Signify({"-S", "-s", "orvane.sec", "-m", "message"}), 0) << Output();
  EXPECT_EQ(Signify({"-V", "-p", "orvane.pub", "-m", "message"}), 0) << Output();
  const SignifyRead<SignifySignature> sig = ReadSignature(ReadText(m_dir.File("message.sig")));
  ASSERT_TRUE(sig);
  EXPECT_EQ(sig.value->number, signer.Number());

  m_dir.Write("router_app.bin", std::vector<std::uint8_t>(5000, 0x18));
  EXPECT_NE(Signify({"-C", "-p", "orvane.pub", "-x", "SHA256.sig"}), 0) << "the tool sees the change too";
  EXPECT_TRUE(Contains(Output(), "router_app.bin: FAIL")) << Output();
}

}  // namespace
}  // namespace orvane::trust
