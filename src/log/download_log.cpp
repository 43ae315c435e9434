#include "log/download_log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/utf8_path.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

using platform::FileProblem;
using platform::FileResult;
using platform::PathText;
using platform::Utf8Path;

// Names tried in one folder for the file of this process's own, when the
// first is taken (a file an earlier process of the same id left).
constexpr int kKeptNameTries = 4;

// Cuts UTF-8 text after `maxChars` characters, never inside a character.
void CutToChars(std::string& text, std::size_t maxChars) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;  // continuation byte
    if (chars++ == maxChars) {
      text.resize(i);
      return;
    }
  }
}

// One message, one line: line ends at the end are dropped (a system error
// text ends in CR LF), any other CR or LF becomes a blank.
void KeepOnOneLine(std::string& text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  std::size_t out = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;  // CR LF: one blank
    text[out++] = (c == '\r' || c == '\n') ? ' ' : c;
  }
  text.resize(out);
}

std::string DateFolderName(const platform::LocalTime& t) {
  char name[16];
  std::snprintf(name, sizeof name, "%04d-%02d-%02d", t.year, t.month, t.day);
  return name;
}

// Lines in file bytes: each ends in a line feed (a part of one counts too).
std::size_t LinesIn(const std::string& bytes) {
  const auto ends = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
  return ends + (!bytes.empty() && bytes.back() != '\n' ? 1 : 0);
}

}  // namespace

std::string LogShortfallText(const LogBlockReport& report) {
  if (report.Complete()) return {};
  std::string text = std::to_string(report.missingLines) + (report.missingLines == 1 ? " line" : " lines") +
                     " of the download log did not reach " +
                     (report.files.empty() ? std::string("the day's file") : report.files.back());
  if (!report.reason.empty()) text += " (" + report.reason + ")";
  if (!report.keptAt.empty()) return text + "; they were kept in " + report.keptAt;
  return text + "; no other file could take them either (" + report.keptProblem + ")";
}

CDownloadLog::CDownloadLog(std::string logFolder, TimeSource now)
    : m_folder(logFolder.empty() ? platform::DefaultLogFolder() : std::move(logFolder)),
      m_now(now ? std::move(now) : TimeSource(platform::LocalTimeNow)) {}

void CDownloadLog::AddLine(const char* format, ...) {
  // Three bytes per character holds any message the limit allows.
  char message[kMaxMessageChars * 3 + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  std::string text(message);
  KeepOnOneLine(text);
  CutToChars(text, kMaxMessageChars);

  const platform::LocalTime t = m_now();
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d:%02d:%02d: ", t.year, t.month, t.day, t.hour, t.minute,
                t.second);

  std::lock_guard<std::mutex> guard(m_lock);
  const std::string line = stamp + m_lineTag + text + '\n';
  // Once lines are held back, the file was found held or failing: one try,
  // the run is not slowed by it.
  const std::uint32_t wait = m_heldBack.empty() ? kLineLockWaitMs : 0;
  m_text += line;
  // Held-back bytes first: the file keeps the order of the lines.
  m_heldBack += platform::LogFileText(line);
  WriteHeldBackLocked(wait);
}

void CDownloadLog::DiagLine(const std::string& line) { AddLine("%s", line.c_str()); }

void CDownloadLog::SetLineTag(const std::string& tag) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_lineTag = tag.empty() ? std::string() : "[" + tag + "] ";
}

std::string CDownloadLog::DateFolderLocked() const { return PathText(Utf8Path(m_folder) / DateFolderName(m_now())); }

std::string CDownloadLog::CurrentFilePath() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return PathText(Utf8Path(DateFolderLocked()) / kFileName);
}

