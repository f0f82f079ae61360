#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "robot/base_station_mqtt.pb.h"
#include "task/task.h"

namespace station_center {

// Charges the robot through the electrode plates for as long as it wants, and
// stops at once when a plate runs too hot or the hand charge switch closes.
// charge_state is 1 from a successful start until a stop or reset.
class AutoChargeTask : public SupplyMaterialTask {
 public:
  AutoChargeTask(const std::shared_ptr<StationCenter>& station_center,
                 const quorvane_base_station_mqtt::SupplyMaterialReq& request);

  bool DoReset() override;
  void AfterCancel() override;

 protected:
  bool DoTaskInside(const station::SensorsDataRep& report) override;
  bool DoCancelUnlock() override;
  std::string CheckCondition(const station::SensorsDataRep& report) override;

 private:
  bool SwitchCharging(int32_t action);
};

}  // namespace station_center
