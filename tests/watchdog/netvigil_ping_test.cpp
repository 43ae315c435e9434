// The echo request, the judgement of replies and the counter table.
#include <string.h>

#include <string>
#include <vector>

#include "watchdog/netvigil.h"
#include "watchdog_test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The checksum as it lands in the message: two bytes in network order.
Bytes ChecksumBytes(const Bytes& message) {
  const uint16_t sum = nv::icmp_checksum(message.data(), static_cast<int>(message.size()));
  Bytes field(2);
  memcpy(field.data(), &sum, 2);
  return field;
}

TEST(IcmpChecksum, MatchesPublishedAndHandWorkedVectors) {
  // RFC 1071, section 3: the words 0001 f203 f4f5 f6f7 sum to ddf2 (carries
  // folded); the checksum is its complement, 220d.
  EXPECT_EQ(ChecksumBytes({0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}), (Bytes{0x22, 0x0d}));
  // Odd length: the last byte is the high byte of a word padded with zero:
  // 0001 + f200 = f201, complement 0dfe.
  EXPECT_EQ(ChecksumBytes({0x00, 0x01, 0xf2}), (Bytes{0x0d, 0xfe}));
  // A carry that needs the second fold: ffff + ffff + 0001 = 1 ffff; folded
  // once 1 0000, twice 0001; complement fffe.
  EXPECT_EQ(ChecksumBytes({0xff, 0xff, 0xff, 0xff, 0x00, 0x01}), (Bytes{0xff, 0xfe}));
}

TEST(IcmpChecksum, EchoRequestIsTheZeroedMessageWithItsChecksum) {
  unsigned char packet[nv::kEchoRequestSize];
  memset(packet, 0xAA, sizeof packet);  // every byte must be written
  nv::build_echo_request(packet);
  // Type 8, code 0, checksum ~0800 = f7ff, identifier 0, sequence 0, data 0.
  Bytes expected(nv::kEchoRequestSize, 0);
  expected[0] = 0x08;
  expected[2] = 0xf7;
  expected[3] = 0xff;
  EXPECT_EQ(Bytes(packet, packet + sizeof packet), expected);
  // A receiver summing the whole message, checksum included, gets zero.
  EXPECT_EQ(nv::icmp_checksum(packet, sizeof packet), 0);
}

// An IPv4 datagram of `length` bytes whose header is `header_words` × 4
// bytes long, carrying ICMP type `type`.
Bytes Datagram(int length, unsigned char type, int header_words = 5) {
  Bytes datagram(length, 0);
  datagram[0] = static_cast<unsigned char>(0x40 | header_words);
  if (header_words * 4 < length) datagram[header_words * 4] = type;
  return datagram;
}

nv::reply_verdict Judge(const Bytes& datagram) {
  return nv::judge_reply(datagram.data(), static_cast<int>(datagram.size()));
}

TEST(EchoReply, OnlyAnEchoReplyOfAtLeast76BytesAnswers) {
  EXPECT_EQ(Judge(Datagram(76, 0)), nv::REPLY_SUCCESS);
  EXPECT_EQ(Judge(Datagram(75, 0)), nv::REPLY_FAILURE);
  EXPECT_EQ(Judge(Datagram(20, 0)), nv::REPLY_FAILURE);
  // The full answer to the 192-byte request is 212 bytes; the receive buffer
  // keeps 192 of them.
  EXPECT_EQ(Judge(Datagram(nv::kReplyBufferSize, 0)), nv::REPLY_SUCCESS);
  // Destination unreachable, time exceeded: an answer, but not the one hoped for.
  EXPECT_EQ(Judge(Datagram(192, 3)), nv::REPLY_FAILURE);
  EXPECT_EQ(Judge(Datagram(192, 11)), nv::REPLY_FAILURE);
}

