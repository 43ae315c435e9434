// The simulator's service thread: one poll() loop over the three service
// sockets, their connections and a wake pipe. Stop writes to the pipe, so
// the loop never needs a polling interval to notice it; the only poll
// time-out is the next due result packet or module answer (on a module
// link with a rate), converted through the clock. ppoll() takes it to the
// nanosecond: a 4 KiB request crosses a 12 Mbit/s link in under 3 ms, and a
// millisecond's rounding would show in the link's measured rate.
#include "routersim/router_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#ifdef __linux__
#include <linux/net_tstamp.h>
#include <sys/prctl.h>
#endif
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>

#include "diag/framing.h"
#include "platform/clock.h"
#include "routersim/link_pacer.h"
#include "routersim/relay_stream.h"

namespace orvane::routersim {
namespace {

constexpr int kListenBacklog = 8;
constexpr std::size_t kReadChunk = 8192;
// Control datagrams are at most 70 bytes; a larger buffer lets an oversized
// one be seen whole and judged bad rather than cut.
constexpr std::size_t kDatagramBuffer = 2048;
// Datagrams handled per loop round, so that a flood cannot starve the TCP
// services.
constexpr int kDatagramsPerRound = 64;
// A hostile flood: bytes queued per refill of a connection, and discovery
// datagrams sent per loop round, one round a millisecond.
constexpr std::size_t kFloodChunk = 64 * 1024;
constexpr int kFloodDatagramsPerRound = 16;
constexpr auto kFloodRoundPause = std::chrono::milliseconds(1);
// A flood text: no line end, no ':' or '#' (no prompt can be found in it).
constexpr char kFloodText[] = "flood without a line end ";

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string ErrnoText(int err) { return std::strerror(err); }

sockaddr_in MakeAddress(const Ipv4& ip, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  std::memcpy(&address.sin_addr.s_addr, ip.data(), ip.size());
  return address;
}

// Opens, binds and (for TCP, unless `listening` is false) listens; returns
// the descriptor and the bound port, or -1 with `error` set.
int OpenService(int type, const Ipv4& ip, std::uint16_t port, bool listening, std::uint16_t* boundPort,
                std::string* error) {
  const int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = "socket: " + ErrnoText(errno);
    return -1;
  }
  if (type == SOCK_STREAM) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  const sockaddr_in address = MakeAddress(ip, port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    *error = "bind " + FormatIpv4(ip) + ":" + std::to_string(port) + ": " + ErrnoText(errno);
    ::close(fd);
    return -1;
  }
  if (type == SOCK_STREAM && listening && ::listen(fd, kListenBacklog) != 0) {
    *error = "listen: " + ErrnoText(errno);
    ::close(fd);
    return -1;
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
  *boundPort = ntohs(bound.sin_port);
  return fd;
}

// A rate-limited module link starts to carry a piece when its first byte
// reached the router, as a real relay's serial line would, not when this
// thread got round to reading it: the kernel stamps each arriving segment
// (SO_TIMESTAMPING, software receive stamps), and a receive reports the
// stamp of the last segment it took, so the first byte of a piece is read
// alone. Where the system has no stamps, the moment of the read stands.
void EnableArrivalStamps(int fd) {
#ifdef __linux__
  const int flags = SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE;
  ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof flags);
#else
  (void)fd;
#endif
}

// Receives one byte, and when it arrived (steady clock; the moment of the
// call without a stamp). As recv() otherwise.
ssize_t ReceiveFirstByte(int fd, std::uint8_t* byte, std::chrono::steady_clock::time_point* arrived) {
  const auto now = std::chrono::steady_clock::now();
  *arrived = now;
  iovec part{byte, 1};
  alignas(cmsghdr) char control[256];
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(fd, &message, MSG_DONTWAIT);
#ifdef __linux__
  if (n <= 0) return n;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_TIMESTAMPING) continue;
    timespec stamps[3];
    std::memcpy(stamps, CMSG_DATA(c), sizeof stamps);
    if (stamps[0].tv_sec == 0 && stamps[0].tv_nsec == 0) break;
    // The stamp is wall-clock time: its distance from now, on the steady clock.
    const auto wall = std::chrono::system_clock::now();
    const auto stamp = std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::seconds(stamps[0].tv_sec) + std::chrono::nanoseconds(stamps[0].tv_nsec)));
    const auto age = wall - stamp;
    // A stamp from the future or older than a second is not believed.
    if (age >= std::chrono::system_clock::duration::zero() && age < std::chrono::seconds(1)) {
      *arrived = now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(age);
    }
    break;
  }
