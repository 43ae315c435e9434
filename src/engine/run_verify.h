#pragma once
// Verification after an update: once every selected item succeeded, wait
// for the router to restart when it took a router image, run a check over
// the same image set, and compare what each updated item reports now with
// its image's version. Each item of the report gets its ItemVerification;
// the lines go to the download log too.
//
//   router image accepted at t0 (its verdict):
//     until it stops answering discovery, at most until t0 + 30 s
//       (a router that never goes away is checked when that bound ends)
//     until it answers again, at most 120 s
//   -> check -> per updated item: version now against its image's
//
// Runs on the caller's thread (the session's, after the run); the waits end
// early when the run is asked to stop, and the report is then interrupted.
#include <cstdint>
#include <optional>
#include <string>

#include "catalogue/image_set.h"
#include "catalogue/update_item.h"
#include "engine/router_link.h"
#include "engine/run_report.h"
#include "engine/run_stop.h"
#include "net/telnet_session.h"

namespace orvane {

// A router that accepted an image writes it to its flash before its
// verdict, then restarts within seconds; after this long from the verdict,
// one that still answers is taken to have restarted already (or to need no
// restart) and is checked.
inline constexpr std::uint32_t kRouterGoAwayLimitMs = 30000;
// How long the router may take to answer discovery again: boot loader,
// system and services take about a minute on these boards; twice that
// before the verification gives up.
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
  // versions). `images`: the set the run's check used; the verification's
  // check goes over it again, with a table of items of its own, so
  // `runItems` are left as they are. `link` and `telnet`: the router's.
  CRunVerifier(const UpdateItems& runItems, const CImageSet& images, CRouterLink& link, CTelnetSession& telnet,
               const CRunStop& stop)
      : m_runItems(runItems), m_images(images), m_link(link), m_telnet(telnet), m_stop(stop) {}

  // Fills the verification of every item the run selected.
  // `routerAcceptedAt`: the tick count (platform/clock.h) of the last router
  // image's accepted verdict, when the run had one: the router restarts
  // after it, so the check waits for it to go and come back.
  void Verify(RunReport& report, std::optional<std::uint32_t> routerAcceptedAt);

 private:
  // Until the updated router stops answering, or `acceptedAt` + the bound.
  // False only when the operator stopped the wait.
  bool WaitForRestart(std::uint32_t acceptedAt);
  // Until the router that was updated answers discovery, or the limit.
  bool WaitForRouter(std::string* why);
  // One discovery round (1 s): whether the updated router answered, and
  // whether another one did.
  bool RouterAnswers(bool* another);
  void SetAll(RunReport& report, VerifyOutcome outcome, const std::string& reason);
  void Log(const std::string& line) { m_link.LogSink().DiagLine(line); }

  const UpdateItems& m_runItems;
  const CImageSet& m_images;
  CRouterLink& m_link;
  CTelnetSession& m_telnet;
  const CRunStop& m_stop;
};

}  // namespace orvane
