#include "task/auto_charge_task.h"

#include <mutex>
#include <shared_mutex>

#include "clock.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

AutoChargeTask::AutoChargeTask(const std::shared_ptr<StationCenter>& station_center,
                               const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : SupplyMaterialTask(station_center, TASK_TYPE_AUTO_CHARGE, request) {
  conflict_task_types_ = {TASK_TYPE_DUST_COLLECT, TASK_TYPE_SEWAGE_DRAIN_PUMP, TASK_TYPE_WATER_SPRAY,
                          TASK_TYPE_HEAT_WIRE, TASK_TYPE_MANUAL_CHARGE};
}

bool AutoChargeTask::SwitchCharging(int32_t action) { return Actuate(station::ENUM_SUPPLY_CHARGING, action); }

std::string AutoChargeTask::CheckCondition(const station::SensorsDataRep& report) {
  if (report.handchargedet() != 0) {
    return "hand charge is open";
  }
  if (report.electrodeplatetemp1() > config_reader.max_charge_plate_temp) {
    return "electrode plate 1 temp over max temp";
  }
  if (report.electrodeplatetemp2() > config_reader.max_charge_plate_temp) {
    return "electrode plate 2 temp over max temp";
  }
  return "";
}

bool AutoChargeTask::DoTaskInside(const station::SensorsDataRep& report) {
  const int64_t now = NowSeconds();
  if (GetTaskStatus() == TASK_STATUS_WAITING) {
    start_time_ = now;
    if (!SwitchCharging(1)) {
      QLOG_ERROR("ErrorCode: {}, start charge failed", kChargeStartFailed);
      return false;
    }
    SetTaskStatus(TASK_STATUS_RUNNING);
    std::unique_lock<std::shared_mutex> lock(TaskDataLock());
    TaskData().charge_state = 1;
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
  const uint32_t max_temp = config_reader.max_charge_plate_temp;
  if (report.electrodeplatetemp1() > max_temp || report.electrodeplatetemp2() > max_temp ||
      report.handchargedet() != 0) {
    QLOG_ERROR("ErrorCode: {}, charge plate temp({} {}) too high or hand charge switch({}) open, stop charge",
               kChargeUnsafe, report.electrodeplatetemp1(), report.electrodeplatetemp2(), report.handchargedet());
    if (!SwitchCharging(0)) {
      QLOG_ERROR("ErrorCode: {}, stop charge failed", kChargeStopFailed);
      return false;
    }
    SetTaskStatus(TASK_STATUS_ERROR);
  }
  return true;
}

bool AutoChargeTask::DoCancelUnlock() {
  if (!SwitchCharging(0)) {
    QLOG_ERROR("ErrorCode: {}, stop charge failed", kChargeStopFailed);
    return false;
  }
  return true;
}

void AutoChargeTask::AfterCancel() {
  std::unique_lock<std::shared_mutex> lock(TaskDataLock());
  TaskData().charge_state = 0;
}

bool AutoChargeTask::DoReset() {
  std::unique_lock<std::shared_mutex> lock(TaskDataLock());
  TaskData().charge_state = 0;
  if (!SwitchCharging(0)) {
    QLOG_ERROR("ErrorCode: {}, stop charge failed", kChargeStopFailed);
    return false;
  }
  return true;
}

}  // namespace station_center