#endif
  return n;
}

}  // namespace

struct RouterSim::Sockets {
  int wakeRead = -1;
  int wakeWrite = -1;
  int control = -1;
  int telnet = -1;
  int relay = -1;
  bool telnetListening = false;
  bool relayListening = false;

  ~Sockets() {
    for (int* fd : {&wakeRead, &wakeWrite, &control, &telnet, &relay}) CloseFd(*fd);
  }
};

struct RouterSim::Connection {
  enum class Kind { kTelnet, kRelay };
  struct PendingResult {
    std::uint32_t dueTick;
    std::uint32_t code;
    std::optional<std::size_t> image;  // index into Received::images
  };

  Connection(Kind k, int descriptor) : kind(k), fd(descriptor) {}
  ~Connection() { CloseFd(fd); }

  Kind kind;
  int fd;
  std::string out;  // bytes waiting to be sent
  bool closing = false;  // close once `out` is sent
  bool closed = false;
  // Telnet.
  std::unique_ptr<TelnetShell> shell;
  bool loggedIn = false;
  // Hostile faults: bytes of flood still to queue (telnet), a byte to send
  // without end (relay); a hostile connection gets no shell and no answers.
  std::uint64_t floodLeft = 0;
  std::optional<std::uint8_t> endlessByte;
  bool hostile = false;
  // Relay.
  RelayStream stream;
  std::uint64_t received = 0;
  std::optional<std::size_t> image;  // the image being received, index into Received::images
  std::vector<std::uint8_t> imageHead;  // its first bytes: kind and version
  std::vector<PendingResult> pending;
  // Module answers still crossing a rate-limited link, in order.
  struct TimedBytes {
    std::chrono::steady_clock::time_point due;
    std::vector<std::uint8_t> bytes;
  };
  std::deque<TimedBytes> moduleAnswers;
  // When the first byte of the piece being collected arrived: a rate-limited
  // link carries a piece's bytes on as they come in.
  std::chrono::steady_clock::time_point pieceStart{};
};

// Routes one relay connection's stream events into the records, the module
// and the connection's output.
class RouterSim::RelayEvents : public IRelayEvents {
 public:
  RelayEvents(RouterSim& sim, Connection& conn) : m_sim(sim), m_conn(conn) {}

  void OnTrigger(const Trigger& trigger) override {
    std::size_t index = 0;
    m_sim.Record([&](Received& r) {
      r.triggers.push_back({trigger.kind, trigger.totalLength});
      if (trigger.kind == TriggerKind::kRouterBegin) {
        r.images.push_back(RouterImage{trigger.totalLength, {}, 0, false, false});
        index = r.images.size() - 1;
      }
    });
    if (trigger.kind == TriggerKind::kRouterBegin) {
      m_conn.image = index;
      m_conn.imageHead.clear();
    } else if (m_sim.m_module) {
      m_sim.m_module->OnModuleTrigger(trigger.kind);
    }
  }

  void OnImageBytes(std::span<const std::uint8_t> bytes) override {
    const bool keep = m_sim.m_config.keepImageData;
    const std::size_t headLeft = kRouterHeadBytes - std::min(kRouterHeadBytes, m_conn.imageHead.size());
    m_conn.imageHead.insert(m_conn.imageHead.end(), bytes.begin(), bytes.begin() + std::min(headLeft, bytes.size()));
    WithImage([&](RouterImage& image) {
      image.received += bytes.size();
      if (keep) image.data.insert(image.data.end(), bytes.begin(), bytes.end());
    });
  }

  void OnImageEnd() override {
    WithImage([](RouterImage& image) { image.complete = true; });
    std::uint32_t code = 0;
    {
      std::lock_guard<std::mutex> guard(m_sim.m_lock);
      code = m_sim.m_resultCode;
    }
    m_conn.pending.push_back({platform::TickCount() + m_sim.m_config.resultDelayMs, code, m_conn.image});
    if (code == kResultAccepted && m_conn.image) m_sim.TakeImageVersion(m_conn.imageHead);
    m_conn.image.reset();
  }

