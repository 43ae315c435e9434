#include "platform/system_files.h"

#include <windows.h>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/win32/file_kind.h"

namespace orvane::platform {
namespace {

constexpr std::size_t kMaxChunk = 0x40000000;  // one WriteFile or ReadFile call
// Between two tries for a file that another program holds (system milliseconds).
constexpr std::uint32_t kShareRetryMs = 10;

std::string ErrorWords(DWORD code) { return SystemErrorWords(static_cast<std::uint32_t>(code)); }

FileResult Failure(FileProblem problem, std::string reason, std::size_t bytes = 0) {
  return FileFailure(problem, std::move(reason), bytes);
}

bool SharingRefused(DWORD code) { return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION; }

// Opens `path` as CreateFileW does with these arguments, trying again while
// another program holds the file without sharing, for up to `waitMs` of
// system time. Only a regular file is kept: a pipe, a device or a folder is
// refused by what the handle (or, when it cannot be opened, the name) is.
HANDLE OpenRegular(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, std::uint32_t waitMs,
                   FileResult& failure) {
  const std::uint32_t start = TickCount();
  HANDLE file = INVALID_HANDLE_VALUE;
  for (;;) {
    file = ::CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) break;
    const DWORD code = ::GetLastError();
    if (SharingRefused(code)) {
      const std::uint32_t spent = TickCount() - start;
      if (spent >= waitMs) {
        failure = Failure(FileProblem::Held, kHeldByAnotherProgram);
        return INVALID_HANDLE_VALUE;
      }
      const std::uint32_t left = waitMs - spent;
      Sleep(left < kShareRetryMs ? left : kShareRetryMs);
      continue;
    }
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      failure = Failure(FileProblem::NotRegular, detail::NotRegularText("a folder"));
    } else {
      const bool missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
      failure = Failure(missing && disposition == OPEN_EXISTING ? FileProblem::Missing : FileProblem::CannotOpen,
                        ErrorWords(code));
    }
    return INVALID_HANDLE_VALUE;
  }
  if (const char* kind = detail::HandleKindOf(file)) {
    failure = Failure(FileProblem::NotRegular, detail::NotRegularText(kind));
    ::CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

// Writes `bytes` at the handle's position; the count that went out, with
// the failure's code in `error` when it is short.
std::size_t WriteAll(HANDLE file, std::string_view bytes, DWORD& error) {
  std::size_t done = 0;
  error = ERROR_SUCCESS;
  while (done < bytes.size()) {
    const std::size_t left = bytes.size() - done;
    const DWORD chunk = static_cast<DWORD>(left < kMaxChunk ? left : kMaxChunk);
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
      error = written == 0 && ::GetLastError() == ERROR_SUCCESS ? ERROR_DISK_FULL : ::GetLastError();
      break;
    }
    done += written;
  }
  return done;
}

bool MoveTo(HANDLE file, LONGLONG offset, DWORD from) {
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  return ::SetFilePointerEx(file, distance, nullptr, from) != 0;
}

}  // namespace

