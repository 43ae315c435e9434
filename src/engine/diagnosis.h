#pragma once
// The diagnosis behind a failing check: what stands between this PC and the
// router, step by step, each as a typed finding with what the operator
// should do about it.
//
//   the PC's adapters -> which of them are on the broadcast address's network
//   -> the image folder's scan -> every router that answers discovery
//   -> the telnet shell's login prompt -> the relay port -> the module's
//   handshake (and whether it runs its downloader)
//   -> silent discovery but open TCP ports: an inbound UDP filter
//
// Runs on the caller's thread (never a window's) and blocks it for about
// the discovery wait plus the connects; changes nothing on the router.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/update_item.h"
#include "trust/trusted_keys.h"
#include "diag/diag_log_sink.h"
#include "net/address.h"
#include "net/control_channel.h"
#include "net/network_profile.h"
#include "platform/network_adapters.h"

namespace orvane {

enum class FindingKind {
  kAdapter,                  // one per adapter of the PC (subject: its name)
  kAdaptersUnreadable,       // the system would not list the adapters
  kNoAdapterOnNetwork,       // no adapter that is up has an address on the broadcast's network
  kAdapterOnNetwork,         // exactly one has (subject: its name)
  kSeveralAdaptersOnNetwork, // more than one (subject: their names)
  kImagesFound,              // the folder's scan assigned files (subject: the folder)
  kImagesUnusable,           // the check's image step would fail (detail: its warning)
  kImagesSigned,             // a trusted key signed every image (detail: the key's number)
  kImagesNotSigned,          // an image is not signed by a trusted key (detail: which and why)
  kImagesNotSignatureChecked,// no key is trusted: the images are not signature-checked
  kRouterAnswered,           // one per router that answered discovery (subject: its IPv4 address)
  kNoRouterAnswered,         // discovery stayed silent
  kRouterAnswerUnusable,     // datagrams came back, but none was a usable announcement (detail: what was wrong)
  kSeveralRouters,           // more than one router answered
  kUdpFiltered,              // silent discovery, but the router's TCP ports answer
  kShellLoginPrompt,         // the telnet shell gave its login prompt
  kShellUnreachable,         // no telnet connection
  kShellNoLoginPrompt,       // connected, but no login prompt
  kRelayAccepts,             // the relay port took a TCP connection
  kRelayRefused,             // it did not
  kModuleAnswers,            // the module answered the handshake
  kModuleInDownloader,       // ... and runs its downloader
  kModuleSilent,             // no handshake answer
};

enum class Severity {
  kInfo,     // how things are
  kWarning,  // the check goes on, but something is likely wrong
  kFault,    // the check fails because of this
};

enum class Advice {
  kNone,
  kConnectToRouterLan,      // plug the PC into a LAN port of the router, give it an address on its network
  kDisableOtherAdapters,    // disable the other adapters on that network (or take the PC off them)
  kCheckImageFolder,        // put exactly one valid *.bin per item into the folder
  kPowerAndCableRouter,     // router on, cable in a LAN port (not WAN), wait for its start
  kAllowRouterUdp,          // let UDP from port 1280 in (firewall) or turn the filter off
  kOneRouterOnly,           // leave one router on the LAN
  kRestartRouter,           // the router's service does not answer: restart it
  kModuleRecovers,          // the next update recovers a module in its downloader
  kCheckModule,             // the wireless module is absent or not seated
  kSignImages,              // sign the images with a trusted key, or trust the key that signed them
};

struct Finding {
  FindingKind kind = FindingKind::kAdapter;
  Severity severity = Severity::kInfo;
  std::string subject;  // what it is about: an adapter, a folder, a router's address
  std::string detail;   // the facts, in words
  Advice advice = Advice::kNone;
  // The values behind kAdapter and kRouterAnswered, for renderers that show
  // them as fields.
  std::optional<platform::NetworkAdapter> adapter;
  std::optional<RouterAnnouncement> router;
};

struct DiagnosisOptions {
  NetworkProfile profile;
  std::string imageDirectory = ".";
  // Where the router's TCP ports are probed when no router answers
  // discovery; unset: ExpectedRouterAddress of the profile.
  std::optional<Ipv4Address> router;
  // As the check has them: an image that no trusted key signed is a fault,
  // a warning when unsigned images are allowed.
  trust::TrustedKeys trustedKeys;
  bool allowUnsigned = false;
};

struct Diagnosis {
  std::vector<Finding> findings;
  // One rule: true exactly when no finding is a fault (images usable, a
  // router found, its relay accepting, nothing else in the way).
  bool checkWouldSucceed = false;

  bool Has(FindingKind kind) const;
};

// The adapters that are up and hold an address on the network of
// `broadcast` (the address masked by the adapter's own mask), loopback
// included; each once, in the system's order. The limited broadcast
// 255.255.255.255 leaves through any of them: every adapter that is up with
// an IPv4 address outside loopback counts.
std::vector<const platform::NetworkAdapter*> AdaptersOnNetwork(const std::vector<platform::NetworkAdapter>& adapters,
                                                              const Ipv4Address& broadcast);

// Where the router is expected when it does not answer: the .1 of a
// broadcast address ending in 255, any other address as it is.
Ipv4Address ExpectedRouterAddress(const Ipv4Address& broadcast);

// The findings of the adapter step: one per adapter, then the verdict on
// the broadcast's network.
std::vector<Finding> AdapterFindings(const std::vector<platform::NetworkAdapter>& adapters,
                                     const Ipv4Address& broadcast);

// The datagrams that came back to discovery without a usable announcement,
// in words: "2 with a bad check sequence, 1 with an all-zero MAC address".
std::string DiscoveryNoiseText(const DiscoveryNoise& noise);

// Ends a diagnosis: when `routerReached` (a router answered discovery and
// its relay accepted), an adapter list that shows none on the router's
// network does not stand in the check's way, and that finding becomes a
// warning; then checkWouldSucceed is set by the one rule.
void SettleVerdict(Diagnosis& diagnosis, bool routerReached);

// The whole diagnosis, with an image scan of its own.
Diagnosis RunDiagnosis(const DiagnosisOptions& options);

// Stable names for machines ("several_adapters_on_network", "fault",
// "allow_router_udp") and the advice in the operator's words.
const char* FindingKindName(FindingKind kind);
const char* SeverityName(Severity severity);
const char* AdviceName(Advice advice);
const char* AdviceText(Advice advice);

// One line per finding for a log or a terminal:
// "fault: no router answered discovery - <detail>. What to do: <advice>".
std::string FindingLine(const Finding& finding);

// The findings into a log, one "Diagnosis: <FindingLine>" each, after a line
// that opens them.
void LogFindings(const Diagnosis& diagnosis, IDiagLogSink& log);

}  // namespace orvane
