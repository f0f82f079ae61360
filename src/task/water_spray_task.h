#pragma once

#include <string>
#include <vector>

#include "robot/base_station_mqtt.pb.h"
#include "task/task.h"

namespace station_center {

// Runs the self-clean pump, which sprays the prepared water, for as long as the
// robot wants it. It has no end of its own: a stop, its time limit or a station
// reset ends it.
class WaterSprayTask : public SupplyMaterialTask {
 public:
  WaterSprayTask(const TaskContext& context, const quorvane_base_station_mqtt::SupplyMaterialReq& request);

  void AfterError() override;
  // Remembers the interruption, so that the next spray may resume without a
  // newly prepared tank.
  void AfterCancel() override;

 protected:
  bool Start(const station::SensorsDataRep& report, int64_t now) override;
  std::string CheckCondition(const station::SensorsDataRep& report) override;
  std::vector<SwitchOff> SwitchOffs() const override;

 private:
  void WithdrawPreparedWater(bool spray_interrupted);

  int32_t pump_power_;
};

}  // namespace station_center
