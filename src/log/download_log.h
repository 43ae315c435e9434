#pragma once
// The download log: time-stamped lines of the check and the update runs,
// kept in memory and appended to the day's log file when a run ends.
//
// Line:  "%Y%m%d%H:%M:%S: " message "\n"    e.g. "2008030209:05:07: DIAG_Reset: ..."
// File:  <log folder>/<%Y-%m-%d>/LumtarLog.txt, appended, in the system's
//        8-bit code page on Windows and UTF-8 elsewhere.
//
// Thread safety: lines may be added from any thread (the check runs on the
// UI thread, a run on its worker, the channel's reader may log too).
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

  // Appends one line: time stamp, the printf-style message, "\n".
  void AddLine(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;

  // Appends `line` as it stands, as AddLine("%s", line) does.
  void DiagLine(const std::string& line) override;

  // Appends the text to the day's file. Returns 1 and empties the text when
  // it was written; returns 0 and keeps the text for the next save when a
  // folder cannot be made or the file cannot be opened (for example while
  // another program holds it).
  int SaveToFile();

  // Empties the text.
  void Clear();

  std::string Text() const;
  // The file the next save writes to, for the current date.
  std::string CurrentFilePath() const;

 private:
  std::string m_folder;
  TimeSource m_now;
  mutable std::mutex m_lock;
  std::string m_text;
};

}  // namespace orvane
