#pragma once

#include <cstdint>
#include <memory>

#include "robot/base_station_mqtt.pb.h"
#include "task/flow_counts.h"
#include "task/task.h"

namespace station_center {

// Prepares a tank of cleaning water (type 2) or perfumed water (type 3): drains
// what is left in the clean tank, fills it from the tap up to the robot's
// volume, doses the liquid with its pump for a fixed time, and lets it dissolve.
class LiquidPrepareTask : public Task {
 public:
  LiquidPrepareTask(const std::shared_ptr<StationCenter>& station_center, TaskType task_type,
                    const quorvane_base_station_mqtt::PrepareDisinfectantReq& request);

  // Liquid pump, tap, drainage switch, in that order; stops at the first failure.
  bool DoReset() override;
  void AfterOver() override;
  void AfterError() override;

 protected:
  bool DoTaskInside(const station::SensorsDataRep& report) override;
  // A stop leaves nothing running: the same commands as DoReset.
  bool DoCancelUnlock() override;

 private:
  bool DoEmptyTank(const station::SensorsDataRep& report);
  bool WaitEmptyTank(const station::SensorsDataRep& report);
  bool DoWaterInlet(const station::SensorsDataRep& report);
  bool WaitWaterInlet(const station::SensorsDataRep& report);
  bool DoReleaseLiquid(const station::SensorsDataRep& report);
  bool WaitReleaseLiquid(const station::SensorsDataRep& report);
  bool WaitDissolution(const station::SensorsDataRep& report);

  bool SwitchDrainage(int32_t action);
  bool SwitchTapWater(int32_t action);
  bool SwitchLiquidPump(int32_t action);
  bool SwitchEverythingOff();

  quorvane_base_station_mqtt::PrepareDisinfectantReq prepare_req_;
  int64_t inlet_start_time_ = -1;
  FillMeter inlet_meter_;  // the water let in since the tap last opened
  int64_t drain_start_time_ = -1;
  int64_t pump_start_time_ = -1;
  int64_t pump_seconds_ = 0;
  int64_t dissolution_seconds_ = 0;
  int64_t dissolution_start_time_ = -1;
  station::EnumSupplyType liquid_pump_ = station::ENUM_SUPPLY_INVALID;
  StepMachine steps_;
};

}  // namespace station_center
