// Signed images end to end: `orvane check` and `orvane update` with trusted
// keys against the simulated router on loopback. A folder signed by
// signify-openbsd goes through and updates; each way an image can fail the
// signature check ends the check before the first packet (the simulator
// received no datagram and no connection), with the file and the reason;
// --allow-unsigned goes through, and the run's JSON, the run history and
// its table say so.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cli/orvane_cli.h"
#include "cli/run_orvane.h"
#include "cli/test_router.h"
#include "log/run_history.h"
#include "platform/clock.h"
#include "support/image_fixtures.h"
#include "support/signify_tool.h"
#include "support/temp_dir.h"
#include "support/test_signer.h"
#include "support/text_search.h"
#include "trust/signed_list.h"

namespace orvane::cli {
namespace {

using test::ReadText;
using test::WriteText;

using test::Contains;

struct Result {
  int status;
  std::string out;
  std::string err;
};

// The image with one byte changed where no unit checksum covers it (the
// file header's unused word): still a valid image, but not the one signed.
std::vector<std::uint8_t> WithOneByteChanged(std::vector<std::uint8_t> image) {
  image[4] ^= 0x01;
  return image;
}

class SignedImagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::StartTestRouter(m_module, m_sim, {}, {}));
    m_app = test::RouterImageCarrying(IMAGE_APP, "2.1.9.0.1");
    m_fw = test::MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00", {5000, 3000});
    m_images.Write("router_app.bin", m_app);
    m_images.Write("module_fw.bin", m_fw);
    WriteText(m_keys.File("release.pub"), m_release.PublicKeyText());
  }
  void TearDown() override {
    m_sim->Stop();
    platform::SetTimeScale(1.0);
  }

  // `orvane ARGS` against the simulator, with the trusted key folder of
  // this test (empty: no key but what ARGS name).
  Result Run(std::vector<std::string> args) {
    const routersim::Ports ports = m_sim->BoundPorts();
    std::vector<std::string> all = {"orvane"};
    all.insert(all.end(), args.begin(), args.end());
    for (const std::string& a :
         {std::string("--dir"), m_images.Str(), std::string("--broadcast"), std::string("127.0.0.1"),
          std::string("--port"), std::to_string(ports.relay), std::string("--control-port"),
          std::to_string(ports.control), std::string("--telnet-port"), std::to_string(ports.telnet),
          std::string("--time-scale"), std::string("0.1"), std::string("--keys-dir"), m_noKeys.Str()}) {
      all.push_back(a);
    }
    if (args[0] != "doctor") all.insert(all.end(), {"--log-dir", m_logs.Str()});  // the doctor writes no log
    std::vector<const char*> argv;
    for (const auto& a : all) argv.push_back(a.c_str());
    std::istringstream in;
    std::ostringstream out, err;
    const int status = RunOrvane(static_cast<int>(argv.size()), argv.data(), in, out, err, TerminalState{});
    return {status, out.str(), err.str()};
  }
  std::string TrustedKey() const { return m_keys.File("release.pub"); }
  void SignWith(const test::TestSigner& signer) {
    WriteText(m_images.File(trust::kSignatureFileName),
              signer.SignFiles({{"router_app.bin", m_app}, {"module_fw.bin", m_fw}}));
  }

  // Nothing reached the simulator, after a pause long enough for a
  // datagram on loopback to have been taken.
  ::testing::AssertionResult NothingReceived() {
    platform::Sleep(1000);
    const routersim::Received r = m_sim->Snapshot();
    if (r.controls.empty() && r.badDatagrams == 0 && r.relayConnections == 0 && r.telnetLogins == 0 &&
        r.images.empty() && r.modulePieces.empty()) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << r.controls.size() << " control datagrams, " << r.badDatagrams
                                         << " bad datagrams, " << r.relayConnections << " relay connections, "
                                         << r.telnetLogins << " telnet logins";
  }

  test::TempDir m_images;
  test::TempDir m_logs;
  test::TempDir m_keys;
  test::TempDir m_noKeys;
  test::TestSigner m_release{"release"};
  std::vector<std::uint8_t> m_app;
  std::vector<std::uint8_t> m_fw;
  std::unique_ptr<routersim::SimModule> m_module;
  std::unique_ptr<routersim::RouterSim> m_sim;
};

