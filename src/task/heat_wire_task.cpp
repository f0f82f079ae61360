#include "task/heat_wire_task.h"

#include <mutex>
#include <shared_mutex>

#include "clock.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

HeatWireTask::HeatWireTask(const std::shared_ptr<StationCenter>& station_center,
                           const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : SupplyMaterialTask(station_center, TASK_TYPE_HEAT_WIRE, request),
      target_temp_(config_reader.strong_heat_wire_temp) {
  conflict_task_types_ = {TASK_TYPE_WATER_SPRAY, TASK_TYPE_DUST_COLLECT, TASK_TYPE_MANUAL_CHARGE,
                          TASK_TYPE_AUTO_CHARGE};
}

bool HeatWireTask::SwitchWire(int32_t action) { return Actuate(station::ENUM_SUPPLY_HEATING_WIRE, action); }

std::string HeatWireTask::CheckCondition(const station::SensorsDataRep& /*report*/) {
  std::shared_lock<std::shared_mutex> lock(TaskDataLock());
  const StationTaskData& data = TaskData();
  if (!data.dry_running) {
    return "dry fan not open";
  }
  if (data.heat_wire_running) {
    return "heat wire already start";
  }
  if (target_temp_ > config_reader.max_heat_temp) {
    return "target temp too high";
  }
  return "";
}

bool HeatWireTask::DoTaskInside(const station::SensorsDataRep& report) {
  const int64_t now = NowSeconds();
  if (GetTaskStatus() == TASK_STATUS_WAITING) {
    start_time_ = now;
    std::unique_lock<std::shared_mutex> lock(TaskDataLock());
    TaskData().heat_wire_running = true;
    SetTaskStatus(TASK_STATUS_RUNNING);
  }
  if (GetTaskStatus() != TASK_STATUS_WAITING && GetTaskStatus() != TASK_STATUS_RUNNING) {
    QLOG_INFO("task id {}, task type {}, already over or error or cancel", task_id_, static_cast<int>(task_type_));
    return true;
  }
  bool fan_running = false;
  {
    std::shared_lock<std::shared_mutex> lock(TaskDataLock());
    fan_running = TaskData().dry_running;
  }
  if (!fan_running) {
    // The drying fan has stopped (and switched the wire off before it): the wire
    // must not heat again; the cancel path switches it off once more.
    QLOG_INFO("task id {}, task type {}, dry fan stopped, stop heat wire", task_id_, static_cast<int>(task_type_));
    SetTaskStatus(TASK_STATUS_CANCELED);
    return true;
  }
  if (TimeLimitExceeded(now)) {
    QLOG_ERROR("ErrorCode: {}, task id {}, task type {}, exec timeout", kTaskTimeout, task_id_,
               static_cast<int>(task_type_));
    return false;
  }
  const double temperature = report.heatingwiretemp();
  const double target = target_temp_;
  if (actuator_on_ && temperature > target) {
    if (!SwitchWire(0)) {
      QLOG_ERROR("ErrorCode: {}, stop heat wire failed", kHeatWireStopFailed);
      return false;
    }
    actuator_on_ = false;
  } else if (!actuator_on_ && temperature < target) {
    if (!SwitchWire(1)) {
      QLOG_ERROR("ErrorCode: {}, start heat wire failed", kHeatWireStartFailed);
      return false;
    }
    actuator_on_ = true;
  }
  return true;
}

bool HeatWireTask::SwitchWireOff() {
  if (!SwitchWire(0)) {
    QLOG_ERROR("ErrorCode: {}, stop heat wire failed", kHeatWireStopFailed);
    return false;
  }
  actuator_on_ = false;
  return true;
}

bool HeatWireTask::DoCancelUnlock() { return SwitchWireOff(); }

bool HeatWireTask::DoReset() { return SwitchWireOff(); }

void HeatWireTask::ClearHeatWireRunning() {
  std::unique_lock<std::shared_mutex> lock(TaskDataLock());
  TaskData().heat_wire_running = false;
}

void HeatWireTask::AfterError() { ClearHeatWireRunning(); }

void HeatWireTask::AfterCancel() { ClearHeatWireRunning(); }

}  // namespace station_center
