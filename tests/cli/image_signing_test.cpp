// `orvane image keygen`, `image sign` and the signature state that
// `image inspect` and `image scan` show, as a release engineer and an
// operator use them; `signify-openbsd -C` checks what `image sign` wrote.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/run_orvane.h"
#include "support/image_fixtures.h"
#include "support/signify_tool.h"
#include "support/temp_dir.h"
#include "support/text_search.h"
#include "trust/base64.h"
#include "trust/signed_list.h"

namespace orvane::cli {
namespace {

using test::ReadText;
using test::WriteText;
using test::JsonPath;

using test::Contains;
using test::RunCli;

class ImageSigningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(m_dir.File("images"));
    m_app = test::MakeImage(IMAGE_APP, "2.1.10.3.7");
    m_fw = test::MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00");
    m_dir.Write("images/router_app.bin", m_app);
    m_dir.Write("images/module_fw.bin", m_fw);
    WriteText(m_dir.File("images/notes.txt"), "not an image, not signed");
  }
  std::string Images() const { return m_dir.File("images"); }
  std::string Image(const char* name) const { return (m_dir.Path() / "images" / name).string(); }
  std::string Key(const char* suffix) const { return m_dir.File(std::string("release") + suffix); }
  test::CliResult Keygen() { return RunCli({"image", "keygen", m_dir.File("release")}); }
  test::CliResult Sign() { return RunCli({"image", "sign", "--key", Key(".sec"), Images()}); }
  std::string KeysDir() const { return m_dir.File("no-keys"); }

  test::TempDir m_dir;
  std::vector<std::uint8_t> m_app;
  std::vector<std::uint8_t> m_fw;
};

TEST_F(ImageSigningTest, KeygenMakesAPairOnceAndSignListsEveryImage) {
  test::CliResult r = Keygen();
  ASSERT_EQ(r.status, 0) << r.err;
  const trust::KeyFileRead pub = trust::ReadPublicKeyFile(Key(".pub"));
  ASSERT_TRUE(pub.key) << pub.why;
  EXPECT_EQ(pub.key->comment, "release public key");
  const auto sec = trust::ReadSecretKey(ReadText(Key(".sec")));
  ASSERT_TRUE(sec) << trust::SignifyProblemText(sec.problem);
  EXPECT_EQ(sec.value->publicKey, pub.key->key);
  EXPECT_TRUE(Contains(r.out, "key " + trust::KeyNumberText(pub.key->number))) << r.out;
#ifndef _WIN32
  const auto perms = std::filesystem::status(Key(".sec")).permissions();
  EXPECT_EQ(perms & (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
            std::filesystem::perms::none)
      << "the secret key is its owner's alone";
#endif
  const std::string before = ReadText(Key(".sec"));
  r = Keygen();
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "exists already; not overwritten")) << r.err;
  EXPECT_EQ(ReadText(Key(".sec")), before);

  r = Sign();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "2 images signed by key " + trust::KeyNumberText(pub.key->number))) << r.out;
  trust::TrustedKeys keys;
  trust::AddKeyFile(keys, Key(".pub"));
  const trust::SignedList list = trust::CheckSignedList(trust::ReadSignatureFile(Images()), keys);
  ASSERT_EQ(list.state, trust::ListState::Verified);
  ASSERT_EQ(list.list.entries.size(), 2u);
  EXPECT_EQ(list.list.entries[0].name, "module_fw.bin") << "in name order";
  EXPECT_EQ(list.list.entries[1].digest, trust::Sha256(m_app.data(), m_app.size()));
  EXPECT_TRUE(Contains(ReadText(m_dir.File("images/SHA256.sig")), "untrusted comment: verify with release.pub\n"));
}

