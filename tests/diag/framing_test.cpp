// Framing and CRC: published vectors first, then the decoder's contract.
#include "diag/framing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace orvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Encode(const Bytes& packet, int leadingFlag) {
  Bytes out(MaxFrameSize(packet.size()));
  out.resize(EncodeFrame(packet.data(), packet.size(), out.data(), leadingFlag));
  return out;
}

// Decodes into a buffer of exactly the input's size; returns the packet
// (without check bytes), or nullopt-like empty + ok=false.
std::size_t Decode(const Bytes& frame, Bytes* packet = nullptr) {
  Bytes input = frame;  // exact-size copy: an overread shows under ASan
  Bytes out(frame.size());
  const std::size_t n = DecodeFrame(input.data(), input.size(), out.data());
  if (packet != nullptr) packet->assign(out.begin(), out.begin() + static_cast<long>(n));
  return n;
}

TEST(Crc16, PublishedCheckValues) {
  const char* text = "123456789";
  // The CRC-16/X.25 check value (RFC 1662 FCS-16).
  EXPECT_EQ(Crc16(reinterpret_cast<const std::uint8_t*>(text), 9), 0x906E);
  EXPECT_EQ(Crc16(nullptr, 0), 0x0000);
  const Bytes packet = {0x00, 0x01, 0x02};
  EXPECT_EQ(Crc16(packet.data(), packet.size()), 0xFC06);
}

// The sliced CRC against the plain byte-by-byte register, for lengths
// around every run boundary and at every starting alignment: a wrong
// table, a wrong mixing of the register or a mishandled tail shows here.
TEST(Crc16, EqualsTheByteByByteRegisterAtAnyLengthAndAlignment) {
  std::vector<std::uint8_t> data(4096 + 64);
  std::uint32_t x = 0x2545F491u;
  for (auto& b : data) b = static_cast<std::uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  for (std::size_t start = 0; start < 16; ++start) {
    for (std::size_t length = 0; length < 4096; length = length < 80 ? length + 1 : length * 3 / 2 + (x++ % 7)) {
      std::uint16_t reg = CRC_INIT;
      for (std::size_t i = 0; i < length; ++i) reg = CrcUpdate(reg, data[start + i]);
      ASSERT_EQ(Crc16(data.data() + start, length), static_cast<std::uint16_t>(~reg)) << start << "+" << length;
    }
  }
}

TEST(EncodeFrame, KnownVectors) {
  // 00 01 02 | FCS 0xFC06 low byte first | flag
  EXPECT_EQ(Encode({0x00, 0x01, 0x02}, 0), (Bytes{0x00, 0x01, 0x02, 0x06, 0xFC, 0x7E}));
  EXPECT_EQ(Encode({0x00, 0x01, 0x02}, 1), (Bytes{0x7E, 0x00, 0x01, 0x02, 0x06, 0xFC, 0x7E}));
  // flag | 0A | FCS 0x5F22 | flag
  EXPECT_EQ(Encode({0x0A}, 1), (Bytes{0x7E, 0x0A, 0x22, 0x5F, 0x7E}));
  // Any nonzero value asks for the leading flag.
  EXPECT_EQ(Encode({0x0A}, 7), Encode({0x0A}, 1));
}

TEST(EncodeFrame, StuffsFlagAndEscapeInPacketAndCheckBytes) {
  const Bytes packet = {0x7E, 0x41, 0x7D};
  const Bytes frame = Encode(packet, 0);
  ASSERT_GE(frame.size(), 5u);
  EXPECT_EQ((Bytes(frame.begin(), frame.begin() + 5)), (Bytes{0x7D, 0x5E, 0x41, 0x7D, 0x5D}));

  // Find one-byte packets whose check bytes are 0x7E or 0x7D and verify
  // that those are stuffed too (independent of the encoder: check the CRC).
  int stuffedChecks = 0;
  for (int b = 0; b < 256; ++b) {
    const Bytes p = {static_cast<std::uint8_t>(b)};
    const std::uint16_t fcs = Crc16(p.data(), 1);
    const std::uint8_t lo = fcs & 0xFF, hi = fcs >> 8;
    if (lo != 0x7E && lo != 0x7D && hi != 0x7E && hi != 0x7D) continue;
    const Bytes f = Encode(p, 0);
    Bytes expected;
    for (const std::uint8_t x : {static_cast<std::uint8_t>(b), lo, hi}) {
      if (x == 0x7E || x == 0x7D) {
        expected.push_back(0x7D);
        expected.push_back(x ^ 0x20);
      } else {
        expected.push_back(x);
      }
    }
    expected.push_back(0x7E);
    EXPECT_EQ(f, expected) << "packet byte " << b;
    ++stuffedChecks;
  }
  EXPECT_GT(stuffedChecks, 0) << "no one-byte packet exercises check-byte stuffing";
}

TEST(EncodeFrame, NeverExceedsTwiceThePacketPlusSix) {
  // All bytes needing stuffing is the worst case for the packet part; scan
  // the packets of that shape for one whose check bytes need stuffing too.
  bool reachedBound = false;
  for (int n = 1; n <= 24; ++n) {
    for (int pattern = 0; pattern < 64; ++pattern) {
      Bytes packet(static_cast<std::size_t>(n));
      for (int i = 0; i < n; ++i) packet[i] = ((pattern >> (i % 6)) & 1) ? 0x7E : 0x7D;
      const Bytes frame = Encode(packet, 1);
      ASSERT_LE(frame.size(), MaxFrameSize(packet.size()));
      reachedBound = reachedBound || frame.size() == MaxFrameSize(packet.size());
    }
  }
  EXPECT_TRUE(reachedBound);
}

