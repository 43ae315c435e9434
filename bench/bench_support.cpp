#include "bench_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "catalogue/image_builder.h"

namespace orvane::bench {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const std::size_t n = samples.size();
  return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

std::string ImageFile(ImageType type, std::size_t dataBytes) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("orvane-bench-" + std::string(ImageTypeName(type)) + "-" + std::to_string(dataBytes) + ".bin");
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
  if (type == IMAGE_BOOT || type == IMAGE_APP || type == IMAGE_RESOURCE) SetRouterKindFlags(unit.data, type);
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

void TimingView::SetCellText(int row, int column, const std::string& text) {
  Hook hook;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    hook = m_hook;
  }
  if (hook) hook(row, column, text);
}

void TimingView::OnCell(Hook hook) {
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

std::string RouterNamespace() {
  const char* name = std::getenv("ORVANE_BENCH_ROUTER_NS");
  return name != nullptr ? name : "";
}

EngineOnSim::EngineOnSim(routersim::Config config, routersim::ModuleConfig module, const std::string& routerNamespace) {
  m_module = std::make_unique<routersim::SimModule>(std::move(module));
  NetworkProfile profile;
  Ipv4Address router{127, 0, 0, 1};
  std::string error;
  if (routerNamespace.empty()) {
    config.bindAddress = "127.0.0.1";
    m_sim = std::make_unique<routersim::RouterSim>(config, m_module.get());
    if (!m_sim->Start(&error)) throw std::runtime_error("simulator: " + error);
    profile.broadcastAddress = "127.0.0.1";
    profile.relayTcpPort = m_sim->BoundPorts().relay;
    profile.controlUdpPort = m_sim->BoundPorts().control;
    profile.telnetPort = m_sim->BoundPorts().telnet;
  } else {
    // Every address of the router's namespace, so that the broadcasts of
    // discovery and of the router update reach it too.
    config.bindAddress = "0.0.0.0";
    config.relayPort = DISCOVERY_PORT;
    config.controlPort = DISCOVERY_PORT;
    config.telnetPort = kDefaultTelnetPort;
    m_sim = std::make_unique<routersim::RouterSim>(config, m_module.get());
    bool started = false;
    if (!InNamespace(routerNamespace, [&] { started = m_sim->Start(&error); })) {
      throw std::runtime_error("cannot enter network namespace " + routerNamespace);
    }
    if (!started) throw std::runtime_error("simulator: " + error);
    router = {192, 168, 1, 1};
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
  CUpdateItem& item = m_items[type];
  item.m_image.SetPath(path);
  if (!item.m_image.LoadImage() || item.m_image.Type() != type) return nullptr;
  item.m_bSelected = 1;
  return &item.m_image;
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
