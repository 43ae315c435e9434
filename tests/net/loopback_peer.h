#pragma once
// In-test peers on 127.0.0.1 with ports the system picks, built on the
// platform socket layer (tests include no OS headers).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"
#include "support/time_scale.h"

namespace orvane::testing {

inline constexpr platform::Ipv4Endpoint kLoopbackAnyPort{{127, 0, 0, 1}, 0};
inline const std::string kLoopback = "127.0.0.1";

// A socket closed when it goes out of scope.
class OwnedSocket {
 public:
  OwnedSocket() = default;
  explicit OwnedSocket(platform::SocketHandle handle) : m_handle(handle) {}
  ~OwnedSocket() { Close(); }
  OwnedSocket(OwnedSocket&& other) noexcept : m_handle(other.Release()) {}
  OwnedSocket& operator=(OwnedSocket&& other) noexcept {
    if (this != &other) {
      Close();
      m_handle = other.Release();
    }
    return *this;
  }
  platform::SocketHandle Get() const { return m_handle; }
  bool Valid() const { return m_handle != platform::kInvalidSocket; }
  platform::SocketHandle Release() {
    const platform::SocketHandle h = m_handle;
    m_handle = platform::kInvalidSocket;
    return h;
  }
  void Close() {
    if (Valid()) {
      std::uint32_t error = 0;
      platform::CloseSocket(Release(), &error);
    }
  }
  // Ends the connection with a reset instead of an orderly close.
  void Reset() {
    if (Valid()) platform::ResetAndCloseSocket(Release());
  }

  bool SendAll(const std::vector<std::uint8_t>& bytes) const { return SendAll(bytes.data(), bytes.size()); }
  bool SendAll(const std::string& text) const {
    return SendAll(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  }
  bool SendAll(const std::uint8_t* data, std::size_t length) const {
    std::size_t done = 0;
    while (done < length) {
      const auto r = platform::StreamSend(m_handle, data + done, length - done, 5000);
      if (r.status != platform::IoStatus::kDone) return false;
      done += r.bytes;
    }
    return true;
  }
  // Reads until `count` bytes came or `timeoutMs` passed without any.
  std::vector<std::uint8_t> ReadBytes(std::size_t count, std::uint32_t timeoutMs = 5000) const {
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    while (bytes.size() < count) {
      const std::size_t want = std::min(sizeof chunk, count - bytes.size());
      const auto r = platform::StreamReceive(m_handle, chunk, want, timeoutMs, nullptr);
      if (r.status != platform::IoStatus::kDone || r.bytes == 0) break;
      bytes.insert(bytes.end(), chunk, chunk + r.bytes);
    }
    return bytes;
  }

 private:
  platform::SocketHandle m_handle = platform::kInvalidSocket;
};

// A listening TCP socket on 127.0.0.1.
class TcpListener {
 public:
  explicit TcpListener(int backlog = 8) {
    std::uint32_t error = 0;
    m_socket = OwnedSocket(platform::ListenStream(kLoopbackAnyPort, backlog, &m_bound, &error));
  }
  bool Valid() const { return m_socket.Valid(); }
  std::uint16_t Port() const { return m_bound.port; }
  OwnedSocket Accept(std::uint32_t timeoutMs = 5000) {
    std::uint32_t error = 0;
    return OwnedSocket(platform::AcceptStream(m_socket.Get(), timeoutMs, nullptr, &error));
  }
  void Close() { m_socket.Close(); }

 private:
  OwnedSocket m_socket;
  platform::Ipv4Endpoint m_bound;
};

// Connects to a listener that does not accept until its accept queue is
// full: the system then drops further connection requests, so the next
// connect to it hangs. Returns the connections that filled the queue (keep
// them open), or an empty vector when the queue never filled.
inline std::vector<OwnedSocket> FillAcceptQueue(std::uint16_t port) {
  const platform::Ipv4Endpoint peer{{127, 0, 0, 1}, port};
  std::vector<OwnedSocket> fillers;
  platform::AbortEvent abort;
  for (int i = 0; i < 256; ++i) {
    std::uint32_t error = 0;
    OwnedSocket s(platform::OpenStreamSocket(&error));
    std::thread setter([&] {
      platform::Sleep(150);
      abort.Set();
    });
    const bool connected = platform::ConnectStream(s.Get(), peer, &abort, &error);
    setter.join();
    abort.Reset();
    if (!connected) return error == platform::kErrInterrupted ? std::move(fillers) : std::vector<OwnedSocket>{};
    fillers.push_back(std::move(s));
  }
  return {};
}

// A bound UDP socket on 127.0.0.1.
class UdpPeer {
 public:
  UdpPeer() {
    std::uint32_t error = 0;
    m_socket = OwnedSocket(platform::BindDatagram(kLoopbackAnyPort, &m_bound, &error));
  }
  bool Valid() const { return m_socket.Valid(); }
  std::uint16_t Port() const { return m_bound.port; }
  platform::SocketHandle Get() const { return m_socket.Get(); }
  // One datagram, or an empty vector with `*got` false.
  std::vector<std::uint8_t> Receive(platform::Ipv4Endpoint* from, bool* got, std::uint32_t timeoutMs = 5000) {
    std::vector<std::uint8_t> buffer(2048);
    const auto r = platform::DatagramReceive(m_socket.Get(), buffer.data(), buffer.size(), timeoutMs, from);
    *got = r.status == platform::IoStatus::kDone;
    buffer.resize(*got ? r.bytes : 0);
    return buffer;
  }
  bool SendTo(const std::vector<std::uint8_t>& bytes, const platform::Ipv4Endpoint& to) {
    const auto r = platform::DatagramSend(m_socket.Get(), bytes.data(), bytes.size(), to, 1000);
    return r.status == platform::IoStatus::kDone && r.bytes == bytes.size();
  }

 private:
  OwnedSocket m_socket;
  platform::Ipv4Endpoint m_bound;
};

// Runs the tests of a fixture at a fraction of real time, so that the
// real-world time-outs of the protocol stay in the code and the suite stays
// fast. Durations are measured in system milliseconds.
class ScaledTime : public ::testing::Test {
 protected:
  static constexpr double kScale = 0.5;
  static std::uint32_t ElapsedSince(std::uint32_t start) { return platform::TickCount() - start; }

 private:
  test::ScopedTimeScale m_timeScale{kScale};
};

// Bounds for a measured system-time duration: it may never end early, and
// may run late by what a loaded two-core machine with sanitizers adds
// (a generous margin in real time, expressed in system time).
inline void ExpectDuration(std::uint32_t measured, std::uint32_t expected, const char* what) {
  const std::uint32_t lateMarginMs = static_cast<std::uint32_t>(200 / platform::TimeScale());
  EXPECT_GE(measured + 15, expected) << what;  // a tick of rounding
  EXPECT_LE(measured, expected + lateMarginMs) << what;
}

// A duration that may be shorter than `bound` but not (much) longer.
inline void ExpectAtMost(std::uint32_t measured, std::uint32_t bound, const char* what) {
  const std::uint32_t lateMarginMs = static_cast<std::uint32_t>(200 / platform::TimeScale());
  EXPECT_LE(measured, bound + lateMarginMs) << what;
}

}  // namespace orvane::testing
