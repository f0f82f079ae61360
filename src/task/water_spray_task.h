#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "robot/base_station_mqtt.pb.h"
#include "task/task.h"

namespace station_center {

// Runs the self-clean pump, which sprays the prepared water, for as long as the
// robot wants it. It has no end of its own: a stop, its time limit or a station
// reset ends it.
class WaterSprayTask : public SupplyMaterialTask {
 public:
  WaterSprayTask(const std::shared_ptr<StationCenter>& station_center,
                 const quorvane_base_station_mqtt::SupplyMaterialReq& request);

  bool DoReset() override;
  void AfterError() override;
  // Remembers the interruption, so that the next spray may resume without a
  // newly prepared tank.
  void AfterCancel() override;

 protected:
  bool DoTaskInside(const station::SensorsDataRep& report) override;
  bool DoCancelUnlock() override;
  std::string CheckCondition(const station::SensorsDataRep& report) override;

 private:
  bool SwitchPump(int32_t action);
  bool SwitchPumpOff();
  void WithdrawPreparedWater(bool spray_interrupted);

  int32_t pump_power_;
};

}  // namespace station_center
