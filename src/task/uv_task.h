#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "robot/base_station_mqtt.pb.h"
#include "task/task.h"

namespace station_center {

// Runs the UV lamp over the docked robot. Reaching its time is this task's
// normal end: the lamp goes off and the task is over.
class UVTask : public SupplyMaterialTask {
 public:
  UVTask(const std::shared_ptr<StationCenter>& station_center,
         const quorvane_base_station_mqtt::SupplyMaterialReq& request);

  bool DoReset() override;

 protected:
  bool DoTaskInside(const station::SensorsDataRep& report) override;
  // A stop switches the lamp off, as DoReset does.
  bool DoCancelUnlock() override;
  std::string CheckCondition(const station::SensorsDataRep& report) override;

 private:
  bool SwitchLamp(int32_t action);
  bool SwitchLampOff();
};

}  // namespace station_center
