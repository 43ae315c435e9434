#pragma once
// File-system operations whose exact behaviour differs between systems.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane::platform {

// Appends `bytes` to the file at `path` (UTF-8), creating it if needed,
// while holding it exclusively: on Windows the file is opened without
// sharing, elsewhere an exclusive advisory lock is taken without waiting.
// Returns how many of the bytes reached the file: all of them; none when
// the file cannot be opened, is held by another opener, or cannot be
// positioned at its end; the first part of them when the write stopped
// short (disk full, file size limit). What was written is flushed to the
// disk before the file is released.
std::size_t AppendToFileExclusive(const std::string& path, std::string_view bytes);

// The text of the download log file as it goes to disk: the ANSI code page
// on Windows (characters it lacks become its default character), UTF-8
// elsewhere.
std::string LogFileText(std::string_view utf8);

// The system's message text for an error code of this platform (Windows
// error codes on Windows, errno values elsewhere), ending in CR LF as the
// system's message table has it. False when the system has no text for it.
bool SystemErrorText(std::uint32_t code, std::string& text);

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
