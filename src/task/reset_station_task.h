#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// The station's own reset: clears the station task data and drains the clean
// tank. The station center handles its end itself (normal on success, error on
// failure); on failure it also runs DoReset, which closes the drainage: every way
// this task fails comes after it asked the drainage to open.
class ResetStationTask : public Task {
 public:
  explicit ResetStationTask(const std::shared_ptr<StationCenter>& station_center);

  bool DoReset() override;

 protected:
  bool DoTaskInside(const station::SensorsDataRep& report) override;

 private:
  enum Step : int {
    STEP_DRAIN_WATER = 1,
    STEP_WAIT_DRAIN_WATER_OVER = 2,
  };

  bool DrainWater(const station::SensorsDataRep& report);
  bool WaitDrainWaterOver(const station::SensorsDataRep& report);
  bool SwitchDrainage(int32_t action);

  StepMachine steps_;
  int64_t step_start_time_ = -1;
};

}  // namespace station_center
