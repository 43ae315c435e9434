// The relay connection's byte stream as the framed channel's reader sees
// it: every byte through the frame assembler, every packet into the frame
// queue, and now and then a take with a response key. The assembler must
// follow its rules exactly (checked against a plain model of them), never
// hold more than its 1024 bytes, and the queue must stay within its 100
// packets whatever the peer sends: floods of flags or escapes, endless
// frames, bursts of good frames.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "diag/framing.h"
#include "net/frame_assembler.h"
#include "net/frame_queue.h"

namespace {

// The assembly rule in its plainest form.
class ModelAssembler {
 public:
  // True when `byte` closed a frame; its packet is then in `packet`.
  bool Push(std::uint8_t byte, std::vector<std::uint8_t>& packet) {
    if (byte != orvane::FRAME_FLAG) {
      if (m_bytes.size() < orvane::kFrameAssemblySize) {
        m_bytes.push_back(byte);
      } else {
        m_bytes.clear();  // the byte after 1024 is dropped and the frame abandoned
      }
      return false;
    }
    if (m_bytes.size() < 3) return false;
    packet.assign(m_bytes.size(), 0);
    packet.resize(orvane::DecodeFrame(m_bytes.data(), m_bytes.size(), packet.data()));
    m_bytes.clear();
    return true;
  }

 private:
  std::vector<std::uint8_t> m_bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto keyLength = input.ConsumeIntegralInRange<std::uint32_t>(1, 4);
  const auto key = input.ConsumeIntegral<std::uint32_t>();
  const auto takeEvery = input.ConsumeIntegralInRange<int>(1, 150);
  const auto capacity = input.ConsumeIntegralInRange<std::size_t>(1, 1100);
  const std::vector<std::uint8_t> stream = input.ConsumeRemainingBytes<std::uint8_t>();

  orvane::FrameAssembler assembler;
  ModelAssembler model;
  orvane::CFrameQueue queue;
  queue.SetResponseKey(key, keyLength);
  std::vector<std::uint8_t> expected;
  std::vector<std::uint8_t> taken(capacity);
  int frames = 0;

  for (const std::uint8_t byte : stream) {
    const bool closed = assembler.Push(byte);
    if (closed != model.Push(byte, expected)) std::abort();
    if (!closed) continue;
    const std::size_t length = assembler.DecodeFrame();
    if (length != expected.size()) std::abort();
    if (length == 0) continue;  // a bad frame is dropped, as the reader does
    if (length > orvane::kFrameAssemblySize - 2) std::abort();
    if (std::memcmp(assembler.Data(), expected.data(), length) != 0) std::abort();

    const int before = queue.Count();
    const bool queued = queue.PushFrame(assembler.Data(), length);
    if (queued != (before < orvane::MAX_QUEUED_FRAMES)) std::abort();
    if (queue.Count() > orvane::MAX_QUEUED_FRAMES) std::abort();
    // The data buffer grows to what is held, and at most 100 packets are held.
    if (queue.DataCapacity() > orvane::MAX_QUEUED_FRAMES * (orvane::kFrameAssemblySize - 2)) std::abort();

    if (++frames % takeEvery == 0) {
      std::size_t got = 0;
      if (queue.TakeFrame(taken.data(), taken.size(), &got, 0)) {
        if (got == 0 || got > capacity) std::abort();
        // With room for the key's 4 bytes, the copy is judged as the packet was.
        if (capacity >= 4 && !orvane::FrameMatchesKey(taken.data(), got, key, keyLength)) std::abort();
      }
      if (queue.Count() != 0) std::abort();  // a take empties the queue whatever it returns
    }
  }
  return 0;
}
