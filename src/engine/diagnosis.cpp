#include "engine/diagnosis.h"

#include "catalogue/image_set.h"
#include "catalogue/image_signatures.h"
#include "diag/diag_log_sink.h"
#include "engine/check_procedure.h"
#include "engine/router_link.h"
#include "net/telnet_session.h"

namespace orvane {
namespace {

// The diagnosis keeps the module caller's lines to itself: its findings say
// what they showed.
class SilentSink : public IDiagLogSink {
 public:
  void DiagLine(const std::string&) override {}
};

// The image scan's warning, kept instead of shown.
std::string MaskedText(const platform::AdapterAddress& a) {
  return FormatIpv4(a.address) + "/" + FormatIpv4(a.mask);
}

std::string AdapterDetail(const platform::NetworkAdapter& adapter) {
  std::string detail = adapter.up ? "up" : "down";
  if (adapter.ipv4.empty()) return detail + ", no IPv4 address";
  for (const platform::AdapterAddress& a : adapter.ipv4) detail += ", " + MaskedText(a);
  return detail;
}

Finding Make(FindingKind kind, Severity severity, std::string subject, std::string detail,
             Advice advice = Advice::kNone) {
  Finding f;
  f.kind = kind;
  f.severity = severity;
  f.subject = std::move(subject);
  f.detail = std::move(detail);
  f.advice = advice;
  return f;
}

const char* KindTitle(FindingKind kind) {
  switch (kind) {
    case FindingKind::kAdapter: return "adapter";
    case FindingKind::kAdaptersUnreadable: return "the adapters could not be listed";
    case FindingKind::kNoAdapterOnNetwork: return "no adapter on the router's network";
    case FindingKind::kAdapterOnNetwork: return "one adapter on the router's network";
    case FindingKind::kSeveralAdaptersOnNetwork: return "several adapters on the router's network";
    case FindingKind::kImagesFound: return "images";
    case FindingKind::kImagesUnusable: return "images unusable";
    case FindingKind::kImagesSigned: return "images signed by a trusted key";
    case FindingKind::kImagesNotSigned: return "image not signed by a trusted key";
    case FindingKind::kImagesNotSignatureChecked: return "images not signature-checked (no key is trusted)";
    case FindingKind::kRouterAnswered: return "router answered discovery";
    case FindingKind::kNoRouterAnswered: return "no router answered discovery";
    case FindingKind::kRouterAnswerUnusable: return "the router answered discovery, but its answer was unusable";
    case FindingKind::kSeveralRouters: return "several routers answered discovery";
    case FindingKind::kUdpFiltered: return "the router's UDP answers are filtered on this PC";
    case FindingKind::kShellLoginPrompt: return "router shell gives its login prompt";
    case FindingKind::kShellUnreachable: return "router shell not reachable";
    case FindingKind::kShellNoLoginPrompt: return "router shell gives no login prompt";
    case FindingKind::kRelayAccepts: return "relay port accepts";
    case FindingKind::kRelayRefused: return "relay port does not accept";
    case FindingKind::kModuleAnswers: return "wireless module answers";
    case FindingKind::kModuleInDownloader: return "wireless module runs its downloader";
    case FindingKind::kModuleSilent: return "wireless module does not answer";
  }
  return "?";
}

}  // namespace

bool Diagnosis::Has(FindingKind kind) const {
  for (const Finding& f : findings) {
    if (f.kind == kind) return true;
  }
  return false;
}

std::vector<const platform::NetworkAdapter*> AdaptersOnNetwork(const std::vector<platform::NetworkAdapter>& adapters,
                                                              const Ipv4Address& broadcast) {
  constexpr Ipv4Address kLimitedBroadcast{255, 255, 255, 255};
  constexpr std::uint8_t kLoopbackNetwork = 127;
  const bool limited = broadcast == kLimitedBroadcast;
  std::vector<const platform::NetworkAdapter*> on;
  for (const platform::NetworkAdapter& adapter : adapters) {
    if (!adapter.up) continue;
    for (const platform::AdapterAddress& a : adapter.ipv4) {
      if (limited) {
        if (a.address[0] == kLoopbackNetwork) continue;
        on.push_back(&adapter);
        break;
      }
      bool same = true;
      for (std::size_t i = 0; i < a.address.size(); ++i) {
        same = same && (a.address[i] & a.mask[i]) == (broadcast[i] & a.mask[i]);
      }
      if (same) {
        on.push_back(&adapter);
        break;
      }
    }
  }
  return on;
}

Ipv4Address ExpectedRouterAddress(const Ipv4Address& broadcast) {
  constexpr std::uint8_t kBroadcastHost = 255;
  constexpr std::uint8_t kRouterHost = 1;  // the router's own place on its LAN
  Ipv4Address router = broadcast;
  if (router[3] == kBroadcastHost) router[3] = kRouterHost;
  return router;
}

std::vector<Finding> AdapterFindings(const std::vector<platform::NetworkAdapter>& adapters,
                                     const Ipv4Address& broadcast) {
  std::vector<Finding> findings;
  for (const platform::NetworkAdapter& adapter : adapters) {
    Finding f = Make(FindingKind::kAdapter, Severity::kInfo, adapter.name, AdapterDetail(adapter));
    f.adapter = adapter;
    findings.push_back(std::move(f));
  }
  const std::vector<const platform::NetworkAdapter*> on = AdaptersOnNetwork(adapters, broadcast);
  const std::string network = "broadcast " + FormatIpv4(broadcast);
  if (on.empty()) {
    findings.push_back(Make(FindingKind::kNoAdapterOnNetwork, Severity::kFault, network,
                            "no adapter that is up has an address on the network of " + FormatIpv4(broadcast),
                            Advice::kConnectToRouterLan));
  } else if (on.size() == 1) {
    findings.push_back(
        Make(FindingKind::kAdapterOnNetwork, Severity::kInfo, on.front()->name, AdapterDetail(*on.front())));
  } else {
    std::string names;
    for (const platform::NetworkAdapter* a : on) names += (names.empty() ? "" : ", ") + a->name;
    findings.push_back(Make(FindingKind::kSeveralAdaptersOnNetwork, Severity::kWarning, names,
                            "the system sends to the router's network through only one of them",
                            Advice::kDisableOtherAdapters));
  }
  return findings;
}

std::string DiscoveryNoiseText(const DiscoveryNoise& noise) {
  std::string text;
  const auto add = [&text](std::size_t count, const char* what) {
    if (count == 0) return;
    text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + what;
  };
  add(noise.badFrame, "with a bad check sequence or a broken frame");
  add(noise.shortPacket, "shorter than a whole packet");
  add(noise.otherType, "of another packet type");
  add(noise.noMac, "with an all-zero MAC address");
  return text;
}

void SettleVerdict(Diagnosis& d, bool routerReached) {
  bool fault = false;
  for (Finding& f : d.findings) {
    // The list may miss a route the system knows (a VPN, a routed LAN).
    if (routerReached && f.kind == FindingKind::kNoAdapterOnNetwork && f.severity == Severity::kFault) {
      f.severity = Severity::kWarning;
      f.detail += "; a router answered all the same";
    }
    fault = fault || f.severity == Severity::kFault;
  }
  d.checkWouldSucceed = !fault;
}

Diagnosis RunDiagnosis(const DiagnosisOptions& options) {
  Diagnosis d;
  const NetworkProfile& profile = options.profile;
  Ipv4Address broadcast{};
  ParseIpv4(profile.broadcastAddress, &broadcast);

  std::vector<platform::NetworkAdapter> adapters;
  std::string error;
  if (platform::ListNetworkAdapters(&adapters, &error)) {
    for (Finding& f : AdapterFindings(adapters, broadcast)) d.findings.push_back(std::move(f));
  } else {
    d.findings.push_back(Make(FindingKind::kAdaptersUnreadable, Severity::kWarning, "", error));
  }
  const bool noAdapter = d.Has(FindingKind::kNoAdapterOnNetwork);

  const ImageSetPtr images = CImageSet::Scan(options.imageDirectory);
  UpdateItems items;
  LoadItemNames(items);
  images->AttachTo(items);
  if (images->Usable()) {
    std::string detail;
    for (const CUpdateItem& item : items) {
      if (!item.HasImage()) continue;
      detail += (detail.empty() ? "" : ", ") + item.m_strName + " " + item.GetUpdateVersion();
    }
    d.findings.push_back(Make(FindingKind::kImagesFound, Severity::kInfo, options.imageDirectory, detail));
    const SignatureCheck signatures = CheckImageSignatures(*images, options.trustedKeys, options.allowUnsigned);
    switch (signatures.verdict) {
      case SignatureVerdict::NotChecked:
        d.findings.push_back(Make(FindingKind::kImagesNotSignatureChecked, Severity::kInfo, options.imageDirectory, ""));
        break;
      case SignatureVerdict::Verified:
        d.findings.push_back(Make(FindingKind::kImagesSigned, Severity::kInfo, signatures.list.path,
                                  "trusted key " + signatures.SignerText()));
        break;
      case SignatureVerdict::AllowedUnsigned:
      case SignatureVerdict::Refused:
        d.findings.push_back(Make(FindingKind::kImagesNotSigned,
                                  signatures.verdict == SignatureVerdict::Refused ? Severity::kFault : Severity::kWarning,
                                  options.imageDirectory, signatures.RefusalText(), Advice::kSignImages));
        break;
    }
  } else {
    d.findings.push_back(Make(FindingKind::kImagesUnusable, Severity::kFault, options.imageDirectory,
                              LoadText(images->Warning()), Advice::kCheckImageFolder));
  }

  std::vector<RouterAnnouncement> routers;
  DiscoveryNoise noise;
  bool requestSent = false;
  {
    CControlChannel discovery(profile.broadcastAddress, profile.controlUdpPort);
    requestSent = discovery.DiscoverAll(&routers, kMaxAnnouncements, &noise);
  }
  for (const RouterAnnouncement& r : routers) {
    Finding f = Make(FindingKind::kRouterAnswered, Severity::kInfo, FormatIpv4(r.ip),
                     "MAC " + FormatMac(r.mac) + ", version \"" + r.text + "\"");
    f.router = r;
    d.findings.push_back(std::move(f));
  }
  const std::size_t silentAt = d.findings.size();
  const bool answeredUnusably = routers.empty() && noise.Total() > 0;
  if (answeredUnusably) {
    // Something answers on the router's port, so nothing filters it: the
    // answers themselves are what the check cannot use.
    d.findings.push_back(Make(FindingKind::kRouterAnswerUnusable, Severity::kFault, profile.broadcastAddress,
                              std::to_string(noise.Total()) + (noise.Total() == 1 ? " datagram" : " datagrams") +
                                  " came back on port " +
                                  std::to_string(profile.controlUdpPort) + ", none a usable announcement: " +
                                  DiscoveryNoiseText(noise),
                              Advice::kRestartRouter));
  } else if (routers.empty()) {
    const std::string port = std::to_string(profile.controlUdpPort);
    d.findings.push_back(Make(FindingKind::kNoRouterAnswered, Severity::kFault, profile.broadcastAddress,
                              requestSent ? "no answer on port " + port + " within " +
                                                std::to_string(kDiscoverReplyTimeoutMs) + " ms"
                                          : "the request could not be sent there (port " + port + ")",
                              noAdapter ? Advice::kConnectToRouterLan : Advice::kPowerAndCableRouter));
  } else if (routers.size() > 1) {
    d.findings.push_back(Make(FindingKind::kSeveralRouters, Severity::kWarning,
                              std::to_string(routers.size()) + " routers",
                              "the check takes whichever answers first", Advice::kOneRouterOnly));
  }

  // The TCP probes go to the router that answered first, else to where the
  // router is expected.
  const Ipv4Address target = routers.empty() ? options.router.value_or(ExpectedRouterAddress(broadcast)) : routers[0].ip;
  const std::string targetText = FormatIpv4(target);
  // What to do when a TCP port does not answer depends on what came before.
  const Advice unreachable = noAdapter         ? Advice::kConnectToRouterLan
                             : routers.empty() ? Advice::kPowerAndCableRouter
                                               : Advice::kRestartRouter;

  bool shellConnected = false;
  {
    CTelnetSession telnet(profile);
    const std::string where = targetText + " port " + std::to_string(profile.telnetPort);
    if (!telnet.Connect(targetText)) {
      d.findings.push_back(Make(FindingKind::kShellUnreachable, Severity::kWarning, where,
                                "no connection; the check then takes the router versions from discovery",
                                unreachable));
    } else {
      shellConnected = true;
      if (telnet.ReadLines(kTelnetWaitMs) && telnet.FindLine(":") >= 0) {
        d.findings.push_back(Make(FindingKind::kShellLoginPrompt, Severity::kInfo, where, ""));
      } else {
        d.findings.push_back(Make(FindingKind::kShellNoLoginPrompt, Severity::kWarning, where,
                                  "connected, but no login prompt came", Advice::kRestartRouter));
      }
    }
    telnet.Disconnect();
  }

  bool relayAccepted = false;
  {
    SilentSink sink;
    CRouterLink link(profile, sink);
    link.SetRouter(routers.empty() ? MacAddress{} : routers[0].mac, target);
    const std::string where = targetText + " port " + std::to_string(profile.relayTcpPort);
    if (!link.Connect()) {
      d.findings.push_back(Make(FindingKind::kRelayRefused, Severity::kFault, where, "no TCP connection", unreachable));
    } else {
      relayAccepted = true;
      d.findings.push_back(Make(FindingKind::kRelayAccepts, Severity::kInfo, where, ""));
      if (!link.HandShake(true)) {
        d.findings.push_back(Make(FindingKind::kModuleSilent, Severity::kWarning, where,
                                  "no answer to the handshake; the module's items will likely fail",
                                  Advice::kCheckModule));
      } else if (link.ModuleState().inDownloader) {
        d.findings.push_back(Make(FindingKind::kModuleInDownloader, Severity::kWarning, where,
                                  "the module runs its downloader; its versions cannot be read",
                                  Advice::kModuleRecovers));
      } else {
        d.findings.push_back(Make(FindingKind::kModuleAnswers, Severity::kInfo, where, ""));
      }
      link.Disconnect();
    }
  }

  if (routers.empty() && !answeredUnusably && (shellConnected || relayAccepted)) {
    d.findings[silentAt].advice = Advice::kAllowRouterUdp;
    d.findings.push_back(Make(FindingKind::kUdpFiltered, Severity::kFault, targetText,
                              "discovery stayed silent while the router's TCP ports answer: an inbound UDP filter "
                              "(a firewall) drops the router's answers",
                              Advice::kAllowRouterUdp));
  }

  SettleVerdict(d, !routers.empty() && relayAccepted);
  return d;
}

const char* FindingKindName(FindingKind kind) {
  switch (kind) {
    case FindingKind::kAdapter: return "adapter";
    case FindingKind::kAdaptersUnreadable: return "adapters_unreadable";
    case FindingKind::kNoAdapterOnNetwork: return "no_adapter_on_network";
    case FindingKind::kAdapterOnNetwork: return "adapter_on_network";
    case FindingKind::kSeveralAdaptersOnNetwork: return "several_adapters_on_network";
    case FindingKind::kImagesFound: return "images_found";
    case FindingKind::kImagesUnusable: return "images_unusable";
    case FindingKind::kImagesSigned: return "images_signed";
    case FindingKind::kImagesNotSigned: return "images_not_signed";
    case FindingKind::kImagesNotSignatureChecked: return "images_not_signature_checked";
    case FindingKind::kRouterAnswered: return "router_answered";
    case FindingKind::kNoRouterAnswered: return "no_router_answered";
    case FindingKind::kRouterAnswerUnusable: return "router_answer_unusable";
    case FindingKind::kSeveralRouters: return "several_routers";
    case FindingKind::kUdpFiltered: return "udp_filtered";
    case FindingKind::kShellLoginPrompt: return "shell_login_prompt";
    case FindingKind::kShellUnreachable: return "shell_unreachable";
    case FindingKind::kShellNoLoginPrompt: return "shell_no_login_prompt";
    case FindingKind::kRelayAccepts: return "relay_accepts";
    case FindingKind::kRelayRefused: return "relay_refused";
    case FindingKind::kModuleAnswers: return "module_answers";
    case FindingKind::kModuleInDownloader: return "module_in_downloader";
    case FindingKind::kModuleSilent: return "module_silent";
  }
  return "?";
}

const char* SeverityName(Severity severity) {
  switch (severity) {
    case Severity::kInfo: return "info";
    case Severity::kWarning: return "warning";
    case Severity::kFault: return "fault";
  }
  return "?";
}

const char* AdviceName(Advice advice) {
  switch (advice) {
    case Advice::kNone: return "";
    case Advice::kConnectToRouterLan: return "connect_to_router_lan";
    case Advice::kDisableOtherAdapters: return "disable_other_adapters";
    case Advice::kCheckImageFolder: return "check_image_folder";
    case Advice::kSignImages: return "sign_images";
    case Advice::kPowerAndCableRouter: return "power_and_cable_router";
    case Advice::kAllowRouterUdp: return "allow_router_udp";
    case Advice::kOneRouterOnly: return "one_router_only";
    case Advice::kRestartRouter: return "restart_router";
    case Advice::kModuleRecovers: return "module_recovers";
    case Advice::kCheckModule: return "check_module";
  }
  return "?";
}

const char* AdviceText(Advice advice) {
  switch (advice) {
    case Advice::kNone: return "";
    case Advice::kConnectToRouterLan:
      return "plug this PC into a LAN port of the router and let it take an address on the router's network "
             "(192.168.1.x by default)";
    case Advice::kDisableOtherAdapters:
      return "disable the other adapters on that network (Wi-Fi, the office network) or take them off it, "
             "so that only the router's adapter remains";
    case Advice::kCheckImageFolder:
      return "put exactly one valid *.bin per item into the image folder (see orvane image scan)";
    case Advice::kPowerAndCableRouter:
      return "check that the router is on and has finished starting, and that the cable is in a LAN port, "
             "not the WAN port";
    case Advice::kAllowRouterUdp:
      return "allow incoming UDP from port 1280 of the router in this PC's firewall (or turn the filter off) "
             "while updating";
    case Advice::kOneRouterOnly:
      return "leave only the router to update on this LAN; switch the others off or unplug them";
    case Advice::kRestartRouter: return "switch the router off and on, wait for its start, then check again";
    case Advice::kModuleRecovers: return "run Update: it downloads the module through its downloader";
    case Advice::kCheckModule:
      return "check that the wireless module sits in the router; a module item will fail while it is silent";
    case Advice::kSignImages:
      return "use images as released with their SHA256.sig (orvane image sign or signify-openbsd -S -e), or "
             "trust the key that signed them (--trusted-key, the key folder)";
  }
  return "";
}

std::string FindingLine(const Finding& finding) {
  std::string line = std::string(SeverityName(finding.severity)) + ": " + KindTitle(finding.kind);
  if (!finding.subject.empty()) line += " " + finding.subject;
  if (!finding.detail.empty()) line += ": " + finding.detail;
  if (finding.advice != Advice::kNone) line += ". What to do: " + std::string(AdviceText(finding.advice));
  return line;
}

void LogFindings(const Diagnosis& diagnosis, IDiagLogSink& log) {
  log.DiagLine(std::string("Diagnosis: ") +
               (diagnosis.checkWouldSucceed ? "a check would succeed now" : "what stands in the check's way"));
  for (const Finding& f : diagnosis.findings) log.DiagLine("Diagnosis: " + FindingLine(f));
}

}  // namespace orvane
