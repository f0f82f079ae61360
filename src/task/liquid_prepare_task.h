#pragma once

#include "task/tank_steps.h"

namespace station_center {

// Prepares a tank of cleaning water (type 2) or perfumed water (type 3): drains
// what is left in the clean tank, fills it from the tap up to the robot's
// volume, doses the liquid with its pump for a fixed time, and lets it dissolve.
class LiquidPrepareTask : public TankPrepareTask {
 public:
  LiquidPrepareTask(const TaskContext& context, TaskType task_type,
                    const quorvane_base_station_mqtt::PrepareDisinfectantReq& request);

  void AfterOver() override;
  void AfterError() override;

 protected:
  bool Begin(const station::SensorsDataRep& report, int64_t now) override;
  // Liquid pump, tap, drainage switch, whatever the task got to: a stop or a
  // failure leaves nothing running.
  std::vector<SwitchOff> SwitchOffs() const override;

 private:
  bool DoReleaseLiquid(const station::SensorsDataRep& report, int64_t now);
  bool WaitReleaseLiquid(const station::SensorsDataRep& report, int64_t now);
  bool WaitDissolution(const station::SensorsDataRep& report, int64_t now);

  int64_t pump_start_time_ = -1;
  int64_t pump_seconds_ = 0;
  int64_t dissolution_seconds_ = 0;
  int64_t dissolution_start_time_ = -1;
  station::EnumSupplyType liquid_pump_ = station::ENUM_SUPPLY_INVALID;
};

}  // namespace station_center
