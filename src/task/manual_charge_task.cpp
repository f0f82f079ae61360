#include "task/manual_charge_task.h"

#include "clock.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

ManualChargeTask::ManualChargeTask(const std::shared_ptr<StationCenter>& station_center)
    : Task(station_center, TASK_TYPE_MANUAL_CHARGE, 0) {
  conflict_task_types_ = {TASK_TYPE_AUTO_CHARGE};
}

bool ManualChargeTask::SwitchHandCharge(int32_t action) { return Actuate(station::ENUM_SUPPLY_HAND_CHARGE, action); }

std::string ManualChargeTask::CheckCondition(const station::SensorsDataRep& report) {
  if (report.handchargedet() == 0) {
    return "hand charge not open";
  }
  if (RobotInStation(report)) {
    return "robot in station, can not open hand charge";
  }
  return "";
}

bool ManualChargeTask::DoTaskInside(const station::SensorsDataRep& report) {
  if (GetTaskStatus() == TASK_STATUS_WAITING) {
    start_time_ = NowSeconds();
    if (!SwitchHandCharge(1)) {
      QLOG_ERROR("ErrorCode: {}, start hand charge failed", kHandChargeStartFailed);
      return false;
    }
    SetTaskStatus(TASK_STATUS_RUNNING);
  }
  if (GetTaskStatus() != TASK_STATUS_WAITING && GetTaskStatus() != TASK_STATUS_RUNNING) {
    QLOG_INFO("task id {}, task type {}, already over or error or cancel", task_id_, static_cast<int>(task_type_));
    return true;
  }
  if (report.handchargedet() != 0) {
    return true;
  }
  // The switch was opened. A failed switch-off keeps the task running, so the
  // next cycle tries again.
  if (SwitchHandCharge(0)) {
    SetTaskStatus(TASK_STATUS_OVER);
  } else {
    QLOG_ERROR("ErrorCode: {}, stop hand charge failed", kHandChargeStopFailed);
  }
  return true;
}

bool ManualChargeTask::DoReset() {
  if (!SwitchHandCharge(0)) {
    QLOG_ERROR("ErrorCode: {}, stop hand charge failed", kHandChargeStopFailed);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  return true;
}

bool ManualChargeTask::DoCancelUnlock() { return DoReset(); }

}  // namespace station_center
