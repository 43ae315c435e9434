#pragma once
// CUpdateSession: the whole use case for one router, from the Check button
// to the run's line in the history:
//
//   Check()   image set (a new scan, or one shared by several sessions)
//             -> the images' signatures (trusted keys; refused: no packet sent)
//             -> discovery -> shell versions -> module versions -> compare
//             -> the rows' status and the buttons (EvaluateItems)
//             -> the selection applied                      => CheckReport
//   Reevaluate(allow lower or equal)                        => CheckReport
//   Update()  the run over the selection -> [verify] -> the verdict
//             -> the download log's verdict line -> the history line
//             -> the run's log lines ended (every one in the day's file,
//                else kept in a file of their own)          => RunReport
//   CloseLog() the lines since the last run ended the same way, for a
//             front end that ends after a check             => LogBlockReport
//
// Front ends (the dialog, the command line) render the two reports and
// answer the prompter; they never sequence the steps or judge the run. The
// verdict is computed once, here (JudgeRun), after the verification.
//
// Threads: Check(), Reevaluate() and Update() are called from one thread at
// a time (a front end's worker), never overlapping; Stop(), Busy() and
// Abandon() may be called from any thread while Update() goes on. The
// session writes rows through the item view from the thread that runs it.
#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "catalogue/image_set.h"
#include "catalogue/image_signatures.h"
#include "catalogue/prompter.h"
#include "catalogue/update_item.h"
#include "engine/check_procedure.h"
#include "engine/item_view.h"
#include "engine/run_record.h"
#include "engine/run_report.h"
#include "engine/update_engine.h"
#include "net/network_profile.h"
#include "net/telnet_session.h"
#include "platform/local_time.h"
#include "trust/trusted_keys.h"

namespace orvane {

struct SessionOptions {
  NetworkProfile profile;
  std::string logFolder;       // empty = the platform's default log folder
  std::string imageDirectory;  // where Check() scans for images
  std::string frontEnd = kFrontEndCli;  // as the history names it
  bool verify = false;         // verify the updated items after each run
  // Called on the thread of Update() when its verification begins (the run
  // succeeded and `verify` is on), before the wait for the router's restart
  // and the check of its versions, which take a minute or more: a front end
  // that shows the run's state shows "verifying" from here on. None: nobody.
  std::function<void()> verificationBegins;
  // The download log's clock (local time when empty): a test may have a run
  // pass midnight.
  CDownloadLog::TimeSource logClock;
  // The keys whose signatures the check trusts. With none, images are not
  // signature-checked; with any, every image must be signed by one of them
  // unless `allowUnsigned`.
  trust::TrustedKeys trustedKeys;
  bool allowUnsigned = false;
};

// Where a row's installed version came from.
enum class VersionSource { Unknown, Shell, Discovery, Module };

// "", "shell", "discovery", "module".
const char* VersionSourceName(VersionSource source);

struct CheckRow {
  std::string name;
  std::string installed;  // what the device runs; empty = unknown
  VersionSource installedFrom = VersionSource::Unknown;
  std::string update;     // the image's version; empty without an image
  std::string file;       // the image's path; empty without an image
  StringId status = IDS_NOT_FOUND;
  StatusKind kind = StatusKind::Absent;
  bool selected = false;  // the run updates it
};

struct CheckReport {
  bool ok = false;
  RunRouter router;  // MAC, IPv4 address and discovery version; empty until found
  std::array<CheckRow, kItemCount> rows{};
  // What the check found out, the warning that ended a failed one (by id)
  // among them.
  CheckFacts facts;
  // What the check could not find out, in the operator's words.
  std::vector<std::string> notes;
  // The button rules (only when ok).
  Evaluation evaluation{};
  // Each image's SHA-256 and signature state, and what the check did about
  // them. A refused signature check ends the check before any packet is
  // sent (facts.warning IDS_IMAGE_NOT_SIGNED).
  SignatureCheck signatures;

  // The warning that ended a failed check; kImagesFound otherwise.
  StringId Warning() const { return facts.warning; }
  int SelectedCount() const;
};

class CUpdateSession {
 public:
  // `view` and `prompter` must outlive the session.
  CUpdateSession(SessionOptions options, IItemView& view, IPrompter& prompter);
  CUpdateSession(const CUpdateSession&) = delete;
  CUpdateSession& operator=(const CUpdateSession&) = delete;

  // The check over a new scan of the image folder: every check starts from
  // scratch. Its warnings have gone through the prompter.
  CheckReport Check();
  // The check over a set that other sessions share.
  CheckReport Check(ImageSetPtr images);
  // The rows and buttons again with the "allow lower or equal" option; the
  // selection follows.
  CheckReport Reevaluate(bool allowNotNewer);
  const CheckReport& LastCheck() const { return m_lastCheck; }

  // The run over what the last check selected, its verification (when the
  // options ask for it), the verdict and the run's line in the history.
  RunReport Update();
  // For a front end that stops waiting for Update() (after a stop at once
  // that the run did not reach): the report so far, judged and recorded.
  // Update(), when it ends after all, records nothing more.
  RunReport Abandon();
  // For a front end that ends without a run after its check (or before the
  // run): the log's lines since the last run go out, waiting a bounded time
  // for another program that holds the file, or to a file of their own.
  LogBlockReport CloseLog();

  // The operator's request that the run end early; any thread may ask.
  CRunStop& Stop() { return m_engine.Stop(); }
  bool Busy() const { return m_engine.State() == RUN_BUSY; }

  const SessionOptions& Options() const { return m_options; }
  const UpdateItems& Items() const { return m_items; }
  const ImageSetPtr& Images() const { return m_images; }
  CDownloadLog& Log() { return m_engine.Log(); }
  CUpdateEngine& Engine() { return m_engine; }
  const CUpdateEngine& Engine() const { return m_engine; }

 private:
  void Evaluate(CheckReport& report, bool allowNotNewer);
  void LogSignatures(const SignatureCheck& signatures);
  // Judges `report`, writes the verdict to the log and, unless a line was
  // written already, the run's line to the history.
  void Conclude(RunReport& report);

  SessionOptions m_options;
  IPrompter& m_prompter;
  UpdateItems m_items;
  ImageSetPtr m_images;
  CUpdateEngine m_engine;
  CTelnetSession m_telnet;
  CCheckProcedure m_check;
  CheckReport m_lastCheck;
  platform::LocalTime m_runStart{};

  std::mutex m_recordLock;  // one history line per run, from Update() or Abandon()
  bool m_bRecorded = false;
};

// Where a verdict went wrong, in words: "Router's APP: router result:
// result code 3", "erase router NVRAM: no echo ...", "" for a success.
std::string VerdictPlace(const Verdict& verdict, const UpdateItems& items);

// Adds to a run's history line what the check found of the signatures:
// the verdict, each item's SHA-256 and the key that signed it.
void RecordSignatures(RunRecord& record, const SignatureCheck& signatures, const UpdateItems& items);

// The facts of a check in the operator's words, one note each.
std::vector<std::string> CheckNotes(const CheckFacts& facts);
// What the check did about the images' signatures, in the operator's words
// (nothing when every image is signed by a trusted key, or when the check
// refused them: the warning says so).
std::vector<std::string> SignatureNotes(const SignatureCheck& signatures);

}  // namespace orvane
