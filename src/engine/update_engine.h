#pragma once
// CUpdateEngine: the parts of one router's update, put together: the
// download log, the link to the router (framed channel, module caller), the
// row display and the three parts of a run. The update session
// (update_session.h) owns one and drives it; the work is done in:
//
//   router_link   the router's identity, the relay channel, the handshake
//   router_steps  router images, the router's verdict, NVRAM erase, probes
//   module_steps  module firmware and dashboard through the downloader
//   update_run    the run's order and its report
//
// Threads: Run() executes on one worker thread; the check uses Link() on
// its own thread; never both at once; Stop() may be asked from any thread.
// The framed channel's reader runs beside them from ConnectRouter to
// DisconnectRouter (except while a router image is sent raw).
#include <cstdint>
#include <string>

#include "catalogue/update_item.h"
#include "engine/item_view.h"
#include "engine/module_steps.h"
#include "engine/router_link.h"
#include "engine/router_steps.h"
#include "engine/row_display.h"
#include "engine/run_report.h"
#include "engine/run_stop.h"
#include "engine/update_run.h"
#include "log/download_log.h"
#include "net/network_profile.h"

namespace orvane {

inline constexpr std::uint8_t RUN_IDLE = 0;
inline constexpr std::uint8_t RUN_BUSY = 3;

class CUpdateEngine {
 public:
  // `items` and `view` must outlive the engine. `logFolder` empty = the
  // platform's default log folder.
  // `logClock` empty = the log stamps and dates its lines by the local time.
  CUpdateEngine(UpdateItems& items, IItemView& view, NetworkProfile profile = {}, std::string logFolder = {},
                CDownloadLog::TimeSource logClock = {});
  CUpdateEngine(const CUpdateEngine&) = delete;
  CUpdateEngine& operator=(const CUpdateEngine&) = delete;

  // --- shared with the check ------------------------------------------
  bool ConnectRouter() { return m_link.Connect(); }
  bool DisconnectRouter() { return m_link.Disconnect(); }
  // The handshake with the opening flag; the module's state is in Link().
  DiagResult ModuleHandShake() { return m_link.HandShake(true); }

  // --- the run ---------------------------------------------------------
  // The whole update run (the worker thread's body).
  RunReport Run() { return m_run.Run(); }
  // The operator's request that the run end early; any thread may ask.
  CRunStop& Stop() { return m_stop; }
  // The run's report so far, from any thread while Run() goes on.
  RunReport RunSnapshot() const { return m_run.Snapshot(); }
  std::uint8_t State() const { return m_run.Busy() ? RUN_BUSY : RUN_IDLE; }

  // --- parts -------------------------------------------------------------
  CRouterLink& Link() { return m_link; }
  CRouterSteps& Router() { return m_router; }
  CModuleSteps& Module() { return m_module; }
  const CRouterLink& Link() const { return m_link; }
  CDownloadLog& Log() { return m_log; }
  const CDownloadLog& Log() const { return m_log; }
  const NetworkProfile& Profile() const { return m_link.Profile(); }

 private:
  CDownloadLog m_log;
  CRunStop m_stop;
  CRouterLink m_link;
  CRowDisplay m_display;
  CRouterSteps m_router;
  CModuleSteps m_module;
  CUpdateRun m_run;
};

}  // namespace orvane
