#include "bench_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "catalogue/image_builder.h"
#include "catalogue/prompter.h"
#include "catalogue/string_table.h"
#include "diag/diag_commands.h"
#include "diag/framing.h"
#include "engine/check_procedure.h"
#include "net/telnet_session.h"
#include "routersim/wire.h"

namespace orvane::bench {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const std::size_t n = samples.size();
  return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

std::string ImageFile(ImageType type, std::size_t dataBytes, bool carryVersion) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("orvane-bench-" + std::string(ImageTypeName(type)) + "-" + std::to_string(dataBytes) +
                     (carryVersion ? "-versioned" : "") + ".bin");
  if (std::filesystem::exists(path)) return path.string();
  ImagePlan plan;
  plan.type = type;
  // Newer than what the simulated router and module report, in the same
  // line (so a check selects them).
  plan.version = type == IMAGE_FIRMWARE    ? "11.608.13.02.00"
                 : type == IMAGE_DASHBOARD ? "11.002.03.05.00"
                 : type == IMAGE_BOOT      ? "1.0.0.2.6"
                                           : "2.1.0.3.8";
  const routersim::ModuleConfig module;
  plan.unlock = module.unlockCode;
  ImageUnitPlan unit;
  unit.data.resize(dataBytes);
  std::uint32_t x = 12345 + static_cast<std::uint32_t>(dataBytes);
  for (auto& b : unit.data) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  if (type == IMAGE_BOOT || type == IMAGE_APP || type == IMAGE_RESOURCE) {
    SetRouterKindFlags(unit.data, type);
    if (carryVersion) routersim::PutRouterPayloadVersion(unit.data, plan.version);
  }
  plan.units.push_back(std::move(unit));
  std::vector<std::uint8_t> bytes;
  std::string error;
  if (!BuildImage(plan, bytes, error)) throw std::runtime_error("bench image: " + error);
  // Written under another name first: a run broken off half-way leaves no
  // short file behind that a later run would take.
  const auto partial = path.string() + ".part";
  std::ofstream(partial, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  std::filesystem::rename(partial, path);
  return path.string();
}

namespace {

void JsonString(std::ostringstream& out, const std::string& text) {
  out << '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') out << '\\';
    out << c;
  }
  out << '"';
}

}  // namespace

namespace {

void MeasureJson(std::ostringstream& out, const MeasureRow& row) {
  out << "{\"name\":";
  JsonString(out, row.name);
  out << ",\"unit\":";
  JsonString(out, row.unit);
  out << ",\"value\":";
  JsonString(out, row.value);
  if (!row.reference.empty()) {
    out << ",\"reference\":";
    JsonString(out, row.reference);
  }
  if (!row.target.empty()) {
    out << ",\"target\":";
    JsonString(out, row.target);
  }
  if (row.minRatio > 0) out << ",\"min_ratio\":" << row.minRatio;
  if (row.maxRatio > 0) out << ",\"max_ratio\":" << row.maxRatio;
  if (row.maxExcess >= 0) out << ",\"max_excess\":" << row.maxExcess;
  out << ",\"higher_is_better\":" << (row.higherIsBetter ? "true" : "false");
  if (!row.note.empty()) {
    out << ",\"note\":";
    JsonString(out, row.note);
  }
  if (!row.limit.empty()) {
    out << ",\"limit\":";
    JsonString(out, row.limit);
  }
  out << "}";
}

}  // namespace

std::string MeasureLabel(const MeasureRow& row) {
  std::ostringstream out;
  out << "measure:";
  MeasureJson(out, row);
  return out.str();
}

std::string MeasureLabel(const std::vector<MeasureRow>& specs) {
  std::ostringstream out;
  out << "measure:[";
  for (std::size_t i = 0; i < specs.size(); ++i) {
    if (i > 0) out << ",";
    MeasureJson(out, specs[i]);
  }
  out << "]";
  return out.str();
}

void TimingView::SetStatus(int row, const std::string& text, StatusKind) {
  Hook hook;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    hook = m_hook;
  }
  if (hook) hook(row, text);
}

void TimingView::OnStatus(Hook hook) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_hook = std::move(hook);
}

bool InNamespace(const std::string& name, const std::function<void()>& work) {
  const int fd = ::open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool entered = false;
  std::thread([&] {
    entered = ::setns(fd, CLONE_NEWNET) == 0;
    if (entered) work();
  }).join();
  ::close(fd);
  return entered;
}

