#include "log/run_history.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "log/json_writer.h"
#include "platform/system_files.h"
#include "platform/unicode_detail.h"
#include "platform/utf8_path.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

using platform::PathText;
using platform::Utf8Path;

// Objects inside objects: the record, its item list, an item. A value of
// an unknown key may nest this deep in all.
constexpr int kMaxDepth = 4;

// A reader of exactly the JSON a record line holds: objects, arrays,
// strings, integers, true/false/null. Every read is bounded by the line.
class LineParser {
 public:
  explicit LineParser(std::string_view text) : m_text(text) {}

  bool Record(RunRecord& record) {
    const bool ok = Object(0, [&](const std::string& key) {
      if (key == "time") return String(&record.time);
      if (key == "front_end") return String(&record.frontEnd);
      if (key == "mac") return String(&record.mac);
      if (key == "ip") return String(&record.ip);
      if (key == "discovery_version") return String(&record.discoveryVersion);
      if (key == "log_file") return String(&record.logFile);
      if (key == "outcome") return String(&record.outcome);
      if (key == "failed_item") return String(&record.failedItem);
      if (key == "failed_step") return String(&record.failedStep);
      if (key == "detail") return String(&record.detail);
      if (key == "signatures") return String(&record.signatures);
      if (key == "items") return Items(record.items);
      if (key == "log_files") return Strings(record.logFiles, kMaxRunRecordLogFiles);
      if (key == "interface") return String(&record.interfaceName);
      return Skip(1);
    });
    if (!ok) return false;
    SkipBlanks();
    if (m_pos != m_text.size()) return Fail("text after the record");
    if (record.time.size() < 10) return Fail("no time");
    return true;
  }

  const std::string& Why() const { return m_why; }
  std::size_t Position() const { return m_pos; }

 private:
  bool Fail(const char* why) {
    if (m_why.empty()) m_why = why;
    return false;
  }

  void SkipBlanks() {
    while (m_pos < m_text.size() &&
           (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' || m_text[m_pos] == '\r' || m_text[m_pos] == '\n')) {
      ++m_pos;
    }
  }

  bool Take(char c) {
    SkipBlanks();
    if (m_pos < m_text.size() && m_text[m_pos] == c) {
      ++m_pos;
      return true;
    }
    return false;
  }

  bool Word(std::string_view word) {
    if (m_text.substr(m_pos, word.size()) != word) return Fail("unknown value");
    m_pos += word.size();
    return true;
  }

  // { "key": value, ... } with `member` reading each value.
  template <typename Member>
  bool Object(int depth, Member member) {
    if (depth >= kMaxDepth) return Fail("nested too deep");
    if (!Take('{')) return Fail("expected an object");
    if (Take('}')) return true;
    do {
      std::string key;
      SkipBlanks();
      if (!String(&key)) return false;
      if (!Take(':')) return Fail("expected ':'");
      SkipBlanks();
      if (!member(key)) return false;
    } while (Take(','));
    if (!Take('}')) return Fail("expected ',' or '}'");
    return true;
  }

  bool Items(std::vector<RunRecordItem>& items) {
    if (!Take('[')) return Fail("expected the item list");
    if (Take(']')) return true;
    do {
      if (items.size() == kMaxRunRecordItems) return Fail("too many items");
      RunRecordItem item;
      const bool ok = Object(1, [&](const std::string& key) {
        if (key == "name") return String(&item.name);
        if (key == "original") return String(&item.original);
        if (key == "update") return String(&item.update);
        if (key == "outcome") return String(&item.outcome);
        if (key == "result") return String(&item.result);
        if (key == "elapsed_s") return Integer(&item.elapsedSeconds);
        if (key == "verification") return String(&item.verification);
        if (key == "verification_detail") return String(&item.verificationDetail);
        if (key == "sha256") return String(&item.sha256);
        if (key == "signing_key") return String(&item.signingKey);
        return Skip(2);
      });
      if (!ok) return false;
      items.push_back(std::move(item));
    } while (Take(','));
    if (!Take(']')) return Fail("expected ',' or ']'");
    return true;
  }

  // [ "a", "b" ] with at most `most` strings.
  bool Strings(std::vector<std::string>& texts, std::size_t most) {
    if (!Take('[')) return Fail("expected a list of strings");
    if (Take(']')) return true;
    do {
      if (texts.size() == most) return Fail("too many strings");
      std::string text;
      SkipBlanks();
      if (!String(&text)) return false;
      texts.push_back(std::move(text));
    } while (Take(','));
    if (!Take(']')) return Fail("expected ',' or ']'");
    return true;
  }

  bool Integer(std::int64_t* value) {
    SkipBlanks();
    bool negative = false;
    if (m_pos < m_text.size() && m_text[m_pos] == '-') {
      negative = true;
      ++m_pos;
    }
    std::int64_t v = 0;
    std::size_t digits = 0;
    while (m_pos < m_text.size() && m_text[m_pos] >= '0' && m_text[m_pos] <= '9') {
      if (++digits > 18) return Fail("number too long");
      v = v * 10 + (m_text[m_pos++] - '0');
    }
    if (digits == 0) return Fail("expected a number");
    if (value) *value = negative ? -v : v;
    return true;
  }

  static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool Hex4(std::uint32_t* unit) {
    if (m_text.size() - m_pos < 4) return Fail("cut \\u escape");
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const int h = HexValue(m_text[m_pos++]);
      if (h < 0) return Fail("bad \\u escape");
      v = v * 16 + static_cast<std::uint32_t>(h);
    }
    *unit = v;
    return true;
  }


