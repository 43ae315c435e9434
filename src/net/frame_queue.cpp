#include "net/frame_queue.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/clock.h"

namespace orvane {

namespace {

// The module's error replies: these first bytes put before the request.
constexpr std::uint8_t kErrorReplyLeads[] = {0x13, 0x14, 0x15, 0x18};
constexpr std::uint8_t kNegativeAcknowledge = 0x03;

}  // namespace

bool FrameMatchesKey(const std::uint8_t* packet, std::size_t length, std::uint32_t key, std::uint32_t keyLength) {
  if (key == kAnyResponseKey) return true;
  if (length > 0 && packet[0] == kNegativeAcknowledge) return true;
  const std::size_t n = std::min<std::size_t>(length, keyLength);
  std::uint32_t frameKey = 0;
  for (std::size_t i = 0; i < n; ++i) frameKey |= static_cast<std::uint32_t>(packet[i]) << (8 * i);
  if (frameKey == key) return true;
  for (const std::uint8_t lead : kErrorReplyLeads) {
    if (frameKey == static_cast<std::uint32_t>(key * 256u + lead)) return true;
  }
  return false;
}

bool CFrameQueue::PushFrame(const std::uint8_t* packet, std::size_t length) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_nCount == MAX_QUEUED_FRAMES) return false;
  if (length > 0xFFFFFFFFu - m_nUsed) return false;
  const auto size = static_cast<std::uint32_t>(length);
  if (m_nCapacity - m_nUsed < size) {
    const std::uint32_t capacity = m_nUsed + size;
    std::unique_ptr<std::uint8_t[]> grown(new (std::nothrow) std::uint8_t[capacity]);
    if (!grown) return false;
    if (m_nUsed > 0) std::memcpy(grown.get(), m_pData.get(), m_nUsed);
    m_pData = std::move(grown);
    m_nCapacity = capacity;
  }
  if (size > 0) std::memcpy(m_pData.get() + m_nUsed, packet, size);
  m_entries[m_nCount++] = Entry{m_nUsed, size};
  m_nUsed += size;
  if (FrameMatchesKey(packet, length, m_nKey, m_nKeyLength)) {
    m_matchedAt = Steady::now();
    m_arrival.Set();
  }
  return true;
}

bool CFrameQueue::WaitArrival(std::uint32_t timeoutMs) {
  const ArrivalWait mode = m_wait.load();
  if (mode == ArrivalWait::kBlock || timeoutMs == 0) return m_arrival.Wait(timeoutMs);
  const Steady::time_point start = Steady::now();
  const bool limited = timeoutMs != platform::kInfinite;
  const Steady::time_point end = start + std::chrono::milliseconds(limited ? platform::ToRealMs(timeoutMs) : 0);
  const auto bounded = [&](Steady::time_point t) { return limited ? std::min(t, end) : t; };
  const auto blockRest = [&] { return limited ? m_arrival.WaitUntil(end) : m_arrival.Wait(platform::kInfinite); };
  if (mode == ArrivalWait::kSpinFirst) {
    return m_arrival.SpinUntil(bounded(start + kArrivalSpin)) || blockRest();
  }
  bool arrived = false;
  const Steady::duration expected = m_expectedWait;
  if (expected > kArrivalSpin) {
    const Steady::time_point spinFrom = bounded(start + expected - kArrivalSpin);
    arrived = m_arrival.WaitUntil(spinFrom) || m_arrival.SpinUntil(bounded(spinFrom + 2 * kArrivalSpin));
  } else {
    arrived = m_arrival.SpinUntil(bounded(start + 2 * kArrivalSpin));
  }
  if (!arrived) arrived = blockRest();
  if (arrived) {
    // What the next take expects: this one's wait, if its packet came while
    // it waited (one that was there already tells nothing).
    std::lock_guard<std::mutex> guard(m_lock);
    m_expectedWait = m_matchedAt > start ? m_matchedAt - start : Steady::duration::zero();
  }
  return arrived;
}

bool CFrameQueue::TakeFrame(std::uint8_t* buffer, std::size_t capacity, std::size_t* length,
                            std::uint32_t timeoutMs) {
  *length = 0;
  const bool arrived = WaitArrival(timeoutMs);
  std::lock_guard<std::mutex> guard(m_lock);
  bool taken = false;
  if (arrived) {
    for (int i = m_nCount - 1; i >= 0; --i) {
      const Entry& entry = m_entries[i];
      const std::uint8_t* packet = m_pData.get() + entry.offset;
      if (FrameMatchesKey(packet, entry.length, m_nKey, m_nKeyLength)) {
        const std::size_t n = std::min<std::size_t>(entry.length, capacity);
        std::memcpy(buffer, packet, n);
        *length = n;
        taken = true;
        break;
      }
    }
  }
  EmptyLocked();
  return taken;
}

void CFrameQueue::SetResponseKey(std::uint32_t key, std::uint32_t keyLength) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_nKey = key;
  m_nKeyLength = std::clamp<std::uint32_t>(keyLength, 1, 4);
}

int CFrameQueue::Count() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_nCount;
}

std::size_t CFrameQueue::DataCapacity() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_nCapacity;
}

void CFrameQueue::EmptyLocked() {
  m_nCount = 0;
  m_nUsed = 0;
}

}  // namespace orvane
