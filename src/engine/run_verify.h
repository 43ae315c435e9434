#pragma once
// Verification after an update: once every selected item succeeded, wait
// until the router answers discovery again (it restarts after taking a
// router image), run a check, and compare what each updated item reports
// now with its image's version. Each item of the report gets its
// ItemVerification; the lines go to the download log too.
//
// Runs on the caller's thread (in the front ends, the run's worker, after
// Run()); the wait ends early when the run is asked to stop.
#include <cstdint>
#include <string>

#include "catalogue/update_item.h"
#include "engine/router_link.h"
#include "engine/run_report.h"
#include "engine/run_stop.h"
#include "net/telnet_session.h"

namespace orvane {

// How long the router may take to answer discovery again after a run. A
// router that took an image writes it to its flash before its verdict, then
// restarts: boot loader, system and services take about a minute on these
// boards; twice that before the verification gives up.
inline constexpr std::uint32_t kRouterRestartLimitMs = 120000;
// Between two discovery attempts that failed at once (no route, no
// adapter): discovery itself waits 1 s for an answer otherwise.
inline constexpr std::uint32_t kRediscoverPauseMs = 1000;

// Does the version a device reports show the image's version? The whole
// text, or the image's version followed by something that is no part of a
// version ("2.1.9.0.1 (build 5)" shows "2.1.9.0.1").
bool ReportsVersion(const std::string& reported, const std::string& imageVersion);

class CRunVerifier {
 public:
  // `runItems`: the items the run updated (their images give the expected
  // versions). `link` and `telnet`: the router's; the verification's check
  // goes through them with a table of items of its own, so `runItems` are
  // left as they are. `imageDirectory`: where the check looks for images.
  CRunVerifier(const UpdateItems& runItems, CRouterLink& link, CTelnetSession& telnet, const CRunStop& stop,
               std::string imageDirectory)
      : m_runItems(runItems), m_link(link), m_telnet(telnet), m_stop(stop), m_imageDirectory(std::move(imageDirectory)) {}

  // Fills the verification of every item the run selected.
  void Verify(RunReport& report);

 private:
  // Until the router that was updated answers discovery, or the limit.
  bool WaitForRouter(std::string* why);
  void SetAll(RunReport& report, VerifyOutcome outcome, const std::string& reason);
  void Log(const std::string& line) { m_link.LogSink().DiagLine(line); }

  const UpdateItems& m_runItems;
  CRouterLink& m_link;
  CTelnetSession& m_telnet;
  const CRunStop& m_stop;
  std::string m_imageDirectory;
};

}  // namespace orvane
