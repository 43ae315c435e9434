// Router update: router images over the relay connection, the router's
// verdict, the NVRAM erase and the control exchanges the module update needs.
#include "engine/update_engine.h"

namespace orvane {

// Not built yet: the router item steps.
bool CUpdateEngine::TransferRouterImage(ImageType) { m_nStatusId = IDS_TCP_DOWNLOAD_CMD_FAIL; return false; }
bool CUpdateEngine::SendTrigger(TriggerKind, std::uint32_t) { m_nStatusId = IDS_TCP_DOWNLOAD_CMD_FAIL; return false; }
bool CUpdateEngine::TCP_GetRouterResult(ImageType) { m_nStatusId = IDS_ROUTER_RESPONSE_TIMEOUT; return false; }
bool CUpdateEngine::EraseRouterNvram() { return false; }
bool CUpdateEngine::WaitRouterAlive(std::uint32_t) { return false; }
bool CUpdateEngine::EnterForcedDownload() { return false; }

}  // namespace orvane
