// The update engine over loopback, each measure beside its limit in the same
// run:
//
//   module download   CUpdateEngine::DownloadImage to the simulated module
//                     (already in its downloader, answering at once) beside a
//                     bare stop-and-wait of 4 KiB blocks and 5-byte
//                     acknowledgements; then with the module's link limited
//                     to a real port's rate, beside that rate
//   router transfer   TransferRouterImage's raw blocks beside a plain send of
//                     the same bytes in 7300-byte writes
//   reader CPU        the framed channel's reader thread, per MiB of replies,
//                     beside a reader of the same stream that takes 4 KiB
//                     per receive
//   traps             stop-and-wait of frame-sized blocks with Nagle's
//                     algorithm on, with the socket buffers at the system's
//                     minimum, and in Ethernet-sized segments; the engine in
//                     Ethernet-sized segments; a plain sender with buffers 0;
//                     and beside the main measures, the engine against a bare
//                     peer and a plain client against the simulator, which
//                     tell where a shortfall comes from
//
// Every measure runs its reference and itself in turn, a few times, and
// reports the medians: on a shared machine the absolute numbers wander,
// the ratio of neighbours holds.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>

#include "bench_support.h"
#include "catalogue/string_table.h"
#include "diag/framing.h"
#include "net/frame_assembler.h"
#include "net/framed_channel.h"
#include "platform/clock.h"

namespace {

using namespace orvane;
using namespace orvane::bench;

constexpr double kMB = 1e6;
constexpr double kMiB = 1024.0 * 1024.0;

// A peer that acknowledges every frame it receives the way the downloader
// does (7E 02 <check> 7E), without looking inside: the engine's side of the
// download alone.
class BareAcknowledger {
 public:
  // `segmentBytes` > 0: the connection announces that segment size (1460 for
  // Ethernet's), so the engine's frames leave in several segments.
  explicit BareAcknowledger(int segmentBytes = 0) {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (segmentBytes > 0) ::setsockopt(m_listener, IPPROTO_TCP, TCP_MAXSEG, &segmentBytes, sizeof segmentBytes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(m_listener, 1);
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Serve(); });
  }
  ~BareAcknowledger() {
    ::shutdown(m_listener, SHUT_RDWR);
    if (m_conn >= 0) ::shutdown(m_conn, SHUT_RDWR);
    m_thread.join();
    ::close(m_listener);
    if (m_conn >= 0) ::close(m_conn);
  }
  std::uint16_t Port() const { return m_port; }

