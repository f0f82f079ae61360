#include "task/water_spray_task.h"

#include <mutex>
#include <shared_mutex>

#include "clock.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"

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

WaterSprayTask::WaterSprayTask(const std::shared_ptr<StationCenter>& station_center,
                               const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : SupplyMaterialTask(station_center, TASK_TYPE_WATER_SPRAY, request), pump_power_(PumpPowerFor(action_model_)) {
  conflict_task_types_ = {TASK_TYPE_DUST_COLLECT, TASK_TYPE_DRY, TASK_TYPE_HEAT_WIRE, TASK_TYPE_AUTO_CHARGE,
                          TASK_TYPE_MANUAL_CHARGE};
}

bool WaterSprayTask::SwitchPump(int32_t action) { return Actuate(station::ENUM_SUPPLY_SELF_CLEAN_PUMP, action); }

std::string WaterSprayTask::CheckCondition(const station::SensorsDataRep& /*report*/) {
  std::shared_lock<std::shared_mutex> lock(TaskDataLock());
  const StationTaskData& data = TaskData();
  if (!data.sewage_pump_left_on) {
    return "sewage pump not working";
  }
  if ((data.supply_water_volume < 1 || !data.water_ready) && !data.spray_interrupted) {
    return "pre disinfectant no ready";
  }
  return "";
}

bool WaterSprayTask::DoTaskInside(const station::SensorsDataRep& /*report*/) {
  const int64_t now = NowSeconds();
  if (GetTaskStatus() == TASK_STATUS_WAITING) {
    start_time_ = now;
    if (!SwitchPump(pump_power_)) {
      QLOG_ERROR("ErrorCode: {}, open self clean pump failed", kSelfCleanPumpOpenFailed);
      return false;
    }
    SetTaskStatus(TASK_STATUS_RUNNING);
  }
  if (GetTaskStatus() != TASK_STATUS_WAITING && GetTaskStatus() != TASK_STATUS_RUNNING) {
    QLOG_INFO("task id {}, task type {}, already over or error or cancel", task_id_, static_cast<int>(task_type_));
    return true;
  }
  if (TimeLimitExceeded(now)) {
    QLOG_ERROR("ErrorCode: {}, task id {}, task type {}, exec timeout", kTaskTimeout, task_id_,
               static_cast<int>(task_type_));
    return false;
  }
  return true;
}

bool WaterSprayTask::SwitchPumpOff() {
  if (!SwitchPump(0)) {
    QLOG_ERROR("ErrorCode: {}, close self clean pump failed", kSelfCleanPumpCloseFailed);
    return false;
  }
  return true;
}

bool WaterSprayTask::DoCancelUnlock() { return SwitchPumpOff(); }

bool WaterSprayTask::DoReset() { return SwitchPumpOff(); }

void WaterSprayTask::WithdrawPreparedWater(bool spray_interrupted) {
  std::unique_lock<std::shared_mutex> lock(TaskDataLock());
  StationTaskData& data = TaskData();
  data.water_ready = false;
  data.perfume_liquid_ready = false;
  data.clean_liquid_ready = false;
  data.supply_water_volume = 0;
  data.spray_interrupted = spray_interrupted;
}

void WaterSprayTask::AfterError() { WithdrawPreparedWater(false); }

void WaterSprayTask::AfterCancel() { WithdrawPreparedWater(true); }

}  // namespace station_center
