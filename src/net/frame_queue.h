#pragma once
// The queue of received packets between the framed channel's reader thread
// and the caller, with the response filter.
//
// A packet's key is its first min(length, key length) bytes read as a
// little-endian number (missing high bytes 0). A packet matches the
// response key K when
//   1. its key is K;
//   2. its first byte is 0x03 (the download protocol's negative reply);
//   3. K is 0xFFFFFFFF (accept everything; the initial key);
//   4. its key is (K * 256 + E) mod 2^32 for E = 0x13, 0x14, 0x15 or 0x18
//      (the module's error replies, which repeat the request behind their
//      own first byte).
//
// PushFrame (reader thread) queues up to MAX_QUEUED_FRAMES packets and sets
// the auto-reset arrival event when the packet matches the key in force.
// TakeFrame (caller) waits for that event, returns the newest queued packet
// that matches the key in force then, and empties the queue whatever it
// returns. A matching packet that arrives while nobody waits leaves the
// event set, so the next TakeFrame does not wait.
//
// How TakeFrame waits (ArrivalWait): kBlock, the default, sleeps on the
// arrival event until the reader sets it. Two ways that spin instead of
// paying the wake-up are kept for the benchmarks to weigh (on the shaped
// LAN, on a shared 2-CPU machine, both cost more than they saved: the spin
// takes the CPU that the reader and the line need; docs/PERFORMANCE.md).
// With kWakeEarly the queue remembers
// how long the last matching packet took to arrive after its take began
// (the reader stamps each one), and the next take blocks only until
// kArrivalSpin before that moment, then watches the event for up to twice
// kArrivalSpin without blocking, and blocks again for whatever is left of
// its time-out. Exchanges of one kind (the download's blocks) arrive
// alike, so the wake-up happens while the answer is still on its way; a
// prediction that misses costs at most the bounded spin, and nothing
// changes about what is taken or when a take gives up. kSpinFirst spins
// kArrivalSpin at the start of every take before it blocks; kBlock only
// blocks.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/event.h"

namespace orvane {

inline constexpr int MAX_QUEUED_FRAMES = 100;
inline constexpr std::uint32_t kAnyResponseKey = 0xFFFFFFFFu;
// Real time, not system time: it covers the system's wake-up latency, not a
// pause of the protocol.
inline constexpr std::chrono::microseconds kArrivalSpin{150};

enum class ArrivalWait { kBlock, kSpinFirst, kWakeEarly };

// The matching rule above, as a pure function.
bool FrameMatchesKey(const std::uint8_t* packet, std::size_t length, std::uint32_t key, std::uint32_t keyLength);

class CFrameQueue {
 public:
  CFrameQueue() = default;
  CFrameQueue(const CFrameQueue&) = delete;
  CFrameQueue& operator=(const CFrameQueue&) = delete;

  // False when the packet was dropped: the queue is full or its data
  // buffer could not grow. The data buffer grows to exactly what is held.
  bool PushFrame(const std::uint8_t* packet, std::size_t length);
  // Copies at most `capacity` bytes of the newest matching packet; false on
  // time-out or when none matches.
  bool TakeFrame(std::uint8_t* buffer, std::size_t capacity, std::size_t* length, std::uint32_t timeoutMs);
  // Key length is held to 1..4.
  void SetResponseKey(std::uint32_t key, std::uint32_t keyLength);
  // kBlock unless set otherwise (benchmarks compare the three).
  void SetArrivalWait(ArrivalWait wait) { m_wait = wait; }

  int Count() const;
  std::size_t DataCapacity() const;

 private:
  using Steady = std::chrono::steady_clock;
  // Waits for the arrival event as m_wait says, within `timeoutMs`.
  bool WaitArrival(std::uint32_t timeoutMs);
  void EmptyLocked();

  struct Entry {
    std::uint32_t offset;
    std::uint32_t length;
  };

  mutable std::mutex m_lock;
  Entry m_entries[MAX_QUEUED_FRAMES] = {};
  int m_nCount = 0;
  std::unique_ptr<std::uint8_t[]> m_pData;
  std::uint32_t m_nCapacity = 0;
  std::uint32_t m_nUsed = 0;
  std::uint32_t m_nKey = kAnyResponseKey;
  std::uint32_t m_nKeyLength = 4;
  platform::Event m_arrival;
  std::atomic<ArrivalWait> m_wait{ArrivalWait::kBlock};
  // When the reader queued the newest matching packet (under m_lock), and
  // how long the last take waited for its packet (taker only; zero: no
  // prediction).
  Steady::time_point m_matchedAt{};
  Steady::duration m_expectedWait{};
};

}  // namespace orvane