TEST_F(ImageSigningTest, SignifyOpenbsdAcceptsWhatSignWrote) {
  ORVANE_REQUIRE_SIGNIFY();
  ASSERT_EQ(Keygen().status, 0);
  ASSERT_EQ(Sign().status, 0);
  EXPECT_EQ(test::RunSignify(Images(), {"-C", "-p", Key(".pub"), "-x", "SHA256.sig"}), 0)
      << ReadText(m_dir.File("images/signify.out"));
  EXPECT_TRUE(Contains(ReadText(m_dir.File("images/signify.out")), "router_app.bin: OK"));

  // And a key that signify-openbsd made (without passphrase) signs here.
  ASSERT_EQ(test::RunSignify(m_dir.Path(), {"-G", "-n", "-p", "tool.pub", "-s", "tool.sec"}), 0);
  const test::CliResult r = RunCli({"image", "sign", "--key", m_dir.File("tool.sec"), Images()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::RunSignify(Images(), {"-C", "-p", m_dir.File("tool.pub"), "-x", "SHA256.sig"}), 0)
      << ReadText(m_dir.File("images/signify.out"));
}

TEST_F(ImageSigningTest, InspectAndScanShowEachImagesHashAndSignatureState) {
  ASSERT_EQ(Keygen().status, 0);
  ASSERT_EQ(Sign().status, 0);
  const std::string app = Image("router_app.bin");
  const std::string appHash = trust::HexText(trust::Sha256(m_app.data(), m_app.size()));
  const std::string number = trust::KeyNumberText(trust::ReadPublicKeyFile(Key(".pub")).key->number);

  test::CliResult r = RunCli({"image", "inspect", "--json", "--keys-dir", KeysDir(), "--trusted-key", Key(".pub"), app});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "\"sha256\":\"" + appHash + "\",\"signature\":\"signed\",\"signer\":\"" + number + "\""))
      << r.out;
  r = RunCli({"image", "inspect", "--keys-dir", KeysDir(), app});
  EXPECT_EQ(r.status, 0) << "without a trusted key a listed image is not refused";
  EXPECT_TRUE(Contains(r.out, "  SHA-256 " + appHash + ", listed (signature not checked)\n")) << r.out;

  std::vector<std::uint8_t> changed = m_app;
  changed[4] ^= 1;  // the header's unused word: still valid, no longer what was signed
  m_dir.Write("images/router_app.bin", changed);
  r = RunCli({"image", "inspect", "--keys-dir", KeysDir(), "--trusted-key", Key(".pub"), app});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, ": valid app image")) << r.out;
  EXPECT_TRUE(Contains(r.out, ", hash differs\n")) << r.out;

  r = RunCli({"image", "scan", "--json", "--keys-dir", KeysDir(), "--trusted-key", Key(".pub"), Images()});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"signatures\":{\"verdict\":\"refused\",")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"reason\":\"hash_differs\"")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"name\":\"Firmware\",\"file\":\"" + JsonPath(Image("module_fw.bin")) +
                                  "\",\"sha256\":\"" + trust::HexText(trust::Sha256(m_fw.data(), m_fw.size())) +
                                  "\",\"state\":\"signed\""))
      << r.out;
  r = RunCli({"image", "scan", "--keys-dir", KeysDir(), "--trusted-key", Key(".pub"), Images()});
  EXPECT_TRUE(Contains(r.err, "Warning: Image not signed by a trusted key: router_app.bin: hash differs")) << r.err;
}

TEST_F(ImageSigningTest, SignRefusesAPassphraseKeyABrokenKeyAndAFolderWithoutImages) {
  ASSERT_EQ(Keygen().status, 0);
  // The same key as if protected by a passphrase: kdf rounds 16.
  const std::string text = ReadText(Key(".sec"));
  const std::size_t line = text.find('\n') + 1;
  std::vector<std::uint8_t> record = *trust::Base64Decode(text.substr(line, text.size() - line - 1));
  record[7] = 16;
  WriteText(m_dir.File("locked.sec"), text.substr(0, line) + trust::Base64Encode(record.data(), record.size()) + "\n");
  test::CliResult r = RunCli({"image", "sign", "--key", m_dir.File("locked.sec"), Images()});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "protected by a passphrase, which Orvane does not read")) << r.err;

  r = RunCli({"image", "sign", "--key", Key(".pub"), Images()});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, Key(".pub") + ": the second line is not of this kind of file's length")) << r.err;
  EXPECT_FALSE(std::filesystem::exists(m_dir.File("images/SHA256.sig"))) << "nothing written after a refusal";

  std::filesystem::create_directory(m_dir.File("empty"));
  r = RunCli({"image", "sign", "--key", Key(".sec"), m_dir.File("empty")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "no *.bin file to sign")) << r.err;
}

}  // namespace
}  // namespace orvane::cli
