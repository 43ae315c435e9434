// The simulator's three services over real loopback sockets, driven by
// small clients that build their packets by hand.
#include "routersim/router_sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "support/frames.h"
#include "support/text_search.h"
#include "support/time_scale.h"
#include "tools/routersim/loopback_client.h"

namespace orvane::routersim {
namespace {

using orvane::test::Contains;
using orvane::test::Framed;
using orvane::test::Unframed;
using test::TcpClient;
using test::UdpClient;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kReplyWaitMs = 2000;  // generous: replies are immediate
constexpr std::uint32_t kSilenceMs = 300;     // how long "no reply" is watched for

Bytes ControlRequest(std::uint8_t type) {
  Bytes p(32, 0);
  p[0] = type;
  const std::uint8_t addressAndMac[] = {127, 0, 0, 1, 0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
  std::memcpy(p.data() + 1, addressAndMac, sizeof addressAndMac);
  return p;
}

Bytes TriggerPacket(const char* magic, std::uint32_t length) {
  Bytes p(40, 0);
  p[0] = 0xFF;
  std::memcpy(p.data() + 1, magic, 29);
  for (int i = 0; i < 4; ++i) p[30 + i] = static_cast<std::uint8_t>(length >> (8 * i));
  return p;
}

Bytes Image(std::size_t n) {
  Bytes image(n);
  for (std::size_t i = 0; i < n; ++i) image[i] = static_cast<std::uint8_t>((i * 131 + 7) ^ (i >> 8));
  image[0] = 0x7E;  // bytes a framer would touch, where a framer would notice them
  image[n / 2] = 0x7D;
  image[n - 1] = 0x7E;
  return image;
}

std::uint32_t ResultCode(const Bytes& packet) {
  return packet[30] | packet[31] << 8 | packet[32] << 16 | static_cast<std::uint32_t>(packet[33]) << 24;
}

class RouterSimTest : public ::testing::Test {
 protected:
  void StartSim(Config config = {}, IModule* module = nullptr) {
    sim = std::make_unique<RouterSim>(std::move(config), module);
    std::string error;
    ASSERT_TRUE(sim->Start(&error)) << error;
  }

  std::optional<Bytes> Exchange(UdpClient& udp, const Bytes& packet) {
    if (!udp.SendTo(sim->BoundPorts().control, Framed(packet, true))) return std::nullopt;
    return udp.Receive(kReplyWaitMs);
  }

  // Sends a router trigger and the image raw, in the updater's block size.
  void SendImage(TcpClient& relay, const Bytes& image) {
    ASSERT_TRUE(relay.Send(Framed(TriggerPacket("Kavrin RUT Begin Download Pkt", static_cast<std::uint32_t>(image.size())), true)));
    constexpr std::size_t kBlock = 7300;
    for (std::size_t at = 0; at < image.size(); at += kBlock) {
      ASSERT_TRUE(relay.Send(std::span(image).subspan(at, std::min(kBlock, image.size() - at))));
    }
  }

  std::unique_ptr<RouterSim> sim;
};

TEST_F(RouterSimTest, TelnetLoginAndNvramGet) {
  Config config;
  config.settings["app_version"] = "3.0.0.1.2";
  StartSim(config);
  TcpClient telnet;
  ASSERT_TRUE(telnet.Connect(sim->BoundPorts().telnet));
  EXPECT_TRUE(Contains(telnet.ReadText(kReplyWaitMs, "login: "), "router login: "));
  ASSERT_TRUE(telnet.Send(std::string("\xFF\xFB\x01\xFF\xFC\x21\xFF\xFD\x01\xFF\xFD\x03") + "qmbzx\r\n"));
  EXPECT_TRUE(Contains(telnet.ReadText(kReplyWaitMs, "Password: "), "Password: "));
  ASSERT_TRUE(telnet.Send("qmbzx\r\n"));
  EXPECT_TRUE(Contains(telnet.ReadText(kReplyWaitMs, "# "), "router:~# "));

  // A second session is served while the first stands.
  TcpClient second;
  ASSERT_TRUE(second.Connect(sim->BoundPorts().telnet));
  EXPECT_TRUE(Contains(second.ReadText(kReplyWaitMs, "login: "), "login: "));

  ASSERT_TRUE(telnet.Send("nvram get app_version\r\n"));
  const std::string answer = telnet.ReadText(kReplyWaitMs, "# ");
  EXPECT_EQ("nvram get app_version\r\n3.0.0.1.2\r\nrouter:~# ", answer);
  ASSERT_TRUE(telnet.Send("nvram get cfe_version\r\n"));
  EXPECT_EQ("nvram get cfe_version\r\n1.0.0.2.5\r\nrouter:~# ", telnet.ReadText(kReplyWaitMs, "# "));
  EXPECT_EQ(1u, sim->Snapshot().telnetLogins);

  ASSERT_TRUE(telnet.Send("exit\r\n"));
  telnet.ReadFor(kReplyWaitMs);
  EXPECT_TRUE(telnet.PeerClosed()) << "exit closes the connection";
}

TEST_F(RouterSimTest, RefusedTelnet) {
  Config config;
  config.faults.refuseTelnet = true;
  StartSim(config);
  ASSERT_NE(0, sim->BoundPorts().telnet);
  TcpClient telnet;
  EXPECT_FALSE(telnet.Connect(sim->BoundPorts().telnet));
  EXPECT_EQ(ECONNREFUSED, telnet.LastErrno());
}

TEST_F(RouterSimTest, DiscoveryAnswersWithAddressMacAndVersion) {
  Config config;
  config.ip = Ipv4{10, 1, 2, 3};
  config.mac = Mac{0x00, 0x1A, 0x7E, 0x7D, 0x00, 0xFE};  // bytes that need stuffing on the wire
  config.versionText = "1.2.3.4.5 beta";
  StartSim(config);
  UdpClient udp;
  Bytes request(32, 0);
  request[0] = 1;
  const auto reply = Exchange(udp, request);
  ASSERT_TRUE(reply) << "no answer";
  const auto packet = Unframed(*reply);
  ASSERT_TRUE(packet) << "bad frame";
  ASSERT_EQ(32u, packet->size());
  EXPECT_EQ(1, (*packet)[0]);
  EXPECT_EQ((Bytes{10, 1, 2, 3}), Bytes(packet->begin() + 1, packet->begin() + 5));
  EXPECT_EQ((Bytes{0x00, 0x1A, 0x7E, 0x7D, 0x00, 0xFE}), Bytes(packet->begin() + 5, packet->begin() + 11));
  EXPECT_EQ("1.2.3.4.5 beta", std::string(reinterpret_cast<const char*>(packet->data()) + 11));
}

TEST_F(RouterSimTest, DiscoveryDefaultsToTheBindAddressAndTheAppVersion) {
  StartSim();
  UdpClient udp;
  const auto reply = Exchange(udp, ControlRequest(1));
  ASSERT_TRUE(reply);
  const auto packet = Unframed(*reply);
  ASSERT_TRUE(packet);
  EXPECT_EQ((Bytes{127, 0, 0, 1}), Bytes(packet->begin() + 1, packet->begin() + 5));
  EXPECT_FALSE(std::all_of(packet->begin() + 5, packet->begin() + 11, [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ("2.1.0.3.7", std::string(reinterpret_cast<const char*>(packet->data()) + 11));
}

TEST_F(RouterSimTest, ControlCommandsAreEchoedAndOthersIgnored) {
  StartSim();
  UdpClient udp;
  for (const std::uint8_t type : {6, 7, 10}) {
    Bytes request = ControlRequest(type);
    request[20] = 0x7E;  // a byte the frame must stuff, in a field the echo must keep
    const auto reply = Exchange(udp, request);
    ASSERT_TRUE(reply) << int(type);
    EXPECT_EQ(request, Unframed(*reply)) << int(type);
  }
  EXPECT_FALSE(Exchange(udp, ControlRequest(3))) << "an unknown type gets no reply";
  Bytes broken = Framed(ControlRequest(10), true);
  broken[5] ^= 0x01;
  ASSERT_TRUE(udp.SendTo(sim->BoundPorts().control, broken));
  EXPECT_FALSE(udp.Receive(kSilenceMs)) << "a bad frame gets no reply";

  const Received seen = sim->Snapshot();
  ASSERT_EQ(4u, seen.controls.size());
  EXPECT_TRUE(seen.controls[2].answered);
  EXPECT_EQ(3, seen.controls[3].packet[0]);
  EXPECT_FALSE(seen.controls[3].answered);
  EXPECT_EQ(1u, seen.badDatagrams);
}

TEST_F(RouterSimTest, SilentControlResponderTakesButDoesNotAnswer) {
  Config config;
  config.faults.silentControl = true;
  StartSim(config);
  UdpClient udp;
  ASSERT_TRUE(udp.SendTo(sim->BoundPorts().control, Framed(ControlRequest(10), true)));
  EXPECT_FALSE(udp.Receive(kSilenceMs));
  EXPECT_TRUE(sim->WaitFor([](const Received& r) { return r.controls.size() == 1; }, kReplyWaitMs));

  sim->SetControlSilent(false);
  EXPECT_TRUE(Exchange(udp, ControlRequest(10)));
}

TEST_F(RouterSimTest, CorruptNextReplyHitsExactlyOneFrame) {
  Config config;
  config.faults.corruptNextReply = true;
  StartSim(config);
  UdpClient udp;
  auto reply = Exchange(udp, ControlRequest(1));
  ASSERT_TRUE(reply) << "a corrupt reply is still sent";
  EXPECT_FALSE(Unframed(*reply));
  reply = Exchange(udp, ControlRequest(1));
  ASSERT_TRUE(reply);
  EXPECT_TRUE(Unframed(*reply));

  // The relay's result packet is a reply frame too.
  sim->CorruptNextReply();
  TcpClient relay;
  ASSERT_TRUE(relay.Connect(sim->BoundPorts().relay));
  SendImage(relay, Image(100));
  const auto frame = relay.ReadFrame(kReplyWaitMs);
  ASSERT_TRUE(frame);
  EXPECT_FALSE(Unframed(*frame));
}

TEST_F(RouterSimTest, RouterImageIsTakenRawAndAnsweredWithTheResult) {
  StartSim();
  TcpClient relay;
  ASSERT_TRUE(relay.Connect(sim->BoundPorts().relay));
  const Bytes image = Image(7300 * 2 + 1);

  // Trigger and all but the last byte: no result yet.
  ASSERT_TRUE(relay.Send(Framed(TriggerPacket("Kavrin RUT Begin Download Pkt", static_cast<std::uint32_t>(image.size())), true)));
  ASSERT_TRUE(relay.Send(std::span(image).first(image.size() - 1)));
  EXPECT_FALSE(relay.ReadFrame(kSilenceMs)) << "result before the whole image";
  ASSERT_TRUE(relay.Send(std::span(image).last(1)));

  const auto frame = relay.ReadFrame(kReplyWaitMs);
  ASSERT_TRUE(frame);
  const auto result = Unframed(*frame);
  ASSERT_TRUE(result);
  ASSERT_EQ(40u, result->size());
  EXPECT_EQ(0xFF, (*result)[0]);
  EXPECT_EQ(4u, ResultCode(*result));

  const Received seen = sim->Snapshot();
  ASSERT_EQ(1u, seen.images.size());
  EXPECT_EQ(image.size(), seen.images[0].announcedLength);
  EXPECT_TRUE(seen.images[0].complete);
  EXPECT_TRUE(seen.images[0].resultSent);
  EXPECT_EQ(image, seen.images[0].data);
  ASSERT_EQ(1u, seen.triggers.size());
  EXPECT_EQ(TriggerKind::kRouterBegin, seen.triggers[0].kind);
  EXPECT_TRUE(seen.modulePieces.empty()) << "nothing of the image may leak to the module";

  // A second image on the same connection, with another verdict.
  sim->SetResultCode(3);
  const Bytes second = Image(10);
  SendImage(relay, second);
  const auto again = relay.ReadFrame(kReplyWaitMs);
  ASSERT_TRUE(again);
  ASSERT_TRUE(Unframed(*again));
  EXPECT_EQ(3u, ResultCode(*Unframed(*again)));
  EXPECT_EQ(second, sim->Snapshot().images.at(1).data);
}

TEST_F(RouterSimTest, ResultDelayRunsOnTheClocksTimeScale) {
  Config config;
  config.resultDelayMs = 4000;
  StartSim(config);
  const orvane::test::ScopedTimeScale fast(0.05);  // 4000 ms of system time in 200 ms
  TcpClient relay;
  ASSERT_TRUE(relay.Connect(sim->BoundPorts().relay));
  const std::uint32_t start = platform::TickCount();
  SendImage(relay, Image(64));
  const auto frame = relay.ReadFrame(20000);
  const std::uint32_t elapsed = platform::TickCount() - start;
  ASSERT_TRUE(frame);
  EXPECT_GE(elapsed, 3900u);
  EXPECT_LT(elapsed, 12000u);
}

TEST_F(RouterSimTest, ModuleTriggersGetNoReplyAndModuleFramesAreDroppedWithoutAModule) {
  StartSim();
  TcpClient relay;
  ASSERT_TRUE(relay.Connect(sim->BoundPorts().relay));
  ASSERT_TRUE(relay.Send(Framed(TriggerPacket("Kavrin FWT Begin Download Pkt", 0), true)));
  ASSERT_TRUE(relay.Send(Framed(TriggerPacket("Kavrin FWT Force Download Pkt", 0), true)));
  const Bytes diag = Framed(Bytes{0x00, 0x7E, 0x01}, true);
  ASSERT_TRUE(relay.Send(diag));
  EXPECT_TRUE(relay.ReadFor(kSilenceMs).empty());
  ASSERT_TRUE(sim->WaitFor([](const Received& r) { return r.modulePieces.size() == 1; }, kReplyWaitMs));
  const Received seen = sim->Snapshot();
  ASSERT_EQ(2u, seen.triggers.size());
  EXPECT_EQ(TriggerKind::kModuleBegin, seen.triggers[0].kind);
  EXPECT_EQ(TriggerKind::kModuleForce, seen.triggers[1].kind);
  EXPECT_TRUE(seen.images.empty());
  EXPECT_EQ(diag, seen.modulePieces[0]);
  EXPECT_FALSE(relay.PeerClosed());
}

struct EchoModule : IModule {
  std::vector<Bytes> wires;
  std::vector<Bytes> packets;
  std::vector<TriggerKind> triggers;
  std::vector<std::uint8_t> controls;

  std::vector<std::uint8_t> OnRelayBytes(std::span<const std::uint8_t> wire,
                                         std::span<const std::uint8_t> packet) override {
    wires.emplace_back(wire.begin(), wire.end());
    packets.emplace_back(packet.begin(), packet.end());
    if (packet.empty()) return {};
    Bytes reply(packet.begin(), packet.end());
    reply.push_back(0x42);
    return Framed(reply, true);
  }
  void OnModuleTrigger(TriggerKind kind) override { triggers.push_back(kind); }
  void OnControl(std::uint8_t type) override { controls.push_back(type); }
  bool AnswersProbe() override { return answerProbe; }
  bool answerProbe = true;
};

TEST_F(RouterSimTest, ModuleSeamGetsBytesUnchangedAndItsRepliesGoBack) {
  EchoModule module;
  StartSim({}, &module);
  TcpClient relay;
  ASSERT_TRUE(relay.Connect(sim->BoundPorts().relay));
  const std::string modem = "AT$QCDMG\r~";
  ASSERT_TRUE(relay.Send(modem));
  ASSERT_TRUE(relay.Send(Framed(Bytes{0x4B, 0x0F, 0x7D}, true)));
  const auto reply = relay.ReadFrame(kReplyWaitMs);
  ASSERT_TRUE(reply);
  EXPECT_EQ((Bytes{0x4B, 0x0F, 0x7D, 0x42}), Unframed(*reply));
  ASSERT_TRUE(relay.Send(Framed(TriggerPacket("Kavrin FWT Force Download Pkt", 0), true)));
  UdpClient udp;
  ASSERT_TRUE(Exchange(udp, ControlRequest(7)));
  ASSERT_TRUE(Exchange(udp, ControlRequest(10)));
  sim->Stop();  // the module is read only after the service thread is gone

  module.answerProbe = false;  // a module that restarts keeps the probe unanswered
  std::string error;
  ASSERT_TRUE(sim->Start(&error)) << error;
  EXPECT_FALSE(Exchange(udp, ControlRequest(10)));
  EXPECT_TRUE(Exchange(udp, ControlRequest(6))) << "only the probe waits for the module";
  sim->Stop();

  ASSERT_EQ(2u, module.wires.size());
  EXPECT_EQ(Bytes(modem.begin(), modem.end()), module.wires[0]);
  EXPECT_TRUE(module.packets[0].empty());
  EXPECT_EQ((Bytes{0x4B, 0x0F, 0x7D}), module.packets[1]);
  EXPECT_EQ(std::vector<TriggerKind>{TriggerKind::kModuleForce}, module.triggers);
  EXPECT_EQ((std::vector<std::uint8_t>{7, 6}), module.controls) << "a probe is the router's own";
}

TEST_F(RouterSimTest, ModuleLinkRateTimesRequestsAndAnswersByTheirLengthOnTheClock) {
  EchoModule module;
  Config config;
  config.moduleLinkBitsPerSecond = 160000;  // 20 000 bytes per second of system time
  StartSim(config, &module);
  const orvane::test::ScopedTimeScale fast(0.5);  // and twice that in real time
  TcpClient relay;
  ASSERT_TRUE(relay.Connect(sim->BoundPorts().relay));
  const Bytes request = Framed(Bytes(1000, 0x11), true);
  Bytes echoed(1000, 0x11);
  echoed.push_back(0x42);
  const Bytes answer = Framed(echoed, true);
  const double msPerByte = 8.0 * 1000 / 160000;
  // Two requests at once: the second crosses after the first, and its answer
  // goes back after the first answer.
  Bytes both = request;
  both.insert(both.end(), request.begin(), request.end());
  const std::uint32_t start = platform::TickCount();
  ASSERT_TRUE(relay.Send(both));
  const auto first = relay.ReadFrame(5000);
  const std::uint32_t firstAt = platform::TickCount() - start;
  const auto second = relay.ReadFrame(5000);
  const std::uint32_t secondAt = platform::TickCount() - start;
  ASSERT_TRUE(first && second);
  EXPECT_EQ(echoed, Unframed(*first));
  EXPECT_EQ(echoed, Unframed(*second));
  const double firstDue = (request.size() + answer.size()) * msPerByte;       // about 100 ms
  const double secondDue = (request.size() + 2 * answer.size()) * msPerByte;  // about 151 ms
  EXPECT_GE(firstAt + 1, firstDue);
  EXPECT_GE(secondAt + 1, secondDue);
  EXPECT_LT(secondAt, secondDue + 1500) << "no more than the link's time (and a loaded machine's slack)";
}

// Stop-and-wait over a rate-limited link: each answer leaves when the
// request's and the answer's bytes have crossed, not before, and on a
// typical exchange not much later either (the pacer's spin and the arrival
// stamps keep the link's time, where a timed wait alone ends late by the
// system's wake-up latency).
TEST_F(RouterSimTest, StopAndWaitExchangesKeepTheLinksTime) {
  EchoModule module;
  Config config;
  config.moduleLinkBitsPerSecond = 1600000;  // 200 000 bytes a second: 1000 bytes in 5 ms
  StartSim(config, &module);
  TcpClient relay;
  ASSERT_TRUE(relay.Connect(sim->BoundPorts().relay));
  const Bytes request = Framed(Bytes(1000, 0x11), true);
  Bytes echoed(1000, 0x11);
  echoed.push_back(0x42);
  const double dueUs = static_cast<double>(request.size() + Framed(echoed, true).size()) * 8 * 1e6 / 1600000;
  std::vector<double> lateUs;
  for (int i = 0; i < 21; ++i) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(relay.Send(request));
    const auto answer = relay.ReadFrame(5000);
    ASSERT_TRUE(answer);
    const double tookUs = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(tookUs + 50, dueUs) << "exchange " << i << " answered before its bytes could cross";
    lateUs.push_back(tookUs - dueUs);
  }
  std::sort(lateUs.begin(), lateUs.end());
  EXPECT_LT(lateUs[lateUs.size() / 2], 2000) << "the median exchange came this many us after the link's time";
}

// The LAN's round trip delays every module answer, with and without a
// module link rate, on the clock's time scale.
TEST_F(RouterSimTest, LanRoundTripDelaysEachAnswerOnTheClock) {
  for (const std::uint64_t rate : {std::uint64_t{0}, std::uint64_t{8000000}}) {
    EchoModule module;
    Config config;
    config.moduleLinkBitsPerSecond = rate;
    config.lanRoundTripUs = 200000;  // 200 ms of system time
    StartSim(config, &module);
    const orvane::test::ScopedTimeScale fast(0.5);
    TcpClient relay;
    ASSERT_TRUE(relay.Connect(sim->BoundPorts().relay));
    for (int i = 0; i < 2; ++i) {
      const std::uint32_t start = platform::TickCount();
      ASSERT_TRUE(relay.Send(Framed(Bytes(10, 0x11), true)));
      ASSERT_TRUE(relay.ReadFrame(5000)) << rate;
      const std::uint32_t took = platform::TickCount() - start;
      EXPECT_GE(took + 1, 200u) << rate;
      EXPECT_LT(took, 200u + 1500) << rate;
    }
    sim->Stop();
  }
}

TEST_F(RouterSimTest, RelayClosesAfterNBytes) {
  Config config;
  config.faults.closeRelayAfter = 100;
  StartSim(config);
  const Bytes trigger = Framed(TriggerPacket("Kavrin RUT Begin Download Pkt", 1000), true);
  TcpClient relay;
  ASSERT_TRUE(relay.Connect(sim->BoundPorts().relay));
  ASSERT_TRUE(relay.Send(trigger));
  relay.Send(Image(1000));  // may fail once the simulator has closed
  relay.ReadFor(kReplyWaitMs);
  EXPECT_TRUE(relay.PeerClosed());
  Received seen = sim->Snapshot();
  ASSERT_EQ(1u, seen.images.size());
  EXPECT_EQ(100 - trigger.size(), seen.images[0].data.size()) << "exactly N bytes taken";
  EXPECT_FALSE(seen.images[0].complete);
  EXPECT_FALSE(seen.images[0].resultSent);

  // The fault lifted, the next connection gets the whole exchange.
  sim->SetRelayCloseAfter(std::nullopt);
  TcpClient again;
  ASSERT_TRUE(again.Connect(sim->BoundPorts().relay));
  SendImage(again, Image(1000));
  EXPECT_TRUE(again.ReadFrame(kReplyWaitMs));
  EXPECT_EQ(2u, sim->Snapshot().relayConnections);
}

TEST_F(RouterSimTest, RefusedRelayAndDroppedRelay) {
  Config refusing;
  refusing.faults.refuseRelay = true;
  StartSim(refusing);
  TcpClient refused;
  EXPECT_FALSE(refused.Connect(sim->BoundPorts().relay));
  EXPECT_EQ(ECONNREFUSED, refused.LastErrno());
  sim->Stop();

  StartSim();
  TcpClient relay;
  ASSERT_TRUE(relay.Connect(sim->BoundPorts().relay));
  ASSERT_TRUE(sim->WaitFor([](const Received& r) { return r.relayConnections == 1; }, kReplyWaitMs));
  sim->DropRelay();
  // Reset, not closed: the next send fails rather than vanishing.
  relay.ReadFor(kSilenceMs);
  EXPECT_TRUE(relay.PeerClosed());
  EXPECT_FALSE(relay.Send(Framed(TriggerPacket("Kavrin RUT Begin Download Pkt", 10), true)));
  TcpClient later;
  EXPECT_FALSE(later.Connect(sim->BoundPorts().relay));
  EXPECT_EQ(ECONNREFUSED, later.LastErrno());
  // The other services go on.
  UdpClient udp;
  EXPECT_TRUE(Exchange(udp, ControlRequest(10)).has_value());
}

TEST_F(RouterSimTest, StopIsPromptAndLeavesNoThreadOrSocket) {
  // A sanitizer starts its own helper thread with the process's first
  // thread; start and end one so that it is already in the baseline.
  std::thread([] {}).join();
  const std::size_t threadsBefore = test::ThreadCount();
  const std::size_t descriptorsBefore = test::OpenDescriptorCount();
  Config config;
  config.resultDelayMs = 1000000;  // a result that would be due in 1000 s
  StartSim(config);
  EXPECT_EQ(threadsBefore + 1, test::ThreadCount());
  {
    TcpClient telnet;
    TcpClient relay;
    TcpClient idle;
    ASSERT_TRUE(telnet.Connect(sim->BoundPorts().telnet));
    ASSERT_TRUE(relay.Connect(sim->BoundPorts().relay));
    ASSERT_TRUE(idle.Connect(sim->BoundPorts().relay));
    SendImage(relay, Image(10));
    ASSERT_TRUE(relay.Send(Framed(TriggerPacket("Kavrin RUT Begin Download Pkt", 500), true)));  // an image half sent
    ASSERT_TRUE(sim->WaitFor([](const Received& r) { return r.images.size() == 2; }, kReplyWaitMs));

    const std::uint32_t start = platform::TickCount();
    sim->Stop();
    EXPECT_LT(platform::TickCount() - start, 1000u);
    EXPECT_FALSE(sim->Running());
    EXPECT_EQ(threadsBefore, test::ThreadCount());
    relay.ReadFor(kReplyWaitMs);
    EXPECT_TRUE(relay.PeerClosed());
    idle.ReadFor(kReplyWaitMs);
    EXPECT_TRUE(idle.PeerClosed());
  }
  EXPECT_EQ(descriptorsBefore, test::OpenDescriptorCount());
  sim->Stop();  // twice is harmless
  EXPECT_EQ(threadsBefore, test::ThreadCount());
}

TEST_F(RouterSimTest, StartFailsCleanlyOnAPortInUse) {
  StartSim();
  const std::size_t threads = test::ThreadCount();
  const std::size_t descriptors = test::OpenDescriptorCount();
  Config clash;
  clash.relayPort = sim->BoundPorts().relay;
  RouterSim other(clash);
  std::string error;
  EXPECT_FALSE(other.Start(&error));
  EXPECT_EQ(0u, error.rfind("relay: bind 127.0.0.1:", 0)) << error;
  EXPECT_FALSE(other.Running());
  EXPECT_EQ(threads, test::ThreadCount());
  EXPECT_EQ(descriptors, test::OpenDescriptorCount());
}

}  // namespace
}  // namespace orvane::routersim
