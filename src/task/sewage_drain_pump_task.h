#pragma once

#include <string>
#include <vector>

#include "robot/base_station_mqtt.pb.h"
#include "task/task.h"

namespace station_center {

// Switches the sewage pump on at the power of the robot's action model and then
// only watches its time limit. The pump stays on after the task, whatever ends
// it: the station center's sensor intake switches it off once the sewage has
// drained (StationTaskData::sewage_pump_left_on), so nothing is on its
// switch-off list.
class SewageDrainPumpTask : public SupplyMaterialTask {
 public:
  SewageDrainPumpTask(const TaskContext& context, const quorvane_base_station_mqtt::SupplyMaterialReq& request);

 protected:
  bool Start(const station::SensorsDataRep& report, int64_t now) override;

 private:
  int32_t pump_power_;
};

}  // namespace station_center
