// Router update: router images over the relay connection, the router's
// verdict, the NVRAM erase and the control exchanges the module update needs.
//
// A router image goes out raw after a framed trigger that announces its
// length; nothing reads the connection meanwhile (the reader is stopped), so
// the router's answers wait in the connection until the reader runs again and
// the result is picked out of its queue under the key 0xFF.
#include "engine/update_engine.h"

#include <algorithm>
#include <cstring>

#include "log/error_text.h"
#include "net/control_channel.h"
#include "platform/clock.h"

namespace orvane {
namespace {

constexpr int kTriggerAttempts = 3;
constexpr std::uint32_t kTriggerSendTimeoutMs = 3000;
constexpr std::uint32_t kTriggerRetryPauseMs = 100;
constexpr std::uint32_t kAfterTriggerPauseMs = 2500;  // the router gets ready for what follows
constexpr std::uint32_t kRawBlockTimeoutMs = 3000;

constexpr std::uint32_t kResultWaitAppMs = 240000;  // the application takes longest to write
constexpr std::uint32_t kResultWaitOtherMs = 120000;
constexpr std::uint32_t kResultReceiveTimeoutMs = 8000;
constexpr std::size_t kResultBufferSize = 512;
constexpr std::size_t kResultCodeOffset = 30;
constexpr std::uint8_t kRouterPacketLead = 0xFF;

constexpr int kEraseAttempts = 3;
constexpr std::uint32_t kEraseReplyTimeoutMs = 4000;
constexpr std::uint32_t kForceReplyTimeoutMs = 2000;
constexpr std::uint32_t kProbeReplyTimeoutMs = 2000;
constexpr std::uint32_t kProbeIntervalMs = 2000;

constexpr std::size_t kTriggerMagicLength = 29;
constexpr std::size_t kTriggerLengthOffset = 30;
constexpr const char* kTriggerMagic[] = {
    "Kavrin RUT Begin Download Pkt",  // TRIGGER_RUT_BEGIN
    "Kavrin FWT Begin Download Pkt",  // TRIGGER_FWT_BEGIN
    "Kavrin FWT Force Download Pkt",  // TRIGGER_FWT_FORCE
};

std::uint32_t ReadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

void CUpdateEngine::FillControlRequest(CControlChannel& control, std::uint8_t type) const {
  ControlPacket packet;
  packet.type = type;
  packet.ip = m_ip;
  packet.mac = m_mac;
  control.Request() = packet;
}

bool CUpdateEngine::TransferRouterImage(ImageType item) {
  const CFirmwareImage& image = m_items[item].m_image;
  m_nRow = item;
  SetProgress(0);

  // A router image has exactly one unit; its data are sent straight from the
  // mapped file.
  if (image.View() == nullptr || image.Extents().empty()) {
    m_log.AddLine("Router image not loaded: %s", image.Path().c_str());
    m_nStatusId = IDS_ROUTER_DATA_FAIL;
    return false;
  }
  std::uint64_t total = 0;
  for (const UnitHeader& unit : image.Units()) total += unit.DataLength();

  m_channel.StopReader();
  if (!SendTrigger(TRIGGER_RUT_BEGIN, static_cast<std::uint32_t>(total))) return false;
  ShowStatus(IDS_SEND_ROUTER_DATA, kColourBlack);

  const UnitExtent extent = image.Extents().front();
  const std::uint8_t* data = image.View() + extent.offset;
  std::size_t remaining = extent.length;
  std::uint64_t sent = 0;
  for (int block = 1; remaining > 0; ++block) {
    const std::size_t n = std::min(remaining, ROUTER_BLOCK_SIZE);
    if (!m_channel.Send(true, data, n, false, kRawBlockTimeoutMs)) {
      // The reader stays stopped: the run ends here and closes the channel.
      m_log.AddLine("Router Block%d Transfer Fail: %s", block, FormatErrorText(m_channel.LastError()).c_str());
      m_nStatusId = IDS_ROUTER_DATA_FAIL;
      return false;
    }
    data += n;
    remaining -= n;
    sent += n;
    SetProgress(static_cast<int>(sent * 100 / total));
  }

  // The key goes in before the reader runs: a verdict that is already
  // waiting in the connection must be taken as an answer, not dropped under
  // the key an earlier exchange left behind.
  m_channel.SetResponseKey(kRouterPacketLead, 1);
  m_channel.StartReader();
  return TCP_GetRouterResult(item);
}

bool CUpdateEngine::SendTrigger(TriggerKind kind, std::uint32_t totalLength) {
  std::uint8_t packet[kTriggerPacketSize] = {};
  packet[0] = kRouterPacketLead;
  std::memcpy(packet + 1, kTriggerMagic[kind], kTriggerMagicLength);
  for (int i = 0; i < 4; ++i) packet[kTriggerLengthOffset + i] = static_cast<std::uint8_t>(totalLength >> (8 * i));

  for (int attempt = 1; attempt <= kTriggerAttempts; ++attempt) {
    if (m_channel.Send(false, packet, sizeof packet, true, kTriggerSendTimeoutMs)) {
      platform::Sleep(kAfterTriggerPauseMs);
      return true;
    }
    platform::Sleep(kTriggerRetryPauseMs);
  }
  m_nStatusId = IDS_TCP_DOWNLOAD_CMD_FAIL;
  return false;
}

bool CUpdateEngine::TCP_GetRouterResult(ImageType type) {
  ShowStatus(IDS_WAIT_ROUTER_UPDATING, kColourBlack);
  const std::uint32_t limit = type == IMAGE_APP ? kResultWaitAppMs : kResultWaitOtherMs;
  SetProgress(0);
  const std::uint32_t start = platform::TickCount();
  m_channel.SetResponseKey(kRouterPacketLead, 1);

  std::uint8_t packet[kResultBufferSize];
  for (;;) {
    std::memset(packet, 0, kTriggerPacketSize);
    std::size_t length = 0;
    if (m_channel.Receive(packet, sizeof packet, &length, kResultReceiveTimeoutMs) &&
        length == kTriggerPacketSize && packet[0] == kRouterPacketLead) {
      break;
    }
    // Anything else on the connection is not the verdict: wait on.
    const std::uint32_t elapsed = platform::TickCount() - start;
    if (elapsed > limit) {
      m_nStatusId = IDS_ROUTER_RESPONSE_TIMEOUT;
      return false;
    }
    SetProgress(static_cast<int>(static_cast<std::uint64_t>(elapsed) * 100 / limit));
  }

  const std::uint32_t elapsed = platform::TickCount() - start;
  const std::uint32_t code = ReadLe32(packet + kResultCodeOffset);
  if (code == ROUTER_RESULT_OK) {
    m_log.AddLine("TCP_GetRouterResult's ElapsedTime = %d ms", static_cast<int>(elapsed));
    SetProgress(100);
    return true;
  }
  m_log.AddLine("TCP_GetRouterResult's ElapsedTime = %d ms, Result = %d", static_cast<int>(elapsed),
                static_cast<int>(code));
  m_nStatusId = IDS_ROUTER_RESPONSE_FAIL;
  SetProgress(100);
  return false;
}

bool CUpdateEngine::EraseRouterNvram() {
  m_nRow = ROW_NONE;
  ShowStatus(IDS_ERASE_ROUTER_NVRAM, kColourBlack);  // no row: the log only
  for (int attempt = 1; attempt <= kEraseAttempts; ++attempt) {
    CControlChannel control(RouterAddressText(), m_profile.controlUdpPort);
    FillControlRequest(control, CTRL_ERASE_NVRAM);
    if (control.Exchange(kEraseReplyTimeoutMs)) {
      control.Close();
      return true;
    }
    if (attempt == 1) {
      platform::Sleep(0);
    } else if (attempt == 2) {
      platform::Sleep(1000);
    }
    control.Close();
  }
  return false;
}

bool CUpdateEngine::WaitRouterAlive(std::uint32_t limitMs) {
  const std::uint32_t start = platform::TickCount();
  CControlChannel control(RouterAddressText(), m_profile.controlUdpPort);
  for (;;) {
    platform::Sleep(kProbeIntervalMs);
    FillControlRequest(control, CTRL_PROBE);
    if (control.Exchange(kProbeReplyTimeoutMs)) {
      control.Close();
      return true;
    }
    if (platform::TickCount() - start > limitMs) {
      control.Close();
      return false;
    }
  }
}

bool CUpdateEngine::EnterForcedDownload() {
  // The router may not be where discovery found it any more: the request
  // goes to every router on the LAN.
  CControlChannel control(m_profile.broadcastAddress, m_profile.controlUdpPort);
  bool result = true;
  if (!g_bForcedDownload) {
    ShowStatus(IDS_ENTER_FORCED_DOWNLOAD, kColourBlack);
    FillControlRequest(control, CTRL_FORCE_DOWNLOAD);
    g_bForcedDownload = control.Exchange(kForceReplyTimeoutMs);
    result = g_bForcedDownload;
  }
  control.Close();
  return result;
}

}  // namespace orvane
