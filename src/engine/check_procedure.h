#pragma once
// The check: find the images, find the router, read the versions the router
// board and the wireless module run, and compare.
//
//   images (FindImageFiles) -> discovery (control port, broadcast)
//   -> telnet login, "nvram get cfe_version" / "app_version"
//   -> relay connection, module handshake, firmware and dashboard versions
//   -> CompareItemVersion for rows 0..3, Dashboard always MATCH_YES
//
// Failures the operator must see go through the prompter; the rest leaves a
// version empty (it then compares as a match) or takes the router versions
// from discovery. Those quiet outcomes are kept as facts (Facts()) for the
// front ends that say them, and written to the download log with the check's
// other lines. Runs on the caller's thread and blocks it for the whole check.
#include <string>
#include <vector>

#include "catalogue/image_set.h"
#include "catalogue/prompter.h"
#include "catalogue/update_item.h"
#include "engine/router_link.h"
#include "net/telnet_session.h"

namespace orvane {

// The shell's login text, sent as user name and as password.
inline constexpr const char* kTelnetLogin = "qmbzx\r\n";
inline constexpr const char* kQueryBootVersion = "nvram get cfe_version\r\n";
inline constexpr const char* kQueryAppVersion = "nvram get app_version\r\n";
inline constexpr std::uint32_t kTelnetWaitMs = 500;

// What the last check found out beyond the rows.
struct CheckFacts {
  // The warning that ended the check (kImagesFound when none did): the
  // image scan's, IDS_DETECT_NONE_ROUTER or IDS_TCP_CONNECT_FAIL.
  StringId warning = kImagesFound;
  bool routerFound = false;
  // The telnet login went through. When it did not, `shellProblem` says
  // where it stopped ("no connection to 192.168.1.1 port 23", ...).
  bool shellReached = false;
  std::string shellProblem;
  // The router board's versions are discovery's (no shell, or the shell
  // gave no version line for the boot loader or the application).
  bool routerVersionsFromDiscovery = false;
  // A line of the shell's that began like a version was refused (too long,
  // or a piece of a longer line), in words: "the application's version line
  // is 310 bytes long, more than the 128 a version line may have". Empty
  // when none was.
  std::string shellVersionProblem;
  // The relay connection stood and the module answered the handshake; and
  // whether it runs its downloader (its versions are then not asked).
  bool relayConnected = false;
  bool moduleAnswered = false;
  bool moduleInDownloader = false;
};

class CCheckProcedure {
 public:
  // The check reads and writes `items`, finds the router into `link` and
  // reads the module's versions through it.
  CCheckProcedure(UpdateItems& items, CRouterLink& link, CTelnetSession& telnet, IPrompter& prompter)
      : m_items(items), m_link(link), m_telnet(telnet), m_prompter(prompter) {}

  // The whole check over `images` (a scan made for this check, or one that
  // several sessions share; the items point into it afterwards, so it must
  // outlive their use). False when it cannot go on; the reason has been
  // shown through the prompter and is in Facts().warning.
  bool RunCheck(const CImageSet& images);
  bool TelnetLogin();

  // The version text the router gave in its discovery answer.
  const std::string& DiscoveryVersion() const { return m_discoveryVersion; }
  const CheckFacts& Facts() const { return m_facts; }

 private:
  bool ShellFailed(std::string problem);
  // Asks the shell for one version (`query`) into `target`; `what` names it
  // in the fact and the log line when its line is refused.
  void ReadShellVersion(const char* query, const char* what, std::string& target);
  bool Refuse(StringId warning);
  void Log(const std::string& line) { m_link.LogSink().DiagLine(line); }

  UpdateItems& m_items;
  CRouterLink& m_link;
  CTelnetSession& m_telnet;
  IPrompter& m_prompter;
  std::string m_discoveryVersion;
  CheckFacts m_facts;
};

}  // namespace orvane
