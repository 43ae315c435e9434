// One ICMP echo request and the answer to it.
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "watchdog/netvigil.h"

namespace nv {

namespace {

constexpr unsigned char kIcmpEchoReply = 0;
constexpr unsigned char kIcmpUnreachable = 3;
constexpr unsigned char kIcmpEchoRequest = 8;
constexpr unsigned char kIcmpTimeExceeded = 11;
constexpr unsigned char kIcmpParameterProblem = 12;
constexpr unsigned char kIpProtocolIcmp = 1;
constexpr int kIcmpProtocolFallback = 1;  // when the protocol database has no "icmp"
constexpr int kIpv4HeaderMinimum = 20;    // bytes
constexpr int kIcmpHeaderSize = 8;        // type, code, checksum, identifier, sequence
constexpr int kIpv4SourceOffset = 12;
constexpr int kIpv4DestinationOffset = 16;
constexpr int kIpv4ProtocolOffset = 9;
// Bytes for one name's lookup answer: its names, aliases and addresses (the
// C library's resolver keeps at most 48 addresses of a name, about 1 KB).
constexpr size_t kHostAnswerSize = 4096;

// The sequence number of the next echo request of this process.
uint16_t g_next_sequence = 1;

// The length in bytes of the IPv4 header at `datagram`, or 0 when the first
// `length` bytes are no IPv4 header.
int ipv4_header_length(const unsigned char* datagram, int length) {
  if (length < kIpv4HeaderMinimum || (datagram[0] >> 4) != 4) return 0;
  const int header = (datagram[0] & 0x0F) * 4;
  return header >= kIpv4HeaderMinimum && header <= length ? header : 0;
}

// Whether the ICMP error message `icmp` (`length` bytes) quotes the request:
// the original IPv4 header, sent to the pinged address for ICMP, and the
// first 8 bytes of the echo request with its identifier and sequence.
bool quotes_request(const unsigned char* icmp, int length, const pending_echo& sent) {
  const unsigned char* original = icmp + kIcmpHeaderSize;
  const int rest = length - kIcmpHeaderSize;
  if (rest <= 0) return false;
  const int header = ipv4_header_length(original, rest);
  if (header == 0 || rest < header + kIcmpHeaderSize) return false;
  if (original[kIpv4ProtocolOffset] != kIpProtocolIcmp) return false;
  if (memcmp(original + kIpv4DestinationOffset, sent.destination, 4) != 0) return false;
  const unsigned char* quoted = original + header;
  return quoted[0] == kIcmpEchoRequest && memcmp(quoted + 4, sent.request + 4, 4) == 0;
}

}  // namespace

uint16_t icmp_checksum(const void* data, int length) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  // Words in memory order: the ones' complement sum does not depend on the
  // byte order, so the result, stored back the same way, is right on either.
  uint32_t sum = 0;
  for (; length > 1; length -= 2, bytes += 2) {
    uint16_t word;
    memcpy(&word, bytes, 2);
    sum += word;
  }
  if (length == 1) {
    unsigned char last[2] = {bytes[0], 0};  // an odd last byte pads with zero
    uint16_t word;
    memcpy(&word, last, 2);
    sum += word;
  }
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum += sum >> 16;
  return static_cast<uint16_t>(~sum);
}

void build_echo_request(unsigned char (&packet)[kEchoRequestSize], uint16_t identifier,
                        uint16_t sequence) {
  memset(packet, 0, sizeof packet);
  packet[0] = kIcmpEchoRequest;  // code and data stay 0
  packet[4] = static_cast<unsigned char>(identifier >> 8);
  packet[5] = static_cast<unsigned char>(identifier);
  packet[6] = static_cast<unsigned char>(sequence >> 8);
  packet[7] = static_cast<unsigned char>(sequence);
  const uint16_t checksum = icmp_checksum(packet, kEchoRequestSize);
  memcpy(packet + 2, &checksum, 2);
}

uint16_t echo_identifier() {
  // Taken anew for each request: the daemon's process id changes when it
  // detaches.
  const uint16_t identifier = static_cast<uint16_t>(getpid() & 0xFFFF);
  return identifier != 0 ? identifier : 1;
}

