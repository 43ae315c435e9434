#include "engine/run_verify.h"

#include <vector>

#include "catalogue/prompter.h"
#include "engine/check_procedure.h"
#include "net/control_channel.h"
#include "platform/clock.h"

namespace orvane {
namespace {

// The verification's check speaks to nobody: its warnings become the
// reason why the versions could not be read back.
class KeptWarnings : public IPrompter {
 public:
  void Warning(const std::string& text) override {
    if (m_first.empty()) m_first = text;
  }
  const std::string& First() const { return m_first; }

 private:
  std::string m_first;
};

bool IsVersionChar(char c) { return (c >= '0' && c <= '9') || c == '.'; }

}  // namespace

bool ReportsVersion(const std::string& reported, const std::string& imageVersion) {
  if (imageVersion.empty() || reported.compare(0, imageVersion.size(), imageVersion) != 0) return false;
  return reported.size() == imageVersion.size() || !IsVersionChar(reported[imageVersion.size()]);
}

void CRunVerifier::SetAll(RunReport& report, VerifyOutcome outcome, const std::string& reason) {
  for (ItemReport& item : report.items) {
    if (item.outcome == ItemOutcome::NotSelected) continue;
    item.verification = ItemVerification{outcome, {}, {}, reason};
  }
  Log("Verify: " + std::string(VerifyOutcomeName(outcome)) + ": " + reason);
}

bool CRunVerifier::RouterAnswers(bool* another) {
  const std::uint32_t attempt = platform::TickCount();
  CControlChannel discovery(m_link.Profile().broadcastAddress, m_link.Profile().controlUdpPort,
                             m_link.Profile().binding);
  std::vector<RouterAnnouncement> routers;
  bool ours = false;
  if (discovery.DiscoverAll(&routers)) {
    for (const RouterAnnouncement& r : routers) {
      if (r.mac == m_link.Mac()) {
        ours = true;
      } else if (another != nullptr) {
        *another = true;  // a second router on the network; ours may still come
      }
    }
  }
  // Discovery that failed at once (no network) must not spin.
  if (!platform::TicksElapsed(attempt, kRediscoverPauseMs)) {
    m_stop.Pause(kRediscoverPauseMs - (platform::TickCount() - attempt));
  }
  return ours;
}

bool CRunVerifier::WaitForRestart(std::uint32_t acceptedAt) {
  Log("Verify: waiting for the router " + m_link.MacText() + " to restart after its image");
  while (!platform::TicksElapsed(acceptedAt, kRouterGoAwayLimitMs)) {
    if (m_stop.ShouldStop()) return false;
    if (!RouterAnswers(nullptr)) {
      Log("Verify: the router stopped answering (restarting)");
      return true;
    }
  }
  if (m_stop.ShouldStop()) return false;
  Log("Verify: the router kept answering for " + std::to_string(kRouterGoAwayLimitMs / 1000) +
      " s after its verdict; checking it as it is");
  return true;
}

bool CRunVerifier::WaitForRouter(std::string* why) {
  const std::uint32_t start = platform::TickCount();
  bool another = false;
  while (!platform::TicksElapsed(start, kRouterRestartLimitMs)) {
    if (m_stop.ShouldStop()) break;
    if (RouterAnswers(&another)) return true;
  }
  if (m_stop.ShouldStop()) {
    *why = "stopped by the operator while the router restarted";
    return false;
  }
  *why = "the router did not answer discovery within " + std::to_string(kRouterRestartLimitMs / 1000) +
         " s after the run" + (another ? " (another router did)" : "");
  return false;
}

void CRunVerifier::Verify(RunReport& report, std::optional<std::uint32_t> routerAcceptedAt) {
  // A run that failed anywhere, an item or a run step such as the NVRAM
  // erase, is not verified: there is nothing the check could confirm.
  const bool runSucceeded = JudgeRun(report).ok();
  report.verifyRequested = true;
  if (!runSucceeded) {
    SetAll(report, VerifyOutcome::CouldNotVerify, "the run did not succeed");
    return;
  }
  const auto stopped = [&](const std::string& why) {
    report.interrupted = true;
    SetAll(report, VerifyOutcome::CouldNotVerify, why);
  };
  if (routerAcceptedAt && !WaitForRestart(*routerAcceptedAt)) {
    stopped("stopped by the operator while the router restarted");
    return;
  }
  Log("Verify: waiting for the router " + m_link.MacText() + " to answer discovery");
  std::string why;
  if (!WaitForRouter(&why)) {
    if (m_stop.ShouldStop()) {
      stopped(why);
    } else {
      SetAll(report, VerifyOutcome::CouldNotVerify, why);
    }
    return;
  }
  const MacAddress updated = m_link.Mac();
  UpdateItems now;
  LoadItemNames(now);
  KeptWarnings warnings;
  CCheckProcedure check(now, m_link, m_telnet, warnings);
  if (!check.RunCheck(m_images)) {
    SetAll(report, VerifyOutcome::CouldNotVerify, "the check after the run failed: " + warnings.First());
    return;
  }
  if (m_link.Mac() != updated) {
    SetAll(report, VerifyOutcome::CouldNotVerify, "another router answered the check after the run");
    return;
  }
  const CheckFacts& facts = check.Facts();
  for (int i = 0; i < kItemCount; ++i) {
    ItemReport& item = report.items[i];
    if (item.outcome == ItemOutcome::NotSelected) continue;
    ItemVerification& v = item.verification;
    v = ItemVerification{};
    v.expected = m_runItems[i].GetUpdateVersion();
    v.actual = now[i].m_strOriginalVersion;
    const bool module = i == IMAGE_FIRMWARE || i == IMAGE_DASHBOARD;
    if (module && !facts.moduleAnswered) {
      v.outcome = VerifyOutcome::CouldNotVerify;
      v.reason = "the wireless module did not answer the check after the run";
    } else if (module && facts.moduleInDownloader) {
      v.outcome = VerifyOutcome::CouldNotVerify;
      v.reason = "the wireless module runs its downloader after the run";
    } else if (i == IMAGE_BOOT && facts.routerVersionsFromDiscovery) {
      // Discovery reports one version, the application's.
      v.outcome = VerifyOutcome::CouldNotVerify;
      v.reason = facts.shellReached ? "the router's shell gave no boot loader version"
                                    : "the router's shell could not be reached (" + facts.shellProblem + ")";
    } else if (v.actual.empty()) {
      v.outcome = VerifyOutcome::CouldNotVerify;
      v.reason = "no version was reported";
    } else {
      v.outcome = ReportsVersion(v.actual, v.expected) ? VerifyOutcome::Verified : VerifyOutcome::Mismatch;
    }
    Log("Verify: " + m_runItems[i].m_strName + ": " + VerifyOutcomeName(v.outcome) + " (" + v.Detail() + ")");
  }
}

}  // namespace orvane