 private:
  void Serve() {
    m_conn = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (m_conn < 0) return;
    std::uint8_t chunk[16384];
    std::size_t body = 0;  // bytes since the last flag
    for (;;) {
      const ssize_t n = ::recv(m_conn, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      for (ssize_t i = 0; i < n; ++i) {
        if (chunk[i] != FRAME_FLAG) {
          ++body;
        } else if (body > 0) {
          body = 0;
          if (::send(m_conn, m_ack.data(), m_ack.size(), MSG_NOSIGNAL) <= 0) return;
        }
      }
    }
  }

  int m_listener = -1;
  std::atomic<int> m_conn{-1};
  std::uint16_t m_port = 0;
  const std::vector<std::uint8_t> m_ack = AckFrame();
  std::thread m_thread;
};

// DownloadImage to the bare acknowledger: bytes per second, 0 on failure.
double DownloadRateBarePeer(std::size_t bytes, int segmentBytes) {
  BareAcknowledger peer(segmentBytes);
  UpdateItems items;
  TimingView view;
  NetworkProfile profile;
  profile.broadcastAddress = "127.0.0.1";
  profile.relayTcpPort = peer.Port();
  CUpdateEngine engine(items, view, profile, (std::filesystem::temp_directory_path() / "orvane-bench-logs").string());
  engine.Link().SetRouter({}, {127, 0, 0, 1});
  CFirmwareImage image;
  image.SetPath(ImageFile(IMAGE_FIRMWARE, bytes));
  if (!image.LoadImage() || !engine.ConnectRouter()) return 0;
  const auto start = Clock::now();
  const bool ok = engine.Module().DownloadImage(image).ok();
  const double seconds = Seconds(Clock::now() - start);
  engine.DisconnectRouter();
  return ok ? static_cast<double>(bytes) / seconds : 0;
}

void BM_ModuleDownload(benchmark::State& state) {
  const std::size_t bytes = static_cast<std::size_t>(state.range(0)) << 20;
  std::vector<double> engine, reference, bare, simulator, bareEthernet;
  for (auto _ : state) {
    reference.push_back(StopAndWaitRate(bytes / 4096, 4096, 5, SocketOptions{}));
    std::string failure;
    const double rate = DownloadRate(bytes, {}, &failure);
    if (rate == 0) {
      state.SkipWithError(failure.c_str());
      return;
    }
    engine.push_back(rate);
    state.SetIterationTime(static_cast<double>(bytes) / rate);
    // The engine alone, in loopback's segments and in Ethernet's, in turn.
    for (int i = 0; i < 3; ++i) {
      bare.push_back(DownloadRateBarePeer(bytes, 0));
      bareEthernet.push_back(DownloadRateBarePeer(bytes, 1460));
    }
    simulator.push_back(PlainClientRate(bytes, {}));
  }
  state.counters["download_MBps"] = Median(engine) / kMB;
  state.counters["stop_and_wait_MBps"] = Median(reference) / kMB;
  state.counters["engine_bare_peer_MBps"] = Median(bare) / kMB;
  state.counters["engine_bare_peer_ethernet_MBps"] = Median(bareEthernet) / kMB;
  state.counters["simulator_plain_client_MBps"] = Median(simulator) / kMB;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.SetLabel(MeasureLabel(std::vector<MeasureRow>{
      {
          .name = "module download, " + std::to_string(state.range(0)) + " MiB (DownloadImage, module answers at once)",
          .unit = "MB/s",
          .value = "download_MBps",
          .reference = "stop_and_wait_MBps",
          .note = "no target: its ceiling is the simulator (a plain client's rate into the simulated module is a "
                  "row below); reference: bare stop-and-wait of 4 KiB blocks, 5-byte acks, loopback TCP",
          .limit = "the simulated module itself takes the framed blocks from a plain client at only "
                   "{simulator_plain_client_MBps:.1f} MB/s (it decodes, checks and keeps every block), and "
                   "DownloadImage against a bare acknowledger reaches {engine_bare_peer_MBps:.1f} MB/s: per 4 KiB "
                   "block the engine frames and checksums the data byte by byte, and the acknowledgement reaches "
                   "it through the reader thread (one wake-up more than the reference, and one receive per "
                   "byte). Both stay far above a real module port (0.1 to 1.5 MB/s, the next rows)",
      },
      {
          .name = "  DownloadImage to a bare acknowledger (the engine's side alone)",
          .unit = "MB/s",
          .value = "engine_bare_peer_MBps",
          .reference = "stop_and_wait_MBps",
          .note = "a peer that answers every frame with an acknowledgement without decoding it",
      },
      {
          .name = "  plain client writing the same frames to the simulated module",
          .unit = "MB/s",
          .value = "simulator_plain_client_MBps",
          .reference = "stop_and_wait_MBps",
          .note = "the simulator's side alone (it decodes, checks and keeps every block)",
      },
      {
          .name = "trap: DownloadImage to a bare acknowledger in Ethernet-sized segments (Nagle on)",
          .unit = "MB/s",
          .value = "engine_bare_peer_ethernet_MBps",
          .reference = "engine_bare_peer_MBps",
          .note = "the peer announces 1460-byte segments, so each 4 KiB frame leaves in three and Nagle's "
                  "algorithm would hold the last one for an acknowledgement; reference: loopback's segments",
      },
  }));
}

void BM_ModuleDownloadAtRate(benchmark::State& state) {
  const auto bitsPerSecond = static_cast<std::uint64_t>(state.range(0));
  const std::size_t bytes = static_cast<std::size_t>(state.range(1)) << 10;
  std::vector<double> engine, plain;
  for (auto _ : state) {
    std::string failure;
    const double rate = DownloadRate(bytes, {.bitsPerSecond = bitsPerSecond}, &failure);
    if (rate == 0) {
      state.SkipWithError(failure.c_str());
      return;
    }
    engine.push_back(rate);
    state.SetIterationTime(static_cast<double>(bytes) / rate);
    plain.push_back(PlainClientRate(bytes, {.bitsPerSecond = bitsPerSecond}));
  }
  state.counters["plain_client_MBps"] = Median(plain) / kMB;
  const double link = static_cast<double>(bitsPerSecond) / 8;
  state.counters["download_MBps"] = Median(engine) / kMB;
  state.counters["link_MBps"] = link / kMB;
  const std::string rate = std::to_string(bitsPerSecond) + " bit/s";
  state.SetLabel(MeasureLabel(std::vector<MeasureRow>{
      {
          .name = "module download at " + rate + ", " + std::to_string(bytes >> 10) + " KiB",
          .unit = "MB/s",
          .value = "download_MBps",
          .reference = "link_MBps",
          .note = "no target: the simulated link on loopback, without a LAN (the download targets are the shaped "
                  "LAN's rows); reference: the link's rate, 8 bits a byte",
          .limit = "a plain client on the same simulated link reaches {plain_client_MBps:.3f} MB/s: each block "
                   "waits, beside its time on the link, for the wake-ups of stop-and-wait (the simulator's timer, "
                   "the reader and the worker thread), which on this shared 2-CPU machine cost tenths of a "
                   "millisecond per block",
      },
      {
          .name = "  plain client, same frames, same link",
          .unit = "MB/s",
          .value = "plain_client_MBps",
          .reference = "link_MBps",
          .note = "what stop-and-wait reaches on this simulated link without the updater",
      },
  }));
}

// --- Router transfer ---------------------------------------------------------

// The trigger frame that makes the simulator take `length` raw bytes.
std::vector<std::uint8_t> RouterTrigger(std::uint32_t length) {
  std::uint8_t packet[kTriggerPacketSize] = {0xFF};
  std::memcpy(packet + 1, "Kavrin RUT Begin Download Pkt", 29);
  for (int i = 0; i < 4; ++i) packet[30 + i] = static_cast<std::uint8_t>(length >> (8 * i));
  std::vector<std::uint8_t> frame(MaxFrameSize(sizeof packet));
  frame.resize(EncodeFrame(packet, sizeof packet, frame.data(), 1));
  return frame;
}

// The same bytes sent raw to the simulator by a plain socket: what the
// simulator's side of the loopback can take.
double SimulatorIntakeRate(const std::uint8_t* data, std::size_t bytes, int bufferBytes) {
  routersim::RouterSim sim({});
  if (!sim.Start()) return 0;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (bufferBytes >= 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(sim.BoundPorts().relay);
  double rate = 0;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const auto trigger = RouterTrigger(static_cast<std::uint32_t>(bytes));
    ::send(fd, trigger.data(), trigger.size(), MSG_NOSIGNAL);
    const auto start = Clock::now();
    bool ok = true;
    for (std::size_t at = 0; ok && at < bytes; at += ROUTER_BLOCK_SIZE) {
      const std::size_t n = std::min(ROUTER_BLOCK_SIZE, bytes - at);
      for (std::size_t done = 0; ok && done < n;) {
        const ssize_t sent = ::send(fd, data + at + done, n - done, MSG_NOSIGNAL);
        ok = sent > 0;
        if (ok) done += static_cast<std::size_t>(sent);
      }
    }
    if (ok && ImageTaken(sim, 600000)) rate = static_cast<double>(bytes) / Seconds(Clock::now() - start);
  }
  ::close(fd);
  sim.Stop();
  return rate;
}

void BM_RouterTransfer(benchmark::State& state) {
  const std::size_t bytes = static_cast<std::size_t>(state.range(0)) << 20;
  const std::string path = ImageFile(IMAGE_BOOT, bytes);
  CFirmwareImage image;
  image.SetPath(path);
  if (!image.LoadImage()) {
    state.SkipWithError(image.FailureReason().c_str());
    return;
  }
  std::vector<double> engine, reference, intake, small, smallIntake;
  for (auto _ : state) {
    for (int i = 0; i < 2; ++i) {
      reference.push_back(RawSendRate(image.UnitData(0), bytes, ROUTER_BLOCK_SIZE, SocketOptions{.noDelay = false}));
      small.push_back(RawSendRate(image.UnitData(0), bytes, ROUTER_BLOCK_SIZE,
                                  SocketOptions{.noDelay = false, .bufferBytes = 0}));
    }
    intake.push_back(SimulatorIntakeRate(image.UnitData(0), bytes, -1));
    smallIntake.push_back(SimulatorIntakeRate(image.UnitData(0), bytes, 0));
    std::string failure;
    const double rate = RouterTransferRate(IMAGE_BOOT, path, "", true, &failure);
    if (rate == 0) {
      state.SkipWithError(failure.c_str());
      return;
    }
    engine.push_back(rate);
    state.SetIterationTime(static_cast<double>(bytes) / rate);
  }
  state.counters["transfer_MBps"] = Median(engine) / kMB;
  state.counters["raw_send_MBps"] = Median(reference) / kMB;
  state.counters["simulator_intake_MBps"] = Median(intake) / kMB;
  state.counters["raw_send_buffers0_MBps"] = Median(small) / kMB;
  state.counters["simulator_intake_buffers0_MBps"] = Median(smallIntake) / kMB;
  state.SetLabel(MeasureLabel(std::vector<MeasureRow>{
      {
          .name = "router transfer, " + std::to_string(state.range(0)) + " MiB (TransferRouterImage's blocks)",
          .unit = "MB/s",
          .value = "transfer_MBps",
          .reference = "raw_send_MBps",
          .note = "no target: its ceiling is the simulated router's intake (a row below); timed from \"Sending router module's update data \" to the router holding the last byte; "
                  "reference: plain loopback send in 7300-byte writes to a draining reader",
          .limit = "the simulated router takes the same writes from a plain sender at only "
                   "{simulator_intake_MBps:.1f} MB/s (it keeps every byte): the transfer's ceiling here; "
                   "{simulator_intake_buffers0_MBps:.1f} MB/s when that sender's socket buffers are 0 as the port "
                   "sets them. The rest is the port's way of sending: its send buffer of about 4.6 KB (Linux's "
                   "least, for buffers 0) takes part of each 7300-byte write, and the port, whose send must end by "
                   "its time-out, waits for room in poll() pass by pass where a blocking send waits in the "
                   "kernel: more wake-ups per block. The port opens its socket with buffers of 0 by design (a send "
                   "is done when the router has taken the block); they were left as they are",
      },
      {
          .name = "  plain sender to the simulated router, same writes",
          .unit = "MB/s",
          .value = "simulator_intake_MBps",
          .reference = "raw_send_MBps",
          .note = "what the simulated router itself takes (it keeps every byte): the transfer's ceiling here",
      },
      {
          .name = "  the same with the sender's socket buffers 0 (as the port sets them)",
          .unit = "MB/s",
          .value = "simulator_intake_buffers0_MBps",
          .reference = "simulator_intake_MBps",
          .note = "trap: socket buffers 0; reference: the same sender with the system's buffers",
      },
      {
          .name = "trap: plain send in 7300-byte writes, socket buffers 0",
          .unit = "MB/s",
          .value = "raw_send_buffers0_MBps",
          .reference = "raw_send_MBps",
          .note = "reference: the same send with the system's buffers",
      },
  }));
}

// --- Reader CPU ----------------------------------------------------------------

constexpr std::size_t kReplyPacket = 256;  // a middling DIAG reply
constexpr std::uint8_t kLastReplyLead = 0xEE;

// The framed replies of `bytes` or a little more: packets of kReplyPacket
// bytes, the last one marked.
std::vector<std::uint8_t> ReplyStream(std::size_t bytes) {
  std::vector<std::uint8_t> stream;
  std::vector<std::uint8_t> packet(kReplyPacket);
  std::vector<std::uint8_t> frame(MaxFrameSize(kReplyPacket));
  std::uint32_t x = 7;
  while (stream.size() < bytes) {
    for (auto& b : packet) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 16);
    packet[0] = stream.size() + 2 * kReplyPacket >= bytes ? kLastReplyLead : 0x4B;
    const std::size_t n = EncodeFrame(packet.data(), packet.size(), frame.data(), 0);
    stream.insert(stream.end(), frame.begin(), frame.begin() + static_cast<long>(n));
  }
  return stream;
}

