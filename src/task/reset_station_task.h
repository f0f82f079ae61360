#pragma once

#include <vector>

#include "task/tank_steps.h"
#include "task/task.h"

namespace station_center {

// The station's own reset: clears the station task data and drains the clean
// tank. The station center handles its end itself (normal on success, error on
// failure); on failure it also runs DoReset, which closes the drainage: every way
// this task fails comes after it asked the drainage to open.
class ResetStationTask : public Task {
 public:
  explicit ResetStationTask(const TaskContext& context);

 protected:
  bool Begin(const station::SensorsDataRep& report, int64_t now) override;
  bool Work(const station::SensorsDataRep& report, int64_t now) override { return steps_.RunStep(report, now); }
  std::vector<SwitchOff> SwitchOffs() const override;

 private:
  enum Step : int {
    STEP_DRAIN_WATER = 1,
    STEP_WAIT_DRAIN_WATER_OVER = 2,
  };

  bool DrainWater(const station::SensorsDataRep& report, int64_t now);
  bool WaitDrainWaterOver(const station::SensorsDataRep& report, int64_t now);

  StepMachine steps_{*this};
  TankDrain drain_{*this};
};

}  // namespace station_center
