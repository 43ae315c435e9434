// The router's side of the wire is fixed by the router's software: these
// are the packets it expects and the answers it gives.
#include "engine/router_steps.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "log/error_text.h"
#include "net/control_channel.h"
#include "platform/clock.h"

namespace orvane {
namespace {

constexpr std::uint32_t kRawBlockTimeoutMs = 3000;

constexpr std::uint32_t kResultWaitAppMs = 240000;  // the application takes longest to write
constexpr std::uint32_t kResultWaitOtherMs = 120000;
constexpr std::uint32_t kResultReceiveTimeoutMs = 8000;
constexpr std::uint32_t kResultLastLookMs = 100;  // for a verdict already there when the run is to stop
constexpr std::size_t kResultBufferSize = 512;

// The system's error text without its line end, for one-line details.
std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

// Why a control exchange's request did not go out, in words (before the
// channel is closed).
std::string ControlErrorText(const CControlChannel& control) {
  if (!control.IsOpened() || control.Port() == nullptr) return "the control port did not open";
  return OneLine(FormatErrorText(control.Port()->LastError()));
}

// `outcome` with what one exchange came to (the port's error for a request
// that did not go out).
void Note(ControlOutcome& outcome, ControlEcho echo, const CControlChannel& control) {
  switch (echo) {
    case ControlEcho::Echoed:
      outcome.result = ControlResult::Echoed;
      outcome.error.clear();
      break;
    case ControlEcho::NotSent:
      outcome.result = ControlResult::NotSent;
      outcome.error = ControlErrorText(control);
      break;
    case ControlEcho::NoEcho:
      outcome.result = ControlResult::NoEcho;
      outcome.error.clear();
      break;
  }
}

// `outcome` as it ends, `start` (a TickCount) being the step's start.
ControlOutcome Ended(ControlOutcome outcome, std::uint32_t start) {
  outcome.waitedMs = platform::TickCount() - start;
  return outcome;
}

}  // namespace

StepOutcome CRouterSteps::TransferRouterImage(ImageType item) {
  const CFirmwareImage& image = *m_items[item].m_pImage;
  m_display.SetRow(item);
  m_display.SetProgress(0);
  m_display.EnterStep(RunStep::RouterTrigger);

  // A router image has exactly one unit; its data are sent straight from the
  // image's view, the bytes that were validated when it was loaded.
  if (image.View() == nullptr || image.Extents().empty()) {
    m_log.AddLine("Router image not loaded: %s", image.Path().c_str());
    return StepOutcome::Failure(IDS_ROUTER_DATA_FAIL, RunStep::RouterData, "image not loaded");
  }
  std::uint64_t total = 0;
  for (const UnitHeader& unit : image.Units()) total += unit.DataLength();

  CFramedChannel& channel = m_link.Channel();
  channel.StopReader();
  if (const TriggerOutcome trigger = SendTrigger(TRIGGER_RUT_BEGIN, static_cast<std::uint32_t>(total)); !trigger) {
    return StepOutcome::Failure(IDS_TCP_DOWNLOAD_CMD_FAIL, RunStep::RouterTrigger, trigger.Detail());
  }
  if (m_stop.ShouldStop()) {
    return StepOutcome::Interrupted(RunStep::RouterTrigger, "after the trigger, before the image's data");
  }
  m_display.ShowStatus(IDS_SEND_ROUTER_DATA);
  m_display.EnterStep(RunStep::RouterData);

  const UnitExtent extent = image.Extents().front();
  const std::uint8_t* data = image.View() + extent.offset;
  std::size_t remaining = extent.length;
  std::uint64_t sent = 0;
  const std::size_t blocks = (extent.length + ROUTER_BLOCK_SIZE - 1) / ROUTER_BLOCK_SIZE;
  for (int block = 1; remaining > 0; ++block) {
    if (m_stop.ShouldStop()) {
      // The connection closes at the run's end with the image incomplete.
      return StepOutcome::Interrupted(RunStep::RouterData, "after block " + std::to_string(block - 1) + " of " +
                                                               std::to_string(blocks) +
                                                               ": the router did not get the whole image");
    }
    const std::size_t n = std::min(remaining, ROUTER_BLOCK_SIZE);
    if (!channel.Send(true, data, n, false, kRawBlockTimeoutMs)) {
      // The reader stays stopped: the run ends here and closes the channel.
      const std::string error = FormatErrorText(channel.LastError());
      m_log.AddLine("Router Block%d Transfer Fail: %s", block, error.c_str());
      return StepOutcome::Failure(IDS_ROUTER_DATA_FAIL, RunStep::RouterData,
                                  "block " + std::to_string(block) + ": " + OneLine(error));
    }
    data += n;
    remaining -= n;
    sent += n;
    m_display.SetProgress(static_cast<int>(sent * 100 / total));
  }

  // The key goes in before the reader runs: a verdict that is already
  // waiting in the connection must be taken as an answer, not dropped under
  // the key an earlier exchange left behind.
  channel.SetResponseKey(kRouterPacketLead, 1);
  channel.StartReader();
  return TCP_GetRouterResult(item);
}

TriggerOutcome CRouterSteps::SendTrigger(TriggerKind kind, std::uint32_t totalLength) {
  const auto packet = BuildTriggerPacket(kind, totalLength);
  CFramedChannel& channel = m_link.Channel();
  std::uint32_t error = 0;
  for (int attempt = 1; attempt <= kTriggerAttempts; ++attempt) {
    if (channel.Send(false, packet.data(), packet.size(), true, kTriggerSendTimeoutMs)) {
      m_stop.Pause(kAfterTriggerPauseMs);  // the caller looks at the stop itself
      return TriggerOutcome::Sent(attempt);
    }
    error = channel.LastError();
    platform::Sleep(kTriggerRetryPauseMs);
  }
  return TriggerOutcome::NotSent(kTriggerAttempts, error == 0 ? std::string() : OneLine(FormatErrorText(error)));
}

StepOutcome CRouterSteps::TCP_GetRouterResult(ImageType type) {
  m_display.EnterStep(RunStep::RouterResult);
  m_display.ShowStatus(IDS_WAIT_ROUTER_UPDATING);
  const std::uint32_t limit = type == IMAGE_APP ? kResultWaitAppMs : kResultWaitOtherMs;
  m_display.SetProgress(0);
  const std::uint32_t start = platform::TickCount();
  CFramedChannel& channel = m_link.Channel();
  channel.SetResponseKey(kRouterPacketLead, 1);

  std::uint8_t packet[kResultBufferSize];
  std::uint32_t code = 0;
  for (;;) {
    // On the operator's stop a verdict that has already come is still taken.
    const bool stopping = m_stop.ShouldStop();
    std::memset(packet, 0, kTriggerPacketSize);
    std::size_t length = 0;
    if (channel.Receive(packet, sizeof packet, &length, stopping ? kResultLastLookMs : kResultReceiveTimeoutMs) &&
        ParseResultPacket(packet, length, &code)) {
      break;
    }
    if (stopping) {
      return StepOutcome::Interrupted(RunStep::RouterResult,
                                      "the router had the whole image; its verdict was not awaited "
                                      "(the router may still be writing it)");
    }
    // Anything else on the connection is not the verdict: wait on.
    const std::uint32_t elapsed = platform::TickCount() - start;
    if (elapsed > limit) {
      return StepOutcome::Failure(IDS_ROUTER_RESPONSE_TIMEOUT, RunStep::RouterResult,
                                  "no verdict within " + std::to_string(limit / 1000) + " s");
    }
    m_display.SetProgress(static_cast<int>(static_cast<std::uint64_t>(elapsed) * 100 / limit));
  }

  const std::uint32_t elapsed = platform::TickCount() - start;
  if (code == ROUTER_RESULT_OK) {
    m_log.AddLine("TCP_GetRouterResult's ElapsedTime = %d ms", static_cast<int>(elapsed));
    m_display.SetProgress(100);
    m_acceptedAt = platform::TickCount();
    return StepOutcome::Success();
  }
  m_log.AddLine("TCP_GetRouterResult's ElapsedTime = %d ms, Result = %d", static_cast<int>(elapsed),
                static_cast<int>(code));
  m_display.SetProgress(100);
  return StepOutcome::Failure(IDS_ROUTER_RESPONSE_FAIL, RunStep::RouterResult,
                              "result code " + std::to_string(code));
}

ControlOutcome CRouterSteps::EraseRouterNvram() {
  m_display.SetRow(ROW_NONE);
  m_display.ShowStatus(IDS_ERASE_ROUTER_NVRAM);  // no row: the log only
  const std::uint32_t start = platform::TickCount();
  ControlOutcome outcome;
  outcome.request = ControlRequestKind::EraseNvram;
  outcome.replyTimeoutMs = kEraseReplyTimeoutMs;
  for (int attempt = 1; attempt <= kEraseAttempts; ++attempt) {
    CControlChannel control(m_link.AddressText(), m_link.Profile().controlUdpPort, m_link.Profile().binding);
    control.Request() = m_link.ControlRequest(CTRL_ERASE_NVRAM);
    outcome.attempts = attempt;
    Note(outcome, control.ExchangeEcho(kEraseReplyTimeoutMs), control);
    if (outcome.ok()) {
      control.Close();
      return Ended(outcome, start);
    }
    if (attempt == 1) {
      platform::Sleep(0);
    } else if (attempt == 2) {
      platform::Sleep(kEraseSecondRetryPauseMs);
    }
    control.Close();
  }
  return Ended(outcome, start);
}

ControlOutcome CRouterSteps::WaitRouterAlive(std::uint32_t limitMs) {
  const std::uint32_t start = platform::TickCount();
  ControlOutcome outcome;
  outcome.request = ControlRequestKind::Probe;
  outcome.replyTimeoutMs = kProbeReplyTimeoutMs;
  outcome.limitMs = limitMs;
  CControlChannel control(m_link.AddressText(), m_link.Profile().controlUdpPort, m_link.Profile().binding);
  for (;;) {
    if (!m_stop.Pause(kProbeIntervalMs)) {
      control.Close();
      outcome.result = ControlResult::Stopped;
      outcome.error.clear();
      return Ended(outcome, start);
    }
    control.Request() = m_link.ControlRequest(CTRL_PROBE);
    ++outcome.attempts;
    Note(outcome, control.ExchangeEcho(kProbeReplyTimeoutMs), control);
    if (outcome.ok() || platform::TickCount() - start > limitMs) {
      control.Close();
      return Ended(outcome, start);
    }
  }
}

ControlOutcome CRouterSteps::EnterForcedDownload() {
  ControlOutcome outcome;
  outcome.request = ControlRequestKind::ForcedDownload;
  outcome.replyTimeoutMs = kForceReplyTimeoutMs;
  if (m_bForcedDownload) {
    outcome.result = ControlResult::AlreadyForced;
    return outcome;
  }
  const std::uint32_t start = platform::TickCount();
  // The router may not be where discovery found it any more: the request
  // goes to every router on the LAN, and with the profile's binding out of
  // that one interface only (a station's other lanes have routers of their
  // own at the same address).
  CControlChannel control(m_link.Profile().broadcastAddress, m_link.Profile().controlUdpPort,
                          m_link.Profile().binding);
  m_display.ShowStatus(IDS_ENTER_FORCED_DOWNLOAD);
  for (int attempt = 1; attempt <= kForceAttempts && !outcome.ok(); ++attempt) {
    control.Request() = m_link.ControlRequest(CTRL_FORCE_DOWNLOAD);
    outcome.attempts = attempt;
    Note(outcome, control.ExchangeEcho(kForceReplyTimeoutMs), control);
  }
  m_bForcedDownload = outcome.ok();
  control.Close();
  return Ended(outcome, start);
}

}  // namespace orvane
