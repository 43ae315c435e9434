#pragma once
// A router with its three LAN services, in one object: the telnet shell,
// the UDP control responder and the TCP relay to the wireless module.
//
//   RouterSim sim(config);            // ports 0 = the system picks
//   if (!sim.Start(&error)) ...       // binds, then serves on one thread
//   sim.BoundPorts().relay            // the ports actually bound
//   sim.WaitFor([](const Received& r) { return r.images.size() == 1; }, 5000);
//   sim.Snapshot().images[0].data     // the router image, byte for byte
//   sim.Stop();                       // prompt; thread joined, sockets closed
//
// Threads: Start runs one service thread that owns every socket and calls
// the module; all public functions may be called from any thread while it
// runs. Waits and delays are in system milliseconds of platform/clock.h, so
// a time scale set there speeds up the result delay too.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "routersim/module.h"
#include "routersim/telnet_shell.h"
#include "routersim/wire.h"

namespace orvane::routersim {

struct Faults {
  bool silentControl = false;                    // receive control datagrams, answer none
  bool refuseTelnet = false;                     // telnet port bound but not listening: connects are refused
  bool refuseRelay = false;                      // relay port bound but not listening: connects are refused
  std::optional<std::uint64_t> closeRelayAfter;  // close each relay connection after this many received bytes
  bool corruptNextReply = false;                 // the next frame the router builds gets a bad check sequence
  bool keepVersions = false;                     // an accepted router image leaves the reported versions as they were
  // A hostile peer in the router's place.
  bool floodDiscovery = false;                   // a discovery is answered by an endless stream of good frames
                                                 // that are no announcement (wrong type, no MAC, short), no answer
  std::uint64_t telnetFloodBytes = 0;            // each telnet connection gets this many bytes without a line
                                                 // end (nor ':' or '#') instead of the shell
  bool telnetSilent = false;                     // telnet connections are accepted but never sent a byte
  std::optional<std::uint8_t> relayFloodByte;    // each relay connection gets this byte without end (0x7E flags,
                                                 // 0x7D escapes) and nothing is answered on it
  std::size_t relayHugeFrame = 0;                // each piece for the module is answered by one good frame of a
                                                 // packet this long, and the module never sees the piece
};

struct Config {
  std::string bindAddress = "127.0.0.1";  // IPv4; every service binds here
  std::uint16_t telnetPort = 0;           // 0 = pick a free port
  std::uint16_t relayPort = 0;
  std::uint16_t controlPort = 0;
  std::optional<Ipv4> ip;                  // discovery's address; unset = the bind address (192.168.1.1 when that is 0.0.0.0)
  Mac mac{0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};  // a locally administered address
  std::optional<std::string> versionText;  // discovery's text (21 bytes at most); unset = the app_version setting
  std::map<std::string, std::string> settings{{"cfe_version", "1.0.0.2.5"}, {"app_version", "2.1.0.3.7"}};
  ShellAccount account;
  std::uint32_t resultCode = kResultAccepted;
  std::uint32_t resultDelayMs = 0;  // between an image's last byte and its result packet
  // After an accepted router image the router restarts: for this long from
  // its result packet it answers no control datagram (discovery, probes).
  // An accepted image also makes the router report the version the image
  // carries (wire.h: boot loader -> cfe_version, application and resource
  // -> app_version and discovery), unless the fault keepVersions is set.
  std::uint32_t restartMs = 0;
  // How long the router still answers after its result packet before that
  // restart begins (writing the image to its flash).
  std::uint32_t restartDelayMs = 0;
  // Keep every router image's bytes in Received (for tests to compare);
  // false keeps only their count, so that a long-running program does not
  // grow by each image it takes.
  bool keepImageData = true;
  // The serial link between the router board and its module, in bits per
  // second; 0 = no limit. Each byte to or from the module takes 8 bits of
  // it (a UART's start and stop bits are not counted: pass 80% of the baud
  // rate to model them). Both directions run at once, each byte after the
  // one before; the relay passes bytes on as they arrive, so a request
  // reaches the module when its last byte has crossed, and the answer
  // arrives once it has crossed back. In system time, so the clock's time
  // scale applies.
  std::uint64_t moduleLinkBitsPerSecond = 0;
  // The LAN's round trip between the PC and the router, in microseconds of
  // system time (0 = none beyond the network's own): each module answer
  // reaches the client this much later, so a stop-and-wait exchange pays it
  // once per request, as across a real switch. Kept apart from the module
  // link: it delays the answer without holding the link.
  std::uint32_t lanRoundTripUs = 0;
  // Keeps the link's time as a line would: a piece starts to cross when its
  // first byte reached the router (the kernel's receive stamp), and an answer
  // leaves at its moment (link_pacer.h). False: from when the service thread
  // read the piece, and whenever its timed wait ends (kept to measure the
  // difference).
  bool exactLinkTime = true;
  Faults faults;
};

struct Ports {
  std::uint16_t telnet = 0;
  std::uint16_t relay = 0;
  std::uint16_t control = 0;
};

struct RouterImage {
  std::uint32_t announcedLength = 0;  // the trigger's total length
  std::vector<std::uint8_t> data;     // every byte taken as image, in order (with keepImageData)
  std::uint64_t received = 0;         // how many bytes were taken as image
  bool complete = false;              // all announced bytes arrived
  bool resultSent = false;            // the result packet went out (after the delay)
};

struct TriggerRecord {
  TriggerKind kind;
  std::uint32_t totalLength;
};

struct ControlRecord {
  ControlPacket packet{};  // the decoded request
  bool answered = false;
};

// Everything the router received, in arrival order.
struct Received {
  std::vector<RouterImage> images;
  std::vector<TriggerRecord> triggers;
  std::vector<ControlRecord> controls;
  std::size_t badDatagrams = 0;  // control datagrams that were no good frame of 32 bytes
  // Relay pieces meant for the module, as received (see IModule), whether a
  // module took them or, with none attached, they were dropped.
  std::vector<std::vector<std::uint8_t>> modulePieces;
  std::size_t telnetLogins = 0;
  std::size_t relayConnections = 0;
  // What the hostile faults put on the wire: bytes of telnet and relay
  // floods and huge frames, discovery flood datagrams.
  std::uint64_t floodBytesSent = 0;
  std::uint64_t floodDatagramsSent = 0;
};

class RouterSim {
 public:
  // `module` (optional, not owned) must outlive the simulator; without one,
  // frames for the module are dropped.
  explicit RouterSim(Config config, IModule* module = nullptr);
  ~RouterSim();
  RouterSim(const RouterSim&) = delete;
  RouterSim& operator=(const RouterSim&) = delete;

