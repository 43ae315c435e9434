#include "engine/update_session.h"

#include "engine/run_verify.h"
#include "log/run_history.h"

namespace orvane {

const char* VersionSourceName(VersionSource source) {
  switch (source) {
    case VersionSource::Unknown: return "";
    case VersionSource::Shell: return "shell";
    case VersionSource::Discovery: return "discovery";
    case VersionSource::Module: return "module";
  }
  return "";
}

std::vector<std::string> CheckNotes(const CheckFacts& facts) {
  std::vector<std::string> notes;
  if (!facts.routerFound) return notes;
  if (!facts.shellReached) {
    notes.push_back("the router's shell could not be reached (" + facts.shellProblem +
                    "); the router versions shown are the one discovery reported");
  } else if (facts.routerVersionsFromDiscovery && !facts.shellVersionProblem.empty()) {
    notes.push_back("the router's shell gave no usable boot loader or application version (" +
                    facts.shellVersionProblem + "); the router versions shown are the one discovery reported");
  } else if (facts.routerVersionsFromDiscovery) {
    notes.push_back("the router's shell gave no boot loader or application version; the router versions shown "
                    "are the one discovery reported");
  }
  if (facts.relayConnected && !facts.moduleAnswered) {
    notes.push_back("the wireless module did not answer; its versions are unknown, and the Firmware and "
                    "Dashboard items will likely fail");
  } else if (facts.moduleInDownloader) {
    notes.push_back("the wireless module runs its downloader (a download was broken off); its versions are "
                    "not read, and an update starts its download again");
  }
  return notes;
}

std::string VerdictPlace(const Verdict& v, const UpdateItems& items) {
  std::string text;
  if (v.item != IMAGE_NONE) text = items[v.item].m_strName;
  if (v.step != RunStep::None) text += (text.empty() ? "" : ": ") + std::string(RunStepName(v.step));
  if (!v.detail.empty()) text += (text.empty() ? "" : ": ") + v.detail;
  return text;
}

int CheckReport::SelectedCount() const {
  int selected = 0;
  for (const CheckRow& row : rows) selected += row.selected ? 1 : 0;
  return selected;
}

CUpdateSession::CUpdateSession(SessionOptions options, IItemView& view, IPrompter& prompter)
    : m_options(std::move(options)),
      m_prompter(prompter),
      m_engine(m_items, view, m_options.profile, m_options.logFolder, m_options.logClock),
      m_telnet(m_options.profile),
      m_check(m_items, m_engine.Link(), m_telnet, m_prompter) {
  LoadItemNames(m_items);
}

CheckReport CUpdateSession::Check() { return Check(CImageSet::Scan(m_options.imageDirectory)); }

CheckReport CUpdateSession::Check(ImageSetPtr images) {
  m_engine.Log().BeginBlock();
  m_images = std::move(images);
  for (CUpdateItem& item : m_items) item.m_bSelected = 0;
  CheckReport report;
  report.ok = m_check.RunCheck(*m_images);
  report.facts = m_check.Facts();
  if (report.facts.routerFound) {
    report.router = {m_engine.Link().MacText(), m_engine.Link().AddressText(), m_check.DiscoveryVersion()};
  }
  report.notes = CheckNotes(report.facts);
  Evaluate(report, false);
  m_lastCheck = report;
  return report;
}

CheckReport CUpdateSession::Reevaluate(bool allowNotNewer) {
  Evaluate(m_lastCheck, allowNotNewer);
  return m_lastCheck;
}

void CUpdateSession::Evaluate(CheckReport& report, bool allowNotNewer) {
  const CheckFacts& facts = report.facts;
  const VersionSource router = facts.routerVersionsFromDiscovery ? VersionSource::Discovery : VersionSource::Shell;
  const VersionSource module =
      facts.moduleAnswered && !facts.moduleInDownloader ? VersionSource::Module : VersionSource::Unknown;
  if (report.ok) {
    report.evaluation = EvaluateItems(m_items, allowNotNewer);
    ApplySelection(report.evaluation, m_items);
  }
  for (int i = 0; i < kItemCount; ++i) {
    const CUpdateItem& item = m_items[i];
    CheckRow& row = report.rows[i];
    row.name = item.m_strName;
    row.installed = item.m_strOriginalVersion;
    row.installedFrom = row.installed.empty() ? VersionSource::Unknown
                        : i <= IMAGE_RESOURCE  ? router
                                               : module;
    row.update = item.GetUpdateVersion();
    row.file = item.ImagePath();
    row.status = report.ok ? report.evaluation.rows[i].status : IDS_NOT_FOUND;
    row.kind = report.ok ? report.evaluation.rows[i].kind : StatusKind::Absent;
    row.selected = report.ok && IsSelected(m_items, static_cast<ImageType>(i));
  }
}

RunReport CUpdateSession::Update() {
  m_runStart = platform::LocalTimeNow();
  m_engine.Log().BeginBlock();
  {
    std::lock_guard<std::mutex> guard(m_recordLock);
    m_bRecorded = false;
  }
  RunReport report = m_engine.Run();
  if (m_options.verify) {
    if (JudgeRun(report).ok()) {
      m_prompter.Note("verifying: waiting for the router to answer again (at most " +
                      std::to_string(kRouterRestartLimitMs / 1000) + " s), then checking its versions");
    }
    CRunVerifier(m_items, *m_images, m_engine.Link(), m_telnet, m_engine.Stop())
        .Verify(report, m_engine.Router().LastAcceptedAt());
  }
  Conclude(report);
  return report;
}

RunReport CUpdateSession::Abandon() {
  RunReport report = m_engine.RunSnapshot();
  report.verifyRequested = m_options.verify;
  m_engine.Log().AddLine("Update stopped at once by the operator; the run was not waited for");
  Conclude(report);
  return report;
}

LogBlockReport CUpdateSession::CloseLog() { return m_engine.Log().EndBlock(); }

void CUpdateSession::Conclude(RunReport& report) {
  report.verdict = JudgeRun(report);
  CDownloadLog& log = m_engine.Log();
  const std::string where = VerdictPlace(report.verdict, m_items);
  log.AddLine("Run verdict: %s%s%s", RunOutcomeName(report.verdict.outcome), where.empty() ? "" : " at ",
              where.c_str());

  std::lock_guard<std::mutex> guard(m_recordLock);
  if (m_bRecorded) return;
  m_bRecorded = true;
  RunRecord record =
      MakeRunRecord(report, m_items, m_lastCheck.router, m_options.frontEnd, log.BlockFiles(), m_runStart);
  record.interfaceName = m_options.profile.binding.device;
  const platform::FileResult appended = AppendRunRecord(log.Folder(), record);
  report.recorded = appended.ok();
  report.historyError = appended.reason;
  if (!report.recorded) log.AddLine("Run history not written: %s", report.historyError.c_str());
  // The run's last line is in; what the day's file has not taken yet is
  // waited for, else kept elsewhere, and the report says which.
  report.log = log.EndBlock();
}

}  // namespace orvane
