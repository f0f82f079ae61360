#pragma once

#include <string>
#include <vector>

#include "robot/base_station_mqtt.pb.h"
#include "task/task.h"

namespace station_center {

// Keeps the heating wire at its target temperature while the drying fan runs:
// on below the target, off above it, nothing at the target itself. Once the fan
// has stopped (dry_running cleared) the task ends, canceled, without heating again.
class HeatWireTask : public SupplyMaterialTask {
 public:
  HeatWireTask(const TaskContext& context, const quorvane_base_station_mqtt::SupplyMaterialReq& request);

  // Both ends clear heat_wire_running, so that the dry task may stop again and
  // a new heat wire task may start.
  void AfterError() override { ClearHeatWireRunning(); }
  void AfterCancel() override { ClearHeatWireRunning(); }

 protected:
  bool Begin(const station::SensorsDataRep& report, int64_t now) override;
  bool OnTimeLimit(int64_t now) override;
  bool Work(const station::SensorsDataRep& report, int64_t now) override;
  std::string CheckCondition(const station::SensorsDataRep& report) override;
  std::vector<SwitchOff> SwitchOffs() const override;

 private:
  // True (and the task canceled) once the drying fan has stopped.
  bool FanStopped();
  void ClearHeatWireRunning();

  int32_t target_temp_;
  bool wire_on_ = false;
};

}  // namespace station_center
