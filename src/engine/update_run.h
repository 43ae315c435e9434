#pragma once
// CUpdateRun: the run's sequence, from the Update button to its end.
//
//   connect -> [1 s, BOOT] -> [1 s, APP] -> [1 s, RESOURCE]
//           -> [1 s, erase router NVRAM]     when APP or RESOURCE is selected
//           -> [1 s, FIRMWARE] -> [1 s, DASHBOARD]
//   stop at the first failure; the end always runs: idle, disconnect, log
//   appended to the day's file.
//
// An item runs only when selected (it has an image and its selected flag
// is 1). Each item's result is shown in its row with the time since the
// previous result ("Download success(01:05)") and recorded in the report;
// items after a failure are reported as not started.
//
// Runs on one worker thread; `Busy()` may be read from any thread.
#include <atomic>
#include <cstdint>
#include <ctime>

#include "catalogue/update_item.h"
#include "engine/module_steps.h"
#include "engine/router_link.h"
#include "engine/router_steps.h"
#include "engine/row_display.h"
#include "engine/run_report.h"
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
             CRouterSteps& router, CModuleSteps& module)
      : m_link(link), m_display(display), m_log(log), m_items(items), m_router(router), m_module(module) {}

  // The whole run; returns when the end step has run.
  RunReport Run();
  bool Busy() const { return m_bBusy.load(); }

 private:
  // Shows `outcome`'s result text in the current row with the time since
  // the last result, records it in `report` and restarts the timing.
  void ShowResult(ImageType item, const StepOutcome& outcome, RunReport& report);
  void Sequence(RunReport& report);

  CRouterLink& m_link;
  CRowDisplay& m_display;
  CDownloadLog& m_log;
  const UpdateItems& m_items;
  CRouterSteps& m_router;
  CModuleSteps& m_module;
  std::atomic<bool> m_bBusy{false};
  std::time_t m_tStart = 0;
};

}  // namespace orvane
