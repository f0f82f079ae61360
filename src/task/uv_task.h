#pragma once

#include <string>
#include <vector>

#include "robot/base_station_mqtt.pb.h"
#include "task/task.h"

namespace station_center {

// Runs the UV lamp over the docked robot. Reaching its time is this task's
// normal end: the lamp goes off and the task is over.
class UVTask : public SupplyMaterialTask {
 public:
  UVTask(const TaskContext& context, const quorvane_base_station_mqtt::SupplyMaterialReq& request);

 protected:
  bool Start(const station::SensorsDataRep& report, int64_t now) override;
  bool OnTimeLimit(int64_t now) override;
  std::string CheckCondition(const station::SensorsDataRep& report) override;
  std::vector<SwitchOff> SwitchOffs() const override;
};

}  // namespace station_center
