// What the router's shell sends, as the telnet session and the check read
// it: the receive buffer's growth, the cut into lines (telnet commands,
// echoes, stray CR or LF, zero bytes and 8-bit text included), the prompt
// search, and the version line picker. The lines must give back exactly
// the bytes they were cut from, the searches must find what their rules
// say, the version rule must agree with a plain model of it, and the picked
// version line is the last one, unchanged.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/telnet_session.h"
#include "net/telnet_text.h"
#include "platform/codepage.h"

namespace {

// Five non-empty decimal groups separated by dots at the start of the text,
// optionally closed by one more dot, then anything but a digit or a dot.
bool ModelVersionText(const std::string& text) {
  std::size_t run = 0;
  while (run < text.size() && ((text[run] >= '0' && text[run] <= '9') || text[run] == '.')) ++run;
  std::string head = text.substr(0, run);
  if (head.empty()) return false;
  if (head.back() == '.') head.pop_back();
  int groups = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = head.find('.', start);
    const std::size_t end = dot == std::string::npos ? head.size() : dot;
    if (end == start) return false;  // an empty group
    ++groups;
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return groups == 5;
}

void CheckMarker(const std::vector<std::string>& lines, const std::string& marker) {
  const int found = orvane::FindMarkerLine(lines, marker);
  if (found < -1 || found >= static_cast<int>(lines.size())) std::abort();
  if (marker == "#") {
    const bool last = !lines.empty() && lines.back().find('#') != std::string::npos;
    if (found != (last ? static_cast<int>(lines.size()) - 1 : -1)) std::abort();
    return;
  }
  int expected = -1;
  for (int i = static_cast<int>(lines.size()) - 1; i >= 0 && expected < 0; --i) {
    if (lines[i].find(marker) != std::string::npos) expected = i;
  }
  if (found != expected) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto capacity = input.ConsumeIntegralInRange<std::size_t>(orvane::kTelnetInitialCapacity, 1 << 20);
  const auto held = input.ConsumeIntegralInRange<std::size_t>(0, capacity);
  const auto incoming = input.ConsumeIntegralInRange<std::size_t>(0, orvane::kTelnetReceiveChunk);
  const std::string marker = input.ConsumeRandomLengthString(8);
  // ReadLines looks at no more than 2045 bytes.
  const std::vector<std::uint8_t> text =
      input.ConsumeBytes<std::uint8_t>(std::min(input.remaining_bytes(), orvane::kTelnetMaxReplyBytes));

  const std::size_t grown = orvane::GrowReceiveCapacity(capacity, held, incoming);
  if (grown - held < incoming || grown % capacity != 0) std::abort();
  if (grown != capacity && grown / capacity > 2 && capacity * (grown / capacity - 1) - held >= incoming) std::abort();
  if ((grown == capacity) != (capacity - held >= incoming)) std::abort();

  const std::vector<std::string> lines = orvane::SplitReplyLines(text);
  // The lines, back in 8-bit text with their CR LF, are the text up to its
  // last CR LF once a missing final CR LF is added and a zero byte ends it.
  std::string bytes(text.begin(), text.end());
  if (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0) bytes += "\r\n";
  bytes = bytes.substr(0, bytes.find('\0'));
  const std::size_t lastEnd = bytes.rfind("\r\n");
  const std::string covered = lastEnd == std::string::npos ? std::string() : bytes.substr(0, lastEnd + 2);
  std::string joined;
  for (const std::string& line : lines) joined += orvane::platform::Utf8ToAnsi(line) + "\r\n";
  if (joined != covered) std::abort();

  CheckMarker(lines, ":");
  CheckMarker(lines, "#");
  if (!marker.empty()) CheckMarker(lines, marker);

  const std::string* lastVersion = nullptr;
  bool refused = false;
  for (const std::string& line : lines) {
    const bool version = orvane::IsVersionText(line);
    if (version != ModelVersionText(line)) std::abort();
    if (version && line.size() <= orvane::kMaxVersionLineBytes) lastVersion = &line;
    refused = refused || (version && line.size() > orvane::kMaxVersionLineBytes);
  }
  // The last version line that is not too long, whole and as it is (the
  // lines are UTF-8 already); a refused one is said when none is picked.
  std::string picked = "unchanged";
  const orvane::VersionLinePick pick = orvane::PickVersionLine(lines, picked);
  if (static_cast<bool>(pick) != (lastVersion != nullptr)) std::abort();
  if (picked != (lastVersion ? *lastVersion : std::string("unchanged"))) std::abort();
  if (!pick && (pick.result == orvane::VersionLine::kTooLong) != refused) std::abort();
  return 0;
}
