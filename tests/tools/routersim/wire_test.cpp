// The router's side of the packet formats, checked against byte layouts
// written out by hand here rather than against the builders they test.
#include "routersim/wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "diag/framing.h"
#include "support/frames.h"

namespace orvane::routersim {
namespace {

ControlPacket Request(std::uint8_t type) {
  ControlPacket p{};
  p[0] = type;
  // Something in every field, so that an echo that rebuilds instead of
  // copying shows.
  const std::uint8_t rest[] = {192, 168, 1, 1, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 'h', 'i'};
  std::memcpy(p.data() + 1, rest, sizeof rest);
  p[31] = 0x7E;
  return p;
}

TriggerPacket TriggerBytes(const char* magic, std::uint32_t length) {
  TriggerPacket p{};
  p[0] = 0xFF;
  std::memcpy(p.data() + 1, magic, 29);
  p[30] = static_cast<std::uint8_t>(length);
  p[31] = static_cast<std::uint8_t>(length >> 8);
  p[32] = static_cast<std::uint8_t>(length >> 16);
  p[33] = static_cast<std::uint8_t>(length >> 24);
  return p;
}

TEST(ControlAnswer, DiscoveryCarriesAddressMacAndTextAtTheirOffsets) {
  const Identity id{{127, 0, 0, 1}, {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01}, "2.1.0.3.7"};
  ControlPacket request{};
  request[0] = kControlDiscover;
  const auto reply = AnswerControl(request, id);
  ASSERT_TRUE(reply);
  const std::uint8_t expected[32] = {1,   127, 0,   0,   1,   0x02, 0x00, 0x5E, 0x10, 0x00, 0x01,
                                     '2', '.', '1', '.', '0', '.',  '3',  '.',  '7',  0,    0,
                                     0,   0,   0,   0,   0,   0,    0,    0,    0,    0};
  EXPECT_EQ(0, std::memcmp(reply->data(), expected, 32));
}

TEST(ControlAnswer, VersionTextFillsTheFieldWithoutTerminatorAndIsCutThere) {
  Identity id{{10, 0, 0, 1}, {1, 2, 3, 4, 5, 6}, std::string(21, 'v')};
  ControlPacket request{};
  request[0] = kControlDiscover;
  auto reply = AnswerControl(request, id);
  ASSERT_TRUE(reply);
  EXPECT_TRUE(std::all_of(reply->begin() + 11, reply->end(), [](std::uint8_t b) { return b == 'v'; }));

  id.versionText = std::string(30, 'w');
  reply = AnswerControl(request, id);
  ASSERT_TRUE(reply);
  EXPECT_TRUE(std::all_of(reply->begin() + 11, reply->end(), [](std::uint8_t b) { return b == 'w'; }));
}

TEST(ControlAnswer, EraseForcedDownloadAndProbeAreEchoedByteForByte) {
  const Identity id{{1, 2, 3, 4}, {9, 9, 9, 9, 9, 9}, "x"};
  for (const std::uint8_t type : {kControlEraseNvram, kControlForceDownload, kControlProbe}) {
    const ControlPacket request = Request(type);
    const auto reply = AnswerControl(request, id);
    ASSERT_TRUE(reply) << int(type);
    EXPECT_EQ(request, *reply) << int(type);
  }
}

TEST(ControlAnswer, OtherTypesAndOtherLengthsGetNoAnswer) {
  const Identity id{{1, 2, 3, 4}, {9, 9, 9, 9, 9, 9}, "x"};
  for (const std::uint8_t type : {0, 2, 5, 8, 9, 11, 0xFF}) {
    EXPECT_FALSE(AnswerControl(Request(static_cast<std::uint8_t>(type)), id)) << type;
  }
  const ControlPacket probe = Request(kControlProbe);
  EXPECT_FALSE(AnswerControl(std::span(probe).first(31), id));
  std::vector<std::uint8_t> longer(probe.begin(), probe.end());
  longer.push_back(0);
  EXPECT_FALSE(AnswerControl(longer, id));
}

TEST(Trigger, TheThreeMagicTextsAndTheLittleEndianLength) {
  const auto rut = ParseTrigger(TriggerBytes("Kavrin RUT Begin Download Pkt", 0x01020304));
  ASSERT_TRUE(rut);
  EXPECT_EQ(TriggerKind::kRouterBegin, rut->kind);
  EXPECT_EQ(0x01020304u, rut->totalLength);

  const auto begin = ParseTrigger(TriggerBytes("Kavrin FWT Begin Download Pkt", 0));
  ASSERT_TRUE(begin);
  EXPECT_EQ(TriggerKind::kModuleBegin, begin->kind);
  const auto force = ParseTrigger(TriggerBytes("Kavrin FWT Force Download Pkt", 0));
  ASSERT_TRUE(force);
  EXPECT_EQ(TriggerKind::kModuleForce, force->kind);
}

TEST(Trigger, AnythingElseIsNotATrigger) {
  TriggerPacket p = TriggerBytes("Kavrin RUT Begin Download Pkt", 7300);
  p[0] = 0xFE;
  EXPECT_FALSE(ParseTrigger(p));
  p = TriggerBytes("Kavrin RUT Begin Download Pkx", 7300);
  EXPECT_FALSE(ParseTrigger(p));
  p = TriggerBytes("Kavrin RUT Begin Download Pkt", 7300);
  EXPECT_FALSE(ParseTrigger(std::span(p).first(39)));
  std::vector<std::uint8_t> longer(p.begin(), p.end());
  longer.push_back(0);
  EXPECT_FALSE(ParseTrigger(longer));
}

TEST(ResultPacket, LeadByteAndLittleEndianCode) {
  const auto packet = BuildResultPacket(0x00000104);
  EXPECT_EQ(0xFF, packet[0]);
  EXPECT_EQ(0x04, packet[30]);
  EXPECT_EQ(0x01, packet[31]);
  EXPECT_EQ(0x00, packet[32]);
  EXPECT_EQ(0x00, packet[33]);
  EXPECT_TRUE(std::all_of(packet.begin() + 34, packet.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST(FrameReply, DecodesBackAndTheCorruptOneIsStuffedButRejected) {
  // Bytes that need stuffing, in the packet and (for some codes) the CRC.
  for (std::uint32_t code = 0; code < 64; ++code) {
    auto packet = BuildResultPacket(code == 0 ? 0x7D7E : code);
    packet[35] = 0x7E;
    for (const bool corrupt : {false, true}) {
      const std::vector<std::uint8_t> frame = FrameReply(packet, corrupt);
      ASSERT_GE(frame.size(), 44u);
      EXPECT_EQ(FRAME_FLAG, frame.front());
      EXPECT_EQ(FRAME_FLAG, frame.back());
      EXPECT_EQ(frame.end() - 1, std::find(frame.begin() + 1, frame.end(), FRAME_FLAG)) << "unstuffed flag inside";
      const auto decoded = orvane::test::Unframed(frame);
      if (corrupt) {
        EXPECT_FALSE(decoded) << code;
      } else {
        EXPECT_EQ(std::vector<std::uint8_t>(packet.begin(), packet.end()), decoded) << code;
      }
    }
  }
}

TEST(AddressText, Ipv4AndMacParsing) {
  EXPECT_EQ((Ipv4{192, 168, 1, 1}), ParseIpv4("192.168.1.1"));
  EXPECT_EQ((Ipv4{0, 0, 0, 0}), ParseIpv4("0.0.0.0"));
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "1.2.3.4 ", "a.b.c.d", "-1.2.3.4"}) {
    EXPECT_FALSE(ParseIpv4(bad)) << bad;
  }
  EXPECT_EQ("10.0.200.7", FormatIpv4({10, 0, 200, 7}));

  EXPECT_EQ((Mac{0x02, 0x00, 0x5E, 0xAB, 0xcd, 0xFF}), ParseMac("02:00:5e:AB:cd:ff"));
  EXPECT_EQ((Mac{1, 2, 3, 4, 5, 6}), ParseMac("01-02-03-04-05-06"));
  for (const char* bad : {"", "01:02:03:04:05", "01:02:03:04:05:06:07", "01:02-03:04:05:06", "0g:02:03:04:05:06"}) {
    EXPECT_FALSE(ParseMac(bad)) << bad;
  }
}

}  // namespace
}  // namespace orvane::routersim