// A peer that accepts one connection and sends `stream` to it.
class StreamPeer {
 public:
  explicit StreamPeer(const std::vector<std::uint8_t>& stream) : m_stream(stream) {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(m_listener, 1);
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] {
      const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
      for (std::size_t at = 0; fd >= 0 && at < m_stream.size();) {
        const ssize_t n = ::send(fd, m_stream.data() + at, m_stream.size() - at, MSG_NOSIGNAL);
        if (n <= 0) break;
        at += static_cast<std::size_t>(n);
      }
      m_allSent = true;
      // Held open until the reader is done: a close would only add the
      // port's pause after the peer's end.
      std::unique_lock<std::mutex> lock(m_lock);
      m_done.wait(lock, [this] { return m_finish; });
      if (fd >= 0) ::close(fd);
    });
  }
  ~StreamPeer() {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_finish = true;
    }
    m_done.notify_all();
    m_thread.join();
    ::close(m_listener);
  }
  std::uint16_t Port() const { return m_port; }
  bool AllSent() const { return m_allSent; }

 private:
  const std::vector<std::uint8_t>& m_stream;
  std::atomic<bool> m_allSent{false};
  int m_listener = -1;
  std::uint16_t m_port = 0;
  std::thread m_thread;
  std::mutex m_lock;
  std::condition_variable m_done;
  bool m_finish = false;
};

