#pragma once
// What an update run came to, item by item: the value every front end renders
// (the command line's text and JSON, the dialog's boxes after a run). Built
// by the run from the steps' typed outcomes; nothing is read back from the
// screen.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/image_signatures.h"
#include "catalogue/image_type.h"
#include "catalogue/string_table.h"
#include "log/download_log.h"

namespace orvane {

// The steps an item goes through, as failures name them and as the progress
// plans weigh them.
enum class RunStep {
  None,
  Connect,           // the relay connection to the router
  RouterTrigger,     // the framed packet that announces a router image
  RouterData,        // the router image's raw blocks
  RouterResult,      // the router's verdict on the image
  EraseNvram,        // the router module's NVRAM erase after APP or RESOURCE
  Handshake,         // the module's first handshake of an item
  BackupNv,          // the module's NV backup before its firmware is replaced
  EnterDownloader,   // offline, FWT trigger, switch, restart into the downloader
  Unlock,            // the downloader's unlock (and the forced download mode)
  Write,             // the image's blocks to the downloader
  Reset,             // the module's reset after the write
  WaitModule,        // the module's restart into its new image
  NvRestore,         // the NV settings back after a firmware update
  ReadVersion,       // the module's version after the update
};

// "connect", "router trigger", ..., "read version"; "" for None.
const char* RunStepName(RunStep step);

// Interrupted: the item was under way when the operator stopped the run.
enum class ItemOutcome { NotSelected, NotStarted, Succeeded, Failed, Interrupted };

// "not selected", "not started", "succeeded", "failed", "interrupted".
const char* ItemOutcomeName(ItemOutcome outcome);

// What one item step came to: the result text's id (IDS_DOWNLOAD_SUCCESS when
// it succeeded), and for a failure the step that failed and that step's
// detail in words ("no reply after 3 attempts", "result code 3", ...). An
// interrupted step (the operator stopped the run) names the step it stopped
// in and where; it has no result text.
struct StepOutcome {
  StringId resultId = IDS_DOWNLOAD_SUCCESS;
  RunStep failedStep = RunStep::None;
  std::string detail;
  bool interrupted = false;

  bool ok() const { return !interrupted && resultId == IDS_DOWNLOAD_SUCCESS; }
  explicit operator bool() const { return ok(); }

  static StepOutcome Success() { return {}; }
  static StepOutcome Failure(StringId id, RunStep step, std::string detail = {}) {
    return {id, step, std::move(detail), false};
  }
  static StepOutcome Interrupted(RunStep step, std::string detail) {
    return {IDS_DOWNLOAD_SUCCESS, step, std::move(detail), true};
  }
};

// Where a run left the wireless module, as far as the updater can know.
enum class ModuleCondition {
  Normal,      // its normal firmware, as the run found it or brought it back
  Offline,     // told to go offline; not sent to its downloader
  Downloader,  // sent to (or found in) its downloader; its reset did not go through
  Restarting,  // reset into its new image; its restart was not awaited to the end
};

// "normal", "offline", "downloader", "restarting".
const char* ModuleConditionName(ModuleCondition condition);

// Whether an updated item was found running its image's version afterwards.
enum class VerifyOutcome {
  NotRequested,    // the run was not asked to verify (or the item was not in it)
  Verified,        // the device reports the image's version
  Mismatch,        // the device reports another version
  CouldNotVerify,  // the version could not be read back (reason says why)
};

// "not requested", "verified", "mismatch", "could not verify".
const char* VerifyOutcomeName(VerifyOutcome outcome);

struct ItemVerification {
  VerifyOutcome outcome = VerifyOutcome::NotRequested;
  std::string expected;  // the image's version (Verified, Mismatch)
  std::string actual;    // what the device reports now (Verified, Mismatch)
  std::string reason;    // CouldNotVerify: why, in words

  // "expected 1.0.1.0.0, reported 1.0.0.2.5" or the reason; "" otherwise.
  std::string Detail() const;
};

struct ItemReport {
  ItemOutcome outcome = ItemOutcome::NotSelected;
  // Succeeded or Failed: the row's result text id and the seconds its
  // timing covers (since the previous result, or the run's start).
  StringId resultId = IDS_DOWNLOAD_SUCCESS;
  long elapsedSeconds = 0;
  RunStep failedStep = RunStep::None;
  std::string detail;
  ItemVerification verification;
};

// How a run ended, as a whole: the one value every front end renders (exit
// status, JSON, the text's last line, the dialog's boxes, the history line).
enum class RunOutcome {
  Succeeded,           // every selected item succeeded (and, when asked, was verified)
  Failed,              // an item failed, or a run step (connect, NVRAM erase), or nothing was selected
  VerificationFailed,  // every item succeeded, but one did not show its image's version afterwards
  Interrupted,         // the operator stopped the run (or its verification)
};

// "succeeded", "failed", "verification failed", "interrupted".
const char* RunOutcomeName(RunOutcome outcome);

struct Verdict {
  RunOutcome outcome = RunOutcome::Failed;
  // Where it went wrong: the item (IMAGE_NONE for a run step or no item)
  // and its step (an item's step, or Connect / EraseNvram), with the detail
  // in words. Empty for a success.
  ImageType item = IMAGE_NONE;
  RunStep step = RunStep::None;
  std::string detail;

  bool ok() const { return outcome == RunOutcome::Succeeded; }
};

struct RunReport {
  std::array<ItemReport, kItemCount> items{};
  // Failures that no row shows (the relay connection refused, the NVRAM
  // erase refused), in the operator's words; the log holds them too.
  std::vector<std::string> warnings;
  // The run-level step that ended the run before an item could (Connect or
  // EraseNvram), None otherwise; with its detail.
  RunStep failedRunStep = RunStep::None;
  std::string runDetail;
  // The operator stopped the run: the item under way (if any) is
  // Interrupted, the selected items after it NotStarted.
  bool interrupted = false;
  ModuleCondition moduleLeft = ModuleCondition::Normal;
  // The run was asked to verify its items afterwards.
  bool verifyRequested = false;
  // The run as a whole, judged once by the session (JudgeRun) after the run
  // and its verification.
  Verdict verdict;
  // The run's lines in the download log: the day's files they went to
  // (the first where the run began; two for a run that passed midnight),
  // and whether every line reached them, else how many did not and where
  // they were kept instead. Judged by the session at the run's end.
  LogBlockReport log;
  // What the check before the run found of the images' signatures (the
  // images the run sent are the ones that check froze and judged). Set by
  // the session with the verdict; the run's history line records the same.
  SignatureCheck signatures;
  // Whether the run's line reached the run history (`historyError` names
  // the file and the cause when not).
  bool recorded = false;
  std::string historyError;

  // True when at least one item was selected and every selected item
  // succeeded: one input of the verdict, not the verdict.
  bool EveryItemSucceeded() const;
  // The result as the row shows it: "Download success(01:05)".
  static std::string ResultText(const ItemReport& item);
};

// The one place where a run's success is decided, from the items, the run
// steps, the interruption and the verification. In that order: an
// interruption, the first failed item, a failed run step, nothing selected,
// then (when asked for) the first item not verified.
Verdict JudgeRun(const RunReport& report);

}  // namespace orvane
