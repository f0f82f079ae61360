#pragma once

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

  bool DoReset() override { return ClearDryRunning(SwitchAllOff()); }
  void AfterError() override { ClearDryRunning(); }
  void AfterCancel() override { ClearDryRunning(); }

 protected:
  bool Start(const station::SensorsDataRep& report, int64_t now) override;
  bool CancelRefused() override;
  // The robot's stop, allowed only with no wire heating: the fan alone.
  bool DoCancelUnlock() override;
  bool DoStopUnlock() override { return ClearDryRunning(SwitchAllOff()); }
  // The wire first, whether or not a heat wire task runs (a wire already off
  // takes no harm), then the fan.
  std::vector<SwitchOff> SwitchOffs() const override;

 private:
  // Clears dry_running once the fan is off (`fan_off`): from then on no heat
  // wire task may start, and a running one ends itself. Returns `fan_off`.
  bool ClearDryRunning(bool fan_off = true);
};

}  // namespace station_center
