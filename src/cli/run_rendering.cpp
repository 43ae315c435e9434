#include "cli/run_rendering.h"

#include "cli/image_commands.h"
#include "cli/terminal_text.h"
#include "cli/trust_commands.h"

namespace orvane::cli {

// The check's facts as a JSON object.
void WriteFactsJson(JsonWriter& json, const CheckReport& check) {
  const CheckFacts& facts = check.facts;
  const char* module = !facts.relayConnected       ? ""
                       : !facts.moduleAnswered     ? "silent"
                       : facts.moduleInDownloader  ? "downloader"
                                                   : "answered";
  json.Key("facts").BeginObject()
      .Key("shell_reached").Bool(facts.shellReached)
      .Key("shell_problem").String(facts.shellProblem)
      .Key("router_versions_from").String(!facts.routerFound ? ""
                                          : facts.routerVersionsFromDiscovery ? "discovery" : "shell")
      .Key("module").String(module)
      .EndObject();
  json.Key("notes").BeginArray();
  for (const std::string& note : check.notes) json.String(note);
  json.EndArray();
}

void WriteStrings(JsonWriter& json, const std::vector<std::string>& texts) {
  json.BeginArray();
  for (const std::string& text : texts) json.String(text);
  json.EndArray();
}

void WriteLogJson(JsonWriter& json, const LogBlockReport& log) {
  json.Key("log_file").String(log.files.empty() ? "" : log.files.front());
  json.Key("log_files");
  WriteStrings(json, log.files);
  json.Key("log_complete").Bool(log.Complete())
      .Key("log_missing_lines").Number(static_cast<std::int64_t>(log.missingLines))
      .Key("log_kept_at").String(log.keptAt);
}

std::string LogFilesText(const LogBlockReport& log) {
  std::string text;
  for (const std::string& file : log.files) text += (text.empty() ? "" : ", ") + file;
  return text;
}

void WriteRunJson(std::ostream& out, const RunReport& report, const UpdateItems& items,
                  const std::vector<std::string>& warnings, const CheckReport& check) {
  const Verdict& verdict = report.verdict;
  JsonWriter json;
  json.BeginObject().Key("ok").Bool(verdict.ok());
  json.Key("verdict").BeginObject()
      .Key("outcome").String(RunOutcomeName(verdict.outcome))
      .Key("failed_item").String(verdict.item == IMAGE_NONE ? "" : items[verdict.item].m_strName)
      .Key("failed_step").String(RunStepName(verdict.step))
      .Key("detail").String(verdict.detail)
      .EndObject();
  json.Key("items").BeginArray();
  for (int i = 0; i < kItemCount; ++i) {
    const ItemReport& item = report.items[i];
    if (item.outcome == ItemOutcome::NotSelected) continue;
    const bool ended = item.outcome == ItemOutcome::Succeeded || item.outcome == ItemOutcome::Failed;
    json.BeginObject()
        .Key("name").String(items[i].m_strName)
        .Key("result").String(ended ? LoadText(item.resultId) : "")
        .Key("elapsed_s").Number(ended ? item.elapsedSeconds : 0)
        .Key("outcome").String(ItemOutcomeName(item.outcome))
        .Key("failed_step").String(RunStepName(item.failedStep))
        .Key("detail").String(item.detail)
        .Key("verification").String(VerifyOutcomeName(item.verification.outcome))
        .Key("expected_version").String(item.verification.expected)
        .Key("reported_version").String(item.verification.actual)
        .Key("verification_reason").String(item.verification.reason)
        .EndObject();
  }
  json.EndArray().Key("warnings");
  WriteStrings(json, warnings);
  WriteLogJson(json, report.log);
  json.Key("history_recorded").Bool(report.recorded);
  json.Key("interrupted").Bool(verdict.outcome == RunOutcome::Interrupted)
      .Key("module").String(ModuleConditionName(report.moduleLeft));
  WriteFactsJson(json, check);
  WriteSignaturesJson(json, report.signatures, items);
  json.EndObject();
  out << json.Text() << "\n";
}

namespace {

// "write: unit 1 block 3: no reply after 3 attempts" (plain ASCII: a
// Windows console shows it whatever its code page). A detail may quote a
// router's or a module's words: shown escaped and at most one line long.
std::string StepAndDetail(RunStep step, const std::string& detail) {
  std::string text = RunStepName(step);
  if (!detail.empty()) text += (text.empty() ? "" : ": ") + detail;
  return Shortened(text, kLongestTailText);
}

// Where the run left the wireless module, when that is not its normal
// firmware, and what brings it back.
const char* ModuleNote(ModuleCondition condition) {
  switch (condition) {
    case ModuleCondition::Normal: return nullptr;
    case ModuleCondition::Offline:
      return "the wireless module may still be in offline mode; the next Check and Update bring it back.";
    case ModuleCondition::Downloader:
      return "the wireless module may still run its downloader; the next Check and Update recover it (the "
             "download starts again).";
    case ModuleCondition::Restarting:
      return "the wireless module was restarting into its new image; the next Check shows whether it came back, "
             "and the next Update finishes what is left.";
  }
  return nullptr;
}

}  // namespace

// The text's last line: the verdict, said once.
std::string VerdictLine(const Verdict& v, const UpdateItems& items) {
  const std::string place = VerdictPlace(v, items);
  switch (v.outcome) {
    case RunOutcome::Succeeded: return "Update finished: every selected item succeeded.";
    case RunOutcome::Failed: return "Update failed at " + place + ".";
    case RunOutcome::VerificationFailed: return "Update not verified: " + place + ".";
    case RunOutcome::Interrupted: return "Update interrupted by the operator" + (place.empty() ? "" : " at " + place) + ".";
  }
  return {};
}

// What the rows could not show, below them: the failed item's step and
// detail (its result is the last row line, as the run stops there), the
// item an interrupt stopped, the items the run did not reach, the
// verification, the module's state and the log; the verdict last. Each
// item's result line itself is the row's, so it is printed once.
void PrintRunReport(std::ostream& out, const RunReport& report, const UpdateItems& items) {
  for (int i = 0; i < kItemCount; ++i) {
    const ItemReport& item = report.items[i];
    if (item.outcome == ItemOutcome::Failed) {
      out << "  failed at: " << StepAndDetail(item.failedStep, item.detail) << "\n";
    } else if (item.outcome == ItemOutcome::Interrupted) {
      out << items[i].m_strName << ": interrupted at: " << StepAndDetail(item.failedStep, item.detail) << "\n";
    } else if (item.outcome == ItemOutcome::NotStarted) {
      out << items[i].m_strName << ": " << ItemOutcomeName(item.outcome) << "\n";
    }
  }
  if (report.failedRunStep != RunStep::None) {
    out << "Run stopped at: " << StepAndDetail(report.failedRunStep, report.runDetail) << "\n";
  }
  // The verification, when it was asked for: one line per item.
  for (int i = 0; i < kItemCount; ++i) {
    const ItemVerification& v = report.items[i].verification;
    if (v.outcome == VerifyOutcome::NotRequested) continue;
    out << "Verify " << items[i].m_strName << ": " << VerifyOutcomeName(v.outcome) << " ("
        << Shortened(v.Detail(), kLongestTailText) << ")\n";
  }
  if (const char* note = ModuleNote(report.moduleLeft)) {
    out << "Note: " << note << "\n";
  } else if (report.verdict.outcome == RunOutcome::Interrupted) {
    out << "Note: the wireless module runs its normal firmware; the next Check and Update take up what is left.\n";
  }
  out << "Log: " << TerminalText(LogFilesText(report.log)) << "\n";
  out << TerminalText(VerdictLine(report.verdict, items)) << "\n";
}

int ExitStatus(const Verdict& verdict) {
  switch (verdict.outcome) {
    case RunOutcome::Succeeded: return kExitOk;
    case RunOutcome::Interrupted: return kExitInterrupted;
    case RunOutcome::Failed:
    case RunOutcome::VerificationFailed: break;
  }
  return kExitFailed;
}

}  // namespace orvane::cli
