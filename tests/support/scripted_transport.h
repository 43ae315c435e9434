#pragma once
// A frame transport that plays back a script of answers and records every
// request, key and wait, for tests of what speaks through IFrameTransport.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "diag/frame_transport.h"
#include "platform/clock.h"

namespace orvane::test {

using Bytes = std::vector<std::uint8_t>;

class ScriptedTransport : public IFrameTransport {
 public:
  struct Sent {
    Bytes bytes;
    bool raw;
    bool leadingFlag;
    std::uint32_t timeoutMs;
    std::uint32_t key;  // the response key in force
    std::uint32_t keyLength;
    std::uint32_t tick;  // platform::TickCount() when it was sent
  };
  struct Received {
    std::size_t capacity;
    std::uint32_t timeoutMs;
    Bytes before;  // the buffer's content when the receive began
  };

  void SetResponseKey(std::uint32_t key, std::uint32_t keyLength) override {
    m_key = key;
    m_keyLength = keyLength;
    ++keySets;
  }
  bool Send(bool raw, const std::uint8_t* data, std::size_t length, bool leadingFlag,
            std::uint32_t timeoutMs) override {
    sent.push_back({Bytes(data, data + length), raw, leadingFlag, timeoutMs, m_key, m_keyLength,
                    platform::TickCount()});
    if (failSends > 0) {
      --failSends;
      return false;
    }
    return true;
  }
  // Takes the next answer; nullopt (or an empty script) = nothing in time.
  bool Receive(std::uint8_t* buffer, std::size_t capacity, std::size_t* length, std::uint32_t timeoutMs) override {
    receives.push_back({capacity, timeoutMs, Bytes(buffer, buffer + capacity)});
    *length = 0;
    if (answers.empty()) return false;
    const std::optional<Bytes> answer = answers.front();
    answers.pop_front();
    if (!answer) return false;
    *length = std::min(answer->size(), capacity);
    std::copy_n(answer->begin(), *length, buffer);
    return true;
  }

  std::deque<std::optional<Bytes>> answers;
  int failSends = 0;  // the next this many sends fail
  std::vector<Sent> sent;
  std::vector<Received> receives;
  int keySets = 0;

 private:
  std::uint32_t m_key = 0xFFFFFFFF;
  std::uint32_t m_keyLength = 4;
};

}  // namespace orvane::test
