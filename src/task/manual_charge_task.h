#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "task/task.h"

namespace station_center {

// Switches the hand charge output on while the hand charge switch is closed and
// no robot stands in the station, and off again once the switch opens.
class ManualChargeTask : public Task {
 public:
  explicit ManualChargeTask(const std::shared_ptr<StationCenter>& station_center);

  // Hand charge off; a failure also puts the task in error.
  bool DoReset() override;

 protected:
  bool DoTaskInside(const station::SensorsDataRep& report) override;
  // A stop switches the hand charge off, as DoReset does.
  bool DoCancelUnlock() override;
  std::string CheckCondition(const station::SensorsDataRep& report) override;

 private:
  bool SwitchHandCharge(int32_t action);
};

}  // namespace station_center