FileResult AppendToFileExclusive(const std::string& path, std::string_view bytes, const AppendOptions& options) {
  FileResult failure;
  // No sharing: nobody else opens it while the bytes go out. Read access
  // too: a torn last line is looked for.
  HANDLE file = OpenRegular(Utf8ToWide(path), GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS, options.lockWaitMs,
                            failure);
  if (file == INVALID_HANDLE_VALUE) return failure;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file, &size)) {
    failure = Failure(FileProblem::CannotWrite, "cannot read its size: " + ErrorWords(::GetLastError()));
    ::CloseHandle(file);
    return failure;
  }
  const LONGLONG before = size.QuadPart;
  std::string ended;
  std::string_view out = bytes;
  if (options.endTornLine && before > 0 && MoveTo(file, before - 1, FILE_BEGIN)) {
    char last = '\n';
    DWORD got = 0;
    if (::ReadFile(file, &last, 1, &got, nullptr) && got == 1 && last != '\n') {
      ended.reserve(bytes.size() + 1);
      ended = '\n';
      ended += bytes;
      out = ended;
    }
  }
  if (!MoveTo(file, 0, FILE_END)) {
    failure = Failure(FileProblem::CannotWrite, "cannot move to its end: " + ErrorWords(::GetLastError()));
    ::CloseHandle(file);
    return failure;
  }
  const std::size_t lineEnd = out.size() - bytes.size();  // 1 when a torn line is ended first
  DWORD error = ERROR_SUCCESS;
  const std::size_t done = WriteAll(file, out, error);
  FileResult result;
  if (done == out.size()) {
    result.bytes = bytes.size();
  } else {
    // Taken back whole: no part of a line stays for the next writer to
    // follow. Only when the cut fails does a part stay, and count.
    std::size_t stayed = 0;
    if (done > 0 && !(MoveTo(file, before, FILE_BEGIN) && ::SetEndOfFile(file))) {
      stayed = done > lineEnd ? done - lineEnd : 0;
    }
    result = Failure(FileProblem::CannotWrite, ErrorWords(error), stayed);
  }
  // On the disk before the handle goes: a power cut keeps what was written.
  if (done > 0) ::FlushFileBuffers(file);
  ::CloseHandle(file);
  return result;
}

FileResult CreateNewFile(const std::string& path, std::string_view bytes) {
  const std::wstring wide = Utf8ToWide(path);
  HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    return Failure(code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS ? FileProblem::Exists
                                                                             : FileProblem::CannotOpen,
                   ErrorWords(code));
  }
  DWORD error = ERROR_SUCCESS;
  const std::size_t done = WriteAll(file, bytes, error);
  if (done == bytes.size()) ::FlushFileBuffers(file);
  ::CloseHandle(file);
  if (done != bytes.size()) {
    ::DeleteFileW(wide.c_str());
    return Failure(FileProblem::CannotWrite, ErrorWords(error));
  }
  FileResult result;
  result.bytes = done;
  return result;
}

FileResult ReadRegularFile(const std::string& path, std::string& bytes, std::uint32_t lockWaitMs) {
  bytes.clear();
  FileResult failure;
  // Others may go on reading and writing; a writer that holds it without
  // sharing (an append under way) is waited for.
  HANDLE file = OpenRegular(Utf8ToWide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                            lockWaitMs, failure);
  if (file == INVALID_HANDLE_VALUE) return failure;
  constexpr DWORD kChunk = 64 * 1024;
  char chunk[kChunk];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file, chunk, kChunk, &got, nullptr)) {
      failure = Failure(FileProblem::CannotRead, ErrorWords(::GetLastError()));
      ::CloseHandle(file);
      return failure;
    }
    if (got == 0) break;
    bytes.append(chunk, got);
  }
  ::CloseHandle(file);
  FileResult result;
  result.bytes = bytes.size();
  return result;
}

std::uint32_t ProcessId() { return static_cast<std::uint32_t>(::GetCurrentProcessId()); }

std::string LogFileText(std::string_view utf8) { return Utf8ToAnsi(utf8); }

bool SystemErrorText(std::uint32_t code, std::string& text) {
  wchar_t* message = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  if (n == 0 || message == nullptr) return false;
  text = WideToUtf8(std::wstring_view(message, n));
  ::LocalFree(message);
  return true;
}

}  // namespace orvane::platform

namespace orvane::platform {

std::string DefaultLogFolder() { return "C:\\DownloadLog"; }

std::string DefaultKeyFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 6; ++attempt) {
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return "keys";
    if (length < path.size()) {
      path.resize(length);
      const std::size_t slash = path.find_last_of(L"\\/");
      return WideToUtf8(slash == std::wstring::npos ? L"" : path.substr(0, slash + 1)) + "keys";
    }
    path.resize(path.size() * 2);
  }
  return "keys";
}

}  // namespace orvane::platform
