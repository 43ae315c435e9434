#pragma once
// Small blocking clients for talking to the simulator over loopback in
// tests. Every wait is in system milliseconds of platform/clock.h.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvane::routersim::test {

class TcpClient {
 public:
  TcpClient() = default;
  ~TcpClient() { Close(); }
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // Connects to 127.0.0.1:port; false with `errno` kept in LastErrno().
  bool Connect(std::uint16_t port);
  bool Send(std::span<const std::uint8_t> bytes);
  bool Send(const std::string& text);
  // Everything that arrives within `waitMs` (it returns early once `until`
  // is found in what arrived, when given). Sets PeerClosed() when the
  // connection ended.
  std::vector<std::uint8_t> ReadFor(std::uint32_t waitMs, const std::string& until = {});
  std::string ReadText(std::uint32_t waitMs, const std::string& until = {});
  // Reads until one whole frame (up to and including a closing 0x7E after
  // at least one other byte) arrived; returns its bytes or nothing.
  std::optional<std::vector<std::uint8_t>> ReadFrame(std::uint32_t waitMs);
  bool PeerClosed() const { return m_peerClosed; }
  int LastErrno() const { return m_errno; }
  void Close();

 private:
  int m_fd = -1;
  int m_errno = 0;
  bool m_peerClosed = false;
  std::vector<std::uint8_t> m_held;  // bytes read past a frame
};

// One UDP socket on 127.0.0.1 with an ephemeral port.
class UdpClient {
 public:
  UdpClient();
  ~UdpClient();
  UdpClient(const UdpClient&) = delete;
  UdpClient& operator=(const UdpClient&) = delete;

  bool SendTo(std::uint16_t port, std::span<const std::uint8_t> datagram);
  // One datagram, or nothing within `waitMs`.
  std::optional<std::vector<std::uint8_t>> Receive(std::uint32_t waitMs);
  std::uint16_t LocalPort() const;

 private:
  int m_fd = -1;
};

// Threads and open descriptors of this process, from /proc/self.
std::size_t ThreadCount();
std::size_t OpenDescriptorCount();

}  // namespace orvane::routersim::test
