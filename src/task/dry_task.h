#pragma once

#include <cstdint>
#include <memory>

#include "robot/base_station_mqtt.pb.h"
#include "task/task.h"

namespace station_center {

// Runs the drying fan for as long as the robot wants it. While it runs,
// dry_running is set. The heating wire may only work with the fan on: the robot
// may not stop the fan while the heat wire task runs (the stop is refused and
// drying goes on), and every other end of the task switches the wire off before
// the fan. When the board refuses the wire's switch-off the fan's is held back
// and owed: the station center sends it once the wire is confirmed off. The heat
// wire task ends itself once dry_running is cleared.
class DryTask : public SupplyMaterialTask {
 public:
  DryTask(const std::shared_ptr<StationCenter>& station_center,
          const quorvane_base_station_mqtt::SupplyMaterialReq& request);

  bool DoReset() override;
  void AfterError() override;
  void AfterCancel() override;

 protected:
  bool DoTaskInside(const station::SensorsDataRep& report) override;
  bool CancelRefused() override;
  bool DoCancelUnlock() override;
  bool DoStopUnlock() override;

 private:
  bool SwitchFan(int32_t action);
  bool SwitchFanOff();
  bool SwitchWireThenFanOff();
  void ClearDryRunning();
};

}  // namespace station_center
