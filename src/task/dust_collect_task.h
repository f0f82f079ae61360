#pragma once

#include <string>
#include <vector>

#include "robot/base_station_mqtt.pb.h"
#include "task/task.h"

namespace station_center {

// Runs the dust collection for as long as the robot wants it, once the dust bag
// and box cap are in place and the negative pressure reads within its limits.
// Any failed collect-dust command ends the task in error.
class DustCollectTask : public SupplyMaterialTask {
 public:
  DustCollectTask(const TaskContext& context, const quorvane_base_station_mqtt::SupplyMaterialReq& request);

 protected:
  bool Begin(const station::SensorsDataRep& report, int64_t now) override;
  std::string CheckCondition(const station::SensorsDataRep& report) override;
  std::vector<SwitchOff> SwitchOffs() const override;
};

}  // namespace station_center