TEST(EscapeAppend, PieceByPieceEqualsWholeFrame) {
  // The module's block writer builds a frame from a header and data with
  // separate appends; the result must equal one EncodeFrame of both.
  const Bytes header = {0x0F, 0x00, 0x10, 0x7E, 0x7D, 0x00, 0x08};
  const Bytes data = {0x7D, 0x01, 0x7E, 0xFF, 0x20, 0x5E};
  Bytes whole = header;
  whole.insert(whole.end(), data.begin(), data.end());

  Bytes out(MaxFrameSize(whole.size()));
  std::size_t pos = 0;
  out[pos++] = FRAME_FLAG;
  std::uint16_t reg = CRC_INIT;
  EscapeAppend(out.data(), &pos, header.data(), header.size(), &reg);
  EscapeAppend(out.data(), &pos, data.data(), data.size(), &reg);
  const std::uint16_t fcs = static_cast<std::uint16_t>(~reg);
  const std::uint8_t check[2] = {static_cast<std::uint8_t>(fcs), static_cast<std::uint8_t>(fcs >> 8)};
  std::uint16_t unused = 0;
  EscapeAppend(out.data(), &pos, check, 2, &unused);
  out[pos++] = FRAME_FLAG;
  out.resize(pos);
  EXPECT_EQ(out, Encode(whole, 1));
}

TEST(DecodeFrame, AcceptsEveryFlagCombination) {
  const Bytes packet = {0x00, 0x01, 0x02};
  const Bytes body = {0x00, 0x01, 0x02, 0x06, 0xFC};
  for (const bool opening : {false, true}) {
    for (const bool closing : {false, true}) {
      Bytes frame;
      if (opening) frame.push_back(0x7E);
      frame.insert(frame.end(), body.begin(), body.end());
      if (closing) frame.push_back(0x7E);
      Bytes decoded;
      EXPECT_EQ(Decode(frame, &decoded), 3u) << "opening " << opening << " closing " << closing;
      EXPECT_EQ(decoded, packet);
    }
  }
}

TEST(DecodeFrame, InPlaceRestoresPacketAndCheckBytes) {
  const Bytes packet = {0x7E, 0x7D, 0x11, 0x7E, 0x00};
  Bytes frame = Encode(packet, 1);
  const std::size_t n = DecodeFrame(frame.data(), frame.size(), frame.data());
  ASSERT_EQ(n, packet.size());
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 5), packet);
  const std::uint16_t fcs = Crc16(packet.data(), packet.size());
  EXPECT_EQ(frame[5], fcs & 0xFF);
  EXPECT_EQ(frame[6], fcs >> 8);
}

TEST(DecodeFrame, RejectsTooShortEmptyAndFlagOnlyInput) {
  // The check bytes of an empty packet: good residue but no packet.
  const std::uint16_t emptyFcs = 0x0000;  // Crc16 of nothing
  EXPECT_EQ(Decode({static_cast<std::uint8_t>(emptyFcs), static_cast<std::uint8_t>(emptyFcs >> 8), 0x7E}), 0u);
  EXPECT_EQ(Decode({}), 0u);
  EXPECT_EQ(Decode({0x7E}), 0u);
  EXPECT_EQ(Decode({0x7E, 0x7E}), 0u);
  EXPECT_EQ(Decode({0x41}), 0u);
}

TEST(DecodeFrame, InnerFlagIsData) {
  // Only one flag is dropped at each end; a second one is body data and
  // breaks the residue.
  EXPECT_EQ(Decode({0x7E, 0x7E, 0x00, 0x01, 0x02, 0x06, 0xFC, 0x7E}), 0u);
  EXPECT_EQ(Decode({0x00, 0x01, 0x02, 0x06, 0xFC, 0x7E, 0x7E}), 0u);
}

TEST(DecodeFrame, LoneEscapeAtTheEndIsRejectedWithoutOverread) {
  // A body ending in 0x7D has nothing to unstuff; the decoder must stop at
  // the input's end (the exact-size buffer makes an overread visible).
  EXPECT_EQ(Decode({0x7E, 0x00, 0x01, 0x02, 0x06, 0xFC, 0x7D}), 0u);
  EXPECT_EQ(Decode({0x7D}), 0u);
  EXPECT_EQ(Decode({0x7D, 0x7E}), 0u);
}

TEST(DecodeFrame, EveryFlippedBitIsRejected) {
  const Bytes packet = {0x4B, 0x0F, 0x00, 0x00, 0x01, 0x20, 0x33};
  const Bytes frame = Encode(packet, 1);
  ASSERT_EQ(Decode(frame), packet.size());
  // Flip each bit between the flags; a flip that creates a flag or escape
  // byte still must not produce an accepted frame.
  for (std::size_t i = 1; i + 1 < frame.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      Bytes bad = frame;
      bad[i] ^= static_cast<std::uint8_t>(1u << bit);
      EXPECT_EQ(Decode(bad), 0u) << "byte " << i << " bit " << bit;
    }
  }
}

TEST(DecodeFrame, RoundTripsEveryByteValue) {
  Bytes packet(256);
  for (int i = 0; i < 256; ++i) packet[i] = static_cast<std::uint8_t>(i);
  for (const int flag : {0, 1}) {
    Bytes decoded;
    ASSERT_EQ(Decode(Encode(packet, flag), &decoded), packet.size());
    EXPECT_EQ(decoded, packet);
  }
}

}  // namespace
}  // namespace orvane
