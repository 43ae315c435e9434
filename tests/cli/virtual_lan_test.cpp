// `orvane` on a virtual LAN with the real addresses and ports: the program
// runs in a PC namespace with no network flag at all, the simulator in a
// router namespace on 192.168.1.1, ports 23 and 1280. Each fault of the
// PC's side is one variant of the LAN. Root only; skipped elsewhere.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/image_fixtures.h"
#include "support/temp_dir.h"
#include "support/text_search.h"
#include "support/time_scale.h"
#include "support/virtual_lan.h"
#include "cli/test_router.h"

namespace orvane::test {
namespace {

// Every pause and time-out of the program and the simulator runs at this
// fraction of its length.
constexpr double kTimeScale = 0.1;

class VirtualLanTest : public ::testing::Test {
 protected:
  // Makes the LAN and starts a router on it; skips where namespaces cannot
  // be made.
  void Make(VirtualLanOptions options = {}, std::vector<std::string> routerFlags = {}) {
    m_lan = std::make_unique<VirtualLan>(options);
    if (!m_lan->ok()) GTEST_SKIP() << "virtual LAN cannot be made here (" << m_lan->Error() << ")";
    // The test images carry the unlock code 01..08.
    routerFlags.insert(routerFlags.end(), {"--unlock", "0102030405060708", "--restart-ms", "2000"});
    ASSERT_NE(m_lan->StartRouterSim(ORVANE_ROUTERSIM, kTimeScale, routerFlags), nullptr);
    m_images.Write("app.bin", RouterImageCarrying(IMAGE_APP, "2.1.9.0.1"));
    m_images.Write("fw.bin", MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00", {5000, 3000}));
  }

  // `orvane command` in the PC's namespace: only the image and log folders
  // and the time scale; the network is the program's defaults.
  CommandResult Orvane(std::vector<std::string> args) {
    args.insert(args.begin(), ORVANE_PROGRAM);
    args.insert(args.end(),
                {"--dir", m_images.Str(), "--log-dir", m_logs.Str(), "--time-scale", std::to_string(kTimeScale)});
    return m_lan->RunOnPc(args);
  }
  // `orvane doctor --json` the same way.
  CommandResult Doctor() {
    return m_lan->RunOnPc(
        {ORVANE_PROGRAM, "doctor", "--json", "--dir", m_images.Str(), "--time-scale", std::to_string(kTimeScale)});
  }

  ScopedTimeScale m_scale{kTimeScale};
  TempDir m_images;
  TempDir m_logs;
  std::unique_ptr<VirtualLan> m_lan;
};

TEST_F(VirtualLanTest, CheckAndUpdateMeetTheRouterWithTheDefaults) {
  Make();
  if (IsSkipped()) return;
  const CommandResult check = Orvane({"check", "--json"});
  EXPECT_EQ(check.exit_code, 0) << check.output;
  const CommandResult update = Orvane({"update", "--yes", "--verify", "--json"});
  EXPECT_EQ(update.exit_code, 0) << update.output;
  EXPECT_TRUE(Contains(update.output, "{\"ok\":true,")) << update.output;
  // After the router's restart it is found again with the defaults and
  // reports what the images carry.
  for (const char* version : {"2.1.9.0.1", "11.608.13.02.00"}) {
    EXPECT_TRUE(Contains(update.output, std::string("\"verification\":\"verified\",\"expected_version\":\"") +
                                            version + "\",\"reported_version\":\"" + version + "\""))
        << version << "\n" << update.output;
  }
}

// The doctor's JSON holds a finding of `kind` (with `severity`, unless empty).
::testing::AssertionResult HasFinding(const std::string& json, const std::string& kind,
                                      const std::string& severity = "") {
  const std::string wanted =
      "{\"kind\":\"" + kind + "\"" + (severity.empty() ? "" : ",\"severity\":\"" + severity + "\"");
  if (Contains(json, wanted)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no finding " << wanted << " in " << json;
}

int CountFindings(const std::string& json, const std::string& kind) {
  const std::string wanted = "{\"kind\":\"" + kind + "\"";
  int count = 0;
  for (std::size_t at = json.find(wanted); at != std::string::npos; at = json.find(wanted, at + 1)) ++count;
  return count;
}

TEST_F(VirtualLanTest, DoctorFindsEverythingInPlace) {
  Make();
  if (IsSkipped()) return;
  const CommandResult doctor = Doctor();
  EXPECT_EQ(doctor.exit_code, 0) << doctor.output;
  EXPECT_TRUE(Contains(doctor.output, "\"check_would_succeed\":true")) << doctor.output;
  EXPECT_TRUE(HasFinding(doctor.output, "adapter_on_network", "info"));
  EXPECT_TRUE(Contains(doctor.output, "\"name\":\"lan0\",\"up\":true,\"ipv4\":[{\"address\":\"192.168.1.2\","
                                      "\"mask\":\"255.255.255.0\"}]"))
      << doctor.output;
  EXPECT_EQ(CountFindings(doctor.output, "router_answered"), 1) << doctor.output;
  EXPECT_TRUE(Contains(doctor.output, "\"router\":{\"ip\":\"192.168.1.1\",\"mac\":\"02-00-5E-10-00-01\""))
      << doctor.output;
  for (const char* kind : {"images_found", "shell_login_prompt", "relay_accepts", "module_answers"}) {
    EXPECT_TRUE(HasFinding(doctor.output, kind, "info"));
  }
}

TEST_F(VirtualLanTest, APcWithoutAnAddressOnTheRoutersNetwork) {
  VirtualLanOptions options;
  options.pcOnRouterNetwork = false;
  Make(options);
  if (IsSkipped()) return;
  EXPECT_EQ(Orvane({"check"}).exit_code, 1);
  const CommandResult doctor = Doctor();
  EXPECT_EQ(doctor.exit_code, 1) << doctor.output;
  EXPECT_TRUE(HasFinding(doctor.output, "no_adapter_on_network", "fault"));
  EXPECT_TRUE(Contains(doctor.output, "\"advice\":\"connect_to_router_lan\"")) << doctor.output;
  EXPECT_FALSE(HasFinding(doctor.output, "udp_filtered"));
}

TEST_F(VirtualLanTest, AnOfficeAdapterOnTheSameNetworkComesFirst) {
  VirtualLanOptions options;
  options.officeAdapterFirst = true;
  Make(options);
  if (IsSkipped()) return;
  EXPECT_EQ(Orvane({"check"}).exit_code, 1);
  const CommandResult doctor = Doctor();
  EXPECT_EQ(doctor.exit_code, 1) << doctor.output;
  EXPECT_TRUE(HasFinding(doctor.output, "several_adapters_on_network", "warning"));
  EXPECT_TRUE(Contains(doctor.output, "\"subject\":\"office0, lan0\"")) << doctor.output;
  EXPECT_TRUE(HasFinding(doctor.output, "no_router_answered", "fault"));
}

TEST_F(VirtualLanTest, AFirewallDroppingTheRoutersUdpAnswers) {
  VirtualLanOptions options;
  options.dropRouterUdp = true;
  Make(options);
  if (IsSkipped()) return;
  EXPECT_EQ(Orvane({"check"}).exit_code, 1);
  const CommandResult doctor = Doctor();
  EXPECT_EQ(doctor.exit_code, 1) << doctor.output;
  EXPECT_TRUE(HasFinding(doctor.output, "no_router_answered", "fault"));
  EXPECT_TRUE(HasFinding(doctor.output, "udp_filtered", "fault"));
  EXPECT_TRUE(HasFinding(doctor.output, "relay_accepts", "info"));
}

TEST_F(VirtualLanTest, TwoRoutersAnswer) {
  VirtualLanOptions options;
  options.secondRouter = true;
  Make(options);
  if (IsSkipped()) return;
  ASSERT_NE(m_lan->StartRouterSim(ORVANE_ROUTERSIM, kTimeScale, {"--mac", "02:00:5e:10:00:02"}, true), nullptr);
  const CommandResult doctor = Doctor();
  EXPECT_EQ(doctor.exit_code, 0) << doctor.output;
  EXPECT_EQ(CountFindings(doctor.output, "router_answered"), 2) << doctor.output;
  EXPECT_TRUE(Contains(doctor.output, "\"router\":{\"ip\":\"192.168.1.3\",\"mac\":\"02-00-5E-10-00-02\""))
      << doctor.output;
  EXPECT_TRUE(HasFinding(doctor.output, "several_routers", "warning"));
}

TEST_F(VirtualLanTest, TheTelnetShellClosed) {
  Make({}, {"--refuse-telnet"});
  if (IsSkipped()) return;
  EXPECT_EQ(Orvane({"check"}).exit_code, 0) << "the check goes on with discovery's versions";
  const CommandResult doctor = Doctor();
  EXPECT_EQ(doctor.exit_code, 0) << doctor.output;
  EXPECT_TRUE(HasFinding(doctor.output, "shell_unreachable", "warning"));
}

TEST_F(VirtualLanTest, TheRelayClosed) {
  Make({}, {"--refuse-relay"});
  if (IsSkipped()) return;
  EXPECT_EQ(Orvane({"check"}).exit_code, 1);
  const CommandResult doctor = Doctor();
  EXPECT_EQ(doctor.exit_code, 1) << doctor.output;
  EXPECT_TRUE(HasFinding(doctor.output, "relay_refused", "fault"));
  EXPECT_TRUE(HasFinding(doctor.output, "shell_login_prompt", "info"));
}

}  // namespace
}  // namespace orvane::test
