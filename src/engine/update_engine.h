#pragma once
// CUpdateEngine: the updater's engine as the front ends see it. It owns the
// download log, the link to the router (framed channel, module caller), the
// row display and the three parts of a run, and offers the operations by
// their protocol names; the work is done in:
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
  CUpdateEngine(UpdateItems& items, IItemView& view, NetworkProfile profile = {}, std::string logFolder = {});
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

  // --- router update ---------------------------------------------------
  StepOutcome TransferRouterImage(ImageType item) { return m_router.TransferRouterImage(item); }
  TriggerOutcome SendTrigger(TriggerKind kind, std::uint32_t totalLength) {
    return m_router.SendTrigger(kind, totalLength);
  }
  StepOutcome TCP_GetRouterResult(ImageType type) { return m_router.TCP_GetRouterResult(type); }
  ControlOutcome EraseRouterNvram() { return m_router.EraseRouterNvram(); }
  ControlOutcome WaitRouterAlive(std::uint32_t limitMs) { return m_router.WaitRouterAlive(limitMs); }
  ControlOutcome EnterForcedDownload() { return m_router.EnterForcedDownload(); }

  // --- module update ---------------------------------------------------
  StepOutcome UpdateFirmware() { return m_module.UpdateFirmware(); }
  StepOutcome UpdateDashboard() { return m_module.UpdateDashboard(); }
  StepOutcome EnterDownloadMode() { return m_module.EnterDownloadMode(); }
  StepOutcome DownloadImage(const CFirmwareImage& image) { return m_module.DownloadImage(image); }
  StepOutcome RebootModule() { return m_module.RebootModule(); }
  StepOutcome WaitModuleReady() { return m_module.WaitModuleReady(); }
  StepOutcome CheckNvRestore() { return m_module.CheckNvRestore(); }

  // --- parts -------------------------------------------------------------
  CRouterLink& Link() { return m_link; }
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
