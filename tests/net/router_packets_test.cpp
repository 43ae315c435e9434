// The router's packets on the relay connection, byte for byte: the trigger
// the updater sends and the verdict it takes from the router.
#include "net/router_packets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Trigger(const std::string& magic, Bytes length) {
  Bytes packet{0xFF};
  packet.insert(packet.end(), magic.begin(), magic.end());
  packet.insert(packet.end(), length.begin(), length.end());
  packet.resize(40, 0x00);
  return packet;
}

TEST(RouterPacketsTest, EachTriggerIsItsMagicTextAndTheLengthLittleEndian) {
  const auto rut = BuildTriggerPacket(TRIGGER_RUT_BEGIN, 0x0A0B0C0D);
  EXPECT_EQ(Bytes(rut.begin(), rut.end()), Trigger("Kavrin RUT Begin Download Pkt", {0x0D, 0x0C, 0x0B, 0x0A}));
  // The module's triggers announce no length.
  const auto fwt = BuildTriggerPacket(TRIGGER_FWT_BEGIN, 0);
  EXPECT_EQ(Bytes(fwt.begin(), fwt.end()), Trigger("Kavrin FWT Begin Download Pkt", {}));
  const auto force = BuildTriggerPacket(TRIGGER_FWT_FORCE, 0);
  EXPECT_EQ(Bytes(force.begin(), force.end()), Trigger("Kavrin FWT Force Download Pkt", {}));
}

TEST(RouterPacketsTest, AVerdictIsFortyBytesLedBy0xFFWithItsCodeAtOffset30) {
  Bytes verdict(40, 0xEE);  // the bytes around the code are not examined
  verdict[0] = 0xFF;
  verdict[30] = 0x04;
  verdict[31] = 0x03;
  verdict[32] = 0x02;
  verdict[33] = 0x01;
  std::uint32_t code = 0;
  ASSERT_TRUE(ParseResultPacket(verdict.data(), verdict.size(), &code));
  EXPECT_EQ(code, 0x01020304u);

  verdict[30] = ROUTER_RESULT_OK;
  verdict[31] = verdict[32] = verdict[33] = 0;
  ASSERT_TRUE(ParseResultPacket(verdict.data(), verdict.size(), &code));
  EXPECT_EQ(code, 4u) << "the router's code for an accepted image";

  // Not a verdict: another lead byte, one byte short or over. The code is
  // left alone.
  code = 77;
  Bytes other = verdict;
  other[0] = 0xFE;
  EXPECT_FALSE(ParseResultPacket(other.data(), other.size(), &code));
  EXPECT_FALSE(ParseResultPacket(verdict.data(), 39, &code));
  Bytes longer = verdict;
  longer.push_back(0);
  EXPECT_FALSE(ParseResultPacket(longer.data(), longer.size(), &code));
  EXPECT_EQ(code, 77u);
}

}  // namespace
}  // namespace orvane
