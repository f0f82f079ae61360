#include "task/sewage_drain_pump_task.h"

#include "config.h"
#include "error_codes.h"

namespace station_center {

namespace {

int32_t PumpPower(int32_t action_model) {
  switch (action_model) {
    case quorvane_base_station_mqtt::ENUM_ACTION_SOFT:
      return config_reader.sewage_pump_power_soft;
    case quorvane_base_station_mqtt::ENUM_ACTION_STRONG:
      return config_reader.sewage_pump_power_strong;
    default:
      // Standard, and the out-of-range models that the admission lets through.
      return config_reader.sewage_pump_power_standard;
  }
}

}  // namespace

SewageDrainPumpTask::SewageDrainPumpTask(const TaskContext& context,
                                         const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : SupplyMaterialTask(context, TASK_TYPE_SEWAGE_DRAIN_PUMP, request), pump_power_(PumpPower(action_model_)) {
  conflict_task_types_ = {TASK_TYPE_DUST_COLLECT, TASK_TYPE_DRY, TASK_TYPE_HEAT_WIRE, TASK_TYPE_AUTO_CHARGE,
                          TASK_TYPE_MANUAL_CHARGE};
}

bool SewageDrainPumpTask::Start(const station::SensorsDataRep& /*report*/, int64_t /*now*/) {
  if (!SwitchOn(station::ENUM_SUPPLY_SEWAGE_PUMP, pump_power_, kSewagePumpOpenFailed,
                "open sewage drain pump failed")) {
    return false;
  }
  WriteData([](StationTaskData& data) { data.sewage_pump_left_on = true; });
  return true;
}

}  // namespace station_center
