#pragma once
// File-system operations whose exact behaviour differs between systems.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane::platform {

// Why a file operation did not go through.
enum class FileProblem {
  None,
  Missing,      // a read: there is no such file
  Exists,       // a new file: the name is taken already
  Held,         // another program holds the file (its exclusive lock; on Windows, opened without
                // sharing) for longer than the operation waits
  NotRegular,   // a named pipe, a device, a socket or a folder: refused before anything waits on it
  CannotOpen,   // the system refused to open or make it (rights, a missing folder, ...)
  CannotWrite,  // a write failed or stopped short (disk full, a size limit, an I/O error)
  CannotRead,   // a read failed
};

struct FileResult {
  FileProblem problem = FileProblem::None;
  // A write: how many of the caller's bytes reached the file and stay
  // there. A read: how many bytes were read.
  std::size_t bytes = 0;
  // In words: "held by another program", "not a regular file: a named
  // pipe", or the system's own text ("No space left on device").
  std::string reason;

  bool ok() const { return problem == FileProblem::None; }
};

// A failed FileResult.
inline FileResult FileFailure(FileProblem problem, std::string reason, std::size_t bytes = 0) {
  FileResult result;
  result.problem = problem;
  result.reason = std::move(reason);
  result.bytes = bytes;
  return result;
}

// The reason of FileProblem::Held.
inline constexpr const char* kHeldByAnotherProgram = "held by another program";

struct AppendOptions {
  // How long (system milliseconds, platform/clock.h) to wait for another
  // holder of the file to let it go; 0 = one try.
  std::uint32_t lockWaitMs = 0;
  // A last line without its line feed (a writer stopped half-way) is ended
  // with one before the bytes go out, so that they never continue it.
  bool endTornLine = false;
};

// Appends `bytes` to the file at `path` (UTF-8), creating it if needed,
// while holding it exclusively: on Windows the file is opened without
// sharing, elsewhere an exclusive advisory lock is taken; another holder
// is waited for up to `options.lockWaitMs`. Only a regular file is written:
// the file is opened without blocking and its type read from the opened
// handle, so a named pipe or a device never holds the caller up.
//
// All or nothing: a write that stops short (disk full, file size limit) is
// taken back, the file cut to its size before, so that no part of a line
// stays where the next writer would follow it; only when that cut fails
// too, `bytes` says how many stayed. What was written is flushed to the
// disk before the file is released.
FileResult AppendToFileExclusive(const std::string& path, std::string_view bytes, const AppendOptions& options = {});

// Writes `bytes` into a new file at `path`, which must not exist yet (it
// is never another's file, nor a link to one). A file that could not take
// all of them is removed again.
FileResult CreateNewFile(const std::string& path, std::string_view bytes);

// Reads the whole regular file at `path` into `bytes`. Opened without
// blocking, and refused unless regular (FileProblem::NotRegular); on
// Windows a writer that holds it without sharing is waited for up to
// `lockWaitMs`. A missing file is FileProblem::Missing.
FileResult ReadRegularFile(const std::string& path, std::string& bytes, std::uint32_t lockWaitMs = 0);

// This process's id (names files that no other running process uses).
std::uint32_t ProcessId();

// The text of the download log file as it goes to disk: the ANSI code page
// on Windows (characters it lacks become its default character), UTF-8
// elsewhere.
std::string LogFileText(std::string_view utf8);

// The system's message text for an error code of this platform (Windows
// error codes on Windows, errno values elsewhere), ending in CR LF as the
// system's message table has it. False when the system has no text for it.
bool SystemErrorText(std::uint32_t code, std::string& text);

// The same without its line end, "error N" when the system has no text.
inline std::string SystemErrorWords(std::uint32_t code) {
  std::string text;
  if (!SystemErrorText(code, text)) return "error " + std::to_string(code);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace orvane::platform

namespace orvane::platform {

// Where the download log's dated folders go unless told otherwise:
// C:\DownloadLog on Windows; elsewhere the user's state folder
// ($XDG_STATE_HOME, else ~/.local/state) under orvane/DownloadLog.
std::string DefaultLogFolder();

// Where the programs find the keys whose signatures they trust, every
// *.pub in it: /etc/orvane/keys elsewhere; on Windows the folder "keys"
// beside the program.
std::string DefaultKeyFolder();

}  // namespace orvane::platform
