#pragma once

#include <vector>

#include "task/tank_steps.h"
#include "task/task.h"

namespace station_center {

// Opens the clean tank's drainage switch and waits until the tank has run empty,
// discarding whatever liquid a prepare task had made ready.
class DrainWaterTask : public Task {
 public:
  explicit DrainWaterTask(const TaskContext& context);

  void AfterError() override { WithdrawPreparedLiquid(); }

 protected:
  bool Begin(const station::SensorsDataRep& report, int64_t now) override;
  bool Work(const station::SensorsDataRep& report, int64_t now) override;
  // The drainage once asked open: a stop or failure closes it, so the tank does
  // not stay open until some later reset happens to close it.
  std::vector<SwitchOff> SwitchOffs() const override;

 private:
  // Forgets every prepared liquid; caller holds no task-data lock.
  void WithdrawPreparedLiquid();

  TankDrain drain_{*this};
};

}  // namespace station_center
