#pragma once

#include <cstdint>
#include <memory>

#include "robot/base_station_mqtt.pb.h"
#include "task/task.h"

namespace station_center {

// Runs the drying fan for as long as the robot wants it. While it runs,
// dry_running is set; the heating wire may only work with the fan on, so the
// task refuses a stop while the heat wire task runs.
class DryTask : public SupplyMaterialTask {
 public:
  DryTask(const std::shared_ptr<StationCenter>& station_center,
          const quorvane_base_station_mqtt::SupplyMaterialReq& request);

  bool DoReset() override;
  void AfterError() override;
  void AfterCancel() override;

 protected:
  bool DoTaskInside(const station::SensorsDataRep& report) override;
  bool DoCancelUnlock() override;

 private:
  bool SwitchFan(int32_t action);
  bool SwitchFanOff();
  void ClearDryRunning();
};

}  // namespace station_center