  void OnModulePiece(std::span<const std::uint8_t> wire, std::span<const std::uint8_t> packet) override {
    m_sim.Record([&](Received& r) { r.modulePieces.emplace_back(wire.begin(), wire.end()); });
    std::size_t huge = 0;
    {
      std::lock_guard<std::mutex> guard(m_sim.m_lock);
      huge = m_sim.m_faults.relayHugeFrame;
    }
    if (huge > 0) {
      // One good frame of a `huge`-byte packet that opens like the request,
      // so that only its size keeps it from being the answer.
      std::vector<std::uint8_t> body(huge, 0x55);
      std::copy_n(packet.begin(), std::min(packet.size(), body.size()), body.begin());
      std::vector<std::uint8_t> frame(MaxFrameSize(body.size()));
      frame.resize(EncodeFrame(body.data(), body.size(), frame.data(), 1));
      m_conn.out.append(frame.begin(), frame.end());
      m_sim.Record([&](Received& r) { r.floodBytesSent += frame.size(); });
      return;
    }
    if (!m_sim.m_module) return;  // no module behind the router yet: dropped
    if (m_sim.m_config.moduleLinkBitsPerSecond == 0) {
      std::vector<std::uint8_t> reply = m_sim.m_module->OnRelayBytes(wire, packet);
      if (m_sim.m_config.lanRoundTripUs == 0) {
        m_conn.out.append(reply.begin(), reply.end());
      } else if (!reply.empty()) {
        m_conn.moduleAnswers.push_back({std::chrono::steady_clock::now() + m_sim.LanRoundTrip(), std::move(reply)});
      }
      return;
    }
    // The request's bytes go on to the link as they arrive, after whatever
    // is still crossing; its last byte cannot cross before it came in. The
    // answer starts back once the request is over and the way back is free.
    const auto now = std::chrono::steady_clock::now();
    const auto crossed = std::max(m_conn.pieceStart, m_sim.m_linkToModuleFree) + m_sim.LinkTime(wire.size());
    m_sim.m_linkToModuleFree = std::max(crossed, now + m_sim.LinkTime(1));
    m_conn.pieceStart = now;  // a next piece starts in the bytes at hand
    std::vector<std::uint8_t> reply = m_sim.m_module->OnRelayBytes(wire, packet);
    if (reply.empty()) return;
    m_sim.m_linkFromModuleFree =
        std::max(m_sim.m_linkToModuleFree, m_sim.m_linkFromModuleFree) + m_sim.LinkTime(reply.size());
    m_conn.moduleAnswers.push_back({m_sim.m_linkFromModuleFree + m_sim.LanRoundTrip(), std::move(reply)});
  }

 private:
  template <typename F>
  void WithImage(F change) {
    if (!m_conn.image) return;
    const std::size_t index = *m_conn.image;
    m_sim.Record([&](Received& r) { change(r.images[index]); });
  }

  RouterSim& m_sim;
  Connection& m_conn;
};

RouterSim::RouterSim(Config config, IModule* module)
    : m_config(std::move(config)),
      m_module(module),
      m_settings(m_config.settings),
      m_faults(m_config.faults),
      m_resultCode(m_config.resultCode) {}

RouterSim::~RouterSim() { Stop(); }