namespace {

// Whether this process runs in the PC's namespace that bench/lan.sh made
// (ORVANE_LAN_PC, by default orvane-bench-pc): only there may the LAN's
// addresses be used.
bool InBenchPcNamespace() {
  const char* pc = std::getenv("ORVANE_LAN_PC");
  const std::string made = std::string("/run/netns/") + (pc != nullptr && *pc != '\0' ? pc : "orvane-bench-pc");
  struct stat self {};
  struct stat lan {};
  if (::stat("/proc/self/ns/net", &self) != 0 || ::stat(made.c_str(), &lan) != 0) return false;
  return self.st_ino == lan.st_ino && self.st_dev == lan.st_dev;
}

}  // namespace

std::string RouterNamespace() {
  const char* name = std::getenv("ORVANE_BENCH_ROUTER_NS");
  // Set by mistake outside the PC's namespace: no LAN, so the shaped
  // measures skip instead of sending to the machine's own network.
  if (name == nullptr || !InBenchPcNamespace()) return "";
  return name;
}

namespace {

// The simulated router serving `module`: on 127.0.0.1 with ports the system
// picks or, with `routerNamespace`, inside that namespace on every address it
// has there (so that the broadcasts of discovery and of the router update
// reach it too) and on the real ports.
std::unique_ptr<routersim::RouterSim> StartSim(routersim::Config config, routersim::SimModule* module,
                                               const std::string& routerNamespace) {
  std::string error;
  if (routerNamespace.empty()) {
    config.bindAddress = "127.0.0.1";
    auto sim = std::make_unique<routersim::RouterSim>(config, module);
    if (!sim->Start(&error)) throw std::runtime_error("simulator: " + error);
    return sim;
  }
  config.bindAddress = "0.0.0.0";
  config.relayPort = DISCOVERY_PORT;
  config.controlPort = DISCOVERY_PORT;
  config.telnetPort = kDefaultTelnetPort;
  auto sim = std::make_unique<routersim::RouterSim>(config, module);
  bool started = false;
  if (!InNamespace(routerNamespace, [&] { started = sim->Start(&error); })) {
    throw std::runtime_error("cannot enter network namespace " + routerNamespace);
  }
  if (!started) throw std::runtime_error("simulator: " + error);
  return sim;
}

}  // namespace

EngineOnSim::EngineOnSim(routersim::Config config, routersim::ModuleConfig module, const std::string& routerNamespace) {
  m_module = std::make_unique<routersim::SimModule>(std::move(module));
  m_sim = StartSim(config, m_module.get(), routerNamespace);
  NetworkProfile profile;
  Ipv4Address router{127, 0, 0, 1};
  if (routerNamespace.empty()) {
    profile.broadcastAddress = "127.0.0.1";
    profile.relayTcpPort = m_sim->BoundPorts().relay;
    profile.controlUdpPort = m_sim->BoundPorts().control;
    profile.telnetPort = m_sim->BoundPorts().telnet;
  } else {
    router = {192, 168, 1, 1};  // the real router's profile, in this process's namespace
  }
  m_logFolder = (std::filesystem::temp_directory_path() / "orvane-bench-logs").string();
  m_engine = std::make_unique<CUpdateEngine>(m_items, m_view, profile, m_logFolder);
  m_engine->Link().SetRouter(config.mac, router);
}

EngineOnSim::~EngineOnSim() {
  m_engine.reset();
  m_sim->Stop();
}

bool EngineOnSim::Connect() { return m_engine->ConnectRouter(); }

const CFirmwareImage* EngineOnSim::LoadItem(ImageType type, const std::string& path) {
  CFirmwareImage& image = m_images[type];
  image = CFirmwareImage{};
  image.SetPath(path);
  if (!image.LoadImage() || image.Type() != type) return nullptr;
  m_items[type].m_pImage = &image;
  m_items[type].m_bSelected = 1;
  return &image;
}

// --- References --------------------------------------------------------------

namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : m_fd(fd) {}
  ~Fd() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }

 private:
  int m_fd;
};

void SetInt(int fd, int level, int name, int value) { ::setsockopt(fd, level, name, &value, sizeof value); }

