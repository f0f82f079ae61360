#include "task/uv_task.h"

#include "error_codes.h"
#include "logger.h"

namespace station_center {

UVTask::UVTask(const TaskContext& context, const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : SupplyMaterialTask(context, TASK_TYPE_UV, request) {}

std::string UVTask::CheckCondition(const station::SensorsDataRep& report) {
  return RobotInStation(report) ? "" : "robot not in station";
}

bool UVTask::Start(const station::SensorsDataRep& /*report*/, int64_t /*now*/) {
  return SwitchOn(station::ENUM_SUPPLY_UV_LAMP, 1, kUvLampOpenFailed, "open uv lamp failed");
}

bool UVTask::OnTimeLimit(int64_t now) {
  Task::OnTimeLimit(now);  // logged as a time-out all the same
  if (!SwitchAllOff()) {
    return false;
  }
  QLOG_INFO("uv lamp arrive max time, task over");
  SetTaskStatus(TASK_STATUS_OVER);
  return true;
}

std::vector<SwitchOff> UVTask::SwitchOffs() const {
  return {{station::ENUM_SUPPLY_UV_LAMP, kUvLampCloseFailed, "close uv lamp failed"}};
}

}  // namespace station_center
