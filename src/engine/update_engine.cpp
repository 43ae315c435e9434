#include "engine/update_engine.h"

#include <cstdio>

#include "net/net_port.h"
#include "platform/clock.h"

namespace orvane {

bool g_bForcedDownload = false;

CUpdateEngine::CUpdateEngine(UpdateItems& items, IItemView& view, NetworkProfile profile, std::string logFolder)
    : m_items(items), m_view(view), m_profile(std::move(profile)), m_log(std::move(logFolder)) {}

CUpdateEngine::~CUpdateEngine() { m_channel.Close(); }

std::string CUpdateEngine::RouterAddressText() const {
  char text[20];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", m_ip[0], m_ip[1], m_ip[2], m_ip[3]);
  return text;
}

std::string CUpdateEngine::FormatMac() const {
  char text[24];
  std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", m_mac[0], m_mac[1], m_mac[2], m_mac[3], m_mac[4],
                m_mac[5]);
  return text;
}

bool CUpdateEngine::ConnectRouter() {
  m_nRow = ROW_NONE;
  if (!m_channel.Open(RouterAddressText(), m_profile.relayTcpPort, PORT_TCP)) {
    m_nStatusId = IDS_TCP_CONNECT_FAIL;
    return false;
  }
  m_channel.StartReader();
  return true;
}

bool CUpdateEngine::DisconnectRouter() {
  bool closed = m_channel.Close();
  if (!closed) closed = m_channel.Close();
  return closed;
}

bool CUpdateEngine::ModuleHandShake() {
  if (m_diag.DIAG_HandShake(true, &m_bInDownloader, &m_bModuleOffline)) return true;
  m_nStatusId = IDS_HANDSHAKE_FAIL;
  return false;
}

bool CUpdateEngine::IsSelected(ImageType item) const {
  return !m_items[item].m_image.Path().empty() && m_items[item].m_bSelected == 1;
}

void CUpdateEngine::SetStatusText(const std::string& text, std::uint32_t colour) {
  if (m_nRow >= 0 && m_nRow < kItemCount) {
    m_view.SetRowColour(m_nRow, colour);
    m_view.SetCellText(m_nRow, COLUMN_STATUS, text);
  }
  m_log.AddLine("%s", text.c_str());
}

void CUpdateEngine::ShowStatus(std::uint16_t id, std::uint32_t colour) {
  const char* text = LoadText(id);
  if (text[0] != '\0') SetStatusText(text, colour);
}

void CUpdateEngine::SetProgress(int percent) {
  // Only a change is written; the block loops call this after every block.
  if (percent == m_nLastProgress && m_nRow == m_nLastProgressRow) return;
  m_nLastProgress = percent;
  m_nLastProgressRow = m_nRow;
  if (m_nRow < 0 || m_nRow >= kItemCount) return;
  m_view.SetCellText(m_nRow, COLUMN_PERCENT, std::to_string(percent) + "%");
}

void CUpdateEngine::ShowResult() {
  const long elapsed = static_cast<long>(std::time(nullptr) - m_tStart);
  char timing[16];
  std::snprintf(timing, sizeof timing, "(%02ld:%02ld)", (elapsed / 60) % 60, elapsed % 60);
  const std::string text = std::string(LoadText(static_cast<std::uint16_t>(m_nStatusId))) + timing;
  SetStatusText(text, m_nStatusId == IDS_DOWNLOAD_SUCCESS ? kColourBlue : kColourRed);
  m_tStart = std::time(nullptr);
}

int CUpdateEngine::Run() {
  m_tStart = std::time(nullptr);
  m_log.AddLine(CDownloadLog::kSeparator);
  m_log.AddLine("%s", FormatMac().c_str());
  m_nState = RUN_BUSY;
  m_nStatusId = IDS_DOWNLOAD_SUCCESS;
  m_nRow = ROW_NONE;
  m_runWarning.clear();

  // Two failures end the run before any row could show them; the operator
  // learns of them through the warning after the run, and the log.
  auto warn = [&](const std::string& text) {
    m_runWarning = text;
    m_log.AddLine("%s", text.c_str());
  };

  [&] {
    if (!ConnectRouter()) {
      warn(LoadText(IDS_TCP_CONNECT_FAIL));
      return;
    }
    for (const ImageType item : {IMAGE_BOOT, IMAGE_APP, IMAGE_RESOURCE}) {
      if (!IsSelected(item)) continue;
      platform::Sleep(kItemPauseMs);
      const bool ok = TransferRouterImage(item);
      ShowResult();
      if (!ok) return;
    }
    if (IsSelected(IMAGE_APP) || IsSelected(IMAGE_RESOURCE)) {
      platform::Sleep(kItemPauseMs);
      if (!EraseRouterNvram()) {
        m_nStatusId = IDS_ERASE_ROUTER_NVRAM;
        warn(kEraseNvramFailText);
        return;
      }
    }
    if (IsSelected(IMAGE_FIRMWARE)) {
      platform::Sleep(kItemPauseMs);
      if (!m_channel.ReaderRunning()) m_channel.StartReader();
      const bool ok = UpdateFirmware();
      ShowResult();
      if (!ok) return;
    }
    if (IsSelected(IMAGE_DASHBOARD)) {
      platform::Sleep(kItemPauseMs);
      if (!m_channel.ReaderRunning()) m_channel.StartReader();
      UpdateDashboard();
      ShowResult();
    }
  }();

  m_nState = RUN_IDLE;
  DisconnectRouter();
  m_log.SaveToFile();
  if (!m_runWarning.empty() && m_pPrompter != nullptr) m_pPrompter->Warning(m_runWarning);
  if (m_onRunFinished) m_onRunFinished();
  return 1;
}

}  // namespace orvane
