#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "robot/base_station_mqtt.pb.h"
#include "task/task.h"

namespace station_center {

// Runs the dust collection for as long as the robot wants it, once the dust bag
// and box cap are in place and the negative pressure reads within its limits.
// Any failed collect-dust command ends the task in error.
class DustCollectTask : public SupplyMaterialTask {
 public:
  DustCollectTask(const std::shared_ptr<StationCenter>& station_center,
                  const quorvane_base_station_mqtt::SupplyMaterialReq& request);

  bool DoReset() override;

 protected:
  bool DoTaskInside(const station::SensorsDataRep& report) override;
  bool DoCancelUnlock() override;
  std::string CheckCondition(const station::SensorsDataRep& report) override;

 private:
  bool SwitchCollectDust(int32_t action);
  bool SwitchCollectDustOff();

  bool actuator_on_ = false;
};

}  // namespace station_center
