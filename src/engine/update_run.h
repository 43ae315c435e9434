#pragma once
// CUpdateRun: the run's sequence, from the Update button to its end.
//
//   connect -> [1 s, BOOT] -> [1 s, APP] -> [1 s, RESOURCE]
//           -> [1 s, erase router NVRAM]     when APP or RESOURCE is selected
//           -> [1 s, FIRMWARE] -> [1 s, DASHBOARD]
//   stop at the first failure, or at the first safe point after the
//   operator asked to stop (CRunStop); the end always runs: idle,
//   disconnect, the log's block ended.
//
// An item runs only when selected (it has an image and its selected flag
// is 1). Each item's result is shown in its row with the time since the
// previous result ("Download success(01:05)") and recorded in the report;
// items after a failure or a stop are reported as not started, the item a
// stop came in as interrupted.
//
// Runs on one worker thread; `Busy()` may be read from any thread.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "catalogue/update_item.h"
#include "engine/module_steps.h"
#include "engine/router_link.h"
#include "engine/router_steps.h"
#include "engine/row_display.h"
#include "engine/run_report.h"
#include "engine/run_stop.h"
#include "log/download_log.h"

namespace orvane {

inline constexpr std::uint32_t kItemPauseMs = 1000;  // before each step of the run

// The run's warning when the router refused its NVRAM erase. The string
// table has no text for this failure; it is shown only in the warning and
// the log, never in a row.
inline constexpr const char* kEraseNvramFailText = "Erase router module's NVRAM fail";

// Whether the run updates `item`: it has an image and is selected.
bool IsSelected(const UpdateItems& items, ImageType item);

class CUpdateRun {
 public:
  CUpdateRun(CRouterLink& link, CRowDisplay& display, CDownloadLog& log, const UpdateItems& items,
             CRouterSteps& router, CModuleSteps& module, CRunStop& stop)
      : m_link(link), m_display(display), m_log(log), m_items(items), m_router(router), m_module(module),
        m_stop(stop) {}

  // The whole run; returns when the end step has run.
  RunReport Run();
  bool Busy() const { return m_bBusy.load(); }
  // The report as it stands while the run goes on, for a front end that
  // stops waiting for it (any thread): the items ended so far, the item
  // under way as Interrupted, the others not started.
  RunReport Snapshot() const;

 private:
  // Shows `outcome`'s result text in the current row with the time since
  // the last result, records it in `report` and restarts the timing.
  // Records the item's outcome: its result through ShowResult, or, when it
  // was interrupted, where (the row keeps its last step). False when the
  // run ends here.
  bool EndItem(ImageType item, const StepOutcome& outcome, RunReport& report);
  void ShowResult(ImageType item, const StepOutcome& outcome, RunReport& report);
  // True (and the run marked interrupted) when the run ends here on the
  // operator's request; `pauseMs` is waited first unless the request comes.
  bool StopsBefore(std::uint32_t pauseMs, RunReport& report);
  void Sequence(RunReport& report);
  // Keeps a copy of `report` for Snapshot(); `current` is the item under
  // way, -1 for none.
  void Publish(const RunReport& report, int current);

  CRouterLink& m_link;
  CRowDisplay& m_display;
  CDownloadLog& m_log;
  const UpdateItems& m_items;
  CRouterSteps& m_router;
  CModuleSteps& m_module;
  CRunStop& m_stop;
  std::atomic<bool> m_bBusy{false};
  std::time_t m_tStart = 0;

  mutable std::mutex m_snapshotLock;  // guards the two below
  RunReport m_snapshot;
  int m_nCurrent = -1;
};

}  // namespace orvane
