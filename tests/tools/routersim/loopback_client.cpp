#include "tools/routersim/loopback_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "diag/framing.h"
#include "platform/clock.h"

namespace orvane::routersim::test {
namespace {

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Waits for readability for what is left of `waitMs` since `start`.
bool WaitReadable(int fd, std::uint32_t start, std::uint32_t waitMs) {
  const std::uint32_t spent = platform::TickCount() - start;
  if (spent >= waitMs) return false;
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(platform::ToRealMs(waitMs - spent))) > 0;
}

std::size_t CountEntries(const char* directory) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) ++n;
  return n;
}

}  // namespace

bool TcpClient::Connect(std::uint16_t port) {
  Close();
  m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    m_errno = errno;
    Close();
    return false;
  }
  m_peerClosed = false;
  return true;
}

bool TcpClient::Send(std::span<const std::uint8_t> bytes) {
  std::size_t sent = 0;
  while (m_fd >= 0 && sent < bytes.size()) {
    const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      m_errno = errno;
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return m_fd >= 0;
}

bool TcpClient::Send(const std::string& text) {
  return Send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::vector<std::uint8_t> TcpClient::ReadFor(std::uint32_t waitMs, const std::string& until) {
  std::vector<std::uint8_t> got;
  got.swap(m_held);
  const std::uint32_t start = platform::TickCount();
  auto found = [&] {
    return !until.empty() && std::search(got.begin(), got.end(), until.begin(), until.end()) != got.end();
  };
  while (m_fd >= 0 && !m_peerClosed && !found() && WaitReadable(m_fd, start, waitMs)) {
    std::uint8_t buffer[4096];
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      m_peerClosed = true;
      break;
    }
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

std::string TcpClient::ReadText(std::uint32_t waitMs, const std::string& until) {
  const std::vector<std::uint8_t> bytes = ReadFor(waitMs, until);
  return std::string(bytes.begin(), bytes.end());
}

std::optional<std::vector<std::uint8_t>> TcpClient::ReadFrame(std::uint32_t waitMs) {
  std::vector<std::uint8_t> got;
  got.swap(m_held);
  const std::uint32_t start = platform::TickCount();
  while (true) {
    // A frame ends at the first flag that follows some other byte.
    bool body = false;
    for (std::size_t i = 0; i < got.size(); ++i) {
      if (got[i] != FRAME_FLAG) {
        body = true;
      } else if (body) {
        m_held.assign(got.begin() + static_cast<std::ptrdiff_t>(i) + 1, got.end());
        got.resize(i + 1);
        return got;
      }
    }
    if (m_fd < 0 || m_peerClosed || !WaitReadable(m_fd, start, waitMs)) {
      m_held = got;
      return std::nullopt;
    }
    std::uint8_t buffer[4096];
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      m_peerClosed = true;
      continue;
    }
    got.insert(got.end(), buffer, buffer + n);
  }
}

void TcpClient::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_held.clear();
}

UdpClient::UdpClient() {
  m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(0);
  ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

UdpClient::~UdpClient() {
  if (m_fd >= 0) ::close(m_fd);
}

bool UdpClient::SendTo(std::uint16_t port, std::span<const std::uint8_t> datagram) {
  const sockaddr_in address = Loopback(port);
  const ssize_t n = ::sendto(m_fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                             sizeof address);
  return n == static_cast<ssize_t>(datagram.size());
}

std::optional<std::vector<std::uint8_t>> UdpClient::Receive(std::uint32_t waitMs) {
  if (!WaitReadable(m_fd, platform::TickCount(), waitMs)) return std::nullopt;
  std::uint8_t buffer[2048];
  const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
  if (n < 0) return std::nullopt;
  return std::vector<std::uint8_t>(buffer, buffer + n);
}

std::uint16_t UdpClient::LocalPort() const {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&bound), &length);
  return ntohs(bound.sin_port);
}

std::size_t ThreadCount() { return CountEntries("/proc/self/task"); }
std::size_t OpenDescriptorCount() { return CountEntries("/proc/self/fd"); }

}  // namespace orvane::routersim::test