bool RouterSim::Start(std::string* error) {
  std::string failure;
  auto fail = [&](const std::string& service) {
    if (error) *error = service + ": " + failure;
    m_sockets.reset();
    return false;
  };
  if (Running()) {
    failure = "already running";
    return fail("router");
  }
  const auto bindIp = ParseIpv4(m_config.bindAddress);
  if (!bindIp) {
    failure = "not an IPv4 address: " + m_config.bindAddress;
    return fail("bind");
  }
  m_sockets = std::make_unique<Sockets>();
  int pipeFds[2];
  if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
    failure = ErrnoText(errno);
    return fail("wake pipe");
  }
  m_sockets->wakeRead = pipeFds[0];
  m_sockets->wakeWrite = pipeFds[1];

  bool refuseTelnet = false;
  bool refuseRelay = false;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    refuseTelnet = m_faults.refuseTelnet;
    refuseRelay = m_faults.refuseRelay;
    m_dropRelayRequested = false;
  }
  m_sockets->telnet = OpenService(SOCK_STREAM, *bindIp, m_config.telnetPort, !refuseTelnet, &m_ports.telnet, &failure);
  if (m_sockets->telnet < 0) return fail("telnet");
  m_sockets->telnetListening = !refuseTelnet;
  m_sockets->relay = OpenService(SOCK_STREAM, *bindIp, m_config.relayPort, !refuseRelay, &m_ports.relay, &failure);
  if (m_sockets->relay < 0) return fail("relay");
  m_sockets->relayListening = !refuseRelay;
  m_sockets->control = OpenService(SOCK_DGRAM, *bindIp, m_config.controlPort, false, &m_ports.control, &failure);
  if (m_sockets->control < 0) return fail("control");

  m_floodTo.reset();
  m_floodFrames.clear();
  m_stop = false;
  m_thread = std::thread(&RouterSim::Serve, this);
  return true;
}

void RouterSim::Stop() {
  if (m_thread.joinable()) {
    m_stop = true;
    Wake();
    m_thread.join();
  }
  CloseAll();
  {
    // A DropRelay still waiting has nothing left to wait for.
    std::lock_guard<std::mutex> guard(m_lock);
    m_dropRelayRequested = false;
  }
  m_changed.notify_all();
}

void RouterSim::CloseAll() {
  m_connections.clear();
  m_sockets.reset();
}

void RouterSim::Wake() {
  if (!m_sockets) return;
  const char byte = 1;
  // A full pipe already holds a wake-up; nothing to do then.
  [[maybe_unused]] const ssize_t n = ::write(m_sockets->wakeWrite, &byte, 1);
}

Identity RouterSim::CurrentIdentity() const {
  Identity identity;
  if (m_config.ip) {
    identity.ip = *m_config.ip;
  } else {
    const auto bound = ParseIpv4(m_config.bindAddress);
    const Ipv4 any{0, 0, 0, 0};
    identity.ip = bound && *bound != any ? *bound : Ipv4{192, 168, 1, 1};
  }
  identity.mac = m_config.mac;
  identity.versionText = m_config.versionText ? *m_config.versionText : m_settings.Get("app_version").value_or("");
  return identity;
}

void RouterSim::TakeImageVersion(const std::vector<std::uint8_t>& head) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_faults.keepVersions) return;
  }
  const std::optional<std::string> version = RouterPayloadVersion(head);
  if (!version) return;  // the image names no version: the router keeps reporting its old one
  switch (RouterPayloadKind(head)) {
    case RouterImageKind::kBootLoader:
      m_settings.Set("cfe_version", *version);
      break;
    case RouterImageKind::kApplication:
    case RouterImageKind::kResource:
      // One version line for the application and its resource.
      m_settings.Set("app_version", *version);
      if (m_config.versionText) m_config.versionText = version->substr(0, kControlTextField);
      break;
    case RouterImageKind::kUnknown:
      break;
  }
}

bool RouterSim::Restarting() {
  if (!m_restarting) return false;
  const std::uint32_t since = platform::TickCount() - m_restartStart;
  if (since < m_config.restartDelayMs) return false;  // still writing its flash, still answering
  if (since - m_config.restartDelayMs >= m_config.restartMs) m_restarting = false;
  return m_restarting;
}

Received RouterSim::Snapshot() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_received;
}

bool RouterSim::WaitFor(const std::function<bool(const Received&)>& done, std::uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(m_lock);
  auto check = [&] { return done(m_received); };
  if (timeoutMs == platform::kInfinite) {
    m_changed.wait(lock, check);
    return true;
  }
  return m_changed.wait_for(lock, std::chrono::milliseconds(platform::ToRealMs(timeoutMs)), check);
}

void RouterSim::Record(const std::function<void(Received&)>& change) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    change(m_received);
  }
  m_changed.notify_all();
}

void RouterSim::SetControlSilent(bool silent) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_faults.silentControl = silent;
}

void RouterSim::SetRelayCloseAfter(std::optional<std::uint64_t> bytes) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_faults.closeRelayAfter = bytes;
}

