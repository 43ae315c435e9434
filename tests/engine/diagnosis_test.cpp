// The diagnosis's decisions that need no network: which adapters are on the
// broadcast address's network, and where the router is expected.
#include "engine/diagnosis.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

platform::NetworkAdapter Adapter(const std::string& name, bool up, std::vector<platform::AdapterAddress> ipv4) {
  platform::NetworkAdapter a;
  a.name = name;
  a.up = up;
  a.ipv4 = std::move(ipv4);
  return a;
}

constexpr Ipv4Address kBroadcast{192, 168, 1, 255};
constexpr platform::Ipv4Bytes kMask24{255, 255, 255, 0};

FindingKind Verdict(const std::vector<platform::NetworkAdapter>& adapters, std::string* subject = nullptr) {
  const std::vector<Finding> findings = AdapterFindings(adapters, kBroadcast);
  EXPECT_EQ(findings.size(), adapters.size() + 1) << "one per adapter, then the verdict";
  if (subject) *subject = findings.back().subject;
  return findings.back().kind;
}

TEST(DiagnosisTest, OnlyAdaptersThatAreUpWithAnAddressInsideTheirMaskCount) {
  const auto office = Adapter("office", true, {{{192, 168, 1, 100}, kMask24}});
  const auto router = Adapter("router", true, {{{10, 0, 0, 5}, {255, 0, 0, 0}}, {{192, 168, 1, 2}, kMask24}});
  const auto unplugged = Adapter("unplugged", false, {{{192, 168, 1, 7}, kMask24}});
  // 192.168.0.9/255.255.254.0 covers 192.168.1.255; /24 would not.
  const auto wide = Adapter("wide", true, {{{192, 168, 0, 9}, {255, 255, 254, 0}}});
  const auto narrow = Adapter("narrow", true, {{{192, 168, 0, 9}, kMask24}});
  const auto bare = Adapter("bare", true, {});

  EXPECT_EQ(Verdict({unplugged, narrow, bare}), FindingKind::kNoAdapterOnNetwork);
  std::string subject;
  EXPECT_EQ(Verdict({unplugged, router, narrow}, &subject), FindingKind::kAdapterOnNetwork);
  EXPECT_EQ(subject, "router");
  EXPECT_EQ(Verdict({office, unplugged, router, wide}, &subject), FindingKind::kSeveralAdaptersOnNetwork);
  EXPECT_EQ(subject, "office, router, wide");
}

TEST(DiagnosisTest, TheLimitedBroadcastLeavesThroughEveryAdapterButLoopback) {
  const auto loopback = Adapter("lo", true, {{{127, 0, 0, 1}, {255, 0, 0, 0}}});
  const auto lan = Adapter("lan", true, {{{10, 0, 0, 5}, {255, 0, 0, 0}}});
  const std::vector<Finding> findings = AdapterFindings({loopback, lan}, {255, 255, 255, 255});
  EXPECT_EQ(findings.back().kind, FindingKind::kAdapterOnNetwork);
  EXPECT_EQ(findings.back().subject, "lan");
  EXPECT_EQ(AdapterFindings({loopback}, {255, 255, 255, 255}).back().kind, FindingKind::kNoAdapterOnNetwork);
}

// A fault means the check would fail, with one exception that is no fault:
// the adapter list showed none on the router's network, yet the router was
// reached.
TEST(DiagnosisTest, AFaultMeansTheCheckWouldFail) {
  const auto settle = [](std::vector<FindingKind> faults, bool routerReached) {
    Diagnosis d;
    for (FindingKind kind : faults) {
      Finding f;
      f.kind = kind;
      f.severity = Severity::kFault;
      d.findings.push_back(f);
    }
    SettleVerdict(d, routerReached);
    return d;
  };
  EXPECT_TRUE(settle({}, true).checkWouldSucceed);
  const Diagnosis reached = settle({FindingKind::kNoAdapterOnNetwork}, true);
  EXPECT_TRUE(reached.checkWouldSucceed);
  EXPECT_EQ(reached.findings[0].severity, Severity::kWarning);
  EXPECT_FALSE(settle({FindingKind::kNoAdapterOnNetwork}, false).checkWouldSucceed);
  EXPECT_FALSE(settle({FindingKind::kNoAdapterOnNetwork, FindingKind::kImagesUnusable}, true).checkWouldSucceed);
  EXPECT_FALSE(settle({FindingKind::kRouterAnswerUnusable}, false).checkWouldSucceed);
}

TEST(DiagnosisTest, TheRouterIsExpectedAtTheFirstAddressOfABroadcastNetwork) {
  EXPECT_EQ(ExpectedRouterAddress(kBroadcast), (Ipv4Address{192, 168, 1, 1}));
  EXPECT_EQ(ExpectedRouterAddress({10, 1, 2, 255}), (Ipv4Address{10, 1, 2, 1}));
  EXPECT_EQ(ExpectedRouterAddress({127, 0, 0, 1}), (Ipv4Address{127, 0, 0, 1})) << "a router's own address stays";
}

}  // namespace
}  // namespace orvane
