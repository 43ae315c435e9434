// How the relay takes one connection's byte stream apart.
#include "routersim/relay_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/frames.h"

namespace orvane::routersim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using orvane::test::Framed;

struct Recorder : IRelayEvents {
  std::vector<Trigger> triggers;
  Bytes image;
  int imageEnds = 0;
  std::vector<Bytes> wires;
  std::vector<Bytes> packets;
  std::string order;  // T trigger, I image bytes, E image end, M module piece

  void OnTrigger(const Trigger& t) override {
    triggers.push_back(t);
    order += 'T';
  }
  void OnImageBytes(std::span<const std::uint8_t> b) override {
    image.insert(image.end(), b.begin(), b.end());
    if (order.empty() || order.back() != 'I') order += 'I';
  }
  void OnImageEnd() override {
    ++imageEnds;
    order += 'E';
  }
  void OnModulePiece(std::span<const std::uint8_t> wire, std::span<const std::uint8_t> packet) override {
    wires.emplace_back(wire.begin(), wire.end());
    packets.emplace_back(packet.begin(), packet.end());
    order += 'M';
  }
};

Bytes TriggerFrame(const char* magic, std::uint32_t length) {
  Bytes p(40, 0);
  p[0] = 0xFF;
  std::memcpy(p.data() + 1, magic, 29);
  for (int i = 0; i < 4; ++i) p[30 + i] = static_cast<std::uint8_t>(length >> (8 * i));
  return Framed(p, true);
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// An image made of the bytes that mean something to a framer, so that any
// framing applied to it shows.
Bytes NastyImage(std::size_t n) {
  Bytes image(n);
  for (std::size_t i = 0; i < n; ++i) image[i] = i % 3 == 0 ? 0x7E : (i % 3 == 1 ? 0x7D : static_cast<std::uint8_t>(i));
  return image;
}

TEST(RelayStream, RouterTriggerTakesExactlyTheNextLBytesRaw) {
  const Bytes image = NastyImage(7301);
  const Bytes diag = Framed({0x00, 0x01, 0x02}, true);
  const Bytes stream = TriggerFrame("Kavrin RUT Begin Download Pkt", 7301) + image + diag;

  // Byte by byte and all at once must give the same result.
  for (const std::size_t chunk : {std::size_t{1}, std::size_t{1000}, stream.size()}) {
    RelayStream relay;
    Recorder r;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      relay.Feed(std::span(stream).subspan(at, std::min(chunk, stream.size() - at)), r);
    }
    ASSERT_EQ(1u, r.triggers.size());
    EXPECT_EQ(7301u, r.triggers[0].totalLength);
    EXPECT_EQ(image, r.image) << "chunk " << chunk;
    EXPECT_EQ("TIEM", r.order);
    ASSERT_EQ(1u, r.wires.size());
    EXPECT_EQ(diag, r.wires[0]);
    EXPECT_EQ((Bytes{0x00, 0x01, 0x02}), r.packets[0]);
    EXPECT_FALSE(relay.InImage());
  }
}

TEST(RelayStream, ZeroLengthImageEndsAtOnce) {
  RelayStream relay;
  Recorder r;
  relay.Feed(TriggerFrame("Kavrin RUT Begin Download Pkt", 0) + Framed({0x4B, 0x01}, true), r);
  EXPECT_EQ("TEM", r.order);
  EXPECT_TRUE(r.image.empty());
}

TEST(RelayStream, ModuleTriggersAreNotedAndTakeNoImage) {
  RelayStream relay;
  Recorder r;
  const Bytes next = Framed({0x7E, 0x7D, 0x10}, true);
  relay.Feed(TriggerFrame("Kavrin FWT Begin Download Pkt", 5) + TriggerFrame("Kavrin FWT Force Download Pkt", 0) + next,
             r);
  ASSERT_EQ(2u, r.triggers.size());
  EXPECT_EQ(TriggerKind::kModuleBegin, r.triggers[0].kind);
  EXPECT_EQ(TriggerKind::kModuleForce, r.triggers[1].kind);
  EXPECT_EQ("TTM", r.order);
  EXPECT_EQ(next, r.wires[0]);
  EXPECT_EQ((Bytes{0x7E, 0x7D, 0x10}), r.packets[0]);
}

TEST(RelayStream, ModemSwitchTextReachesTheModuleUnchanged) {
  RelayStream relay;
  Recorder r;
  const Bytes modem = Text("AT$QCDMG\r~");
  relay.Feed(modem, r);
  ASSERT_EQ(1u, r.wires.size());
  EXPECT_EQ(modem, r.wires[0]);
  EXPECT_TRUE(r.packets[0].empty()) << "not a frame: no packet";
}

TEST(RelayStream, PiecesConcatenateToTheStreamWhateverTheFlags) {
  // Frames with and without opening flag, a lone flag and a double flag: the
  // module sees every byte once, in order.
  const Bytes stream = Framed({0x4B, 0x0F}, false) + Bytes{0x7E} + Framed({0x0C}, true) + Bytes{0x7E} + Framed({0x29, 0x02}, true);
  RelayStream relay;
  Recorder r;
  relay.Feed(stream, r);
  Bytes joined;
  for (const Bytes& w : r.wires) joined = joined + w;
  EXPECT_EQ(stream, joined);
  ASSERT_EQ(3u, r.packets.size());
  EXPECT_EQ((Bytes{0x4B, 0x0F}), r.packets[0]);
  EXPECT_EQ((Bytes{0x0C}), r.packets[1]) << "extra opening flags must not spoil the frame";
  EXPECT_EQ((Bytes{0x29, 0x02}), r.packets[2]);
}

TEST(RelayStream, TriggerBehindExtraFlagsIsStillATrigger) {
  RelayStream relay;
  Recorder r;
  relay.Feed(Bytes{0x7E, 0x7E} + TriggerFrame("Kavrin RUT Begin Download Pkt", 2) + Bytes{0x7E, 0x7E}, r);
  EXPECT_EQ("TIE", r.order);
  EXPECT_EQ((Bytes{0x7E, 0x7E}), r.image);
}

TEST(RelayStream, BytesWithoutAFlagAreHandedOnAtTheLimit) {
  RelayStream relay;
  Recorder r;
  const Bytes run(RelayStream::kMaxPieceBytes + 5, 0x41);
  relay.Feed(run, r);
  ASSERT_EQ(1u, r.wires.size());
  EXPECT_EQ(RelayStream::kMaxPieceBytes, r.wires[0].size());
  EXPECT_EQ(5u, relay.PendingBytes());
}

}  // namespace
}  // namespace orvane::routersim
