#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "robot/base_station_mqtt.pb.h"
#include "task/tank_steps.h"
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
  AddWaterTask(const TaskContext& context, const quorvane_base_station_mqtt::SupplyMaterialReq& request);

  void AfterOver() override;
  // Withdraw the prepared liquid: it has been used or is no longer trusted.
  void AfterError() override { WithdrawPreparedLiquid(); }
  void AfterCancel() override { WithdrawPreparedLiquid(); }

 protected:
  bool Begin(const station::SensorsDataRep& report, int64_t now) override;
  bool OnTimeLimit(int64_t now) override;
  bool Work(const station::SensorsDataRep& report, int64_t now) override { return steps_.RunStep(report, now); }
  std::string CheckCondition(const station::SensorsDataRep& report) override;
  // Tap, then the supply water switch: a tap the board keeps open must not also
  // keep the water running to the robot.
  std::vector<SwitchOff> SwitchOffs() const override;

 private:
  bool DoAddWaterToRobot(const station::SensorsDataRep& report, int64_t now);
  bool WaitAddWaterToRobot(const station::SensorsDataRep& report, int64_t now);
  bool DoAddWaterToStation(const station::SensorsDataRep& report, int64_t now);
  bool WaitAddWaterToStation(const station::SensorsDataRep& report, int64_t now);
  void WithdrawPreparedLiquid();

  int32_t water_to_add_ = -1;
  TankFill refill_{*this,
                   {"task water inlet failed", "close water switch failed", "close water switch failed",
                    "Add water to station complete"}};
  StepMachine steps_{*this};
};

}  // namespace station_center
