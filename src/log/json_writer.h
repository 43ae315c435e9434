#pragma once
// A minimal JSON writer: the command line's --json output and the run
// history's lines. Standard library only.
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane {

class JsonWriter {
 public:
  JsonWriter& BeginObject() { return Open('{'); }
  JsonWriter& EndObject() { return Close('}'); }
  JsonWriter& BeginArray() { return Open('['); }
  JsonWriter& EndArray() { return Close(']'); }
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view value);
  JsonWriter& Number(std::int64_t value);
  JsonWriter& Bool(bool value);
  const std::string& Text() const { return m_text; }

  static std::string Quote(std::string_view value);

 private:
  JsonWriter& Open(char c);
  JsonWriter& Close(char c);
  void Separate();
  std::string m_text;
  bool m_needComma = false;
  bool m_afterKey = false;
};

}  // namespace orvane
