#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Opens the clean tank's drainage switch and waits until the tank has run empty,
// discarding whatever liquid a prepare task had made ready.
class DrainWaterTask : public Task {
 public:
  explicit DrainWaterTask(const std::shared_ptr<StationCenter>& station_center);

  bool DoReset() override;
  void AfterError() override;

 protected:
  bool DoTaskInside(const station::SensorsDataRep& report) override;
  // A canceled drain closes the switch it opened, so the tank does not stay open
  // until some later reset happens to close it.
  bool DoCancelUnlock() override;

 private:
  bool SwitchDrainage(int32_t action);
  // Forgets every prepared liquid; caller holds no task-data lock.
  void WithdrawPreparedLiquid();

  bool drain_open_ = false;
  int64_t drain_start_time_ = -1;
};

}  // namespace station_center
