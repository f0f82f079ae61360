#include "task/sewage_drain_pump_task.h"

#include <mutex>

#include "clock.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"

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

SewageDrainPumpTask::SewageDrainPumpTask(const std::shared_ptr<StationCenter>& station_center,
                                         const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : SupplyMaterialTask(station_center, TASK_TYPE_SEWAGE_DRAIN_PUMP, request), pump_power_(PumpPower(action_model_)) {
  conflict_task_types_ = {TASK_TYPE_DUST_COLLECT, TASK_TYPE_DRY, TASK_TYPE_HEAT_WIRE, TASK_TYPE_AUTO_CHARGE,
                          TASK_TYPE_MANUAL_CHARGE};
}

bool SewageDrainPumpTask::DoTaskInside(const station::SensorsDataRep& /*report*/) {
  const int64_t now = NowSeconds();
  if (task_status_ == TASK_STATUS_WAITING) {
    start_time_ = now;
    if (!Actuate(station::ENUM_SUPPLY_SEWAGE_PUMP, pump_power_)) {
      QLOG_ERROR("ErrorCode: {}, open sewage drain pump failed", kSewagePumpOpenFailed);
      return false;
    }
    std::unique_lock<std::shared_mutex> lock(TaskDataLock());
    TaskData().sewage_pump_left_on = true;
    SetTaskStatus(TASK_STATUS_RUNNING);
  }
  if (task_status_ != TASK_STATUS_WAITING && task_status_ != TASK_STATUS_RUNNING) {
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

// The pump is left running on purpose; the sensor intake closes it.
bool SewageDrainPumpTask::DoReset() { return true; }

}  // namespace station_center
