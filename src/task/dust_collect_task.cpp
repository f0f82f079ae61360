#include "task/dust_collect_task.h"

#include "clock.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

DustCollectTask::DustCollectTask(const std::shared_ptr<StationCenter>& station_center,
                                 const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : SupplyMaterialTask(station_center, TASK_TYPE_DUST_COLLECT, request) {
  conflict_task_types_ = {TASK_TYPE_WATER_SPRAY, TASK_TYPE_SEWAGE_DRAIN_PUMP, TASK_TYPE_DRY, TASK_TYPE_MANUAL_CHARGE,
                          TASK_TYPE_AUTO_CHARGE};
}

bool DustCollectTask::SwitchCollectDust(int32_t action) { return Actuate(station::ENUM_SUPPLY_COLLECT_DUST, action); }

std::string DustCollectTask::CheckCondition(const station::SensorsDataRep& report) {
  if (report.dustbagdet() == 0) {
    return "dust bag not in place";
  }
  if (report.dustboxcapdet() == 0) {
    return "dust box cap not in place";
  }
  if (report.negativepressure() > config_reader.negative_pressure_up_limit) {
    return "negative pressure over up limit";
  }
  if (report.negativepressure() < config_reader.negative_pressure_down_limit) {
    return "negative pressure under down limit";
  }
  return "";
}

bool DustCollectTask::DoTaskInside(const station::SensorsDataRep& /*report*/) {
  const int64_t now = NowSeconds();
  if (GetTaskStatus() == TASK_STATUS_WAITING) {
    SetTaskStatus(TASK_STATUS_RUNNING);
    start_time_ = now;
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
  if (!actuator_on_) {
    if (!SwitchCollectDust(1)) {
      QLOG_ERROR("ErrorCode: {}, start collect dust failed", kDustCollectStartFailed);
      SetTaskStatus(TASK_STATUS_ERROR);
      return false;
    }
    actuator_on_ = true;
  }
  return true;
}

bool DustCollectTask::SwitchCollectDustOff() {
  if (!SwitchCollectDust(0)) {
    QLOG_ERROR("ErrorCode: {}, stop collect dust failed", kDustCollectStopFailed);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  actuator_on_ = false;
  return true;
}

bool DustCollectTask::DoCancelUnlock() { return SwitchCollectDustOff(); }

bool DustCollectTask::DoReset() { return SwitchCollectDustOff(); }

}  // namespace station_center
