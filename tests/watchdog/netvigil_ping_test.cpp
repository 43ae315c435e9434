// The echo request, the judgement of replies, the counter table and the
// checks of the stored counts.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iterator>
#include <utility>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "watchdog/netvigil.h"
#include "watchdog/nvram/nvram_read.h"
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

TEST(IcmpChecksum, EchoRequestCarriesIdentifierAndSequenceInNetworkOrder) {
  unsigned char packet[nv::kEchoRequestSize];
  memset(packet, 0xAA, sizeof packet);  // every byte must be written
  nv::build_echo_request(packet, 0x1234, 0x0102);
  // Type 8, code 0, identifier 12 34, sequence 01 02, zero data; checksum
  // ~(0800 + 1234 + 0102) = ~1b36 = e4c9.
  Bytes expected(nv::kEchoRequestSize, 0);
  expected[0] = 0x08;
  expected[2] = 0xe4;
  expected[3] = 0xc9;
  expected[4] = 0x12;
  expected[5] = 0x34;
  expected[6] = 0x01;
  expected[7] = 0x02;
  EXPECT_EQ(Bytes(packet, packet + sizeof packet), expected);
  // A receiver summing the whole message, checksum included, gets zero.
  EXPECT_EQ(nv::icmp_checksum(packet, sizeof packet), 0);
  EXPECT_NE(nv::echo_identifier(), 0);
}

// ---- which datagram answers the request ------------------------------------

constexpr unsigned char kPinged[4] = {192, 0, 2, 7};
constexpr unsigned char kOther[4] = {192, 0, 2, 99};

nv::pending_echo SentEcho() {
  nv::pending_echo sent{};
  memcpy(sent.destination, kPinged, 4);
  nv::build_echo_request(sent.request, 0x4242, 7);
  return sent;
}

// An IPv4 datagram from `source` with a header of `header_words` × 4 bytes,
// carrying `icmp`, cut to the receive buffer as the daemon's receive cuts it.
Bytes Datagram(const unsigned char (&source)[4], const Bytes& icmp, int header_words = 5) {
  Bytes datagram(static_cast<size_t>(header_words) * 4, 0);
  datagram[0] = static_cast<unsigned char>(0x40 | header_words);
  datagram[9] = 1;  // ICMP
  memcpy(&datagram[12], source, 4);
  datagram.insert(datagram.end(), icmp.begin(), icmp.end());
  if (datagram.size() > static_cast<size_t>(nv::kReplyBufferSize)) {
    datagram.resize(nv::kReplyBufferSize);
  }
  return datagram;
}

// The echo reply a faithful host sends back: the request with type 0.
Bytes FaithfulReply(const nv::pending_echo& sent) {
  Bytes icmp(sent.request, sent.request + nv::kEchoRequestSize);
  icmp[0] = 0;
  return icmp;
}

// An ICMP error of `type` quoting the IPv4 header of a datagram to
// `destination` and the first 8 bytes of `request`.
Bytes ErrorQuoting(unsigned char type, const unsigned char (&destination)[4],
                   const unsigned char* request) {
  Bytes icmp = {type, 1, 0, 0, 0, 0, 0, 0};
  Bytes original(20, 0);
  original[0] = 0x45;
  original[9] = 1;
  memcpy(&original[16], destination, 4);
  icmp.insert(icmp.end(), original.begin(), original.end());
  icmp.insert(icmp.end(), request, request + 8);
  return icmp;
}

nv::reply_verdict Judge(const Bytes& datagram, const nv::pending_echo& sent) {
  return nv::judge_reply(datagram.data(), static_cast<int>(datagram.size()), sent);
}