TEST_F(SignedImagesTest, AFolderSignedBySignifyOpenbsdChecksAndUpdates) {
  ORVANE_REQUIRE_SIGNIFY();
  ASSERT_EQ(test::RunSignify(m_keys.Path(), {"-G", "-n", "-p", "vendor.pub", "-s", "vendor.sec"}), 0);
  ASSERT_EQ(test::RunShell(m_images.Path(), "sha256sum --tag *.bin > SHA256"), 0);
  ASSERT_EQ(test::RunSignify(m_images.Path(), {"-S", "-e", "-s", m_keys.File("vendor.sec"), "-m", "SHA256", "-x",
                                               "SHA256.sig"}),
            0)
      << ReadText(m_images.File("signify.out"));
  const std::string key = m_keys.File("vendor.pub");
  const trust::KeyFileRead vendor = trust::ReadPublicKeyFile(key);
  ASSERT_TRUE(vendor.key) << vendor.why;
  const std::string number = trust::KeyNumberText(vendor.key->number);

  Result r = Run({"check", "--trusted-key", key});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "Signatures: verified (" + m_images.File("SHA256.sig") + ", trusted key " + number))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "router_app.bin: SHA-256 " + trust::HexText(trust::Sha256(m_app.data(), m_app.size())) +
                                  ", signed"))
      << r.out;

  r = Run({"update", "--yes", "--trusted-key", key});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "Update finished")) << r.out;
  ASSERT_EQ(m_sim->Snapshot().images.size(), 1u);
  EXPECT_EQ(m_module->FirmwareVersion(), "11.608.13.02.00");

  const RunHistory history = ReadRunHistory(RunHistoryPath(m_logs.Str()));
  ASSERT_EQ(history.records.size(), 1u);
  EXPECT_EQ(history.records[0].signatures, "verified");
  ASSERT_EQ(history.records[0].items.size(), 2u);
  for (const RunRecordItem& item : history.records[0].items) {
    EXPECT_EQ(item.signingKey, number) << item.name;
    EXPECT_EQ(item.sha256.size(), 64u) << item.name;
  }
  EXPECT_EQ(history.records[0].items[0].sha256, trust::HexText(trust::Sha256(m_app.data(), m_app.size())));
  const test::CliResult listed = test::RunCli({"history", "--log-dir", m_logs.Str()});
  EXPECT_TRUE(Contains(listed.out, "\n  signatures: verified, signed by key " + number + "\n  log: ")) << listed.out;
}

// Each way to fail the signature check, staged on a folder signed by the
// trusted key, and the reason the check gives for it.
TEST_F(SignedImagesTest, EachUnsignedFolderIsRefusedBeforeTheFirstPacket) {
  const test::TestSigner stranger("stranger");
  struct Case {
    const char* what;
    std::function<void()> stage;
    const char* file;
    const char* reason;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"one byte of an image changed after signing",
       [&] {
         SignWith(m_release);
         m_images.Write("module_fw.bin", WithOneByteChanged(m_fw));
       },
       "module_fw.bin", "hash_differs", "hash differs"},
      {"an image missing from the list",
       [&] { WriteText(m_images.File("SHA256.sig"), m_release.SignFiles({{"router_app.bin", m_app}})); },
       "module_fw.bin", "not_listed", "not listed"},
      {"no SHA256.sig", [] {}, "router_app.bin", "no_signature_file", "no SHA256.sig"},
      {"signed by an untrusted key", [&] { SignWith(stranger); }, "router_app.bin", "unknown_key",
       "signature by an unknown key"},
      {"a corrupt signature",
       [&] {
         SignWith(m_release);
         std::string text = ReadText(m_images.File("SHA256.sig"));
         const std::size_t at = text.find('\n') + 40;  // inside the signature's base64
         text[at] = text[at] == 'A' ? 'B' : 'A';
         WriteText(m_images.File("SHA256.sig"), text);
       },
       "router_app.bin", "signature_invalid", "signature invalid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(m_images.File("SHA256.sig"));
    m_images.Write("router_app.bin", m_app);
    m_images.Write("module_fw.bin", m_fw);
    c.stage();

    Result r = Run({"check", "--json", "--trusted-key", TrustedKey()});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "{\"ok\":false,\"message\":\"Image not signed by a trusted key\"")) << r.out;
    EXPECT_TRUE(Contains(r.out, "\"refused\":{\"name\":")) << r.out;
    EXPECT_TRUE(Contains(r.out, std::string("\"file\":\"") + m_images.File(c.file) + "\",\"reason\":\"" + c.reason +
                                    "\",\"text\":\"" + c.file + ": " + c.text))
        << r.out;
    EXPECT_TRUE(Contains(r.out, "\"update_enabled\":false")) << r.out;
    EXPECT_TRUE(Contains(r.err, std::string("Warning: Image not signed by a trusted key: ") + c.file + ": " + c.text))
        << r.err;

    r = Run({"update", "--yes", "--trusted-key", TrustedKey()});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(Contains(r.err, std::string(c.file) + ": " + c.text)) << r.err;
    EXPECT_TRUE(NothingReceived());
  }
  EXPECT_TRUE(ReadRunHistory(RunHistoryPath(m_logs.Str())).records.empty()) << "no run was made";

  // The same folder without a trusted key: the check goes to the router.
  const Result open = Run({"check"});
  EXPECT_EQ(open.status, 0) << open.out << open.err;
  EXPECT_TRUE(Contains(open.out, "Note: images are not signature-checked: no key is trusted")) << open.out;
  EXPECT_FALSE(NothingReceived()) << "a check that goes on reaches the simulator";
}