void RouterSim::CorruptNextReply() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_faults.corruptNextReply = true;
}

void RouterSim::SetResultCode(std::uint32_t code) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_resultCode = code;
}

void RouterSim::DropRelay() {
  std::unique_lock<std::mutex> lock(m_lock);
  if (!Running()) return;
  m_dropRelayRequested = true;
  lock.unlock();
  Wake();
  lock.lock();
  m_changed.wait(lock, [this] { return !m_dropRelayRequested; });
}

void RouterSim::StopRelayService() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_dropRelayRequested) return;
  }
  // The port stays bound (so nothing else takes it) but listens no more:
  // connects are refused from now on.
  if (m_sockets->relayListening) {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(m_sockets->relay, reinterpret_cast<sockaddr*>(&bound), &length);
    CloseFd(m_sockets->relay);
    Ipv4 ip{};
    std::memcpy(ip.data(), &bound.sin_addr.s_addr, ip.size());
    std::uint16_t port = 0;
    std::string ignored;
    m_sockets->relay = OpenService(SOCK_STREAM, ip, ntohs(bound.sin_port), false, &port, &ignored);
    m_sockets->relayListening = false;
  }
  // Reset rather than close: the peer's next send or receive fails at once.
  for (auto& conn : m_connections) {
    if (conn->kind != Connection::Kind::kRelay || conn->closed) continue;
    const linger abortive{1, 0};
    ::setsockopt(conn->fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    CloseFd(conn->fd);
    conn->closed = true;  // removed at the end of the round
  }
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_dropRelayRequested = false;
  }
  m_changed.notify_all();
}

bool RouterSim::TakeCorruptFlag() {
  std::lock_guard<std::mutex> guard(m_lock);
  const bool corrupt = m_faults.corruptNextReply;
  m_faults.corruptNextReply = false;
  return corrupt;
}

std::chrono::nanoseconds RouterSim::LinkTime(std::size_t bytes) const {
  const double systemSeconds = static_cast<double>(bytes) * 8.0 / static_cast<double>(m_config.moduleLinkBitsPerSecond);
  return std::chrono::nanoseconds(static_cast<std::int64_t>(systemSeconds * platform::TimeScale() * 1e9));
}

std::chrono::nanoseconds RouterSim::LanRoundTrip() const {
  return std::chrono::nanoseconds(
      static_cast<std::int64_t>(static_cast<double>(m_config.lanRoundTripUs) * platform::TimeScale() * 1e3));
}

std::optional<std::chrono::nanoseconds> RouterSim::PollTimeout() const {
  std::optional<std::chrono::nanoseconds> soonest;
  const auto consider = [&soonest](std::chrono::nanoseconds wait) {
    if (wait < std::chrono::nanoseconds::zero()) wait = std::chrono::nanoseconds::zero();
    if (!soonest || wait < *soonest) soonest = wait;
  };
  const std::uint32_t nowTick = platform::TickCount();
  const auto now = std::chrono::steady_clock::now();
  for (const auto& conn : m_connections) {
    for (const auto& result : conn->pending) {
      const auto left = static_cast<std::int32_t>(result.dueTick - nowTick);
      consider(left > 0 ? std::chrono::milliseconds(platform::ToRealMs(static_cast<std::uint32_t>(left)))
                        : std::chrono::milliseconds::zero());
    }
    if (!conn->moduleAnswers.empty()) consider(conn->moduleAnswers.front().due - now);
  }
  return soonest;
}

std::optional<std::chrono::steady_clock::time_point> RouterSim::NextAnswerDue() const {
  std::optional<std::chrono::steady_clock::time_point> soonest;
  for (const auto& conn : m_connections) {
    if (conn->closed || conn->moduleAnswers.empty()) continue;
    const auto due = conn->moduleAnswers.front().due;
    if (!soonest || due < *soonest) soonest = due;
  }
  return soonest;
}

