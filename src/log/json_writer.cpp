#include "log/json_writer.h"

#include <cstdio>

namespace orvane {

std::string JsonWriter::Quote(std::string_view value) {
  std::string out = "\"";
  for (const char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += ch;  // UTF-8 passes through
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
