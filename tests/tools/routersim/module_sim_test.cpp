// The simulated module on its own: requests in, framed answers out, with
// its modes, restarts, memory and faults.
#include "routersim/module_sim.h"

#include <gtest/gtest.h>

#include "diag/framing.h"
#include "platform/clock.h"
#include "support/frames.h"
#include "support/time_scale.h"

namespace orvane::routersim {
namespace {

using Bytes = std::vector<std::uint8_t>;

class SimModuleTest : public ::testing::Test {
 protected:
  const orvane::test::ScopedTimeScale m_timeScale{0.01};

  // Sends `packet` framed (as the updater would) and returns the decoded
  // answer, or an empty vector when none came. `flagged` tells whether the
  // answer frame opened with a flag.
  Bytes Ask(SimModule& m, const Bytes& packet, bool* flagged = nullptr) {
    const Bytes reply = m.OnRelayBytes(orvane::test::Framed(packet, true), packet);
    if (reply.empty()) return {};
    if (flagged != nullptr) *flagged = reply.front() == FRAME_FLAG;
    const std::optional<Bytes> decoded = orvane::test::Unframed(reply);
    EXPECT_TRUE(decoded) << "the module sent a bad frame";
    return decoded.value_or(Bytes{});
  }

  static Bytes HandShakeRequest() {
    Bytes r(133, 0);
    r[0] = 0x26, r[3] = 0x25, r[4] = 0xA7, r[6] = 0x06;
    return r;
  }
  static Bytes Write(std::uint32_t address, const Bytes& data) {
    Bytes r = {0x0F, static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
               static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address),
               static_cast<std::uint8_t>(data.size() >> 8), static_cast<std::uint8_t>(data.size())};
    r.insert(r.end(), data.begin(), data.end());
    return r;
  }
  static void WaitRestart(SimModule& m) {
    for (int i = 0; i < 1000 && m.Mode() == ModuleMode::kRestarting; ++i) platform::Sleep(10);
  }
  static constexpr std::uint8_t kCode[8] = {'1', '2', '3', '4', '5', '6', '7', '8'};
  static Bytes Unlock(const std::uint8_t* code = kCode) {
    Bytes r{0x0B};
    r.insert(r.end(), code, code + 8);
    return r;
  }
};

TEST_F(SimModuleTest, NormalFirmwareAnswersTheDiagCommands) {
  SimModule m;
  bool flagged = true;
  const Bytes hs = Ask(m, HandShakeRequest(), &flagged);
  ASSERT_EQ(hs.size(), 133u);
  EXPECT_FALSE(flagged);
  EXPECT_EQ(Bytes(hs.begin(), hs.begin() + 10), (Bytes{0x26, 0, 0, 0x25, 0xA7, 0, 0x06, 0, 0, 0}));
  EXPECT_EQ(hs[14], 0);
  EXPECT_EQ(hs[15], 0);

  const Bytes fw = Ask(m, {0x4B, 0xC9, 0x03, 0xFF});
  ASSERT_EQ(fw.size(), 66u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(fw.data()) + 4), "11.608.12.01.00");
  Bytes iso(36, 0);
  iso[0] = 0x4B, iso[1] = 0xC9, iso[2] = 0x24, iso[3] = 0xFF;
  const Bytes dash = Ask(m, iso);
  ASSERT_EQ(dash.size(), 260u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(dash.data()) + 5), "11.002.03.04.00");

  EXPECT_EQ(Ask(m, {0x29, 0x01, 0x00}), (Bytes{0x29, 0x01, 0x00}));
  EXPECT_TRUE(m.Offline());
  EXPECT_EQ(Ask(m, HandShakeRequest())[15], 1);

  // Not understood: 0x13 and the request's first bytes.
  EXPECT_EQ(Ask(m, {0x7B, 0x01}), (Bytes{0x13, 0x7B, 0x01}));
  // Pieces that are no frame get nothing.
  const std::string wake = "AT$QCDMG\r~";
  EXPECT_TRUE(m.OnRelayBytes(Bytes(wake.begin(), wake.end()), {}).empty());
}

