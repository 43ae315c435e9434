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
// version empty (it then compares as a match) and the log keeps the detail.
// Runs on the caller's thread and blocks it for the whole check.
#include <string>
#include <vector>

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

// Does `text` begin with a router version: five dot-separated decimal
// groups ("1.0.0.12.3", optionally "1.0.0.12.3."), then anything that is
// not a digit or a dot?
bool IsVersionText(const std::string& text);

// From the last line back, the first version line is copied whole into
// `target` (8-bit text, converted to UTF-8); false and `target` unchanged
// when there is none.
bool PickVersionLine(const std::vector<std::string>& lines, std::string& target);

class CCheckProcedure {
 public:
  // The check reads and writes `items`, finds the router into `link` and
  // reads the module's versions through it.
  CCheckProcedure(UpdateItems& items, CRouterLink& link, CTelnetSession& telnet, IPrompter& prompter)
      : m_items(items), m_link(link), m_telnet(telnet), m_prompter(prompter) {}

  // The whole check over the images in `imageDirectory`. False when it
  // cannot go on; the reason has been shown through the prompter.
  bool RunCheck(const std::string& imageDirectory);
  bool TelnetLogin();

  // The version text the router gave in its discovery answer.
  const std::string& DiscoveryVersion() const { return m_discoveryVersion; }

 private:
  UpdateItems& m_items;
  CRouterLink& m_link;
  CTelnetSession& m_telnet;
  IPrompter& m_prompter;
  std::string m_discoveryVersion;
};

}  // namespace orvane
