#include "task/dry_task.h"

#include <mutex>
#include <shared_mutex>

#include "clock.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

DryTask::DryTask(const std::shared_ptr<StationCenter>& station_center,
                 const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : SupplyMaterialTask(station_center, TASK_TYPE_DRY, request) {
  conflict_task_types_ = {TASK_TYPE_WATER_SPRAY, TASK_TYPE_DUST_COLLECT, TASK_TYPE_AUTO_CHARGE,
                          TASK_TYPE_MANUAL_CHARGE};
}

bool DryTask::SwitchFan(int32_t action) { return Actuate(station::ENUM_SUPPLY_HEATING_FAN, action); }

bool DryTask::DoTaskInside(const station::SensorsDataRep& /*report*/) {
  const int64_t now = NowSeconds();
  if (GetTaskStatus() == TASK_STATUS_WAITING) {
    start_time_ = now;
    if (!SwitchFan(1)) {
      QLOG_ERROR("ErrorCode: {}, open heat fan failed", kHeatFanOpenFailed);
      return false;
    }
    std::unique_lock<std::shared_mutex> lock(TaskDataLock());
    TaskData().dry_running = true;
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

bool DryTask::SwitchFanOff() {
  if (!SwitchFan(0)) {
    QLOG_ERROR("ErrorCode: {}, close heat fan failed", kHeatFanCloseFailed);
    return false;
  }
  // From here on no heat wire task may start, and a running one ends itself.
  ClearDryRunning();
  return true;
}

bool DryTask::SwitchWireThenFanOff() {
  // The wire goes off first whether or not a heat wire task runs (a wire already
  // off takes no harm); a wire the board keeps on keeps its fan.
  if (!Actuate(station::ENUM_SUPPLY_HEATING_WIRE, 0)) {
    QLOG_ERROR("ErrorCode: {}, stop heat wire failed", kHeatWireStopFailed);
    OweSwitchOff(station::ENUM_SUPPLY_HEATING_FAN);  // once the wire is confirmed off
    return false;
  }
  return SwitchFanOff();
}

bool DryTask::CancelRefused() {
  std::shared_lock<std::shared_mutex> lock(TaskDataLock());
  if (TaskData().heat_wire_running) {
    QLOG_INFO("Cancel dry task failed, because heat wire still work");
    return true;
  }
  return false;
}

bool DryTask::DoCancelUnlock() { return SwitchFanOff(); }

bool DryTask::DoStopUnlock() { return SwitchWireThenFanOff(); }

bool DryTask::DoReset() { return SwitchWireThenFanOff(); }

void DryTask::ClearDryRunning() {
  std::unique_lock<std::shared_mutex> lock(TaskDataLock());
  TaskData().dry_running = false;
}

void DryTask::AfterError() { ClearDryRunning(); }

void DryTask::AfterCancel() { ClearDryRunning(); }

}  // namespace station_center
