// Frame decoding over arbitrary bytes, in place and into a separate buffer:
// both must agree, never read past the input, and an accepted packet must
// encode back to a frame that decodes to the same packet.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "diag/framing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> input(data, data + size);  // exact size: ASan sees any overread
  std::vector<std::uint8_t> out(size);
  const std::size_t n = orvane::DecodeFrame(input.data(), size, out.data());

  std::vector<std::uint8_t> inPlace(data, data + size);
  const std::size_t m = orvane::DecodeFrame(inPlace.data(), size, inPlace.data());
  if (n != m || (n > 0 && std::memcmp(out.data(), inPlace.data(), n + 2) != 0)) std::abort();

  if (n > 0) {
    std::vector<std::uint8_t> frame(orvane::MaxFrameSize(n));
    const std::size_t len = orvane::EncodeFrame(out.data(), n, frame.data(), 1);
    if (len > frame.size()) std::abort();
    std::vector<std::uint8_t> again(len);
    if (orvane::DecodeFrame(frame.data(), len, again.data()) != n) std::abort();
    if (std::memcmp(again.data(), out.data(), n) != 0) std::abort();
  }
  return 0;
}
