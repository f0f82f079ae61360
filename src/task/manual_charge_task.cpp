#include "task/manual_charge_task.h"

#include "error_codes.h"

namespace station_center {

ManualChargeTask::ManualChargeTask(const TaskContext& context) : Task(context, TASK_TYPE_MANUAL_CHARGE, 0) {
  conflict_task_types_ = {TASK_TYPE_AUTO_CHARGE};
}

std::string ManualChargeTask::CheckCondition(const station::SensorsDataRep& report) {
  if (report.handchargedet() == 0) {
    return "hand charge not open";
  }
  if (RobotInStation(report)) {
    return "robot in station, can not open hand charge";
  }
  return "";
}

bool ManualChargeTask::Start(const station::SensorsDataRep& /*report*/, int64_t /*now*/) {
  return SwitchOn(station::ENUM_SUPPLY_HAND_CHARGE, 1, kHandChargeStartFailed, "start hand charge failed");
}

bool ManualChargeTask::Work(const station::SensorsDataRep& report, int64_t /*now*/) {
  // Once the switch is opened the output goes off. A refused switch-off keeps
  // the task running, so the next cycle tries again.
  if (report.handchargedet() == 0 && SwitchAllOff()) {
    SetTaskStatus(TASK_STATUS_OVER);
  }
  return true;
}

std::vector<SwitchOff> ManualChargeTask::SwitchOffs() const {
  return {{station::ENUM_SUPPLY_HAND_CHARGE, kHandChargeStopFailed, "stop hand charge failed"}};
}

}  // namespace station_center