// A listening socket on 127.0.0.1 with a port the system picks; with
// `segmentBytes`, its connections announce that segment size.
int Listen(std::uint16_t* port, int segmentBytes = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (segmentBytes > 0) SetInt(fd, IPPROTO_TCP, TCP_MAXSEG, segmentBytes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("loopback listen failed");
  }
  *port = ntohs(address.sin_port);
  return fd;
}

int ConnectTo(std::uint16_t port, const SocketOptions& options) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (options.bufferBytes >= 0) {
    SetInt(fd, SOL_SOCKET, SO_RCVBUF, options.bufferBytes);
    SetInt(fd, SOL_SOCKET, SO_SNDBUF, options.bufferBytes);
  }
  if (options.noDelay) SetInt(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("loopback connect failed");
  }
  return fd;
}

bool SendAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReceiveAll(int fd, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(fd, data, size, 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

double StopAndWaitRate(std::size_t blocks, std::size_t blockBytes, std::size_t ackBytes, SocketOptions options) {
  std::uint16_t port = 0;
  Fd listener(Listen(&port, options.segmentBytes));
  std::thread peer([&] {
    Fd conn(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (options.noDelay) SetInt(conn.get(), IPPROTO_TCP, TCP_NODELAY, 1);
    std::vector<std::uint8_t> block(blockBytes);
    const std::vector<std::uint8_t> ack(ackBytes, 0x02);
    for (std::size_t i = 0; i < blocks; ++i) {
      if (!ReceiveAll(conn.get(), block.data(), block.size()) || !SendAll(conn.get(), ack.data(), ack.size())) return;
    }
  });
  Fd conn(ConnectTo(port, options));
  std::vector<std::uint8_t> block(blockBytes, 0x5A);
  std::vector<std::uint8_t> ack(ackBytes);
  const auto start = Clock::now();
  bool ok = true;
  for (std::size_t i = 0; ok && i < blocks; ++i) {
    ok = SendAll(conn.get(), block.data(), block.size()) && ReceiveAll(conn.get(), ack.data(), ack.size());
  }
  const double seconds = Seconds(Clock::now() - start);
  peer.join();
  return ok ? static_cast<double>(blocks * blockBytes) / seconds : 0;
}

double RawSendRate(const std::uint8_t* data, std::size_t size, std::size_t writeBytes, SocketOptions options) {
  std::uint16_t port = 0;
  Fd listener(Listen(&port, options.segmentBytes));
  Clock::time_point end{};
  std::thread peer([&] {
    Fd conn(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    std::vector<std::uint8_t> buffer(64 * 1024);
    std::size_t left = size;
    while (left > 0) {
      const ssize_t n = ::recv(conn.get(), buffer.data(), std::min(buffer.size(), left), 0);
      if (n <= 0) return;
      left -= static_cast<std::size_t>(n);
    }
    end = Clock::now();
  });
  Fd conn(ConnectTo(port, options));
  const auto start = Clock::now();
  bool ok = true;
  for (std::size_t at = 0; ok && at < size; at += writeBytes) {
    ok = SendAll(conn.get(), data + at, std::min(writeBytes, size - at));
  }
  peer.join();
  return ok && end > start ? static_cast<double>(size) / Seconds(end - start) : 0;
}

// --- The router transfer ---------------------------------------------------------

bool ImageTaken(routersim::RouterSim& sim, std::uint32_t waitMs) {
  return sim.WaitFor([](const routersim::Received& r) { return r.images.size() == 1 && r.images[0].complete; },
                     waitMs);
}

double RouterTransferRate(ImageType type, const std::string& path, const std::string& routerNamespace,
                          bool compareBytes, std::string* failure) {
  routersim::Config config;
  config.keepImageData = compareBytes;
  EngineOnSim run(config, {}, routerNamespace);
  const CFirmwareImage* image = run.LoadItem(type, path);
  if (image == nullptr || !run.Connect()) {
    *failure = "engine could not connect or load its image";
    return 0;
  }
  const std::size_t bytes = image->Extents()[0].length;
  std::atomic<bool> started{false};
  Clock::time_point start{}, end{};
  const std::string sending = LoadText(IDS_SEND_ROUTER_DATA);
  run.View().OnStatus([&](int, const std::string& text) {
    if (text == sending && !started) {
      start = Clock::now();
      started = true;
    }
  });
  std::thread watcher([&] {
    if (ImageTaken(run.Sim(), 600000)) end = Clock::now();
  });
  const bool ok = run.Engine().Router().TransferRouterImage(type).ok();
  watcher.join();
  const auto seen = run.Sim().Snapshot();
  if (!ok || !started || end <= start || seen.images.size() != 1 || seen.images[0].received != bytes ||
      (compareBytes && (seen.images[0].data.size() != bytes ||
                        std::memcmp(seen.images[0].data.data(), image->UnitData(0), bytes) != 0))) {
    *failure = "router transfer failed or the router did not get the image";
    return 0;
  }
  return static_cast<double>(bytes) / Seconds(end - start);
}

// --- The module download -------------------------------------------------------

namespace {

// Reads one frame up to its closing flag (an acknowledgement comes alone).
bool ReceiveFrame(int fd) {
  std::uint8_t chunk[64];
  std::size_t body = 0;
  for (;;) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    for (ssize_t i = 0; i < n; ++i) {
      if (chunk[i] != FRAME_FLAG) {
        ++body;
      } else if (body > 0) {
        return true;
      }
    }
  }
}

routersim::Config LinkConfig(const ModuleLink& link) {
  routersim::Config config;
  config.moduleLinkBitsPerSecond = link.bitsPerSecond;
  config.lanRoundTripUs = link.lanRoundTripUs;
  config.exactLinkTime = link.exactLinkTime;
  return config;
}

routersim::ModuleConfig InDownloader() {
  routersim::ModuleConfig module;
  module.start = routersim::ModuleStart::kDownloader;
  return module;
}

}  // namespace

double DownloadRate(std::size_t bytes, const ModuleLink& link, std::string* failure, ArrivalWait wait) {
  EngineOnSim run(LinkConfig(link), InDownloader(), link.routerNamespace);
  run.Engine().Link().Channel().SetArrivalWait(wait);
  const CFirmwareImage* image = run.LoadItem(IMAGE_FIRMWARE, ImageFile(IMAGE_FIRMWARE, bytes));
  if (image == nullptr || !run.Connect()) {
    *failure = "engine could not connect or load its image";
    return 0;
  }
  const auto start = Clock::now();
  const bool ok = run.Engine().Module().DownloadImage(*image).ok();
  const double seconds = Seconds(Clock::now() - start);
  const std::size_t blocks = (bytes + DOWNLOAD_BLOCK_SIZE - 1) / DOWNLOAD_BLOCK_SIZE;
  if (!ok || run.Module().WritesAccepted() != blocks ||
      !run.Module().Holds(image->Units()[0].TargetAddress(), image->UnitData(0), bytes)) {
    *failure = "download failed or the module does not hold the image";
    return 0;
  }
  run.Engine().DisconnectRouter();
  return static_cast<double>(bytes) / seconds;
}

std::vector<std::vector<std::uint8_t>> DownloadFrames(const CFirmwareImage& image) {
  std::vector<std::vector<std::uint8_t>> frames;
  if (image.Units().empty()) return frames;
  std::vector<std::uint8_t> frame(std::max(kMaxWriteFrame, MaxFrameSize(kMaxRequestLength)));
  const std::span<const std::uint8_t, kUnlockCodeLength> code(image.Units().front().UnlockCode(), kUnlockCodeLength);
  const DiagRequest unlock = BuildUnlock(code);
  std::size_t n = EncodeFrame(unlock.bytes.data(), unlock.length, frame.data(), unlock.leadingFlag ? 1 : 0);
  frames.emplace_back(frame.begin(), frame.begin() + static_cast<long>(n));
  for (std::size_t unit = 0; unit < image.Units().size(); ++unit) {
    const std::size_t length = image.Extents()[unit].length;
    std::uint32_t address = image.Units()[unit].TargetAddress();
    for (std::size_t at = 0; at < length; at += DOWNLOAD_BLOCK_SIZE) {
      const std::size_t block = std::min(DOWNLOAD_BLOCK_SIZE, length - at);
      n = BuildWriteFrame(address, image.UnitData(unit) + at, block, frame.data());
      frames.emplace_back(frame.begin(), frame.begin() + static_cast<long>(n));
      address += static_cast<std::uint32_t>(block);
    }
  }
  return frames;
}

std::vector<std::uint8_t> AckFrame() {
  const std::uint8_t ack = DLOAD_ACK;
  std::vector<std::uint8_t> frame(MaxFrameSize(kAckLength));
  frame.resize(EncodeFrame(&ack, kAckLength, frame.data(), 1));
  return frame;
}

double PlainClientRate(std::size_t bytes, const ModuleLink& link) {
  CFirmwareImage image;
  image.SetPath(ImageFile(IMAGE_FIRMWARE, bytes));
  if (!image.LoadImage()) return 0;
  const auto frames = DownloadFrames(image);  // built beforehand, as the engine would build them
  routersim::SimModule module(InDownloader());
  const auto sim = StartSim(LinkConfig(link), &module, link.routerNamespace);
  double rate = 0;
  {
    Fd conn(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    SetInt(conn.get(), IPPROTO_TCP, TCP_NODELAY, 1);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    ::inet_pton(AF_INET, link.routerNamespace.empty() ? "127.0.0.1" : kLanRouterAddress, &peer.sin_addr);
    peer.sin_port = htons(sim->BoundPorts().relay);
    if (::connect(conn.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) {
      bool ok = true;
      Clock::time_point start{};
      for (std::size_t i = 0; ok && i < frames.size(); ++i) {
        if (i == 1) start = Clock::now();  // after the unlock
        ok = SendAll(conn.get(), frames[i].data(), frames[i].size()) && ReceiveFrame(conn.get());
      }
      if (ok && module.WritesAccepted() == frames.size() - 1) {
        rate = static_cast<double>(bytes) / Seconds(Clock::now() - start);
      }
    }
  }
  sim->Stop();
  return rate;
}

// --- The whole check and update ------------------------------------------------

namespace {

class QuietPrompter : public IPrompter {
 public:
  void Warning(const std::string& text) override { warnings.push_back(text); }
  std::vector<std::string> warnings;
};

}  // namespace

double UpdateFloorMs(std::uint32_t restartMs) {
  // WaitModuleReady's first probe that the router answers after the
  // restart: probes go 2000 ms after the call and, while unanswered (a
  // 2000 ms reply time-out), every 4000 ms after that.
  double firstAnswered = 2000;
  while (firstAnswered < restartMs) firstAnswered += 4000;
  const double routerItem = 1000 + 100 + 2500 + 100;
  const double waitModuleReady = firstAnswered + 6000 + 2000;
  const double moduleItem = 1000 + 2000 + 100 + 2500 + 2 * waitModuleReady;
  return 100 + 3 * routerItem + 1000 + 2 * moduleItem;
}

std::string ItemFolder(const std::string& name, const std::vector<std::pair<ImageType, std::size_t>>& items,
                       bool carryVersion) {
  const auto folder = std::filesystem::temp_directory_path() / name;
  std::filesystem::create_directories(folder);
  for (const auto& [type, bytes] : items) {
    std::filesystem::copy_file(ImageFile(type, bytes, carryVersion), folder / (std::string(ImageTypeName(type)) + ".bin"),
                               std::filesystem::copy_options::overwrite_existing);
  }
  return folder.string();
}

std::string CheckAndSelectAll(EngineOnSim& run, const std::string& folder, double* checkSeconds) {
  CTelnetSession telnet(run.Engine().Profile());
  QuietPrompter prompter;
  CCheckProcedure check(run.Items(), run.Engine().Link(), telnet, prompter);
  LoadItemNames(run.Items());
  const auto start = Clock::now();
  const ImageSetPtr images = CImageSet::Scan(folder);
  run.HoldImages(images);
  const bool checked = check.RunCheck(*images);
  if (checkSeconds != nullptr) *checkSeconds = Seconds(Clock::now() - start);
  if (!checked) return "check failed";
  for (CUpdateItem& item : run.Items()) {
    if (item.m_nMatch == MATCH_NO || !item.HasImage()) {
      return "an item is missing or unmatched after the check";
    }
    item.m_bSelected = 1;
  }
  return "";
}

// --- Thread CPU time -----------------------------------------------------------

std::vector<int> ThreadIds() {
  std::vector<int> ids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    ids.push_back(std::stoi(entry.path().filename().string()));
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::int64_t ThreadCpuNs(int tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
  std::int64_t ns = -1;
  if (!(in >> ns)) return -1;
  return ns;
}

}  // namespace orvane::bench
