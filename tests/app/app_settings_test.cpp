// The settings file beside the dialog program.
#include "app/app_settings.h"

#include <gtest/gtest.h>

#include <iterator>
#include <regex>
#include <string>

#include "example_ini.h"

namespace orvane::app {
namespace {

TEST(AppSettings, TheIssueExampleSetsEveryValue) {
  const AppSettings s = ParseSettings(
      "[network]\n"
      "broadcast=127.0.0.1\n"
      "relay_port=41280\n"
      "control_port=41281\n"
      "telnet_port=41023\n"
      "[timing]\n"
      "time_scale=0.05\n");
  EXPECT_TRUE(s.problems.empty());
  EXPECT_EQ(s.profile.broadcastAddress, "127.0.0.1");
  EXPECT_EQ(s.profile.relayTcpPort, 41280);
  EXPECT_EQ(s.profile.controlUdpPort, 41281);
  EXPECT_EQ(s.profile.telnetPort, 41023);
  EXPECT_DOUBLE_EQ(s.timeScale, 0.05);
}

TEST(AppSettings, EmptyOrMissingKeysKeepTheRealRoutersValues) {
  const AppSettings empty = ParseSettings("");
  EXPECT_EQ(empty.profile, NetworkProfile{});
  EXPECT_EQ(empty.profile.broadcastAddress, "192.168.1.255");
  EXPECT_DOUBLE_EQ(empty.timeScale, 1.0);
  EXPECT_TRUE(empty.problems.empty());

  const AppSettings some = ParseSettings("[network]\ntelnet_port=2323\n");
  EXPECT_EQ(some.profile.telnetPort, 2323);
  EXPECT_EQ(some.profile.relayTcpPort, 1280);
  EXPECT_EQ(some.profile.controlUdpPort, 1280);
  EXPECT_EQ(some.profile.broadcastAddress, "192.168.1.255");
}

// The example shipped beside Orvane.exe changes nothing as it is, and each
// key it shows, once its ';' is removed, is a key the program knows, with
// the value that applies without it.
TEST(AppSettings, TheShippedExampleShowsEveryKeyWithItsDefault) {
  const AppSettings asShipped = ParseSettings(kShippedExampleIni);
  EXPECT_TRUE(asShipped.problems.empty());
  EXPECT_EQ(asShipped.profile, NetworkProfile{});

  const std::regex commentedKey(R"((^|\n);([a-z_]+=))");
  const std::string text = kShippedExampleIni;
  const auto keys = std::distance(std::sregex_iterator(text.begin(), text.end(), commentedKey), std::sregex_iterator());
  EXPECT_EQ(keys, 7);
  const AppSettings uncommented = ParseSettings(std::regex_replace(text, commentedKey, "$1$2"));
  EXPECT_TRUE(uncommented.problems.empty()) << uncommented.problems.front();
  EXPECT_EQ(uncommented.profile, NetworkProfile{});
  EXPECT_DOUBLE_EQ(uncommented.timeScale, 1.0);
  EXPECT_FALSE(uncommented.allowUnsigned);
}

TEST(AppSettings, ToleratesTheWaysEditorsWriteFiles) {
  // Byte-order mark, CR LF, blanks, comments, names in any case, no final
  // line end.
  const AppSettings s = ParseSettings(
      "\xEF\xBB\xBF; made by hand\r\n"
      "  [ Network ]  \r\n"
      "# the simulator\r\n"
      "  Broadcast =  127.0.0.9 \r\n"
      "\r\n"
      "[TIMING]\r\n"
      "Time_Scale\t=\t0.5");
  EXPECT_TRUE(s.problems.empty()) << s.problems.front();
  EXPECT_EQ(s.profile.broadcastAddress, "127.0.0.9");
  EXPECT_DOUBLE_EQ(s.timeScale, 0.5);
}

TEST(AppSettings, BadValuesKeepTheDefaultAndAreReportedWithTheirLine) {
  const AppSettings s = ParseSettings(
      "[network]\n"
      "broadcast=router.local\n"   // 2: names are not resolved
      "relay_port=0\n"             // 3
      "control_port=65536\n"       // 4
      "telnet_port=23x\n"          // 5
      "relay_port=-5\n"            // 6
      "[timing]\n"
      "time_scale=0\n"             // 8: the clock refuses 0
      "time_scale=1001\n"          // 9
      "time_scale=fast\n");        // 10
  EXPECT_EQ(s.profile, NetworkProfile{});
  EXPECT_DOUBLE_EQ(s.timeScale, 1.0);
  ASSERT_EQ(s.problems.size(), 8u);
  EXPECT_EQ(s.problems[0].rfind("line 2: ", 0), 0u) << s.problems[0];
  EXPECT_NE(s.problems[0].find("router.local"), std::string::npos);
  EXPECT_EQ(s.problems[7].rfind("line 10: ", 0), 0u) << s.problems[7];
}

TEST(AppSettings, ValidValuesSurviveBadOnesAroundThem) {
  const AppSettings s = ParseSettings(
      "[network]\n"
      "relay_port=41280\n"
      "relay_port=nonsense\n"
      "control_port=65535\n"
      "[timing]\n"
      "time_scale=1000\n");
  EXPECT_EQ(s.profile.relayTcpPort, 41280);  // the bad repeat does not undo it
  EXPECT_EQ(s.profile.controlUdpPort, 65535);
  EXPECT_DOUBLE_EQ(s.timeScale, 1000.0);
  EXPECT_EQ(s.problems.size(), 1u);
}

TEST(AppSettings, KeysOutsideTheirSectionAndStrayLinesAreProblems) {
  const AppSettings s = ParseSettings(
      "relay_port=41280\n"        // before any section
      "[timing]\n"
      "broadcast=127.0.0.1\n"     // a network key under [timing]
      "[network\n"                // unfinished heading
      "telnet_port=2323\n"        // then under no known section
      "[other]\n"
      "just some words\n");
  EXPECT_EQ(s.profile, NetworkProfile{});
  EXPECT_EQ(s.problems.size(), 6u);
}

TEST(AppSettings, DescriptionNamesEveryValue) {
  AppSettings s = ParseSettings("[network]\nbroadcast=127.0.0.1\nrelay_port=41280\n[timing]\ntime_scale=0.05\n");
  EXPECT_EQ(DescribeSettings(s),
            "broadcast 127.0.0.1, relay port 41280, control port 1280, telnet port 23, time scale 0.05, verify off");
}

TEST(AppSettings, UnsignedImagesAreRefusedUnlessTheLabAllowsThem) {
  EXPECT_FALSE(ParseSettings("").allowUnsigned);
  const AppSettings lab = ParseSettings("[Trust]\nallow_unsigned = 1\n");
  EXPECT_TRUE(lab.allowUnsigned);
  EXPECT_TRUE(lab.problems.empty()) << lab.problems.front();
  EXPECT_NE(DescribeSettings(lab).find("images not signed by a trusted key allowed"), std::string::npos);
  const AppSettings bad = ParseSettings("[trust]\nallow_unsigned=yes\n");
  EXPECT_FALSE(bad.allowUnsigned);
  ASSERT_EQ(bad.problems.size(), 1u);
  EXPECT_NE(bad.problems[0].find("[trust] allow_unsigned"), std::string::npos) << bad.problems[0];
  EXPECT_EQ(DescribeSettings(ParseSettings("")).find("allowed"), std::string::npos);
}

TEST(AppSettings, VerifyIsOffUnlessSetToOne) {
  EXPECT_FALSE(ParseSettings("").verify);
  EXPECT_TRUE(ParseSettings("[run]\nverify=1\n").verify);
  const AppSettings bad = ParseSettings("[run]\nverify=yes\n");
  EXPECT_FALSE(bad.verify);
  ASSERT_EQ(bad.problems.size(), 1u);
  EXPECT_NE(bad.problems[0].find("[run] verify"), std::string::npos) << bad.problems[0];
}

}  // namespace
}  // namespace orvane::app
