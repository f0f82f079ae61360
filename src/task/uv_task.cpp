#include "task/uv_task.h"

#include "clock.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

UVTask::UVTask(const std::shared_ptr<StationCenter>& station_center,
               const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : SupplyMaterialTask(station_center, TASK_TYPE_UV, request) {}

bool UVTask::SwitchLamp(int32_t action) { return Actuate(station::ENUM_SUPPLY_UV_LAMP, action); }

std::string UVTask::CheckCondition(const station::SensorsDataRep& report) {
  if (!RobotInStation(report)) {
    return "robot not in station";
  }
  return "";
}

bool UVTask::DoTaskInside(const station::SensorsDataRep& /*report*/) {
  const int64_t now = NowSeconds();
  if (GetTaskStatus() == TASK_STATUS_WAITING) {
    start_time_ = now;
    if (!SwitchLamp(1)) {
      QLOG_ERROR("ErrorCode: {}, open uv lamp failed", kUvLampOpenFailed);
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
    if (!SwitchLamp(0)) {
      QLOG_ERROR("ErrorCode: {}, close uv lamp failed", kUvLampCloseFailed);
      return false;
    }
    QLOG_INFO("uv lamp arrive max time, task over");
    SetTaskStatus(TASK_STATUS_OVER);
  }
  return true;
}

bool UVTask::SwitchLampOff() {
  if (!SwitchLamp(0)) {
    QLOG_ERROR("ErrorCode: {}, close uv lamp failed", kUvLampCloseFailed);
    return false;
  }
  return true;
}

bool UVTask::DoCancelUnlock() { return SwitchLampOff(); }

bool UVTask::DoReset() { return SwitchLampOff(); }

}  // namespace station_center
