#include "engine/run_report.h"

#include <cstdio>

namespace orvane {

const char* RunStepName(RunStep step) {
  switch (step) {
    case RunStep::None: return "";
    case RunStep::Connect: return "connect";
    case RunStep::RouterTrigger: return "router trigger";
    case RunStep::RouterData: return "router data";
    case RunStep::RouterResult: return "router result";
    case RunStep::EraseNvram: return "erase router NVRAM";
    case RunStep::Handshake: return "handshake";
    case RunStep::BackupNv: return "backup NV";
    case RunStep::EnterDownloader: return "enter downloader";
    case RunStep::Unlock: return "unlock";
    case RunStep::Write: return "write";
    case RunStep::Reset: return "reset";
    case RunStep::WaitModule: return "wait for module";
    case RunStep::NvRestore: return "NV restore";
    case RunStep::ReadVersion: return "read version";
  }
  return "";
}

const char* ItemOutcomeName(ItemOutcome outcome) {
  switch (outcome) {
    case ItemOutcome::NotSelected: return "not selected";
    case ItemOutcome::NotStarted: return "not started";
    case ItemOutcome::Succeeded: return "succeeded";
    case ItemOutcome::Failed: return "failed";
    case ItemOutcome::Interrupted: return "interrupted";
  }
  return "";
}

const char* ModuleConditionName(ModuleCondition condition) {
  switch (condition) {
    case ModuleCondition::Normal: return "normal";
    case ModuleCondition::Offline: return "offline";
    case ModuleCondition::Downloader: return "downloader";
    case ModuleCondition::Restarting: return "restarting";
  }
  return "";
}

const char* VerifyOutcomeName(VerifyOutcome outcome) {
  switch (outcome) {
    case VerifyOutcome::NotRequested: return "not requested";
    case VerifyOutcome::Verified: return "verified";
    case VerifyOutcome::Mismatch: return "mismatch";
    case VerifyOutcome::CouldNotVerify: return "could not verify";
  }
  return "";
}

std::string ItemVerification::Detail() const {
  switch (outcome) {
    case VerifyOutcome::NotRequested: return {};
    case VerifyOutcome::Verified: return "reported " + actual;
    case VerifyOutcome::Mismatch: return "expected " + expected + ", reported " + (actual.empty() ? "nothing" : actual);
    case VerifyOutcome::CouldNotVerify: return reason;
  }
  return {};
}

const char* RunOutcomeName(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::Succeeded: return "succeeded";
    case RunOutcome::Failed: return "failed";
    case RunOutcome::VerificationFailed: return "verification failed";
    case RunOutcome::Interrupted: return "interrupted";
  }
  return "";
}

Verdict JudgeRun(const RunReport& report) {
  const auto at = [](RunOutcome outcome, int item, RunStep step, std::string detail) {
    return Verdict{outcome, static_cast<ImageType>(item), step, std::move(detail)};
  };
  if (report.interrupted) {
    for (int i = 0; i < kItemCount; ++i) {
      const ItemReport& item = report.items[i];
      if (item.outcome == ItemOutcome::Interrupted) return at(RunOutcome::Interrupted, i, item.failedStep, item.detail);
    }
    return at(RunOutcome::Interrupted, IMAGE_NONE, RunStep::None, "stopped by the operator");
  }
  for (int i = 0; i < kItemCount; ++i) {
    const ItemReport& item = report.items[i];
    if (item.outcome == ItemOutcome::Failed) return at(RunOutcome::Failed, i, item.failedStep, item.detail);
  }
  if (report.failedRunStep != RunStep::None) {
    return at(RunOutcome::Failed, IMAGE_NONE, report.failedRunStep, report.runDetail);
  }
  if (!report.EveryItemSucceeded()) return at(RunOutcome::Failed, IMAGE_NONE, RunStep::None, "no item was selected");
  if (report.verifyRequested) {
    for (int i = 0; i < kItemCount; ++i) {
      const ItemReport& item = report.items[i];
      if (item.outcome == ItemOutcome::NotSelected) continue;
      if (item.verification.outcome != VerifyOutcome::Verified) {
        return at(RunOutcome::VerificationFailed, i, RunStep::None,
                  std::string(VerifyOutcomeName(item.verification.outcome)) + ": " + item.verification.Detail());
      }
    }
  }
  return Verdict{RunOutcome::Succeeded, IMAGE_NONE, RunStep::None, {}};
}

bool RunReport::EveryItemSucceeded() const {
  bool any = false;
  for (const ItemReport& item : items) {
    if (item.outcome == ItemOutcome::NotSelected) continue;
    if (item.outcome != ItemOutcome::Succeeded) return false;
    any = true;
  }
  return any;
}

std::string RunReport::ResultText(const ItemReport& item) {
  // The hours are dropped: an item of 1 h 2 min 5 s shows (02:05).
  char timing[32];
  std::snprintf(timing, sizeof timing, "(%02ld:%02ld)", (item.elapsedSeconds / 60) % 60, item.elapsedSeconds % 60);
  return std::string(LoadText(item.resultId)) + timing;
}

}  // namespace orvane