// The channel's reader thread over the stream: its CPU nanoseconds, or -1.
std::int64_t ChannelReaderCpuNs(const std::vector<std::uint8_t>& stream) {
  StreamPeer peer(stream);
  CFramedChannel channel;
  if (!channel.Open("127.0.0.1", peer.Port(), PORT_TCP)) return -1;
  const std::vector<int> before = ThreadIds();
  channel.StartReader();
  const std::vector<int> after = ThreadIds();
  int reader = -1;
  for (const int tid : after) {
    if (!std::binary_search(before.begin(), before.end(), tid)) reader = tid;
  }
  if (reader < 0) return -1;
  const std::int64_t cpuStart = ThreadCpuNs(reader);
  // The caller takes the replies as the engine does. Should it fall behind,
  // the queue drops packets, the last one among them perhaps: a second
  // without any packet after the peer has sent all says the same.
  std::uint8_t packet[kReplyPacket];
  std::size_t length = 0;
  for (;;) {
    if (channel.Receive(packet, sizeof packet, &length, 1000)) {
      if (packet[0] == kLastReplyLead) break;
    } else if (peer.AllSent()) {
      break;
    }
  }
  const std::int64_t cpu = ThreadCpuNs(reader) - cpuStart;
  channel.Close();
  return cpu;
}