FileResult CDownloadLog::WriteHeldBackLocked(std::uint32_t lockWaitMs) {
  if (m_heldBack.empty()) return {};
  const std::string folderText = DateFolderLocked();
  const fs::path dateFolder = Utf8Path(folderText);
  const std::string path = PathText(dateFolder / kFileName);
  if (std::find(m_blockFiles.begin(), m_blockFiles.end(), path) == m_blockFiles.end()) m_blockFiles.push_back(path);
  if (folderText != m_madeFolder) {
    std::error_code error;
    fs::create_directories(dateFolder, error);
    std::error_code ignored;
    if (error && !fs::is_directory(dateFolder, ignored)) {
      m_lastFailure = {FileProblem::CannotOpen, 0, "cannot make the folder " + folderText + ": " + error.message()};
      return m_lastFailure;
    }
    m_madeFolder = folderText;
  }
  platform::AppendOptions options;
  options.lockWaitMs = lockWaitMs;
  options.endTornLine = true;  // a writer that stopped half-way left a line without its end
  const FileResult result = platform::AppendToFileExclusive(path, m_heldBack, options);
  // Only what did not reach the file stays: a short write never makes a
  // line appear twice.
  m_heldBack.erase(0, result.bytes);
  if (result.ok()) {
    m_lastFailure = {};
  } else {
    m_lastFailure = result;
    m_madeFolder.clear();  // the folder may have gone: made again next time
  }
  return result;
}

std::string CDownloadLog::KeepElsewhereLocked(std::string& why) {
  platform::AppendOptions options;
  options.endTornLine = true;
  // The file this log made before is its own: it takes them first.
  if (!m_keptFile.empty()) {
    const FileResult appended = platform::AppendToFileExclusive(m_keptFile, m_heldBack, options);
    if (appended.ok()) return m_keptFile;
    why = m_keptFile + ": " + appended.reason;
  }
  const std::string id = std::to_string(platform::ProcessId());
  const std::string date = DateFolderName(m_now());
  // Beside the day's file, where its reader looks; else the temp folder,
  // which is often on another disk.
  std::vector<std::pair<fs::path, std::string>> places = {{Utf8Path(DateFolderLocked()), "LumtarLog." + id}};
  std::error_code error;
  const fs::path temp = fs::temp_directory_path(error);
  if (!error) places.emplace_back(temp, "orvane-LumtarLog-" + date + "." + id);
  for (const auto& [folder, stem] : places) {
    for (int n = 1; n <= kKeptNameTries; ++n) {
      const std::string path = PathText(folder / (stem + (n > 1 ? "-" + std::to_string(n) : "") + ".txt"));
      const FileResult made = platform::CreateNewFile(path, m_heldBack);
      if (made.ok()) {
        m_keptFile = path;
        return path;
      }
      why = path + ": " + made.reason;
      if (made.problem != FileProblem::Exists) break;  // this folder cannot take it: the next one
    }
  }
  return {};
}

void CDownloadLog::BeginBlock() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_blockFiles.clear();
}

std::vector<std::string> CDownloadLog::BlockFiles() const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<std::string> files = m_blockFiles;
  const std::string next = PathText(Utf8Path(DateFolderLocked()) / kFileName);
  if (std::find(files.begin(), files.end(), next) == files.end()) files.push_back(next);
  return files;
}

LogBlockReport CDownloadLog::EndBlock(std::uint32_t lockWaitMs) {
  std::lock_guard<std::mutex> guard(m_lock);
  WriteHeldBackLocked(lockWaitMs);
  LogBlockReport report;
  report.files = m_blockFiles;
  if (report.files.empty()) report.files.push_back(PathText(Utf8Path(DateFolderLocked()) / kFileName));
  if (!m_heldBack.empty()) {
    report.missingLines = LinesIn(m_heldBack);
    report.problem = m_lastFailure.problem;
    report.reason = m_lastFailure.reason;
    report.keptAt = KeepElsewhereLocked(report.keptProblem);
    // Kept nowhere, they stay held back: the next line or block tries the
    // day's file again.
    if (!report.keptAt.empty()) {
      report.keptProblem.clear();
      m_heldBack.clear();
    }
  }
  if (m_heldBack.empty()) m_text.clear();
  m_blockFiles.clear();
  return report;
}

int CDownloadLog::SaveToFile() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!WriteHeldBackLocked(kLineLockWaitMs).ok()) return 0;
  m_text.clear();
  return 1;
}

std::size_t CDownloadLog::HeldBackBytes() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_heldBack.size();
}

void CDownloadLog::Clear() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_text.clear();
}

std::string CDownloadLog::Text() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_text;
}

}  // namespace orvane