TEST(EchoReply, OnlyTheReplyToTheRequestFromThePingedAddressAnswers) {
  const nv::pending_echo sent = SentEcho();
  const Bytes reply = FaithfulReply(sent);
  // The full answer is 212 bytes; the receive buffer keeps 192 of them.
  EXPECT_EQ(Judge(Datagram(kPinged, reply), sent), nv::REPLY_SUCCESS);
  // Another address answering with the right bytes: a forged source.
  EXPECT_EQ(Judge(Datagram(kOther, reply), sent), nv::REPLY_IGNORED);
  // Another program's ping (identifier), an earlier request (sequence), a
  // reply whose data is not ours.
  for (const size_t at : {size_t{5}, size_t{7}, size_t{100}, size_t{171}}) {
    Bytes changed = reply;
    changed[at] ^= 0x01;
    EXPECT_EQ(Judge(Datagram(kPinged, changed), sent), nv::REPLY_IGNORED) << "byte " << at;
  }
}

TEST(EchoReply, LengthAndHeaderAreReadFromTheDatagram) {
  const nv::pending_echo sent = SentEcho();
  const Bytes reply = FaithfulReply(sent);
  // 76 bytes is enough, 75 is not.
  Bytes datagram = Datagram(kPinged, reply);
  datagram.resize(76);
  EXPECT_EQ(Judge(datagram, sent), nv::REPLY_SUCCESS);
  datagram.resize(75);
  EXPECT_EQ(Judge(datagram, sent), nv::REPLY_IGNORED);
  // A header with options: the ICMP message starts behind it, and the data
  // is compared as far as the buffer holds it.
  datagram = Datagram(kPinged, reply, 15);
  EXPECT_EQ(Judge(datagram, sent), nv::REPLY_SUCCESS);
  datagram[60 + 8] = 1;
  EXPECT_EQ(Judge(datagram, sent), nv::REPLY_IGNORED);
  // No IPv4 header at all.
  datagram = Datagram(kPinged, reply);
  datagram[0] = 0x65;
  EXPECT_EQ(Judge(datagram, sent), nv::REPLY_IGNORED);
  EXPECT_EQ(Judge(Bytes{0x45, 0, 0}, sent), nv::REPLY_IGNORED);
}

TEST(EchoReply, EchoRequestsArePassedOver) {
  // Our own request looped back (the server is this host) comes in ahead of
  // the reply; waiting goes on.
  const nv::pending_echo sent = SentEcho();
  const Bytes own(sent.request, sent.request + nv::kEchoRequestSize);
  EXPECT_EQ(Judge(Datagram(kPinged, own), sent), nv::REPLY_IGNORED);
}

