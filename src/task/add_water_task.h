#pragma once

#include <cstdint>
#include <memory>

#include "robot/base_station_mqtt.pb.h"
#include "task/flow_counts.h"
#include "task/task.h"

namespace station_center {

// Supplies the robot with the liquid that a prepare task made ready in the
// clean tank, and refills the tank from the tap until the whole volume the
// robot asked for has passed: empty the tank into the robot, refill it with at
// most what is still missing, and again, until nothing is missing and the tank
// has run down to its foot.
//
// Volumes are flow-meter counts: the robot's supply_water_volume times 1000.
class AddWaterTask : public SupplyMaterialTask {
 public:
  AddWaterTask(const std::shared_ptr<StationCenter>& station_center,
               const quorvane_base_station_mqtt::SupplyMaterialReq& request);

  // Tap, then the supply water switch; false at the first failure.
  bool DoReset() override;
  void AfterOver() override;
  void AfterError() override;
  void AfterCancel() override;

 protected:
  bool DoTaskInside(const station::SensorsDataRep& report) override;
  bool DoCancelUnlock() override;
  std::string CheckCondition(const station::SensorsDataRep& report) override;

 private:
  bool DoAddWaterToRobot(const station::SensorsDataRep& report);
  bool WaitAddWaterToRobot(const station::SensorsDataRep& report);
  bool DoAddWaterToStation(const station::SensorsDataRep& report);
  bool WaitAddWaterToStation(const station::SensorsDataRep& report);

  bool SwitchTapWater(int32_t action);
  bool SwitchSupplyWater(int32_t action);
  bool SwitchBothOff();
  // Withdraws the prepared liquid: it has been used or is no longer trusted.
  void WithdrawPreparedLiquid();

  int32_t water_to_add_ = -1;
  int64_t step_start_time_ = -1;
  FillMeter refill_meter_;  // the water let in since the tap last opened
  StepMachine steps_;
};

}  // namespace station_center
