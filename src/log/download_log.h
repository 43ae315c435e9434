#pragma once
// The download log: time-stamped lines of the check and the update runs.
// Each line is appended to the day's log file the moment it is added, so an
// interrupted, killed or crashed run leaves every line it wrote before on
// disk; the lines since the last save are kept in memory too (Text()).
//
// Line:  "%Y%m%d%H:%M:%S: " message "\n"    e.g. "2008030209:05:07: DIAG_Reset: ..."
// File:  <log folder>/<%Y-%m-%d>/LumtarLog.txt (the date of the write),
//        appended while held exclusively, in the system's 8-bit code page on
//        Windows and UTF-8 elsewhere.
//
// A line that cannot be written (another program holds the file, the
// folder cannot be made, the disk is full) is held back, and whatever of it
// did not reach the file goes out before the next line: every line reaches
// the file once, in order.
//
// Thread safety: lines may be added from any thread (the check runs on the
// UI thread, a run on its worker, the channel's reader may log too); each
// line is written under the log's lock, so the file keeps their order.
//
// It is the sink of the module command layer's lines (IDiagLogSink).
#include <functional>
#include <mutex>
#include <string>

#include "diag/diag_log_sink.h"
#include "platform/local_time.h"

namespace orvane {

class CDownloadLog : public IDiagLogSink {
 public:
  using TimeSource = std::function<platform::LocalTime()>;

  // A message longer than this many characters is cut.
  static constexpr std::size_t kMaxMessageChars = 1039;
  static constexpr const char* kFileName = "LumtarLog.txt";
  // Opens each run's block of lines.
  static constexpr const char* kSeparator = "++++++++++++++++++++++++++++++++++++++++++++++++++";

  // `logFolder` empty = the platform's default log folder.
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

  // Ends a block of lines (a run's end): writes what is still held back and
  // empties the text. Returns 1 when every line is in the file; returns 0
  // and keeps the text when bytes are still held back (a folder cannot be
  // made, the file cannot be opened or is held by another program, a short
  // write); they go out with the next line or save.
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
  // Writes the held-back bytes; true when none is left. Lock held.
  bool WriteHeldBackLocked();

  std::string m_folder;
  TimeSource m_now;
  mutable std::mutex m_lock;
  std::string m_text;
  std::string m_heldBack;     // file bytes (the file's code page) not yet written
  std::string m_madeFolder;   // the date folder known to exist
};

}  // namespace orvane
