#include "engine/update_session.h"

#include "engine/run_verify.h"
#include "log/download_log.h"
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

std::vector<std::string> SignatureNotes(const SignatureCheck& signatures) {
  switch (signatures.verdict) {
    case SignatureVerdict::NotChecked:
      return {"images are not signature-checked: no key is trusted"};
    case SignatureVerdict::AllowedUnsigned:
      return {"an image is not signed by a trusted key, and unsigned images are allowed: " +
              signatures.RefusalText()};
    case SignatureVerdict::Verified:
    case SignatureVerdict::Refused:
      break;
  }
  return {};
}

void RecordSignatures(RunRecord& record, const SignatureCheck& signatures, const UpdateItems& items) {
  record.signatures = SignatureVerdictName(signatures.verdict);
  const std::string signer = signatures.SignerText();
  for (RunRecordItem& entry : record.items) {
    for (int i = 0; i < kItemCount; ++i) {
      if (items[i].m_strName != entry.name) continue;
      const ItemSignature& item = signatures.items[i];
      entry.sha256 = item.sha256;
      entry.signingKey = trust::Passes(item.state) ? signer : "";
    }
  }
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
  report.signatures = CheckImageSignatures(*m_images, m_options.trustedKeys, m_options.allowUnsigned);
  if (m_images->Usable() && report.signatures.verdict == SignatureVerdict::Refused) {
    // Nothing goes to the network: the rows show the images, the warning
    // says which file and why.
    m_images->AttachTo(m_items);
    for (CUpdateItem& item : m_items) item.m_strOriginalVersion.clear();
    report.ok = false;
    report.facts.warning = IDS_IMAGE_NOT_SIGNED;
    CDownloadLog& log = m_engine.Log();
    log.AddLine("%s", CDownloadLog::kSeparator);
    log.AddLine("Check: images in %s", m_images->Directory().c_str());
    log.AddLine("Check: %s: %s", LoadText(IDS_IMAGE_NOT_SIGNED), report.signatures.RefusalText().c_str());
    m_prompter.Warning(std::string(LoadText(IDS_IMAGE_NOT_SIGNED)) + ":\n" + report.signatures.RefusalText());
  } else {
    report.ok = m_check.RunCheck(*m_images);
    report.facts = m_check.Facts();
    if (m_images->Usable()) LogSignatures(report.signatures);
  }
  if (report.facts.routerFound) {
    report.router = {m_engine.Link().MacText(), m_engine.Link().AddressText(), m_check.DiscoveryVersion()};
  }
  report.notes = CheckNotes(report.facts);
  if (m_images->Usable()) {
    for (std::string& note : SignatureNotes(report.signatures)) report.notes.push_back(std::move(note));
  }
  Evaluate(report, false);
  m_lastCheck = report;
  return report;
}

CheckReport CUpdateSession::Reevaluate(bool allowNotNewer) {
  Evaluate(m_lastCheck, allowNotNewer);
  return m_lastCheck;
}

void CUpdateSession::LogSignatures(const SignatureCheck& signatures) {
  CDownloadLog& log = m_engine.Log();
  switch (signatures.verdict) {
    case SignatureVerdict::NotChecked:
      log.AddLine("Images not signature-checked: no key is trusted");
      return;
    case SignatureVerdict::Verified:
      log.AddLine("Images signed: %s verified by trusted key %s", signatures.list.path.c_str(),
                  signatures.SignerText().c_str());
      break;
    case SignatureVerdict::AllowedUnsigned:
      log.AddLine("Images not signed, allowed by the operator: %s", signatures.RefusalText().c_str());
      break;
    case SignatureVerdict::Refused:
      break;
  }
  for (const ItemSignature& item : signatures.items) {
    if (item.hasImage) {
      log.AddLine("Image %s: SHA-256 %s, %s", item.file.c_str(), item.sha256.c_str(),
                  trust::ImageSignatureName(item.state));
    }
  }
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
      if (m_options.verificationBegins) m_options.verificationBegins();
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
  report.signatures = m_lastCheck.signatures;
  CDownloadLog& log = m_engine.Log();
  const std::string where = VerdictPlace(report.verdict, m_items);
  log.AddLine("Run verdict: %s%s%s", RunOutcomeName(report.verdict.outcome), where.empty() ? "" : " at ",
              where.c_str());

  std::lock_guard<std::mutex> guard(m_recordLock);
  if (m_bRecorded) return;
  m_bRecorded = true;
  RunRecord record =
      MakeRunRecord(report, m_items, m_lastCheck.router, m_options.frontEnd, log.BlockFiles(), m_runStart);
  RecordSignatures(record, report.signatures, m_items);
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
