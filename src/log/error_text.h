#pragma once
#include <cstdint>
#include <string>

namespace orvane {

// The system's message text for an error code (as a rule ending in CR LF),
// or "Unknow Error Code: %d\n" with the code in signed decimal when the
// system has none. Returned by value: safe to call from any thread.
std::string FormatErrorText(std::uint32_t code);

}  // namespace orvane