  // A string; `out` may be null (a value passed over).
  bool String(std::string* out) {
    if (m_pos >= m_text.size() || m_text[m_pos] != '"') return Fail("expected a string");
    ++m_pos;
    std::string value;
    while (true) {
      if (m_pos >= m_text.size()) return Fail("string not ended");
      const char c = m_text[m_pos++];
      if (c == '"') break;
      if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in a string");
      if (c != '\\') {
        value += c;
        continue;
      }
      if (m_pos >= m_text.size()) return Fail("string not ended");
      const char e = m_text[m_pos++];
      switch (e) {
        case '"': value += '"'; break;
        case '\\': value += '\\'; break;
        case '/': value += '/'; break;
        case 'b': value += '\b'; break;
        case 'f': value += '\f'; break;
        case 'n': value += '\n'; break;
        case 'r': value += '\r'; break;
        case 't': value += '\t'; break;
        case 'u': {
          std::uint32_t unit = 0;
          if (!Hex4(&unit)) return false;
          if (unit >= 0xD800 && unit < 0xDC00) {  // a pair's first half: its second must follow
            std::uint32_t low = 0;
            if (m_text.substr(m_pos, 2) != "\\u") return Fail("lone surrogate");
            m_pos += 2;
            if (!Hex4(&low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return Fail("lone surrogate");
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return Fail("lone surrogate");
          }
          platform::detail::AppendUtf8(value, static_cast<char32_t>(unit));
          break;
        }
        default: return Fail("bad escape");
      }
    }
    if (out) *out = std::move(value);
    return true;
  }

  // Passes over a value of a key this reader does not know.
  bool Skip(int depth) {
    SkipBlanks();
    if (m_pos >= m_text.size()) return Fail("value missing");
    const char c = m_text[m_pos];
    if (c == '"') return String(nullptr);
    if (c == '{') return Object(depth, [&](const std::string&) { return Skip(depth + 1); });
    if (c == '[') {
      if (depth >= kMaxDepth) return Fail("nested too deep");
      ++m_pos;
      if (Take(']')) return true;
      do {
        if (!Skip(depth + 1)) return false;
      } while (Take(','));
      if (!Take(']')) return Fail("expected ',' or ']'");
      return true;
    }
    if (c == 't') return Word("true");
    if (c == 'f') return Word("false");
    if (c == 'n') return Word("null");
    return Integer(nullptr);
  }

  std::string_view m_text;
  std::size_t m_pos = 0;
  std::string m_why;
};

}  // namespace

std::string RunRecordTime(const platform::LocalTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

std::string DerivedRunOutcome(const RunRecord& record) {
  // A line that lists no item says nothing of a success.
  if (record.items.empty()) return "failed";
  bool allSucceeded = true;
  for (const RunRecordItem& item : record.items) {
    if (item.outcome == "interrupted") return "interrupted";
    if (item.outcome != "succeeded") allSucceeded = false;
  }
  return allSucceeded ? "succeeded" : "failed";
}

std::string RunOutcomeShown(const RunRecord& record) {
  return record.OutcomeRecorded() ? record.outcome : DerivedRunOutcome(record);
}

std::string BuildRunRecordLine(const RunRecord& record) {
  JsonWriter json;
  json.BeginObject()
      .Key("time").String(record.time)
      .Key("front_end").String(record.frontEnd)
      .Key("mac").String(record.mac)
      .Key("ip").String(record.ip)
      .Key("discovery_version").String(record.discoveryVersion)
      .Key("log_file").String(record.logFile)
      .Key("outcome").String(record.outcome)
      .Key("failed_item").String(record.failedItem)
      .Key("failed_step").String(record.failedStep)
      .Key("detail").String(record.detail)
      .Key("items").BeginArray();
  for (const RunRecordItem& item : record.items) {
    json.BeginObject()
        .Key("name").String(item.name)
        .Key("original").String(item.original)
        .Key("update").String(item.update)
        .Key("outcome").String(item.outcome)
        .Key("result").String(item.result)
        .Key("elapsed_s").Number(item.elapsedSeconds)
        .Key("verification").String(item.verification)
        .Key("verification_detail").String(item.verificationDetail)
        .Key("sha256").String(item.sha256)
        .Key("signing_key").String(item.signingKey)
        .EndObject();
  }
  json.EndArray().Key("signatures").String(record.signatures).Key("log_files").BeginArray();
  for (const std::string& file : record.logFiles) json.String(file);
  json.EndArray();
  if (!record.interfaceName.empty()) json.Key("interface").String(record.interfaceName);
  json.EndObject();
  return json.Text();
}

std::optional<RunRecord> ParseRunRecordLine(std::string_view line, std::string* why) {
  if (line.size() > kMaxRunRecordBytes) {
    if (why) *why = "longer than " + std::to_string(kMaxRunRecordBytes) + " bytes";
    return std::nullopt;
  }
  RunRecord record;
  LineParser parser(line);
  if (parser.Record(record)) return record;
  if (why) *why = parser.Why() + " at byte " + std::to_string(parser.Position() + 1);
  return std::nullopt;
}

std::string RunHistoryPath(const std::string& logFolder) {
  return PathText(Utf8Path(logFolder) / kRunHistoryFileName);
}

platform::FileResult AppendRunRecord(const std::string& logFolder, const RunRecord& record,
                                     std::uint32_t lockWaitMs) {
  std::error_code ec;
  fs::create_directories(Utf8Path(logFolder), ec);
  std::error_code ignored;
  if (ec && !fs::is_directory(Utf8Path(logFolder), ignored)) {
    return {platform::FileProblem::CannotOpen, 0, "cannot make the folder " + logFolder + ": " + ec.message()};
  }
  const std::string path = RunHistoryPath(logFolder);
  const std::string bytes = BuildRunRecordLine(record) + "\n";
  platform::AppendOptions options;
  options.lockWaitMs = lockWaitMs;
  // A last line that a power cut left without its end is ended first, so
  // that this line stays a line of its own.
  options.endTornLine = true;
  platform::FileResult result = platform::AppendToFileExclusive(path, bytes, options);
  if (!result.ok()) result.reason = "cannot write " + path + ": " + result.reason;
  return result;
}

RunHistory ReadRunHistory(const std::string& path) {
  RunHistory history;
  std::string text;
  const platform::FileResult read = platform::ReadRegularFile(path, text, kRunHistoryLockWaitMs);
  if (read.problem == platform::FileProblem::Missing) return history;
  if (!read.ok()) {
    history.problem = read.problem;
    history.error = "cannot read " + path + ": " + read.reason;
    return history;
  }
  history.found = true;
  std::size_t number = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    ++number;
    const std::size_t end = text.find('\n', at);
    const bool ended = end != std::string::npos;  // a line end, not the file's end
    const std::string_view line = std::string_view(text).substr(at, ended ? end - at : std::string::npos);
    at = ended ? end + 1 : text.size();
    if (line.empty()) continue;
    std::string why;
    std::optional<RunRecord> record = ParseRunRecordLine(line, &why);
    // Cut just before its line end, the last line is whole and counts.
    if (!ended && !record) {
      history.notes.push_back(std::string(kRunHistoryFileName) + " line " + std::to_string(number) +
                              ": the last line is cut off (the program or the PC stopped while it was written); "
                              "skipped");
      break;
    }
    if (record) {
      history.records.push_back(std::move(*record));
    } else {
      history.notes.push_back(std::string(kRunHistoryFileName) + " line " + std::to_string(number) +
                              ": not a run record (" + why + "); skipped");
    }
  }
  return history;
}

}  // namespace orvane
