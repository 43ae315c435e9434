#include "engine/check_procedure.h"

#include "log/download_log.h"
#include "net/control_channel.h"
#include "net/telnet_text.h"

namespace orvane {

bool CCheckProcedure::ShellFailed(std::string problem) {
  m_facts.shellProblem = std::move(problem);
  return false;
}

void CCheckProcedure::ReadShellVersion(const char* query, const char* what, std::string& target) {
  m_telnet.Command(query, "#", kTelnetWaitMs);
  const VersionLinePick pick = PickVersionLine(m_telnet.Lines(), target, m_telnet.Pieces());
  std::string problem;
  if (pick.result == VersionLine::kTooLong) {
    problem = std::string("the ") + what + "'s version line is " + std::to_string(pick.bytes) +
              " bytes long, more than the " + std::to_string(kMaxVersionLineBytes) + " a version line may have";
  } else if (pick.result == VersionLine::kCut) {
    problem = std::string("the ") + what + "'s version line was cut off at the " +
              std::to_string(kTelnetMaxReplyBytes) + " bytes of the reply read";
  }
  if (problem.empty()) return;
  Log("Router shell: " + problem + ": not taken as a version");
  if (m_facts.shellVersionProblem.empty()) m_facts.shellVersionProblem = problem;
}

bool CCheckProcedure::Refuse(StringId warning) {
  m_facts.warning = warning;
  Log(std::string("Check: ") + LoadText(warning));
  m_prompter.Warning(warning);
  return false;
}

bool CCheckProcedure::TelnetLogin() {
  m_facts.shellProblem.clear();
  if (!m_telnet.Connect(m_link.AddressText())) {
    return ShellFailed("no connection to " + m_link.AddressText() + " port " +
                       std::to_string(m_link.Profile().telnetPort));
  }
  if (!m_telnet.ReadLines(kTelnetWaitMs) || m_telnet.FindLine(":") < 0) return ShellFailed("no login prompt");
  if (!m_telnet.Command(kTelnetLogin, ":", kTelnetWaitMs)) return ShellFailed("no password prompt");
  if (!m_telnet.Command(kTelnetLogin, "#", kTelnetWaitMs)) return ShellFailed("no shell prompt after the login");
  return true;
}

bool CCheckProcedure::RunCheck(const CImageSet& images) {
  m_facts = CheckFacts{};
  // The check's lines open a block of their own in the day's log file.
  Log(CDownloadLog::kSeparator);
  Log("Check: images in " + images.Directory());
  images.AttachTo(m_items);
  if (!images.Usable()) return Refuse(images.Warning());

  m_discoveryVersion.clear();
  {
    CControlChannel discovery(m_link.Profile().broadcastAddress, m_link.Profile().controlUdpPort,
                             m_link.Profile().binding);
    MacAddress mac{};
    Ipv4Address ip{};
    if (!discovery.Discover(&mac, &ip, &m_discoveryVersion)) return Refuse(IDS_DETECT_NONE_ROUTER);
    m_link.SetRouter(mac, ip);
    m_facts.routerFound = true;
    Log("Router " + m_link.AddressText() + " (" + m_link.MacText() + "), discovery version \"" +
        m_discoveryVersion + "\"");
  }

  for (CUpdateItem& item : m_items) item.m_strOriginalVersion.clear();

  CUpdateItem& boot = m_items[IMAGE_BOOT];
  CUpdateItem& app = m_items[IMAGE_APP];
  m_facts.shellReached = TelnetLogin();
  if (m_facts.shellReached) {
    ReadShellVersion(kQueryBootVersion, "boot loader", boot.m_strOriginalVersion);
    ReadShellVersion(kQueryAppVersion, "application", app.m_strOriginalVersion);
  } else {
    Log("Router shell not reached: " + m_facts.shellProblem);
  }
  // Closed on every path: a half-made login must not keep its connection.
  m_telnet.Disconnect();

  if (boot.m_strOriginalVersion.empty() || app.m_strOriginalVersion.empty()) {
    if (m_facts.shellReached) Log("Router shell gave no boot loader or application version");
    Log("Router versions taken from discovery: \"" + m_discoveryVersion + "\"");
    m_facts.routerVersionsFromDiscovery = true;
    boot.m_strOriginalVersion = m_discoveryVersion;
    app.m_strOriginalVersion = m_discoveryVersion;
  }
  m_items[IMAGE_RESOURCE].m_strOriginalVersion = app.m_strOriginalVersion;

  if (!m_link.Connect()) return Refuse(IDS_TCP_CONNECT_FAIL);
  m_facts.relayConnected = true;
  m_facts.moduleAnswered = static_cast<bool>(m_link.HandShake(true));
  if (!m_facts.moduleAnswered) {
    Log("Module did not answer the handshake: its versions are unknown, and its items will likely fail");
  } else if (m_link.ModuleState().inDownloader) {
    m_facts.moduleInDownloader = true;
    Log("Module runs its downloader: its versions are not read");
  } else {
    m_link.Diag().DIAG_QueryBoardVersion(&m_items[IMAGE_FIRMWARE].m_strOriginalVersion);
    m_link.Diag().DIAG_QueryISOVersion(&m_items[IMAGE_DASHBOARD].m_strOriginalVersion);
  }
  m_link.Disconnect();

  for (const ImageType t : {IMAGE_BOOT, IMAGE_APP, IMAGE_RESOURCE, IMAGE_FIRMWARE}) CompareItemVersion(m_items[t]);
  m_items[IMAGE_DASHBOARD].m_nMatch = MATCH_YES;
  return true;
}

}  // namespace orvane