reply_verdict judge_reply(const unsigned char* datagram, int length, const pending_echo& sent) {
  const int header = ipv4_header_length(datagram, length);
  if (header == 0 || length < header + kIcmpHeaderSize) return REPLY_IGNORED;
  const unsigned char* icmp = datagram + header;
  const int icmp_length = length - header;
  switch (icmp[0]) {
    case kIcmpEchoReply: {
      if (length < kMinimumReplySize) return REPLY_IGNORED;
      // From the pinged address, and the request's identifier, sequence and
      // data as far as the receive buffer kept them: another program's
      // reply, a late reply to an earlier request or a reply with a forged
      // source does not answer this request.
      if (memcmp(datagram + kIpv4SourceOffset, sent.destination, 4) != 0) return REPLY_IGNORED;
      const int compared = (icmp_length < kEchoRequestSize ? icmp_length : kEchoRequestSize) - 4;
      if (memcmp(icmp + 4, sent.request + 4, static_cast<size_t>(compared)) != 0) {
        return REPLY_IGNORED;
      }
      return REPLY_SUCCESS;
    }
    case kIcmpUnreachable:
    case kIcmpTimeExceeded:
    case kIcmpParameterProblem:
      // A router on the way (or this host) says the request did not get
      // through; about someone else's packet it says nothing about ours.
      return quotes_request(icmp, icmp_length, sent) ? REPLY_FAILURE : REPLY_IGNORED;
    default:
      // Echo requests among them: our own, looped back when the server is
      // this host, or someone else's ping of the router.
      return REPLY_IGNORED;
  }
}

int create_icmp_socket() {
  const protoent* protocol = getprotobyname("icmp");
  const int number = protocol != nullptr ? protocol->p_proto : kIcmpProtocolFallback;
  const int sock = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, number);
  // Only opening the raw socket needs the privilege; give it up now. The
  // system call itself, for this one thread: the C library's setuid() first
  // brings every thread of the process to a halt to change them all alike,
  // machinery a one-thread daemon has no use for (2.6 KB of the router
  // program).
  if (syscall(SYS_setuid, getuid()) != 0) {
    // Already running as the real user, or the system refused: go on.
  }
  return sock < 0 ? -1 : sock;
}

// The first IPv4 address of `name` (a host name or dotted address) as a
// destination with `port`; false for an empty or unknown name.
bool resolve(const char* name, uint16_t port, sockaddr_in* destination) {
  if (name == nullptr || *name == '\0') return false;
  // The reentrant form of gethostbyname, with the answer in this buffer
  // rather than one the C library allocates.
  hostent entry{};
  hostent* host = nullptr;
  char answer[kHostAnswerSize];
  int lookup_error = 0;
  if (gethostbyname_r(name, &entry, answer, sizeof answer, &host, &lookup_error) != 0 ||
      host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
      host->h_addr_list[0] == nullptr) {
    return false;
  }
  *destination = sockaddr_in{};
  destination->sin_family = AF_INET;
  destination->sin_port = htons(port);
  memcpy(&destination->sin_addr, host->h_addr_list[0], 4);
  return true;
}

int netvigil(const char* server, int sock) {
  if (server == nullptr || *server == '\0') return -1;
  if (sock < 0) return -1;  // no raw socket (no privilege): every ping fails
  sockaddr_in destination;
  if (!resolve(server, 0, &destination)) return -1;

  pending_echo echo;
  memcpy(echo.destination, &destination.sin_addr, 4);
  build_echo_request(echo.request, echo_identifier(), g_next_sequence++);
  const ssize_t sent = sendto(sock, echo.request, sizeof echo.request, 0,
                              reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  if (sent < kEchoRequestSize) log_line("netvigil", 229, "Error!\n");  // wait all the same

  // One 10 s limit for the answer: waiting again after a signal or a skipped
  // datagram takes the time that remains, so a stream of other traffic can
  // neither stretch the wait nor keep it going.
  const int64_t deadline = monotonic_us() + to_us(daemon_wait(kReplyWaitMs));
  unsigned char reply[kReplyBufferSize];
  for (;;) {
    timeval wait{};
    const bool waiting = time_left(deadline, &wait);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock, &readable);
    const int ready = waiting ? select(sock + 1, &readable, nullptr, nullptr, &wait) : 0;
    if (ready < 0 && errno == EINTR) {
      log_line("netvigil", 247, "Interrupt by isr in sleep!\n");
      continue;
    }
    if (ready == 0) {
      log_line("netvigil", 253, "Interrupt by isr in sleep!\n");
      return -1;
    }
    // Readable, or the wait failed otherwise. Not blocking here: after a
    // failed wait there may be nothing to receive, and the daemon must not
    // hang.
    const ssize_t got = recvfrom(sock, reply, sizeof reply, MSG_DONTWAIT, nullptr, nullptr);
    if (got < 0) {
      log_line("netvigil", 266, "Interrupt by isr in sleep!\n");
      return -1;
    }
    switch (judge_reply(reply, static_cast<int>(got), echo)) {
      case REPLY_IGNORED:
        continue;
      case REPLY_FAILURE:
        log_line("netvigil", 306, "Receive failure!\n");
        return -1;
      case REPLY_SUCCESS:
        log_line("netvigil", 277, "Receive success!\n");
        return 0;
    }
  }
}

