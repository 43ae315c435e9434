#include "log/download_log.h"

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/system_files.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

fs::path Utf8Path(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); }

std::string PathText(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

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
  CutToChars(text, kMaxMessageChars);

  const platform::LocalTime t = m_now();
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d:%02d:%02d: ", t.year, t.month, t.day, t.hour, t.minute,
                t.second);

  std::lock_guard<std::mutex> guard(m_lock);
  m_text += stamp;
  m_text += text;
  m_text += '\n';
}

void CDownloadLog::DiagLine(const std::string& line) { AddLine("%s", line.c_str()); }

std::string CDownloadLog::CurrentFilePath() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return PathText(Utf8Path(m_folder) / DateFolderName(m_now()) / kFileName);
}

int CDownloadLog::SaveToFile() {
  std::unique_lock<std::mutex> guard(m_lock);
  const fs::path dateFolder = Utf8Path(m_folder) / DateFolderName(m_now());
  std::error_code error;
  fs::create_directories(dateFolder, error);
  if (error && !fs::is_directory(dateFolder)) return 0;

  const std::string saved = m_text;
  guard.unlock();  // file I/O without the lock; lines added meanwhile stay for the next save
  if (!platform::AppendToFileExclusive(PathText(dateFolder / kFileName), platform::LogFileText(saved))) return 0;
  guard.lock();
  // What reached the file leaves the memory, so the next run's save does
  // not write this run's lines a second time.
  m_text.erase(0, saved.size());
  return 1;
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