TEST_F(SimModuleTest, NvBackupRestoreAndStatus) {
  SimModule m;
  Bytes status(36, 0);
  status[0] = 0x4B, status[1] = 0xC9, status[2] = 0x21, status[3] = 0xFF;
  EXPECT_EQ(Ask(m, status)[5], 0);  // nothing backed up
  EXPECT_EQ(Ask(m, {0x4B, 0xC8, 0x1E, 0xFF, 0x00, 0x00, 0x00, 0x00}),
            (Bytes{0x4B, 0xC8, 0x1E, 0xFF, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_TRUE(m.NvBackedUp());
  const Bytes s = Ask(m, status);
  EXPECT_EQ(s[5], 1);
  EXPECT_EQ(s[6], 0);

  ModuleConfig failing;
  failing.faults.nvBackupReason = 3;
  failing.faults.restoreStatusFail = true;
  SimModule f(failing);
  const Bytes b = Ask(f, {0x4B, 0xC8, 0x1E, 0xFF, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(b[5], 1);
  EXPECT_EQ(b[6], 3);
}

TEST_F(SimModuleTest, DownloadSessionFromSwitchToReset) {
  ModuleConfig config;
  config.restartMs = 2000;
  SimModule m(config);
  EXPECT_EQ(Ask(m, {0x3A}), (Bytes{0x3A}));
  // Restarting: no answers, no probe.
  EXPECT_EQ(m.Mode(), ModuleMode::kRestarting);
  EXPECT_FALSE(m.AnswersProbe());
  EXPECT_TRUE(Ask(m, HandShakeRequest()).empty());
  WaitRestart(m);
  ASSERT_EQ(m.Mode(), ModuleMode::kDownloader);
  EXPECT_TRUE(m.AnswersProbe());
  EXPECT_EQ(Ask(m, HandShakeRequest())[14], 1);

  // Writes before the unlock are refused; a wrong code too.
  EXPECT_EQ(Ask(m, Write(0x1000, {1, 2, 3}))[0], 0x03);
  const std::uint8_t wrong[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_EQ(Ask(m, Unlock(wrong))[0], 0x03);
  bool flagged = false;
  EXPECT_EQ(Ask(m, Unlock(), &flagged), (Bytes{0x02}));
  EXPECT_TRUE(flagged);

  Bytes block(4096);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 31 + 0x7D);
  EXPECT_EQ(Ask(m, Write(0x1000, block)), (Bytes{0x02}));
  EXPECT_EQ(Ask(m, Write(0x2000, {0x7E, 0x7D})), (Bytes{0x02}));
  EXPECT_EQ(Ask(m, Write(0x9000, {5})), (Bytes{0x02}));
  // A length field that disagrees with the packet is refused.
  Bytes bad = Write(0x9001, {1, 2});
  bad.pop_back();
  EXPECT_EQ(Ask(m, bad)[0], 0x03);

  const auto memory = m.Memory();
  ASSERT_EQ(memory.size(), 2u);  // 0x1000..0x2002 merged, 0x9000 alone
  EXPECT_EQ(memory[0].address, 0x1000u);
  EXPECT_EQ(memory[0].data.size(), 4098u);
  EXPECT_TRUE(m.Holds(0x1000, block.data(), block.size()));
  const std::uint8_t tail[] = {0x7E, 0x7D};
  EXPECT_TRUE(m.Holds(0x2000, tail, 2));
  EXPECT_FALSE(m.Holds(0x2001, tail, 2));
  EXPECT_EQ(m.WritesAccepted(), 3u);

  EXPECT_EQ(Ask(m, {0x0A}), (Bytes{0x02}));
  WaitRestart(m);
  EXPECT_EQ(m.Mode(), ModuleMode::kNormal);
  EXPECT_FALSE(m.Offline());
  EXPECT_EQ(m.FirmwareVersion(), "11.608.13.02.00");
  EXPECT_EQ(m.DashboardVersion(), "11.002.03.05.00");
}

TEST_F(SimModuleTest, StartStatesAndFaults) {
  ModuleConfig absent;
  absent.start = ModuleStart::kAbsent;
  SimModule a(absent);
  EXPECT_TRUE(Ask(a, HandShakeRequest()).empty());

  ModuleConfig dl;
  dl.start = ModuleStart::kDownloader;
  dl.faults.nakWrite = 2;
  dl.faults.stayInDownloader = true;
  dl.restartMs = 100;
  SimModule d(dl);
  const Bytes hs = Ask(d, HandShakeRequest());
  EXPECT_EQ(hs[14], 1);
  EXPECT_EQ(hs[15], 1);
  ASSERT_EQ(Ask(d, Unlock()), (Bytes{0x02}));
  EXPECT_EQ(Ask(d, Write(0, {1})), (Bytes{0x02}));
  EXPECT_EQ(Ask(d, Write(1, {2})), (Bytes{0x03, 0x00, 0x05}));  // the 2nd write
  EXPECT_EQ(Ask(d, Write(1, {2})), (Bytes{0x02}));              // and its retry
  EXPECT_EQ(Ask(d, {0x0A}), (Bytes{0x02}));
  WaitRestart(d);
  EXPECT_EQ(d.Mode(), ModuleMode::kDownloader);  // the new software did not start

  ModuleConfig locked;
  locked.start = ModuleStart::kDownloader;
  locked.faults.failUnlocks = 2;
  SimModule l(locked);
  EXPECT_EQ(Ask(l, Unlock()), (Bytes{0x03, 0x00, 0x08}));
  EXPECT_EQ(Ask(l, Unlock()), (Bytes{0x03, 0x00, 0x08}));
  EXPECT_EQ(Ask(l, Unlock()), (Bytes{0x02}));  // the third one, with the right code

  ModuleConfig restore;
  restore.faults.restoreFail = true;
  SimModule r(restore);
  EXPECT_EQ(Ask(r, {0x4B, 0xC8, 0x1E, 0xFF, 0x00, 0x00, 0x00, 0x00})[5], 0);  // backup works
  EXPECT_EQ(Ask(r, {0x4B, 0xC8, 0x1E, 0xFF, 0x01, 0x01, 0x00, 0x00}),
            (Bytes{0x4B, 0xC8, 0x1E, 0xFF, 0x01, 0x01, 0x04, 0x00}));  // restore: NV operation failed
  EXPECT_FALSE(r.NvRestored());

  ModuleConfig errors;
  errors.faults.errorByteTo = 0x4B;
  errors.faults.silentRequest = 1;
  SimModule e(errors);
  EXPECT_TRUE(Ask(e, {0x4B, 0xC9, 0x03, 0xFF}).empty());  // 1st request: silent
  EXPECT_EQ(Ask(e, {0x4B, 0xC9, 0x03, 0xFF}), (Bytes{0x13, 0x4B, 0xC9, 0x03, 0xFF}));
  EXPECT_EQ(e.Requests(), 2u);
}

}  // namespace
}  // namespace orvane::routersim
