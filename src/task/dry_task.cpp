#include "task/dry_task.h"

#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {

const SwitchOff kFanOff = {station::ENUM_SUPPLY_HEATING_FAN, kHeatFanCloseFailed, "close heat fan failed"};

}  // namespace

DryTask::DryTask(const TaskContext& context, const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : SupplyMaterialTask(context, TASK_TYPE_DRY, request) {
  conflict_task_types_ = {TASK_TYPE_WATER_SPRAY, TASK_TYPE_DUST_COLLECT, TASK_TYPE_AUTO_CHARGE,
                          TASK_TYPE_MANUAL_CHARGE};
}

bool DryTask::Start(const station::SensorsDataRep& /*report*/, int64_t /*now*/) {
  if (!SwitchOn(station::ENUM_SUPPLY_HEATING_FAN, 1, kHeatFanOpenFailed, "open heat fan failed")) {
    return false;
  }
  WriteData([](StationTaskData& data) { data.dry_running = true; });
  return true;
}

std::vector<SwitchOff> DryTask::SwitchOffs() const {
  return {{station::ENUM_SUPPLY_HEATING_WIRE, kHeatWireStopFailed, "stop heat wire failed"}, kFanOff};
}

bool DryTask::DoCancelUnlock() { return ClearDryRunning(SwitchOffOne(kFanOff)); }

bool DryTask::CancelRefused() {
  if (ReadData([](const StationTaskData& data) { return data.heat_wire_running; })) {
    QLOG_INFO("Cancel dry task failed, because heat wire still work");
    return true;
  }
  return false;
}

bool DryTask::ClearDryRunning(bool fan_off) {
  if (fan_off) {
    WriteData([](StationTaskData& data) { data.dry_running = false; });
  }
  return fan_off;
}

}  // namespace station_center
