#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Switches the sewage pump on at the power of the robot's action model and then
// only watches its time limit. The pump stays on after the task: the station
// center's sensor intake switches it off once the sewage has drained
// (StationTaskData::sewage_pump_left_on).
class SewageDrainPumpTask : public SupplyMaterialTask {
 public:
  SewageDrainPumpTask(const std::shared_ptr<StationCenter>& station_center,
                      const quorvane_base_station_mqtt::SupplyMaterialReq& request);

  bool DoReset() override;

 protected:
  bool DoTaskInside(const station::SensorsDataRep& report) override;

 private:
  int32_t pump_power_;
};

}  // namespace station_center
