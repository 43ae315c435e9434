#pragma once
// The download log: time-stamped lines of the check and the update runs.
// Each line is appended to the day's log file the moment it is added, so an
// interrupted, killed or crashed run leaves every line it wrote before on
// disk; the lines since the last save are kept in memory too (Text()).
//
// Line:  "%Y%m%d%H:%M:%S: " message "\n"    e.g. "2008030209:05:07: DIAG_Reset: ..."
//        With a line tag (a station's lane, where several logs share the
//        day's file): "%Y%m%d%H:%M:%S: [tag] " message "\n".
// File:  <log folder>/<%Y-%m-%d>/LumtarLog.txt (the date of the write),
//        appended while held exclusively, in the system's 8-bit code page on
//        Windows and UTF-8 elsewhere. Only a regular file is written: a
//        named pipe or a device in its place is refused, never waited on.
//
// A line that cannot be written (another program holds the file, the
// folder cannot be made, the disk is full, a special file stands there) is
// held back, and whatever of it did not reach the file goes out before the
// next line: every line reaches the file once, in order. Each write holds
// whole lines (a write the disk cuts short is taken back), so the lines of
// several processes that share the file may interleave, line by line,
// but none is torn; a torn last line (a writer that stopped half-way) is
// ended before the next line goes out.
//
// Waits: while nothing is held back, a line waits up to kLineLockWaitMs for
// another writer to let the file go; once lines are held back, a line tries
// once, so that a program that holds the file for long does not slow the
// run. A block of lines (a check's, a run's) ends with EndBlock: what is
// still held back then is waited for up to kBlockEndWaitMs, and what the
// day's file still cannot take is written to a file of this process's own
// beside it (LumtarLog.<process id>.txt), or in the temp folder when that
// fails too. The block's report says which day's files its lines went to
// (a run that passes midnight has two), and how many lines are missing from
// them and where they were kept instead. All waits are on platform/clock.h.
//
// Thread safety: lines may be added from any thread (the check runs on the
// UI thread, a run on its worker, the channel's reader may log too); each
// line is written under the log's lock, so the file keeps their order.
//
// It is the sink of the module command layer's lines (IDiagLogSink).
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "diag/diag_log_sink.h"
#include "platform/local_time.h"
#include "platform/system_files.h"

namespace orvane {

// What became of a block of the log's lines.
struct LogBlockReport {
  // The day's files the block's lines went to, in order: the first is
  // where the block began (two for a block that passed midnight).
  std::vector<std::string> files;
  // Lines that are not in those files.
  std::size_t missingLines = 0;
  // Why the last write of them failed, and in words ("held by another
  // program", "not a regular file: a named pipe", "No space left on
  // device"); the file it failed on is the last of `files`.
  platform::FileProblem problem = platform::FileProblem::None;
  std::string reason;
  // The file the missing lines were written to instead; "" when none could
  // take them (then `keptProblem` says why, and they are still held back).
  std::string keptAt;
  std::string keptProblem;

  bool Complete() const { return missingLines == 0; }
};

// The shortfall in the operator's words: "12 lines of the download log did
// not reach .../LumtarLog.txt (held by another program); they were kept in
// .../LumtarLog.4711.txt". "" for a complete block.
std::string LogShortfallText(const LogBlockReport& report);

class CDownloadLog : public IDiagLogSink {
 public:
  using TimeSource = std::function<platform::LocalTime()>;

  // A message longer than this many characters is cut.
  static constexpr std::size_t kMaxMessageChars = 1039;
  static constexpr const char* kFileName = "LumtarLog.txt";
  // Opens each run's block of lines.
  static constexpr const char* kSeparator = "++++++++++++++++++++++++++++++++++++++++++++++++++";
  // How long a line waits for another writer to let the file go (system
  // milliseconds), while nothing is held back.
  static constexpr std::uint32_t kLineLockWaitMs = 250;
  // How long the end of a block waits for the file to take what is held back.
  static constexpr std::uint32_t kBlockEndWaitMs = 10000;

  // `logFolder` empty = the platform's default log folder; `now` empty =
  // the local time.
  explicit CDownloadLog(std::string logFolder = {}, TimeSource now = platform::LocalTimeNow);

  // Adds one line: time stamp, the printf-style message, "\n"; and writes it
  // (after any held-back bytes) to the day's file. A line end inside the
  // message (a system error text ends in CR LF) is not carried over: the
  // message stays one line.
  void AddLine(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;

  // Adds `line` as it stands, as AddLine("%s", line) does.
  void DiagLine(const std::string& line) override;

  // Every line from here on carries "[tag] " after its time stamp, so that
  // the lines of several logs that share the day's file (a station's lanes)
  // can be told apart; "" (the default) for none.
  void SetLineTag(const std::string& tag);

  // The lines from here on are one block (a check's, a run's).
  void BeginBlock();
  // Ends the block: what is held back is written, waiting up to
  // `lockWaitMs` for another holder of the file; what the file still cannot
  // take goes to a file of this process's own (see above). Empties the text
  // when nothing is held back any more.
  LogBlockReport EndBlock(std::uint32_t lockWaitMs = kBlockEndWaitMs);
  // The day's files of the block so far, and the one the next line goes to.
  std::vector<std::string> BlockFiles() const;

  // Writes what is still held back (waiting up to kLineLockWaitMs for
  // another holder) and empties the text. Returns 1 when every line is in the file; returns 0 and keeps
  // the text when bytes are still held back; they go out with the next line
  // or save.
  int SaveToFile();

  // Empties the text (the file keeps its lines).
  void Clear();

  // The lines added since construction, the last successful save or Clear.
  std::string Text() const;
  // Bytes of lines that have not reached the file yet.
  std::size_t HeldBackBytes() const;
  // The file the next line goes to, for the current date.
  std::string CurrentFilePath() const;
  // The folder of the dated folders (the run history lives there too).
  const std::string& Folder() const { return m_folder; }

 private:
  // Writes the held-back bytes to the day's file, waiting up to
  // `lockWaitMs` for another holder. Lock held.
  platform::FileResult WriteHeldBackLocked(std::uint32_t lockWaitMs);
  // Writes the held-back bytes to a file of this process's own; its path,
  // or "" with `why` set. Lock held.
  std::string KeepElsewhereLocked(std::string& why);
  std::string DateFolderLocked() const;

  std::string m_folder;
  TimeSource m_now;
  mutable std::mutex m_lock;
  std::string m_text;
  std::string m_lineTag;      // "[tag] " or ""
  std::string m_heldBack;     // file bytes (the file's code page) not yet written
  std::string m_madeFolder;   // the date folder known to exist
  platform::FileResult m_lastFailure;     // why the held-back bytes are held back
  std::vector<std::string> m_blockFiles;  // the day's files of the block so far
  std::string m_keptFile;     // the file of this process's own that took lines before
};

}  // namespace orvane
