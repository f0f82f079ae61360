#include "task/water_spray_task.h"

#include "config.h"
#include "error_codes.h"

namespace station_center {

namespace {

// The pump power for the robot's action model. A model outside soft, standard
// and strong runs the pump at the standard power.
int32_t PumpPowerFor(int32_t action_model) {
  switch (action_model) {
    case quorvane_base_station_mqtt::ENUM_ACTION_SOFT:
      return config_reader.self_clean_pump_power_soft;
    case quorvane_base_station_mqtt::ENUM_ACTION_STRONG:
      return config_reader.self_clean_pump_power_strong;
    default:
      return config_reader.self_clean_pump_power_standard;
  }
}

}  // namespace

WaterSprayTask::WaterSprayTask(const TaskContext& context, const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : SupplyMaterialTask(context, TASK_TYPE_WATER_SPRAY, request), pump_power_(PumpPowerFor(action_model_)) {
  conflict_task_types_ = {TASK_TYPE_DUST_COLLECT, TASK_TYPE_DRY, TASK_TYPE_HEAT_WIRE, TASK_TYPE_AUTO_CHARGE,
                          TASK_TYPE_MANUAL_CHARGE};
}

std::string WaterSprayTask::CheckCondition(const station::SensorsDataRep& /*report*/) {
  return ReadData([](const StationTaskData& data) -> std::string {
    if (!data.sewage_pump_left_on) {
      return "sewage pump not working";
    }
    if ((data.supply_water_volume < 1 || !data.water_ready) && !data.spray_interrupted) {
      return "pre disinfectant no ready";
    }
    return "";
  });
}

bool WaterSprayTask::Start(const station::SensorsDataRep& /*report*/, int64_t /*now*/) {
  return SwitchOn(station::ENUM_SUPPLY_SELF_CLEAN_PUMP, pump_power_, kSelfCleanPumpOpenFailed,
                  "open self clean pump failed");
}

std::vector<SwitchOff> WaterSprayTask::SwitchOffs() const {
  return {{station::ENUM_SUPPLY_SELF_CLEAN_PUMP, kSelfCleanPumpCloseFailed, "close self clean pump failed"}};
}

void WaterSprayTask::WithdrawPreparedWater(bool spray_interrupted) {
  WriteData([spray_interrupted](StationTaskData& data) {
    data.water_ready = false;
    data.perfume_liquid_ready = false;
    data.clean_liquid_ready = false;
    data.supply_water_volume = 0;
    data.spray_interrupted = spray_interrupted;
  });
}

void WaterSprayTask::AfterError() { WithdrawPreparedWater(false); }

void WaterSprayTask::AfterCancel() { WithdrawPreparedWater(true); }

}  // namespace station_center
