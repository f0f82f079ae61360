#pragma once

#include <string>
#include <vector>

#include "robot/base_station_mqtt.pb.h"
#include "task/task.h"

namespace station_center {

// Switches the hand charge output on while the hand charge switch is closed and
// no robot stands in the station, and off again once the switch opens.
class ManualChargeTask : public Task {
 public:
  explicit ManualChargeTask(const TaskContext& context);

 protected:
  bool Start(const station::SensorsDataRep& report, int64_t now) override;
  bool Work(const station::SensorsDataRep& report, int64_t now) override;
  std::string CheckCondition(const station::SensorsDataRep& report) override;
  std::vector<SwitchOff> SwitchOffs() const override;
};

}  // namespace station_center
