// netvigil's judgement of one datagram off its raw ICMP socket, against the
// echo request it waits for: whatever arrives (at most the 192 bytes the
// receive keeps), never a read outside it. Success only for an echo reply
// of at least 76 bytes from the pinged address that carries the request's
// identifier and sequence, and no longer once either is changed; failure
// only for an ICMP error message; the request itself, looped back, is
// passed over.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "watchdog/netvigil.h"

namespace {

int HeaderLength(const std::vector<unsigned char>& d) { return (d[0] & 0x0F) * 4; }

nv::reply_verdict Judge(const std::vector<unsigned char>& datagram, const nv::pending_echo& sent) {
  const std::vector<unsigned char> copy(datagram);  // exact size: ASan sees any overread
  return nv::judge_reply(copy.data(), static_cast<int>(copy.size()), sent);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  nv::pending_echo sent{};
  const auto destination = input.ConsumeIntegral<std::uint32_t>();
  std::memcpy(sent.destination, &destination, 4);
  const auto identifier = input.ConsumeIntegral<std::uint16_t>();
  const auto sequence = input.ConsumeIntegral<std::uint16_t>();
  nv::build_echo_request(sent.request, identifier, sequence);
  std::vector<unsigned char> datagram = input.ConsumeRemainingBytes<unsigned char>();
  if (datagram.size() > static_cast<std::size_t>(nv::kReplyBufferSize)) datagram.resize(nv::kReplyBufferSize);

  const nv::reply_verdict verdict = Judge(datagram, sent);
  if (verdict == nv::REPLY_SUCCESS) {
    if (datagram.size() < static_cast<std::size_t>(nv::kMinimumReplySize)) std::abort();
    const int header = HeaderLength(datagram);
    unsigned char* icmp = datagram.data() + header;
    if (icmp[0] != 0) std::abort();                                          // an echo reply
    if (std::memcmp(datagram.data() + 12, sent.destination, 4) != 0) std::abort();  // from the pinged address
    if (std::memcmp(icmp + 4, sent.request + 4, 4) != 0) std::abort();       // its identifier and sequence
    // Another request's reply, or one from elsewhere, does not answer this one.
    icmp[4 + input.ConsumeIntegralInRange<int>(0, 3)] ^= 0x01;
    if (Judge(datagram, sent) == nv::REPLY_SUCCESS) std::abort();
  } else if (verdict == nv::REPLY_FAILURE) {
    const unsigned char type = datagram[HeaderLength(datagram)];
    if (type != 3 && type != 11 && type != 12) std::abort();  // only an ICMP error says the ping failed
  }

  // The request itself behind an IPv4 header (looped back from this host)
  // is no answer.
  std::vector<unsigned char> looped(20, 0);
  looped[0] = 0x45;
  looped[9] = 1;
  std::memcpy(looped.data() + 12, sent.destination, 4);
  looped.insert(looped.end(), sent.request, sent.request + nv::kEchoRequestSize);
  looped.resize(nv::kReplyBufferSize);
  if (Judge(looped, sent) != nv::REPLY_IGNORED) std::abort();
  return 0;
}