TEST(EchoReply, TypeIsReadBehindAHeaderWithOptions) {
  // A 24-byte header: byte 20 is an option, the type is at 24.
  Bytes datagram = Datagram(100, 0, 6);
  datagram[20] = 3;
  EXPECT_EQ(Judge(datagram), nv::REPLY_SUCCESS);
  datagram[24] = 3;
  EXPECT_EQ(Judge(datagram), nv::REPLY_FAILURE);
  // The longest header (15 words): the type at 60 is still inside 76 bytes.
  EXPECT_EQ(Judge(Datagram(76, 0, 15)), nv::REPLY_SUCCESS);
}

TEST(EchoReply, EchoRequestsAreNeitherAnswerNorFailure) {
  // Our own request looped back (the server is this host) or someone else's
  // ping of the router comes in ahead of the reply; waiting goes on.
  EXPECT_EQ(Judge(Datagram(192, 8)), nv::REPLY_IGNORED);
  EXPECT_EQ(Judge(Datagram(75, 8)), nv::REPLY_FAILURE);  // too short decides first
}

class PingWithoutNetwork : public watchdog_test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    log_ = folder_ / "netvigil.log";
    nv::g_log_file = log_.c_str();
  }
  void TearDown() override {
    nv::g_log_file = nv::kLogFile;
    StoreTest::TearDown();
  }
  std::string log_;
};

TEST_F(PingWithoutNetwork, NoServerOrNoSocketFailsAtOnceWithoutALine) {
  EXPECT_EQ(nv::netvigil("", 0), -1);
  EXPECT_EQ(nv::netvigil(nullptr, 0), -1);
  // No raw socket (the daemon lacks the privilege): nothing is sent, nothing
  // waited for, no descriptor misused.
  EXPECT_EQ(nv::netvigil("127.0.0.1", -1), -1);
  EXPECT_EQ(watchdog_test::ReadFile(log_), "");
}

struct Step {
  bool success;
  int32_t i, k, K, N;
  nv::step_kind kind;
  int32_t new_i, new_k;
};

TEST(PingCounters, EveryOutcomeOfTheTable) {
  const Step steps[] = {
      // success resets both counters, wherever they were
      {true, 2, 3, 3, 2, nv::STEP_SUCCESS, 1, 1},
      {true, 1, 1, 0, 0, nv::STEP_SUCCESS, 1, 1},
      // failure, k != K: the next attempt on the same server
      {false, 1, 1, 3, 2, nv::STEP_NEXT_ATTEMPT, 1, 2},
      {false, 2, 2, 3, 2, nv::STEP_NEXT_ATTEMPT, 2, 3},
      // failure, k = K, i != N: the next server, first attempt
      {false, 1, 3, 3, 2, nv::STEP_NEXT_SERVER, 2, 1},
      // failure, k = K, i = N: reboot, counters left as they are
      {false, 2, 3, 3, 2, nv::STEP_REBOOT, 2, 3},
      {false, 1, 1, 1, 1, nv::STEP_REBOOT, 1, 1},
      // ping_out_times missing (K = 0): the counter only grows
      {false, 1, 1, 0, 1, nv::STEP_NEXT_ATTEMPT, 1, 2},
      {false, 1, 500, 0, 1, nv::STEP_NEXT_ATTEMPT, 1, 501},
      // an index above N moves on and never matches N again: no reboot
      {false, 5, 3, 3, 2, nv::STEP_NEXT_SERVER, 6, 1},
      // counters at the top of the range stay there instead of wrapping
      {false, 1, INT32_MAX, 0, 1, nv::STEP_NEXT_ATTEMPT, 1, INT32_MAX},
  };
  for (const Step& s : steps) {
    const nv::ping_step got = nv::next_step(s.success, s.i, s.k, s.K, s.N);
    EXPECT_EQ(got.kind, s.kind) << "i=" << s.i << " k=" << s.k << " K=" << s.K << " N=" << s.N;
    EXPECT_EQ(got.index, s.new_i) << "i=" << s.i << " k=" << s.k;
    EXPECT_EQ(got.attempt, s.new_k) << "i=" << s.i << " k=" << s.k;
  }
}

}  // namespace