TEST_F(SignedImagesTest, AllowUnsignedGoesThroughAndTheHistoryRecordsIt) {
  SignWith(m_release);
  const std::vector<std::uint8_t> changed = WithOneByteChanged(m_app);
  m_images.Write("router_app.bin", changed);

  const Result r = Run({"update", "--yes", "--json", "--trusted-key", TrustedKey(), "--allow-unsigned"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "an image is not signed by a trusted key, and unsigned images are allowed: "
                              "router_app.bin: hash differs"))
      << r.out;
  const RunHistory history = ReadRunHistory(RunHistoryPath(m_logs.Str()));
  ASSERT_EQ(history.records.size(), 1u);
  const RunRecord& record = history.records[0];
  EXPECT_EQ(record.signatures, "unsigned allowed");
  ASSERT_EQ(record.items.size(), 2u);
  EXPECT_EQ(record.items[0].name, "Router's APP");
  EXPECT_EQ(record.items[0].sha256, trust::HexText(trust::Sha256(changed.data(), changed.size())));
  EXPECT_EQ(record.items[0].signingKey, "") << "nobody signed the changed image";
  EXPECT_EQ(record.items[1].signingKey, m_release.NumberText()) << "the firmware is still signed";

  // The run's JSON says what the history says, as the check's JSON would.
  EXPECT_TRUE(Contains(r.out, "\"signatures\":{\"verdict\":\"unsigned allowed\",\"signature_file\":\"" +
                                  m_images.File("SHA256.sig") + "\",\"list\":\"verified\",\"signer\":\"" +
                                  m_release.NumberText() + "\",\"refused\":{\"name\":\"Router's APP\""))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "{\"name\":\"Router's APP\",\"file\":\"" + m_images.File("router_app.bin") +
                                  "\",\"sha256\":\"" + record.items[0].sha256 + "\",\"state\":\"hash_differs\"}"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "{\"name\":\"Firmware\",\"file\":\"" + m_images.File("module_fw.bin") +
                                  "\",\"sha256\":\"" + record.items[1].sha256 + "\",\"state\":\"signed\"}"))
      << r.out;

  // And the history's table, at a glance.
  const test::CliResult listed = test::RunCli({"history", "--log-dir", m_logs.Str()});
  EXPECT_TRUE(Contains(listed.out, "\n  signatures: UNSIGNED (allowed): Router's APP; signed by key " +
                                       m_release.NumberText() + ": Firmware\n"))
      << listed.out;
}

TEST_F(SignedImagesTest, KeysComeFromTheKeyFolderAndAnUnreadableNamedKeyIsAUsageError) {
  SignWith(m_release);
  Result r = Run({"check", "--trusted-key", m_keys.File("missing.pub")});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "orvane check: --trusted-key " + m_keys.File("missing.pub") + ": no such file")) << r.err;
  EXPECT_TRUE(NothingReceived());

  // A key folder whose only key is broken still turns the check on.
  WriteText(m_noKeys.File("broken.pub"), "untrusted comment: cut\n");
  r = Run({"check", "--json"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"reason\":\"unknown_key\"")) << r.out;
  EXPECT_TRUE(Contains(r.out, "a trusted key cannot be read: " + m_noKeys.File("broken.pub"))) << r.out;
  EXPECT_TRUE(NothingReceived());

  // With the release key beside it in the folder, the check passes.
  WriteText(m_noKeys.File("release.pub"), m_release.PublicKeyText());
  r = Run({"check"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "Signatures: verified")) << r.out;
}

TEST_F(SignedImagesTest, DoctorSaysWhetherTheImagesAreSignedAsTheCheckWouldJudgeThem) {
  SignWith(m_release);
  Result r = Run({"doctor", "--json", "--trusted-key", TrustedKey()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "{\"kind\":\"images_signed\",\"severity\":\"info\"")) << r.out;
  EXPECT_TRUE(Contains(r.out, "trusted key " + m_release.NumberText())) << r.out;

  m_images.Write("router_app.bin", WithOneByteChanged(m_app));
  r = Run({"doctor", "--json", "--trusted-key", TrustedKey()});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(Contains(r.out, "{\"kind\":\"images_not_signed\",\"severity\":\"fault\"")) << r.out;
  EXPECT_TRUE(Contains(r.out, "router_app.bin: hash differs")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"check_would_succeed\":false")) << r.out;

  r = Run({"doctor", "--json", "--trusted-key", TrustedKey(), "--allow-unsigned"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "{\"kind\":\"images_not_signed\",\"severity\":\"warning\"")) << r.out;

  r = Run({"doctor"});
  EXPECT_TRUE(Contains(r.out, "images not signature-checked (no key is trusted)")) << r.out;
}

}  // namespace
}  // namespace orvane::cli
