// One ICMP echo request and the first answer to it.
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "watchdog/netvigil.h"

namespace nv {

namespace {

constexpr unsigned char kIcmpEchoReply = 0;
constexpr unsigned char kIcmpEchoRequest = 8;
constexpr int kIcmpProtocolFallback = 1;  // when the protocol database has no "icmp"

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

void build_echo_request(unsigned char (&packet)[kEchoRequestSize]) {
  memset(packet, 0, sizeof packet);
  packet[0] = kIcmpEchoRequest;  // code, identifier, sequence and data stay 0
  const uint16_t checksum = icmp_checksum(packet, kEchoRequestSize);
  memcpy(packet + 2, &checksum, 2);
}

reply_verdict judge_reply(const unsigned char* datagram, int length) {
  if (length < kMinimumReplySize) return REPLY_FAILURE;
  // The IPv4 header is at most 60 bytes, so the type byte is inside the
  // 76 bytes known to be there.
  const int header = (datagram[0] & 0x0F) * 4;
  const unsigned char type = datagram[header];
  // A raw socket sees every ICMP message that arrives, echo requests too: our
  // own, looped back when the server is this host, or someone else's ping of
  // the router. Neither says anything about the server.
  if (type == kIcmpEchoRequest) return REPLY_IGNORED;
  return type == kIcmpEchoReply ? REPLY_SUCCESS : REPLY_FAILURE;
}

int create_icmp_socket() {
  const protoent* protocol = getprotobyname("icmp");
  const int number = protocol != nullptr ? protocol->p_proto : kIcmpProtocolFallback;
  const int sock = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, number);
  // Only opening the raw socket needs the privilege; give it up now.
  if (setuid(getuid()) != 0) {
    // Already running as the real user, or the system refused: go on.
  }
  return sock < 0 ? -1 : sock;
}

int netvigil(const char* server, int sock) {
  if (server == nullptr || *server == '\0') return -1;
  if (sock < 0) return -1;  // no raw socket (no privilege): every ping fails
  const hostent* host = gethostbyname(server);
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
      host->h_addr_list[0] == nullptr) {
    return -1;
  }
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_port = 0;
  memcpy(&destination.sin_addr, host->h_addr_list[0], 4);

  unsigned char request[kEchoRequestSize];
  build_echo_request(request);
  const ssize_t sent = sendto(sock, request, sizeof request, 0,
                              reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  if (sent < kEchoRequestSize) log_line("netvigil", 229, "Error!\n");  // wait all the same

  timeval wait = daemon_wait(kReplyWaitMs);
  unsigned char reply[kReplyBufferSize];
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock, &readable);
    // Linux leaves the time that remained in `wait`, so waiting again after a
    // signal or an ignored message keeps the one 10 s limit.
    const int ready = select(sock + 1, &readable, nullptr, nullptr, &wait);
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
    switch (judge_reply(reply, static_cast<int>(got))) {
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

}  // namespace nv
