#include "log/download_log.h"

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/system_files.h"
#include "platform/utf8_path.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

using platform::PathText;
using platform::Utf8Path;

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

}  // namespace

CDownloadLog::CDownloadLog(std::string logFolder, TimeSource now)
    : m_folder(logFolder.empty() ? platform::DefaultLogFolder() : std::move(logFolder)), m_now(std::move(now)) {}

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
  const std::string line = stamp + text + '\n';

  std::lock_guard<std::mutex> guard(m_lock);
  m_text += line;
  // Held-back bytes first: the file keeps the order of the lines.
  m_heldBack += platform::LogFileText(line);
  WriteHeldBackLocked();
}

void CDownloadLog::DiagLine(const std::string& line) { AddLine("%s", line.c_str()); }

std::string CDownloadLog::CurrentFilePath() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return PathText(Utf8Path(m_folder) / DateFolderName(m_now()) / kFileName);
}

bool CDownloadLog::WriteHeldBackLocked() {
  if (m_heldBack.empty()) return true;
  const fs::path dateFolder = Utf8Path(m_folder) / DateFolderName(m_now());
  const std::string folderText = PathText(dateFolder);
  if (folderText != m_madeFolder) {
    std::error_code error;
    fs::create_directories(dateFolder, error);
    if (error && !fs::is_directory(dateFolder, error)) return false;
    m_madeFolder = folderText;
  }
  const std::size_t written = platform::AppendToFileExclusive(PathText(dateFolder / kFileName), m_heldBack);
  // Only what did not reach the file stays: a short write never makes a
  // line appear twice.
  m_heldBack.erase(0, written);
  if (!m_heldBack.empty()) m_madeFolder.clear();  // the folder may have gone: made again next time
  return m_heldBack.empty();
}

int CDownloadLog::SaveToFile() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!WriteHeldBackLocked()) return 0;
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
