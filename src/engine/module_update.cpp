// Wireless module update: firmware and dashboard through the downloader.
#include "engine/update_engine.h"

namespace orvane {

// Not built yet: the module item steps.
bool CUpdateEngine::UpdateFirmware() { m_nStatusId = IDS_HANDSHAKE_FAIL; return false; }
bool CUpdateEngine::UpdateDashboard() { m_nStatusId = IDS_HANDSHAKE_FAIL; return false; }
bool CUpdateEngine::EnterDownloadMode() { return false; }
bool CUpdateEngine::DownloadImage(const CFirmwareImage&) { return false; }
bool CUpdateEngine::UnlockModule(const std::uint8_t*) { return false; }
std::size_t CUpdateEngine::BuildWriteFrame(std::uint32_t, std::size_t, const std::uint8_t*) { return 0; }
bool CUpdateEngine::CheckNvRestore() { return false; }
bool CUpdateEngine::RebootModule() { return false; }
bool CUpdateEngine::WaitModuleReady() { return false; }

}  // namespace orvane
