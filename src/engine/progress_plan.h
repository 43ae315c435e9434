#pragma once
// Each item's steps with their share of the item's progress, so that a bar
// over the whole item only moves forward while the "%" cell starts again at
// 0 with each step that measures itself (the result wait, the module's
// restart). The weights follow where the time goes on a real router: the
// data and the router's own flashing for router items, the block writes and
// the two module restarts for module items.
#include <cstddef>
#include <span>

#include "catalogue/image_type.h"
#include "engine/run_report.h"

namespace orvane {

struct WeightedStep {
  RunStep step;
  int weight;  // share of 100
};

inline constexpr WeightedStep kRouterItemPlan[] = {
    {RunStep::RouterTrigger, 3},  // the trigger and the router's 2.5 s pause
    {RunStep::RouterData, 47},
    {RunStep::RouterResult, 50},  // the router writes its flash
};

inline constexpr WeightedStep kFirmwarePlan[] = {
    {RunStep::Handshake, 2},   {RunStep::BackupNv, 3}, {RunStep::EnterDownloader, 15},
    {RunStep::Unlock, 2},      {RunStep::Write, 55},   {RunStep::Reset, 1},
    {RunStep::WaitModule, 15}, {RunStep::NvRestore, 5}, {RunStep::ReadVersion, 2},
};

inline constexpr WeightedStep kDashboardPlan[] = {
    {RunStep::Handshake, 2}, {RunStep::EnterDownloader, 15}, {RunStep::Unlock, 2},
    {RunStep::Write, 62},    {RunStep::Reset, 1},            {RunStep::WaitModule, 16},
    {RunStep::ReadVersion, 2},
};

// The plan of an item's steps.
std::span<const WeightedStep> ProgressPlan(ImageType item);

// Turns "step S is p% done" into the item's whole progress. Steps not in the
// plan leave the progress where it is; a step entered again, or a lower
// percentage, never moves it back.
class CItemProgress {
 public:
  void Begin(std::span<const WeightedStep> plan);
  void Enter(RunStep step);
  // The item's progress (0..100) after the current step reached `percent`.
  int Advance(int percent);
  void Complete() { m_value = 100; }
  int Value() const { return m_value; }

 private:
  std::span<const WeightedStep> m_plan;
  int m_before = 0;  // the weight of the steps before the current one
  int m_weight = 0;  // the current step's weight (0: not in the plan)
  int m_value = 0;
};

}  // namespace orvane
