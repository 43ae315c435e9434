#include "engine/update_engine.h"

namespace orvane {

CUpdateEngine::CUpdateEngine(UpdateItems& items, IItemView& view, NetworkProfile profile, std::string logFolder,
                             CDownloadLog::TimeSource logClock)
    : m_log(std::move(logFolder), std::move(logClock)),
      m_link(std::move(profile), m_log),
      m_display(view, m_log),
      m_router(m_link, m_display, m_log, items, m_stop),
      m_module(m_link, m_display, m_log, items, m_router, m_stop),
      m_run(m_link, m_display, m_log, items, m_router, m_module, m_stop) {}

}  // namespace orvane
