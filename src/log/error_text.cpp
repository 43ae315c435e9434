#include "log/error_text.h"

#include <cstdio>

#include "platform/system_files.h"

namespace orvane {

std::string FormatErrorText(std::uint32_t code) {
  std::string text;
  if (platform::SystemErrorText(code, text)) return text;
  char fallback[48];
  std::snprintf(fallback, sizeof fallback, "Unknow Error Code: %d\n", static_cast<std::int32_t>(code));
  return fallback;
}

}  // namespace orvane
