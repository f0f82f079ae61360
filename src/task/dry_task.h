#pragma once

#include <string>
#include <vector>

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
  DryTask(const TaskContext& context, const quorvane_base_station_mqtt::SupplyMaterialReq& request);

  bool DoReset() override { return SwitchWireThenFanOff(); }
  void AfterError() override { ClearDryRunning(); }
  void AfterCancel() override { ClearDryRunning(); }

 protected:
  bool Start(const station::SensorsDataRep& report, int64_t now) override;
  bool CancelRefused() override;
  // The robot's stop, allowed only with no wire heating: the fan alone.
  bool DoCancelUnlock() override { return SwitchFanOff(); }
  bool DoStopUnlock() override { return SwitchWireThenFanOff(); }

 private:
  bool SwitchFanOff();
  bool SwitchWireThenFanOff();
  void ClearDryRunning();
};

}  // namespace station_center