  // Binds all three services and starts serving. On failure nothing stays
  // open and `error` (if given) says which service could not bind and why.
  bool Start(std::string* error = nullptr);
  // Ends the service thread and closes every socket; returns promptly even
  // with clients connected or a result delay pending. Safe to call twice.
  void Stop();
  bool Running() const { return m_thread.joinable(); }

  Ports BoundPorts() const { return m_ports; }
  const std::string& BindAddress() const { return m_config.bindAddress; }

  Received Snapshot() const;
  // Waits until `done` holds for what was received, at most `timeoutMs`
  // system milliseconds; returns whether it held. `done` runs under the
  // simulator's lock: it must only look at its argument.
  bool WaitFor(const std::function<bool(const Received&)>& done, std::uint32_t timeoutMs) const;

  // Changes while running.
  void SetControlSilent(bool silent);
  void SetRelayCloseAfter(std::optional<std::uint64_t> bytes);
  void CorruptNextReply();
  void SetResultCode(std::uint32_t code);
  // The relay goes down for good: every relay connection is reset and later
  // connects are refused. Returns once the service thread has done it (or
  // at once when the simulator is not running).
  void DropRelay();

 private:
  struct Sockets;
  struct Connection;
  class RelayEvents;

  Identity CurrentIdentity() const;
  void Serve();
  void ServeControl();
  void AcceptTelnet();
  void AcceptRelay();
  void ReadConnection(Connection& conn);
  void FlushConnection(Connection& conn);
  void DeliverDueReplies();
  // How long the service thread may sleep: until the next result packet or
  // module answer is due; nothing = until something arrives.
  std::optional<std::chrono::nanoseconds> PollTimeout() const;
  // When the first module answer still crossing the link is due.
  std::optional<std::chrono::steady_clock::time_point> NextAnswerDue() const;
  // The real time that `bytes` take on the module's link.
  std::chrono::nanoseconds LinkTime(std::size_t bytes) const;
  std::chrono::nanoseconds LanRoundTrip() const;
  bool TakeCorruptFlag();
  void RefillFlood(Connection& conn);
  void SendDiscoveryFlood();
  void Record(const std::function<void(Received&)>& change);
  // An accepted router image whose first bytes are `head`: the versions it
  // carries become the router's.
  void TakeImageVersion(const std::vector<std::uint8_t>& head);
  bool Restarting();
  void Wake();
  void CloseAll();
  void StopRelayService();

  Config m_config;
  IModule* m_module;
  SettingsStore m_settings;
  Ports m_ports;

  std::unique_ptr<Sockets> m_sockets;
  std::vector<std::unique_ptr<Connection>> m_connections;  // service thread only
  std::thread m_thread;
  std::atomic<bool> m_stop{false};

  mutable std::mutex m_lock;  // guards the members below
  mutable std::condition_variable m_changed;
  Received m_received;
  Faults m_faults;
  std::uint32_t m_resultCode;
  bool m_dropRelayRequested = false;
  // A restart after an accepted image: since when, and whether one runs
  // (service thread only).
  std::uint32_t m_restartStart = 0;
  bool m_restarting = false;

  // The sender of the discovery that started a flood, and the frames it
  // gets in turn (service thread only).
  std::optional<std::pair<Ipv4, std::uint16_t>> m_floodTo;
  std::vector<std::vector<std::uint8_t>> m_floodFrames;
  std::size_t m_nextFloodFrame = 0;

  // The module's link: when each direction is free again (service thread
  // only).
  std::chrono::steady_clock::time_point m_linkToModuleFree{};
  std::chrono::steady_clock::time_point m_linkFromModuleFree{};
};

}  // namespace orvane::routersim