probe_kind parse_probe(const char* server, tcp_target* target) {
  const size_t prefix = strlen(kTcpPrefix);
  if (strncmp(server, kTcpPrefix, prefix) != 0) return PROBE_ICMP;
  const char* host = server + prefix;
  const char* colon = strchr(host, ':');
  if (colon == nullptr || colon == host || strchr(colon + 1, ':') != nullptr) {
    return PROBE_TCP_INVALID;  // no host, no port, or an address with ':'
  }
  const size_t length = static_cast<size_t>(colon - host);
  if (length >= sizeof target->host) return PROBE_TCP_INVALID;
  // The port: decimal digits alone, 1..65535.
  int32_t port = 0;
  const char* digit = colon + 1;
  for (; *digit >= '0' && *digit <= '9' && port <= 65535; ++digit) port = port * 10 + (*digit - '0');
  if (digit == colon + 1 || *digit != '\0' || port < 1 || port > 65535) return PROBE_TCP_INVALID;
  memcpy(target->host, host, length);
  target->host[length] = '\0';
  target->port = static_cast<uint16_t>(port);
  return PROBE_TCP;
}

int tcp_probe(const tcp_target& target) {
  sockaddr_in destination;
  if (!resolve(target.host, target.port, &destination)) return -1;
  const int sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int error = sock < 0 ? errno : 0;
  if (sock >= 0 &&
      connect(sock, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) != 0) {
    error = errno;
  }
  // Under way: the answer (the handshake's, or a reset) makes the socket
  // writable, within the same one 10 s limit as a ping's reply.
  const int64_t deadline = monotonic_us() + to_us(daemon_wait(kReplyWaitMs));
  while (error == EINPROGRESS || error == EALREADY || error == EINTR) {
    timeval wait{};
    if (!time_left(deadline, &wait)) {
      error = ETIMEDOUT;
      break;
    }
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(sock, &writable);
    const int ready = select(sock + 1, nullptr, &writable, nullptr, &wait);
    if (ready < 0) {
      error = errno;  // EINTR: wait again with the time that remains
    } else if (ready > 0) {
      // The outcome, as a second connect() reports it: 0 (or EISCONN) for
      // a connection that was opened, else why it failed. SO_ERROR holds the
      // same, but as a value that a user-mode emulator hands on untranslated
      // to another CPU's numbering; a call's own error it translates.
      error = connect(sock, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) == 0
                  ? 0
                  : errno;
      if (error == EISCONN) error = 0;
    }
  }
  if (sock >= 0) close(sock);
  const int port = target.port;
  if (error == 0) {
    log_line("netvigil", 280, "Connected to TCP port %d!\n", port);
  } else if (error == ECONNREFUSED) {
    log_line("netvigil", 281, "TCP port %d refused: the host answers!\n", port);
  } else if (error == ETIMEDOUT) {
    log_line("netvigil", 282, "No TCP answer from port %d in time!\n", port);
    return -1;
  } else {
    log_line("netvigil", 283, "TCP connection to port %d failed, errno %d!\n", port, error);
    return -1;
  }
  return 0;
}

}  // namespace nv
