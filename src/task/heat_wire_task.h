#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "robot/base_station_mqtt.pb.h"
#include "task/task.h"

namespace station_center {

// Keeps the heating wire at its target temperature while the drying fan runs:
// on below the target, off above it, nothing at the target itself. Once the fan
// has stopped (dry_running cleared) the task ends, canceled, without heating again.
class HeatWireTask : public SupplyMaterialTask {
 public:
  HeatWireTask(const std::shared_ptr<StationCenter>& station_center,
               const quorvane_base_station_mqtt::SupplyMaterialReq& request);

  bool DoReset() override;
  // Both ends clear heat_wire_running, so that the dry task may stop again and
  // a new heat wire task may start.
  void AfterError() override;
  void AfterCancel() override;

 protected:
  bool DoTaskInside(const station::SensorsDataRep& report) override;
  bool DoCancelUnlock() override;
  std::string CheckCondition(const station::SensorsDataRep& report) override;

 private:
  bool SwitchWire(int32_t action);
  bool SwitchWireOff();
  void ClearHeatWireRunning();

  int32_t target_temp_;
  bool actuator_on_ = false;
};

}  // namespace station_center