TEST(EchoReply, AnErrorFailsOnlyWhenItQuotesTheRequest) {
  const nv::pending_echo sent = SentEcho();
  for (const unsigned char type : {3, 11, 12}) {
    EXPECT_EQ(Judge(Datagram(kOther, ErrorQuoting(type, kPinged, sent.request)), sent),
              nv::REPLY_FAILURE)
        << "type " << int{type};
  }
  // About another packet: another destination, another identifier.
  EXPECT_EQ(Judge(Datagram(kOther, ErrorQuoting(3, kOther, sent.request)), sent),
            nv::REPLY_IGNORED);
  unsigned char foreign[nv::kEchoRequestSize];
  nv::build_echo_request(foreign, 0x4243, 7);
  EXPECT_EQ(Judge(Datagram(kOther, ErrorQuoting(3, kPinged, foreign)), sent), nv::REPLY_IGNORED);
  // Cut inside the quoted request: nothing to tell.
  Bytes cut = Datagram(kOther, ErrorQuoting(3, kPinged, sent.request));
  cut.resize(cut.size() - 1);
  EXPECT_EQ(Judge(cut, sent), nv::REPLY_IGNORED);
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

// A TCP port of loopback that listens (the kernel completes connections to
// it without an accept), or, once closed, refuses.
class LoopbackListener {
 public:
  LoopbackListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      Close();
      return;
    }
    port_ = ntohs(address.sin_port);
  }
  ~LoopbackListener() { Close(); }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  bool ok() const { return fd_ >= 0; }
  uint16_t port() const { return port_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

TEST_F(PingWithoutNetwork, TcpProbeOfLoopbackCountsAnOpenedAndARefusedConnectionAsAnswers) {
  LoopbackListener listener;
  ASSERT_TRUE(listener.ok()) << "no TCP socket on loopback";
  nv::tcp_target target{"127.0.0.1", listener.port()};
  const std::string port = std::to_string(listener.port());
  EXPECT_EQ(nv::tcp_probe(target), 0);
  // Nobody listens any more: the host's refusal still answers.
  listener.Close();
  EXPECT_EQ(nv::tcp_probe(target), 0);
  EXPECT_EQ(watchdog_test::ReadFile(log_),
            "[INFO] [ netvigil:  280]:Connected to TCP port " + port + "!\n"
            "[INFO] [ netvigil:  281]:TCP port " + port + " refused: the host answers!\n");
  // No host fails without a connection or a line.
  nv::tcp_target empty{"", 80};
  EXPECT_EQ(nv::tcp_probe(empty), -1);
  EXPECT_EQ(watchdog_test::SplitLines(watchdog_test::ReadFile(log_)).size(), 2u);
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
      // failure, k != K: the next attempt on the same server
      {false, 1, 1, 3, 2, nv::STEP_NEXT_ATTEMPT, 1, 2},
      {false, 2, 2, 3, 2, nv::STEP_NEXT_ATTEMPT, 2, 3},
      // failure, k = K, i != N: the next server, first attempt
      {false, 1, 3, 3, 2, nv::STEP_NEXT_SERVER, 2, 1},
      // failure, k = K, i = N: reboot, counters left as they are
      {false, 2, 3, 3, 2, nv::STEP_REBOOT, 2, 3},
      {false, 1, 1, 1, 1, nv::STEP_REBOOT, 1, 1},
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

TEST(SettingsCheck, SoundCountsAreLeftExactlyAsStored) {
  for (int32_t N = 1; N <= 3; ++N) {
    for (int32_t K = 1; K <= 3; ++K) {
      for (int32_t i = 1; i <= N; ++i) {
        for (int32_t k = 1; k <= K; ++k) {
          nv::pass_counts counts{i, k, K, N};
          EXPECT_EQ(nv::check_counts(counts), 0u) << i << k << K << N;
          EXPECT_EQ(counts.index, i);
          EXPECT_EQ(counts.attempt, k);
          EXPECT_EQ(counts.attempts, K);
          EXPECT_EQ(counts.servers, N);
        }
      }
    }
  }
}

// Each start checks the counts it read, then takes one step: with the last
// server unreachable, the reboot must come within N × K failures, whatever
// was stored.
TEST(SettingsCheck, NoStoredCountKeepsTheRebootAway) {
  struct Stored {
    nv::pass_counts counts;
    unsigned faults;
  };
  const Stored stored[] = {
      {{1, 1, 0, 1}, nv::FAULT_ATTEMPTS},               // ping_out_times missing
      {{1, 1, -4, 2}, nv::FAULT_ATTEMPTS},              // or negative
      {{5, 3, 3, 2}, nv::FAULT_INDEX},                  // index above N
      {{0, 1, 3, 2}, nv::FAULT_INDEX},                  // index missing
      {{2, 9, 3, 2}, nv::FAULT_ATTEMPT},                // attempt past K
      {{1, 0, 3, 2}, nv::FAULT_ATTEMPT},                // attempt missing
      {{7, 0, 0, 2}, nv::FAULT_ATTEMPTS | nv::FAULT_INDEX},
  };
  for (const Stored& s : stored) {
    nv::pass_counts counts = s.counts;
    EXPECT_EQ(nv::check_counts(counts), s.faults) << "i=" << s.counts.index;
    const int32_t N = s.counts.servers;
    const int32_t K = s.counts.attempts < 1 ? nv::kShippedAttempts : s.counts.attempts;
    int failures = 1;
    for (;; ++failures) {
      const nv::ping_step step =
          nv::next_step(false, counts.index, counts.attempt, counts.attempts, counts.servers);
      if (step.kind == nv::STEP_REBOOT || failures > N * K) break;
      counts = {step.index, step.attempt, s.counts.attempts, N};
      nv::check_counts(counts);
    }
    EXPECT_LE(failures, N * K) << "i=" << s.counts.index << " k=" << s.counts.attempt
                               << " K=" << s.counts.attempts;
  }
  // A negative number of servers configures none.
  nv::pass_counts none{1, 1, 3, -1};
  EXPECT_EQ(nv::check_counts(none), unsigned{nv::FAULT_SERVERS});
  EXPECT_EQ(none.servers, 0);
}

// The fallbacks are the package's own defaults, so a router whose nvram lost
// a setting watches its link as one set up with nvram-defaults.sh does.
TEST(ShippedDefaults, EveryFallbackIsTheValueThePackageShips) {
  const std::map<std::string, std::string> shipped =
      watchdog_test::DefaultsOf(NETVIGIL_DEFAULTS_SCRIPT);
  ASSERT_FALSE(shipped.empty()) << "no settings in " << NETVIGIL_DEFAULTS_SCRIPT;
  for (const nv::shipped_setting& setting : nv::kShippedSettings) {
    const auto found = shipped.find(setting.key);
    ASSERT_NE(found, shipped.end()) << setting.key << " falls back to a value the package lacks";
    EXPECT_EQ(found->second, std::to_string(setting.value)) << setting.key;
  }
}

// Failures in a row, from the first attempt on server 1, until the reboot,
// with ping_out_times and remote_server_number stored as `K` and `N`; each
// start checks the counts as the daemon does. 0 when it never comes.
int FailuresUntilReboot(int32_t K, int32_t N) {
  nv::pass_counts counts{1, 1, K, N};
  for (int failures = 1; failures <= 1000; ++failures) {
    nv::check_counts(counts);
    const nv::ping_step step =
        nv::next_step(false, counts.index, counts.attempt, counts.attempts, counts.servers);
    if (step.kind == nv::STEP_REBOOT) return failures;
    counts = {step.index, step.attempt, K, N};
  }
  return 0;
}

TEST(SettingsCheck, AnUnusableAttemptLimitRebootsNoSoonerThanTheShippedOne) {
  for (int32_t N = 1; N <= 3; ++N) {
    const int shipped = FailuresUntilReboot(nv::kShippedAttempts, N);
    EXPECT_EQ(shipped, N * nv::kShippedAttempts) << "N=" << N;
    for (const int32_t K : {0, -1, INT32_MIN}) {
      EXPECT_EQ(FailuresUntilReboot(K, N), shipped) << "K=" << K << " N=" << N;
    }
    // A limit the operator set is kept, however low.
    EXPECT_EQ(FailuresUntilReboot(1, N), N) << "N=" << N;
  }
}

TEST(RebootRecord, OnlyACommandThatExitedWithZeroSucceededAndTheRecordSaysHowItEnded) {
  struct Case {
    nv::reboot_outcome outcome;
    const char* result;
    bool succeeded;
  };
  const Case cases[] = {
      {{nv::REBOOT_EXITED, 0}, " result=exit-0", true},
      {{nv::REBOOT_EXITED, 1}, " result=exit-1", false},
      {{nv::REBOOT_EXITED, 127}, " result=exit-127", false},
      {{nv::REBOOT_SIGNALLED, 9}, " result=signal-9", false},
      {{nv::REBOOT_NOT_STARTED, 2}, " result=not-started", false},
  };
  for (const Case& c : cases) {
    char record[96];
    nv::format_reboot_record(record, sizeof record, 1700000000, 2, nv::REBOOT_UNREACHABLE);
    const std::string before = record;
    nv::format_reboot_result(record, sizeof record, c.outcome);
    EXPECT_EQ(std::string(record), before + c.result);
    EXPECT_EQ(nv::reboot_succeeded(c.outcome), c.succeeded) << c.result;
  }
}

TEST(UnreadableStore, EveryFailureIsToldApartWithItsDetail) {
  const nvram_failure failures[] = {NVRAM_FAILURE_START,   NVRAM_FAILURE_STATUS,
                                    NVRAM_FAILURE_SIGNAL,  NVRAM_FAILURE_TIMEOUT,
                                    NVRAM_FAILURE_IO,      NVRAM_FAILURE_FILE};
  std::set<std::string> texts;
  for (const nvram_failure failure : failures) {
    char text[64];
    nv::describe_unreadable(text, sizeof text, {NVRAM_UNREADABLE, nullptr, failure, 4321});
    EXPECT_NE(std::string(text).find("4321"), std::string::npos) << text;
    texts.insert(text);
  }
  char memory[64];
  nv::describe_unreadable(memory, sizeof memory,
                          {NVRAM_UNREADABLE, nullptr, NVRAM_FAILURE_MEMORY, 0});
  texts.insert(memory);
  EXPECT_EQ(texts.size(), std::size(failures) + 1);
}

TEST(RebootGuard, HoldsARebootBackOnlyWithinTheGap) {
  const int64_t last = 1700000000;
  EXPECT_TRUE(nv::reboot_allowed(last + 10, last, 0, 1.0));     // no guard
  EXPECT_TRUE(nv::reboot_allowed(last + 10, 0, 600, 1.0));       // no reboot known
  EXPECT_FALSE(nv::reboot_allowed(last + 599, last, 600, 1.0));
  EXPECT_TRUE(nv::reboot_allowed(last + 600, last, 600, 1.0));
  // The clock went back (no real-time clock): it cannot tell, so no hold.
  EXPECT_TRUE(nv::reboot_allowed(last - 5, last, 600, 1.0));
  // At time scale 0.01 six real seconds are 600 s of daemon time.
  EXPECT_FALSE(nv::reboot_allowed(last + 5, last, 600, 0.01));
  EXPECT_TRUE(nv::reboot_allowed(last + 6, last, 600, 0.01));
}

// ---- probes, reboot cap, start-up delay -------------------------------------

TEST(ProbeText, TcpPrefixNamesHostAndPortAndEverythingElseIsAPing) {
  nv::tcp_target target{};
  for (const char* ping : {"127.0.0.1", "ping1.operator.example", "", "tcpx:1.2.3.4:80",
                           "TCP:1.2.3.4:80", "tc:1:2"}) {
    EXPECT_EQ(nv::parse_probe(ping, &target), nv::PROBE_ICMP) << ping;
  }
  EXPECT_EQ(nv::parse_probe("tcp:127.0.0.1:80", &target), nv::PROBE_TCP);
  EXPECT_STREQ(target.host, "127.0.0.1");
  EXPECT_EQ(target.port, 80);
  EXPECT_EQ(nv::parse_probe("tcp:gw.operator.example:65535", &target), nv::PROBE_TCP);
  EXPECT_STREQ(target.host, "gw.operator.example");
  EXPECT_EQ(target.port, 65535);
  EXPECT_EQ(nv::parse_probe("tcp:h:1", &target), nv::PROBE_TCP);
  EXPECT_EQ(target.port, 1);

  // A host as long as the buffer holds, and one byte more.
  const std::string longest(nv::kHostBuffer - 1, 'h');
  EXPECT_EQ(nv::parse_probe(("tcp:" + longest + ":22").c_str(), &target), nv::PROBE_TCP);
  EXPECT_EQ(std::string(target.host), longest);
  const std::string too_long = "tcp:" + longest + "h:22";
  for (const std::string& bad : std::vector<std::string>{
           "tcp:", "tcp:host", "tcp::80", "tcp:host:", "tcp:host:0", "tcp:host:65536",
           "tcp:host:99999999999", "tcp:host:80x", "tcp:host: 80", "tcp:host:-1", "tcp:host:+80",
           "tcp:a:b:80", "tcp:::1:80", too_long}) {
    EXPECT_EQ(nv::parse_probe(bad.c_str(), &target), nv::PROBE_TCP_INVALID) << bad;
  }
}

TEST(RebootCap, TheFourthRebootWithinTheWindowIsHeldBackUntilItHasPassed) {
  const int64_t start = 1700000000;
  nv::reboot_tally tally = nv::parse_reboot_tally("");  // nothing stored yet
  EXPECT_EQ(tally.since, 0);
  for (int32_t n = 1; n <= 3; ++n) {
    EXPECT_TRUE(nv::reboot_within_cap(start + 10 * n, 3, 3600, 1.0, &tally)) << n;
    EXPECT_EQ(tally.since, start + 10) << "the window starts with its first reboot";
    EXPECT_EQ(tally.count, n);
  }
  const nv::reboot_tally full = tally;
  EXPECT_FALSE(nv::reboot_within_cap(start + 3609, 3, 3600, 1.0, &tally));
  EXPECT_EQ(tally.since, full.since);
  EXPECT_EQ(tally.count, full.count);
  // The window over: a new one begins with this reboot.
  EXPECT_TRUE(nv::reboot_within_cap(start + 3610, 3, 3600, 1.0, &tally));
  EXPECT_EQ(tally.since, start + 3610);
  EXPECT_EQ(tally.count, 1);

  // Stored and read back as the daemon keeps it between its starts.
  char text[32];
  nv::format_reboot_tally(text, sizeof text, full);
  const nv::reboot_tally read = nv::parse_reboot_tally(text);
  EXPECT_EQ(read.since, full.since) << text;
  EXPECT_EQ(read.count, full.count) << text;
}

TEST(RebootCap, NoCapWithoutBothSettingsAndNoHoldForAClockThatWentBack) {
  const int64_t now = 1700000000;
  nv::reboot_tally full{now - 5, 3};
  for (const auto& [max, window] : std::vector<std::pair<int32_t, int32_t>>{
           {0, 3600}, {-1, 3600}, {3, 0}, {3, -60}}) {
    nv::reboot_tally tally = full;
    EXPECT_TRUE(nv::reboot_within_cap(now, max, window, 1.0, &tally)) << max << " in " << window;
  }
  // A window that lies in the future (no real-time clock after a restart)
  // starts again now.
  nv::reboot_tally ahead{now + 1000, 3};
  EXPECT_TRUE(nv::reboot_within_cap(now, 3, 3600, 1.0, &ahead));
  EXPECT_EQ(ahead.since, now);
  EXPECT_EQ(ahead.count, 1);
  // At time scale 0.01, 36 real seconds are the 3600 s window.
  nv::reboot_tally scaled{now, 3};
  EXPECT_FALSE(nv::reboot_within_cap(now + 35, 3, 3600, 0.01, &scaled));
  EXPECT_TRUE(nv::reboot_within_cap(now + 36, 3, 3600, 0.01, &scaled));
  // A stored text that is no tally is no window.
  for (const char* bad : {"garbage", "-5 2", "0 3", "1700000000 -1", "1700000000 99999999999"}) {
    EXPECT_EQ(nv::parse_reboot_tally(bad).since, 0) << bad;
    EXPECT_EQ(nv::parse_reboot_tally(bad).count, 0) << bad;
  }
}

TEST(StartDelay, WaitsOnlyForWhatIsLeftOfTheDelaySinceBoot) {
  EXPECT_EQ(nv::parse_uptime("350735.47 1380101.09\n"), 350735);
  EXPECT_EQ(nv::parse_uptime("12"), 12);
  EXPECT_EQ(nv::parse_uptime(" 7.99 1.0"), 7);
  for (const char* bad : {"", "abc", "-5.0 1.0", ".5 1.0", "+3"}) {
    EXPECT_EQ(nv::parse_uptime(bad), -1) << bad;
  }
  EXPECT_EQ(nv::start_delay_left(0, 10), 0);
  EXPECT_EQ(nv::start_delay_left(-30, 10), 0);
  EXPECT_EQ(nv::start_delay_left(120, 20), 100);
  EXPECT_EQ(nv::start_delay_left(120, 120), 0);
  EXPECT_EQ(nv::start_delay_left(120, 350735), 0);
  EXPECT_EQ(nv::start_delay_left(120, -1), 120);  // no uptime: the whole delay
}

}  // namespace