void RouterSim::Serve() {
  // The poll time-outs keep a rate-limited module link's time; the system's
  // default slack of 50 us a wake-up would add up over thousands of blocks.
#ifdef __linux__
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  std::vector<pollfd> fds;
  while (!m_stop) {
    fds.clear();
    fds.push_back({m_sockets->wakeRead, POLLIN, 0});
    fds.push_back({m_sockets->control, POLLIN, 0});
    fds.push_back({m_sockets->relayListening ? m_sockets->relay : -1, POLLIN, 0});
    // A bound socket that does not listen still reports readiness oddly;
    // poll it only while it listens.
    fds.push_back({m_sockets->telnetListening ? m_sockets->telnet : -1, POLLIN, 0});
    constexpr std::size_t kFixed = 4;
    for (const auto& conn : m_connections) {
      const short events = static_cast<short>(POLLIN | (conn->out.empty() ? 0 : POLLOUT));
      fds.push_back({conn->fd, events, 0});
    }
    auto timeout = PollTimeout();
    if (m_floodTo && (!timeout || *timeout > kFloodRoundPause)) timeout = kFloodRoundPause;
    // A module answer due soon: block until just short of it and spin the
    // rest, so that it leaves on time (link_pacer.h).
    if (const auto due = m_config.exactLinkTime ? NextAnswerDue() : std::nullopt) {
      const auto block = LinkPacer::BlockFor(std::chrono::steady_clock::now(), *due);
      if (block == std::chrono::nanoseconds::zero()) {
        LinkPacer::SpinUntil(*due);
        timeout = std::chrono::nanoseconds::zero();
      } else if (!timeout || *timeout > block) {
        timeout = block;
      }
    }
    timespec wait{};
    if (timeout) {
      wait.tv_sec = static_cast<time_t>(timeout->count() / 1000000000);
      wait.tv_nsec = static_cast<long>(timeout->count() % 1000000000);
    }
    if (::ppoll(fds.data(), fds.size(), timeout ? &wait : nullptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      break;  // cannot happen with valid descriptors; end rather than spin
    }
    if (fds[0].revents) {
      char drain[64];
      while (::read(m_sockets->wakeRead, drain, sizeof drain) > 0) {
      }
      if (m_stop) break;
      StopRelayService();
    }
    if (fds[1].revents) ServeControl();
    if (fds[2].revents) AcceptRelay();
    if (fds[3].revents) AcceptTelnet();
    // Connections accepted just now are not in `fds`; they have their turn
    // in the next round.
    for (std::size_t i = kFixed; i < fds.size(); ++i) {
      Connection& conn = *m_connections[i - kFixed];
      if (conn.closed) continue;  // dropped with the relay this round
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadConnection(conn);
      if (!conn.closed) FlushConnection(conn);
    }
    DeliverDueReplies();
    SendDiscoveryFlood();
    std::erase_if(m_connections, [](const std::unique_ptr<Connection>& conn) { return conn->closed; });
  }
  // Leave the state as after Stop: sockets stay for Stop to close.
}

void RouterSim::ServeControl() {
  std::uint8_t datagram[kDatagramBuffer];
  std::uint8_t packet[kDatagramBuffer];
  for (int round = 0; round < kDatagramsPerRound; ++round) {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = ::recvfrom(m_sockets->control, datagram, sizeof datagram, MSG_DONTWAIT | MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) return;  // EAGAIN: all taken; other errors: try again next round
    const std::size_t length = static_cast<std::size_t>(n) <= sizeof datagram
                                   ? DecodeFrame(datagram, static_cast<std::size_t>(n), packet)
                                   : 0;
    if (length != kControlPacketSize) {
      Record([](Received& r) { ++r.badDatagrams; });
      continue;
    }
    const std::span<const std::uint8_t> request(packet, length);
    bool silent = false;
    bool flood = false;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      silent = m_faults.silentControl;
      flood = m_faults.floodDiscovery && request[0] == kControlDiscover;
    }
    if (flood) {
      // The sender is flooded from now on, instead of answered.
      Ipv4 ip{};
      std::memcpy(ip.data(), &from.sin_addr.s_addr, ip.size());
      m_floodTo.emplace(ip, ntohs(from.sin_port));
      silent = true;
    }
    if (request[0] == kControlProbe && m_module && !m_module->AnswersProbe()) silent = true;
    if (Restarting()) silent = true;
    const auto reply = silent ? std::nullopt : AnswerControl(request, CurrentIdentity());
    ControlRecord record;
    std::copy(request.begin(), request.end(), record.packet.begin());
    record.answered = reply.has_value();
    Record([&](Received& r) { r.controls.push_back(record); });
    if (!reply) continue;
    const std::vector<std::uint8_t> frame = FrameReply(*reply, TakeCorruptFlag());
    ::sendto(m_sockets->control, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&from), fromLength);
    if (m_module && (request[0] == kControlEraseNvram || request[0] == kControlForceDownload)) {
      m_module->OnControl(request[0]);
    }
  }
}