// A reader of the same stream that takes up to 4 KiB per receive and feeds
// the same frame assembler: its CPU nanoseconds.
std::int64_t ChunkReaderCpuNs(const std::vector<std::uint8_t>& stream) {
  StreamPeer peer(stream);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(peer.Port());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  timespec start{}, end{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  FrameAssembler assembler;
  std::uint8_t chunk[4096];
  std::size_t taken = 0;
  std::size_t frames = 0;
  while (taken < stream.size()) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    taken += static_cast<std::size_t>(n);
    for (ssize_t i = 0; i < n; ++i) {
      if (assembler.Push(chunk[i]) && assembler.DecodeFrame() > 0) ++frames;
    }
  }
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
  ::close(fd);
  benchmark::DoNotOptimize(frames);
  if (taken < stream.size()) return -1;
  return (end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
}

void BM_ReaderCpu(benchmark::State& state) {
  const std::vector<std::uint8_t> stream = ReplyStream(static_cast<std::size_t>(state.range(0)) << 20);
  const double mib = static_cast<double>(stream.size()) / kMiB;
  std::vector<double> reader, chunked;
  for (auto _ : state) {
    const std::int64_t chunkNs = ChunkReaderCpuNs(stream);
    const std::int64_t readerNs = ChannelReaderCpuNs(stream);
    if (chunkNs < 0 || readerNs < 0) {
      state.SkipWithError("reply stream not read through");
      return;
    }
    chunked.push_back(static_cast<double>(chunkNs) / 1e6 / mib);
    reader.push_back(static_cast<double>(readerNs) / 1e6 / mib);
    state.SetIterationTime(static_cast<double>(readerNs) / 1e9);
  }
  state.counters["reader_cpu_ms_per_MiB"] = Median(reader);
  state.counters["chunk_reader_cpu_ms_per_MiB"] = Median(chunked);
  state.SetLabel(MeasureLabel({
      .name = "reader thread CPU per MiB of replies (one-byte receives)",
      .unit = "ms/MiB",
      .value = "reader_cpu_ms_per_MiB",
      .reference = "chunk_reader_cpu_ms_per_MiB",
      .higherIsBetter = false,
      .note = "256-byte reply frames; CPU from /proc/self/task/<tid>/schedstat; reference: the same assembler fed "
              "by 4 KiB receives",
  }));
}

// --- Traps -----------------------------------------------------------------------

// The stop-and-wait reference itself with the traps switched on, beside the
// reference as the other measures use it.
void BM_StopAndWaitTraps(benchmark::State& state) {
  const std::size_t blocks = static_cast<std::size_t>(state.range(0));
  // The blocks as the engine's frames are long: 4096 bytes behind a 7-byte
  // header, flags, check bytes and some stuffing.
  constexpr std::size_t kFrame = 4150;
  std::vector<double> clean, nagle, small, both, ethernet, ethernetNagle;
  for (auto _ : state) {
    clean.push_back(StopAndWaitRate(blocks, kFrame, 5, SocketOptions{}));
    nagle.push_back(StopAndWaitRate(blocks, kFrame, 5, SocketOptions{.noDelay = false}));
    small.push_back(StopAndWaitRate(blocks, kFrame, 5, SocketOptions{.noDelay = true, .bufferBytes = 0}));
    both.push_back(StopAndWaitRate(blocks, kFrame, 5, SocketOptions{.noDelay = false, .bufferBytes = 0}));
    ethernet.push_back(StopAndWaitRate(blocks, kFrame, 5, SocketOptions{.noDelay = true, .segmentBytes = 1460}));
    ethernetNagle.push_back(StopAndWaitRate(
        blocks, kFrame, 5, SocketOptions{.noDelay = false, .bufferBytes = 0, .segmentBytes = 1460}));
    state.SetIterationTime(static_cast<double>(blocks * kFrame) / both.back());
  }
  state.counters["stop_and_wait_MBps"] = Median(clean) / kMB;
  state.counters["nagle_MBps"] = Median(nagle) / kMB;
  state.counters["buffers0_MBps"] = Median(small) / kMB;
  state.counters["nagle_buffers0_MBps"] = Median(both) / kMB;
  state.counters["ethernet_MBps"] = Median(ethernet) / kMB;
  state.counters["ethernet_nagle_buffers0_MBps"] = Median(ethernetNagle) / kMB;
  const auto trap = [](std::string name, std::string value, std::string reference) {
    return MeasureRow{.name = std::move(name),
                       .unit = "MB/s",
                       .value = std::move(value),
                       .reference = std::move(reference),
                       .note = "reference: the same exchange with TCP_NODELAY and the system's buffers"};
  };
  state.SetLabel(MeasureLabel(std::vector<MeasureRow>{
      trap("trap: stop-and-wait of 4150-byte frames/5 B, Nagle on", "nagle_MBps", "stop_and_wait_MBps"),
      trap("trap: stop-and-wait of 4150-byte frames/5 B, socket buffers 0", "buffers0_MBps", "stop_and_wait_MBps"),
      trap("trap: stop-and-wait of 4150-byte frames/5 B, Nagle on and buffers 0", "nagle_buffers0_MBps",
           "stop_and_wait_MBps"),
      trap("trap: the same in Ethernet-sized segments, Nagle on and buffers 0", "ethernet_nagle_buffers0_MBps",
           "ethernet_MBps"),
  }));
}

BENCHMARK(BM_ModuleDownload)->Arg(16)->Iterations(4)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModuleDownloadAtRate)
    ->Args({921600, 512})
    ->Args({12000000, 4096})
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RouterTransfer)->Arg(32)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReaderCpu)->Arg(2)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StopAndWaitTraps)->Arg(4096)->Iterations(7)->UseManualTime()->Unit(benchmark::kMillisecond);


}  // namespace
