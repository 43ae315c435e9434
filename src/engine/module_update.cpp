// Wireless module update: firmware and dashboard through the downloader.
//
//   normal firmware --(offline, FWT trigger, switch)--> downloader
//     --(unlock, 4096-byte writes)--> written --(reset)--> normal firmware
//
// Every request travels over the relay connection; the module's DIAG and
// downloader commands are those of the DIAG caller, except the block write,
// which is framed here straight into the channel's frame buffer so that a
// block is never copied into a packet of its own first.
#include "engine/update_engine.h"

#include <algorithm>
#include <cstring>

#include "diag/framing.h"
#include "platform/clock.h"

namespace orvane {
namespace {

constexpr std::uint8_t DLOAD_WRITE_32BIT = 0x0F;
constexpr std::size_t kWriteHeaderSize = 7;
constexpr int kWriteAttempts = 3;
constexpr std::uint32_t kWriteRetryPauseMs = 200;
constexpr std::uint32_t kWriteSendTimeoutMs = 3000;
constexpr std::uint32_t kWriteReplyTimeoutMs = 5000;
constexpr std::size_t kWriteReplyCapacity = 5;

constexpr std::uint32_t kRouterProbeLimitMs = 10000;   // before a module item, after forced download
constexpr std::uint32_t kRestartProbeLimitMs = 60000;  // each of the two waits while the module restarts
constexpr std::uint32_t kRestartSettlePauseMs = 6000;
constexpr int kReadyHandShakes = 3;
constexpr std::uint32_t kModeChangePauseMs = 100;
constexpr std::uint32_t kWakeSendTimeoutMs = 1000;
// Puts a module whose serial side runs AT commands back into DIAG mode;
// ends with a flag so that the next frame starts clean.
constexpr std::uint8_t kWakeUp[] = {'A', 'T', '$', 'Q', 'C', 'D', 'M', 'G', '\r', FRAME_FLAG};

}  // namespace

bool CUpdateEngine::UpdateFirmware() {
  m_nRow = IMAGE_FIRMWARE;
  SetProgress(0);
  WaitRouterAlive(kRouterProbeLimitMs);  // the router may still be busy after its own update
  if (!ModuleHandShake()) return false;
  if (!m_bInDownloader) {
    m_diag.DIAG_QueryBoardVersion(nullptr);  // logs the version being replaced
    ShowStatus(IDS_BACKUP_NV, kColourBlack);
    if (!m_diag.DIAG_NV_BackupRestore(true)) {
      m_nStatusId = IDS_BACKUP_NV_FAIL;
      return false;
    }
  } else {
    // A download broken off earlier: the NV settings can't be read now.
    m_log.AddLine("Have Enter Downloader Mode");
  }
  if (!EnterDownloadMode()) return false;
  if (!DownloadImage(m_items[IMAGE_FIRMWARE].m_image)) return false;
  if (!RebootModule()) return false;
  if (!WaitModuleReady()) return false;
  if (m_bInDownloader) {  // the new firmware did not start
    m_nStatusId = IDS_READ_VERSION_FAIL;
    return false;
  }
  if (!CheckNvRestore()) {
    m_nStatusId = IDS_QUERY_NV_RESTORE_FAIL;
    return false;
  }
  if (m_diag.DIAG_QueryBoardVersion(nullptr)) return true;  // logs the new version
  m_nStatusId = IDS_READ_VERSION_FAIL;
  return false;
}

bool CUpdateEngine::UpdateDashboard() {
  m_nRow = IMAGE_DASHBOARD;
  WaitRouterAlive(kRouterProbeLimitMs);
  if (!ModuleHandShake()) return false;
  if (!EnterDownloadMode()) return false;
  if (!DownloadImage(m_items[IMAGE_DASHBOARD].m_image)) return false;
  if (!RebootModule()) return false;
  if (!WaitModuleReady()) return false;
  if (m_bInDownloader) {
    m_nStatusId = IDS_READ_VERSION_FAIL;
    return false;
  }
  if (m_diag.DIAG_QueryISOVersion(nullptr)) return true;
  m_nStatusId = IDS_READ_VERSION_FAIL;
  return false;
}

bool CUpdateEngine::EnterDownloadMode() {
  if (!m_bModuleOffline) {
    ShowStatus(IDS_ENTER_OFFLINE, kColourBlack);
    // A module that refuses to go offline may still switch; not an error.
    if (m_diag.DIAG_ChangeMode(MODE_OFFLINE_DIGITAL)) platform::Sleep(kModeChangePauseMs);
  }
  if (!SendTrigger(m_bInDownloader ? TRIGGER_FWT_FORCE : TRIGGER_FWT_BEGIN, 0)) return false;
  if (m_bInDownloader) return true;
  ShowStatus(IDS_SWITCH_DOWNLOADER, kColourBlack);
  if (!m_diag.DIAG_SwitchToDownloader()) {
    m_nStatusId = IDS_SWITCH_DOWNLOADER_FAIL;
    return false;
  }
  return WaitModuleReady();  // the module restarts into its downloader
}

bool CUpdateEngine::DownloadImage(const CFirmwareImage& image) {
  if (image.View() == nullptr || image.Units().empty() || image.Extents().size() != image.Units().size()) {
    m_log.AddLine("Module image not loaded: %s", image.Path().c_str());
    m_nStatusId = IDS_MIDWAY_DOWNLOAD_FAIL;
    return false;
  }
  if (!UnlockModule(image.Units().front().UnlockCode())) return false;
  ShowStatus(image.Type() == IMAGE_FIRMWARE ? IDS_DOWNLOAD_FIRMWARE : IDS_DOWNLOAD_DASHBOARD, kColourBlack);
  m_log.AddLine("File Path: %s", image.Path().c_str());

  std::uint64_t total = 0;
  for (const UnitHeader& unit : image.Units()) total += unit.DataLength();
  std::uint64_t written = 0;
  // Acknowledgements (and, through the queue's rule, negative ones).
  m_channel.SetResponseKey(DLOAD_ACK, 1);

  std::uint8_t* reply = m_diag.ResponseBuffer();
  for (std::size_t u = 0; u < image.Units().size(); ++u) {
    std::uint32_t address = image.Units()[u].TargetAddress();
    const UnitExtent extent = image.Extents()[u];
    const std::uint8_t* data = image.View() + extent.offset;
    std::size_t remaining = extent.length;
    for (int block = 1; remaining > 0; ++block) {
      const std::size_t n = std::min(remaining, DOWNLOAD_BLOCK_SIZE);
      const std::size_t frameLength = BuildWriteFrame(address, n, data);
      bool acknowledged = false;
      for (int attempt = 1; attempt <= kWriteAttempts && frameLength > 0; ++attempt) {
        if (!m_channel.Send(true, m_channel.FrameBuffer(), frameLength, false, kWriteSendTimeoutMs)) {
          platform::Sleep(kWriteRetryPauseMs);
          m_log.AddLine("DIAG_Write#%d> Write Fail", attempt);
          continue;
        }
        std::memset(reply, kResponseFill, kWriteReplyCapacity);
        if (!m_channel.Receive(reply, kWriteReplyCapacity, m_diag.ResponseLengthPtr(), kWriteReplyTimeoutMs)) {
          platform::Sleep(kWriteRetryPauseMs);
          m_log.AddLine("DIAG_Write#%d> Read Fail", attempt);
          continue;
        }
        if (reply[0] == DLOAD_ACK) {
          acknowledged = true;
          break;
        }
        m_log.AddLine("DIAG_Write#%d> (%02X %02X %02X)", attempt, reply[0], reply[1], reply[2]);
        platform::Sleep(kWriteRetryPauseMs);
      }
      if (!acknowledged) {
        m_log.AddLine("Unit%d Block%d: Download Fail", static_cast<int>(u + 1), block);
        m_nStatusId = IDS_MIDWAY_DOWNLOAD_FAIL;
        return false;
      }
      written += n;
      address += static_cast<std::uint32_t>(n);
      data += n;
      remaining -= n;
      SetProgress(static_cast<int>(written * 100 / total));
    }
  }
  return true;
}

std::size_t CUpdateEngine::BuildWriteFrame(std::uint32_t address, std::size_t length, const std::uint8_t* data) {
  std::uint8_t* frame = m_channel.FrameBuffer();
  if (frame == nullptr || length == 0 || length > DOWNLOAD_BLOCK_SIZE) return 0;
  const std::uint8_t header[kWriteHeaderSize] = {
      DLOAD_WRITE_32BIT,
      static_cast<std::uint8_t>(address >> 24),
      static_cast<std::uint8_t>(address >> 16),
      static_cast<std::uint8_t>(address >> 8),
      static_cast<std::uint8_t>(address),
      static_cast<std::uint8_t>(length >> 8),
      static_cast<std::uint8_t>(length),
  };
  frame[0] = FRAME_FLAG;
  std::size_t position = 1;
  std::uint16_t crc = CRC_INIT;
  EscapeAppend(frame, &position, header, sizeof header, &crc);
  EscapeAppend(frame, &position, data, length, &crc);
  const std::uint16_t fcs = static_cast<std::uint16_t>(~crc);
  const std::uint8_t check[2] = {static_cast<std::uint8_t>(fcs & 0xFF), static_cast<std::uint8_t>(fcs >> 8)};
  std::uint16_t unused = crc;
  EscapeAppend(frame, &position, check, sizeof check, &unused);
  frame[position] = FRAME_FLAG;
  return position + 1;
}

bool CUpdateEngine::UnlockModule(const std::uint8_t code[8]) {
  ShowStatus(IDS_UNLOCK_MODULE, kColourBlack);
  if (m_diag.DIAG_Unlock(code)) return true;
  // Second chance: the router puts its module into forced download mode.
  if (!EnterForcedDownload()) {
    m_nStatusId = IDS_UNLOCK_FAIL;
    return false;
  }
  WaitRouterAlive(kRouterProbeLimitMs);
  ShowStatus(IDS_UNLOCK_MODULE, kColourBlack);
  if (m_diag.DIAG_Unlock(code)) return true;
  m_nStatusId = IDS_UNLOCK_FAIL;
  return false;
}

bool CUpdateEngine::CheckNvRestore() {
  ShowStatus(IDS_CHECK_NV_RESTORE, kColourBlack);
  for (int round = 0; round < 2; ++round) {
    for (int attempt = 1; attempt <= 2; ++attempt) {
      m_log.AddLine("  Try%d: Reading restored status ...", attempt);
      if (m_diag.DIAG_NV_QueryRestoreStatus()) return true;
    }
    if (m_diag.DIAG_NV_BackupRestore(false)) return true;
  }
  return false;
}

bool CUpdateEngine::RebootModule() {
  ShowStatus(IDS_REBOOTING_DATACARD, kColourBlack);
  if (m_diag.DIAG_Reset()) return true;
  m_nStatusId = IDS_REBOOT_MODULE_FAIL;
  return false;
}

bool CUpdateEngine::WaitModuleReady() {
  ShowStatus(IDS_WAIT_MODULE_READY, kColourBlack);
  SetProgress(0);
  // While the module restarts the router does not answer its probe.
  if (!WaitRouterAlive(kRestartProbeLimitMs)) {
    m_nStatusId = IDS_MODULE_REBOOT_TIMEOUT;
    m_log.AddLine("Waiting: First Check Fail");
    return false;
  }
  SetProgress(30);
  platform::Sleep(kRestartSettlePauseMs);
  SetProgress(50);
  if (!WaitRouterAlive(kRestartProbeLimitMs)) {
    m_nStatusId = IDS_MODULE_REBOOT_TIMEOUT;
    m_log.AddLine("Waiting: Second Check Fail");
    return false;
  }
  SetProgress(70);
  m_channel.Send(true, kWakeUp, sizeof kWakeUp, false, kWakeSendTimeoutMs);
  // The caller reads what came back from the two flags (both 1 when no
  // handshake succeeded).
  for (int i = 0; i < kReadyHandShakes; ++i) {
    if (m_diag.DIAG_HandShake(false, &m_bInDownloader, &m_bModuleOffline)) break;
  }
  SetProgress(100);
  return true;
}

}  // namespace orvane
