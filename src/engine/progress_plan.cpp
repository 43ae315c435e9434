#include "engine/progress_plan.h"

#include <algorithm>

namespace orvane {

std::span<const WeightedStep> ProgressPlan(ImageType item) {
  switch (item) {
    case IMAGE_BOOT:
    case IMAGE_APP:
    case IMAGE_RESOURCE:
      return kRouterItemPlan;
    case IMAGE_FIRMWARE:
      return kFirmwarePlan;
    case IMAGE_DASHBOARD:
      return kDashboardPlan;
    default:
      return {};
  }
}

void CItemProgress::Begin(std::span<const WeightedStep> plan) {
  m_plan = plan;
  m_before = 0;
  m_weight = 0;
  m_value = 0;
}

void CItemProgress::Enter(RunStep step) {
  int before = 0;
  for (const WeightedStep& s : m_plan) {
    if (s.step == step) {
      m_before = before;
      m_weight = s.weight;
      m_value = std::max(m_value, before);
      return;
    }
    before += s.weight;
  }
}

int CItemProgress::Advance(int percent) {
  const int clamped = std::clamp(percent, 0, 100);
  m_value = std::max(m_value, std::min(100, m_before + m_weight * clamped / 100));
  return m_value;
}

}  // namespace orvane