void RouterSim::AcceptTelnet() {
  while (true) {
    const int fd = ::accept4(m_sockets->telnet, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    auto conn = std::make_unique<Connection>(Connection::Kind::kTelnet, fd);
    conn->shell = std::make_unique<TelnetShell>(m_config.account, m_settings);
    {
      std::lock_guard<std::mutex> guard(m_lock);
      conn->floodLeft = m_faults.telnetFloodBytes;
      conn->hostile = m_faults.telnetFloodBytes > 0 || m_faults.telnetSilent;
    }
    if (!conn->hostile) conn->out = conn->shell->Greeting();
    FlushConnection(*conn);
    m_connections.push_back(std::move(conn));
  }
}

void RouterSim::AcceptRelay() {
  while (true) {
    const int fd = ::accept4(m_sockets->relay, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    auto conn = std::make_unique<Connection>(Connection::Kind::kRelay, fd);
    {
      std::lock_guard<std::mutex> guard(m_lock);
      conn->endlessByte = m_faults.relayFloodByte;
      conn->hostile = m_faults.relayFloodByte.has_value();
    }
    if (m_config.moduleLinkBitsPerSecond > 0 && m_config.exactLinkTime) EnableArrivalStamps(fd);
    m_connections.push_back(std::move(conn));
    Record([](Received& r) { ++r.relayConnections; });
  }
}

void RouterSim::ReadConnection(Connection& conn) {
  std::uint8_t buffer[kReadChunk];
  // A piece of a rate-limited module link begins: when did its first byte come?
  const bool stamped = conn.kind == Connection::Kind::kRelay && m_config.moduleLinkBitsPerSecond > 0 &&
                       m_config.exactLinkTime &&
                       !conn.hostile && !conn.stream.InImage() && conn.stream.PendingBytes() == 0;
  std::chrono::steady_clock::time_point arrived = std::chrono::steady_clock::now();
  ssize_t n = stamped ? ReceiveFirstByte(conn.fd, buffer, &arrived)
                      : ::recv(conn.fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (stamped && n == 1) {
    const ssize_t rest = ::recv(conn.fd, buffer + 1, sizeof buffer - 1, MSG_DONTWAIT);
    if (rest > 0) n += rest;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) {
    conn.closed = true;  // peer closed or reset
    return;
  }
  std::span<const std::uint8_t> bytes(buffer, static_cast<std::size_t>(n));
  if (conn.hostile) return;  // a flooding or silent peer does not listen
  if (conn.kind == Connection::Kind::kTelnet) {
    conn.out += conn.shell->Feed(bytes);
    if (!conn.loggedIn && conn.shell->LoggedIn()) Record([](Received& r) { ++r.telnetLogins; });
    conn.loggedIn = conn.shell->LoggedIn();
    if (conn.shell->Finished()) conn.closing = true;
    return;
  }
  std::optional<std::uint64_t> closeAfter;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    closeAfter = m_faults.closeRelayAfter;
  }
  bool cut = false;
  if (closeAfter) {
    const std::uint64_t allowed = *closeAfter > conn.received ? *closeAfter - conn.received : 0;
    if (bytes.size() >= allowed) {
      bytes = bytes.first(static_cast<std::size_t>(allowed));
      cut = true;
    }
  }
  conn.received += bytes.size();
  if (conn.stream.PendingBytes() == 0) conn.pieceStart = arrived;
  RelayEvents events(*this, conn);
  conn.stream.Feed(bytes, events);
  if (cut) conn.closed = true;  // the fault: drop the connection, queued output and all
}

void RouterSim::FlushConnection(Connection& conn) {
  std::uint64_t flooded = 0;
  for (;;) {
    RefillFlood(conn);
    if (conn.out.empty()) break;
    const ssize_t n = ::send(conn.fd, conn.out.data(), conn.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) conn.closed = true;
      break;
    }
    conn.out.erase(0, static_cast<std::size_t>(n));
    if (conn.hostile) flooded += static_cast<std::uint64_t>(n);
  }
  if (flooded > 0) Record([&](Received& r) { r.floodBytesSent += flooded; });
  if (conn.closing && conn.out.empty()) conn.closed = true;
}

void RouterSim::RefillFlood(Connection& conn) {
  if (!conn.out.empty()) return;
  if (conn.endlessByte) {
    conn.out.assign(kFloodChunk, static_cast<char>(*conn.endlessByte));
  } else if (conn.floodLeft > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(conn.floodLeft, kFloodChunk));
    conn.out.reserve(n);
    while (conn.out.size() < n) conn.out.append(kFloodText, std::min(sizeof kFloodText - 1, n - conn.out.size()));
    conn.floodLeft -= n;
  }
}

