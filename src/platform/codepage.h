#pragma once
// 8-bit code page helpers.
//
// Text inside the program is UTF-8. Protocol texts (telnet lines, image
// version texts, control packet texts) and the Windows log file are 8-bit
// text in the system's default code page: on Windows the ANSI code page; on
// other systems Windows-1252, the code page of the PCs and routers the
// updater meets in the field.
#include <string>
#include <string_view>

namespace orvane::platform {

// 8-bit text in the system's default code page to UTF-8. Never fails: every
// byte has a character.
std::string AnsiToUtf8(std::string_view ansi);

// UTF-8 to the system's default code page; characters the code page lacks,
// and malformed UTF-8, become '?'.
std::string Utf8ToAnsi(std::string_view utf8);

// UTF-8 <-> UTF-16 (Windows API boundary). Malformed input becomes U+FFFD.
std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);

}  // namespace orvane::platform
