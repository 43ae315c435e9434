#pragma once
// CModuleSteps: the wireless module's items, firmware and dashboard, through
// the module's downloader. Every request travels over the relay connection;
// the module's commands are those of the DIAG caller.
//
//   normal firmware --(offline, FWT trigger, switch)--> downloader
//     --(unlock, 4096-byte writes)--> written --(reset)--> normal firmware
//
// A module found in its downloader at the first handshake (a download broken
// off earlier) skips the NV backup and the switch; the router is then told
// to force the download instead. After the reset the module must come back
// in its normal firmware, or the new image did not start.
//
// The operator's stop (CRunStop) is honoured before each step up to the
// trigger that sends the module to its downloader, and again once its reset
// went through; in between only a stop at once ends the item, and the
// module is then left in its downloader. Condition() tells where the module
// was left.
//
// Runs on the run's worker thread.
#include <atomic>
#include <cstdint>

#include "catalogue/update_item.h"
#include "engine/router_link.h"
#include "engine/router_steps.h"
#include "engine/row_display.h"
#include "engine/run_report.h"
#include "engine/run_stop.h"
#include "log/download_log.h"

namespace orvane {

class CModuleSteps {
 public:
  CModuleSteps(CRouterLink& link, CRowDisplay& display, CDownloadLog& log, const UpdateItems& items,
               CRouterSteps& router, CRunStop& stop)
      : m_link(link), m_display(display), m_log(log), m_items(items), m_router(router), m_stop(stop) {}

  // The probe waits' limits: before a module item and after the forced
  // download, and each of the two waits while the module restarts.
  static constexpr std::uint32_t kRouterProbeLimitMs = 10000;
  static constexpr std::uint32_t kRestartProbeLimitMs = 60000;

  StepOutcome UpdateFirmware();
  StepOutcome UpdateDashboard();
  // Brings the module into its downloader (offline first unless it is).
  StepOutcome EnterDownloadMode();
  // Unlocks the downloader with the image's code and writes every unit.
  StepOutcome DownloadImage(const CFirmwareImage& image);
  StepOutcome UnlockModule(const std::uint8_t code[8]);
  StepOutcome RebootModule();
  // Waits for the module's restart through two router probes, then
  // handshakes; the module's state after it is in the link.
  StepOutcome WaitModuleReady();
  // Restore status read (or the restore run again) until the NV settings
  // are back; at most four queries and two restores.
  StepOutcome CheckNvRestore();

  // Where the module was left by the steps since ResetCondition() (any
  // thread may ask).
  ModuleCondition Condition() const { return m_condition; }
  void ResetCondition() { m_condition = ModuleCondition::Normal; }

 private:
  // Interrupted in `step` when the run is to stop here; success otherwise.
  StepOutcome StopPoint(RunStep step, const char* where) const;

  // The item after the first handshake: into the downloader, written, reset,
  // back; `version` reads the new version at the end.
  StepOutcome DownloadAndRestart(ImageType item);

  CRouterLink& m_link;
  CRowDisplay& m_display;
  CDownloadLog& m_log;
  const UpdateItems& m_items;
  CRouterSteps& m_router;
  CRunStop& m_stop;
  std::atomic<ModuleCondition> m_condition{ModuleCondition::Normal};  // read by Snapshot from any thread
};

}  // namespace orvane
