#pragma once
// CRouterSteps: the router-facing steps of a run. A router image goes to the
// router board raw over the relay connection after a framed trigger that
// announces its length, then the router's verdict is awaited; the router
// module's NVRAM is erased after an application or resource update; and the
// module steps get the small control exchanges they need (is the router
// answering, forced download mode).
//
//   trigger (framed, 3 tries 100 ms apart, then 2.5 s pause)
//   -> image in 7300-byte raw writes, reader stopped
//   -> reader again, verdict under key 0xFF (code 4 = accepted)
//
// The operator's stop (CRunStop) is honoured after the trigger, between the
// image's raw blocks (the router has not got the whole image) and while the
// verdict is awaited (the router goes on with the image by itself); the
// probe wait gives way to it too.
//
// Runs on the run's worker thread. The forced-download flag lives as long as
// this object: once the router has echoed the request, later asks succeed
// without sending it again.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "catalogue/update_item.h"
#include "engine/router_link.h"
#include "engine/router_step_outcome.h"
#include "engine/row_display.h"
#include "engine/run_report.h"
#include "engine/run_stop.h"
#include "log/download_log.h"
#include "net/router_packets.h"

namespace orvane {

class CRouterSteps {
 public:
  CRouterSteps(CRouterLink& link, CRowDisplay& display, CDownloadLog& log, const UpdateItems& items,
               const CRunStop& stop)
      : m_link(link), m_display(display), m_log(log), m_items(items), m_stop(stop) {}

  // The trigger: sent framed, tried again 100 ms after each failed send;
  // after the send that went through, a pause for the router to get ready.
  static constexpr int kTriggerAttempts = 3;
  static constexpr std::uint32_t kTriggerSendTimeoutMs = 3000;
  static constexpr std::uint32_t kTriggerRetryPauseMs = 100;
  static constexpr std::uint32_t kAfterTriggerPauseMs = 2500;
  // The NVRAM erase: each attempt waits this long for its echo; the second
  // failed attempt is followed by a pause, the first only yields.
  static constexpr int kEraseAttempts = 3;
  static constexpr std::uint32_t kEraseReplyTimeoutMs = 4000;
  static constexpr std::uint32_t kEraseSecondRetryPauseMs = 1000;
  // The forced download request: one attempt.
  static constexpr int kForceAttempts = 1;
  static constexpr std::uint32_t kForceReplyTimeoutMs = 2000;
  // The probe wait: a pause before each probe, then its wait for the echo.
  static constexpr std::uint32_t kProbeIntervalMs = 2000;
  static constexpr std::uint32_t kProbeReplyTimeoutMs = 2000;

  // The whole step of the router item `item` (BOOT, APP or RESOURCE).
  StepOutcome TransferRouterImage(ImageType item);
  // Sends the trigger; Sent once one send went through (then the 2.5 s
  // pause), NotSent with the relay port's error after every attempt failed.
  TriggerOutcome SendTrigger(TriggerKind kind, std::uint32_t totalLength);
  // The router's verdict on the image of `type`.
  StepOutcome TCP_GetRouterResult(ImageType type);
  // Three control requests at most; shows its progress text in the log only.
  ControlOutcome EraseRouterNvram();
  // Probes every 2000 ms until the router echoes or `limitMs` has passed;
  // Stopped as soon as the run is to stop (CRunStop::ShouldStop).
  ControlOutcome WaitRouterAlive(std::uint32_t limitMs);
  // Asks every router on the LAN to put its module into forced download
  // mode; AlreadyForced without a packet once a router has echoed it.
  ControlOutcome EnterForcedDownload();

  // The tick count (platform/clock.h) of the last accepted router verdict
  // since ResetAccepted(): the router restarts after it.
  std::optional<std::uint32_t> LastAcceptedAt() const { return m_acceptedAt; }
  void ResetAccepted() { m_acceptedAt.reset(); }

 private:
  CRouterLink& m_link;
  CRowDisplay& m_display;
  CDownloadLog& m_log;
  const UpdateItems& m_items;
  const CRunStop& m_stop;
  bool m_bForcedDownload = false;
  std::optional<std::uint32_t> m_acceptedAt;
};

}  // namespace orvane
