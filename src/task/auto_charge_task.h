#pragma once

#include <string>
#include <vector>

#include "robot/base_station_mqtt.pb.h"
#include "task/task.h"

namespace station_center {

// Charges the robot through the electrode plates for as long as it wants, and
// stops at once when a plate runs too hot or the hand charge switch closes.
// charge_state is 1 from a successful start until a stop or reset.
class AutoChargeTask : public SupplyMaterialTask {
 public:
  AutoChargeTask(const TaskContext& context, const quorvane_base_station_mqtt::SupplyMaterialReq& request);

  bool DoReset() override;
  void AfterCancel() override;

 protected:
  bool Start(const station::SensorsDataRep& report, int64_t now) override;
  bool Begin(const station::SensorsDataRep& report, int64_t now) override;
  bool Work(const station::SensorsDataRep& report, int64_t now) override;
  std::string CheckCondition(const station::SensorsDataRep& report) override;
  std::vector<SwitchOff> SwitchOffs() const override;
};

}  // namespace station_center
