#include "log/json_writer.h"

#include <cstdio>

#include "platform/unicode_detail.h"

namespace orvane {
namespace {

constexpr char32_t kFirstPrintable = 0x20;
constexpr char32_t kDelete = 0x7F;
constexpr char32_t kFirstC1 = 0x80;
constexpr char32_t kLastC1 = 0x9F;

}  // namespace

std::string JsonWriter::Quote(std::string_view value) {
  std::string out = "\"";
  for (std::size_t pos = 0; pos < value.size();) {
    const std::size_t start = pos;
    const char32_t cp = platform::detail::DecodeUtf8(value, pos);
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (cp < kFirstPrintable || cp == kDelete || (cp >= kFirstC1 && cp <= kLastC1)) {
          // Controls as escapes, DEL and the C1 ones too: a terminal may take
          // them as commands when the JSON is shown on it.
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
          out += buf;
        } else {
          // UTF-8 passes through, and so do bytes that are none (a file
          // name's): the text is kept as it was read. The texts of routers,
          // modules and image files are UTF-8 already (platform/codepage.h).
          out += value.substr(start, pos - start);
        }
    }
  }
  return out + "\"";
}

void JsonWriter::Separate() {
  if (m_afterKey) {
    m_afterKey = false;
    return;
  }
  if (m_needComma) m_text += ',';
}

JsonWriter& JsonWriter::Open(char c) {
  Separate();
  m_text += c;
  m_needComma = false;
  return *this;
}

JsonWriter& JsonWriter::Close(char c) {
  m_text += c;
  m_needComma = true;
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
  Separate();
  m_text += Quote(key);
  m_text += ':';
  m_afterKey = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view value) {
  Separate();
  m_text += Quote(value);
  m_needComma = true;
  return *this;
}

JsonWriter& JsonWriter::Number(std::int64_t value) {
  Separate();
  m_text += std::to_string(value);
  m_needComma = true;
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  Separate();
  m_text += value ? "true" : "false";
  m_needComma = true;
  return *this;
}

}  // namespace orvane