void RouterSim::SendDiscoveryFlood() {
  if (!m_floodTo) return;
  if (m_floodFrames.empty()) {
    // Good frames, none an announcement: a wrong type, a zero MAC, a short
    // packet, an echo of another request.
    const Identity identity = CurrentIdentity();
    ControlPacket packet{};
    packet[0] = kControlDiscover;
    std::copy(identity.ip.begin(), identity.ip.end(), packet.begin() + kControlIpOffset);
    std::copy(identity.mac.begin(), identity.mac.end(), packet.begin() + kControlMacOffset);
    ControlPacket wrongType = packet;
    wrongType[0] = kControlDiscover + 1;
    ControlPacket noMac = packet;
    std::fill_n(noMac.begin() + kControlMacOffset, identity.mac.size(), 0);
    ControlPacket echo{};
    echo[0] = kControlProbe;
    m_floodFrames.push_back(FrameReply(wrongType, false));
    m_floodFrames.push_back(FrameReply(noMac, false));
    m_floodFrames.push_back(FrameReply(std::span<const std::uint8_t>(packet.data(), kControlPacketSize / 2), false));
    m_floodFrames.push_back(FrameReply(echo, false));
  }
  const sockaddr_in to = MakeAddress(m_floodTo->first, m_floodTo->second);
  std::uint64_t sent = 0;
  for (int i = 0; i < kFloodDatagramsPerRound; ++i) {
    const auto& frame = m_floodFrames[m_nextFloodFrame++ % m_floodFrames.size()];
    // A full buffer or a closed port at the other end: the flood goes on.
    if (::sendto(m_sockets->control, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to) > 0) {
      ++sent;
    }
  }
  if (sent > 0) Record([&](Received& r) { r.floodDatagramsSent += sent; });
}

void RouterSim::DeliverDueReplies() {
  const std::uint32_t now = platform::TickCount();
  const auto nowReal = std::chrono::steady_clock::now();
  for (auto& conn : m_connections) {
    if (conn->closed) continue;
    bool answered = false;
    while (!conn->moduleAnswers.empty() && conn->moduleAnswers.front().due <= nowReal) {
      const auto& bytes = conn->moduleAnswers.front().bytes;
      conn->out.append(bytes.begin(), bytes.end());
      conn->moduleAnswers.pop_front();
      answered = true;
    }
    if (conn->pending.empty()) {
      if (answered) FlushConnection(*conn);
      continue;
    }
    auto& pending = conn->pending;
    for (auto it = pending.begin(); it != pending.end();) {
      if (static_cast<std::int32_t>(it->dueTick - now) > 0) {
        ++it;
        continue;
      }
      const auto packet = BuildResultPacket(it->code);
      const std::vector<std::uint8_t> frame = FrameReply(packet, TakeCorruptFlag());
      conn->out.append(frame.begin(), frame.end());
      if (const std::optional<std::size_t> index = it->image) {
        Record([&](Received& r) { r.images[*index].resultSent = true; });
      }
      if (it->code == kResultAccepted && it->image && m_config.restartMs > 0) {
        m_restarting = true;
        m_restartStart = platform::TickCount();
      }
      it = pending.erase(it);
    }
    FlushConnection(*conn);
  }
}

}  // namespace orvane::routersim
