#include "task/reset_station_task.h"

#include <mutex>

#include "clock.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

ResetStationTask::ResetStationTask(const std::shared_ptr<StationCenter>& station_center)
    : Task(station_center, TASK_TYPE_RESET_STATION, 0), steps_(*this) {
  steps_.AddStep(STEP_DRAIN_WATER, [this](const station::SensorsDataRep& r) { return DrainWater(r); });
  steps_.AddStep(STEP_WAIT_DRAIN_WATER_OVER, [this](const station::SensorsDataRep& r) { return WaitDrainWaterOver(r); });
}

bool ResetStationTask::SwitchDrainage(int32_t action) {
  return Actuate(station::ENUM_SUPPLY_DRAINAGE_SWITCH, action);
}

bool ResetStationTask::DoTaskInside(const station::SensorsDataRep& report) {
  if (task_status_ == TASK_STATUS_WAITING) {
    SetTaskStatus(TASK_STATUS_RUNNING);
    steps_.SwitchStep(STEP_DRAIN_WATER);
    start_time_ = NowSeconds();
    std::unique_lock<std::shared_mutex> lock(TaskDataLock());
    TaskData().ResetForStation();
  }
  if (task_status_ != TASK_STATUS_WAITING && task_status_ != TASK_STATUS_RUNNING) {
    QLOG_INFO("task id {}, task type {}, already over or error or canceled", task_id_, static_cast<int>(task_type_));
    return true;
  }
  if (TimeLimitExceeded(NowSeconds())) {
    QLOG_ERROR("ErrorCode: {}, task id {}, task type {}, exec timeout", kTaskTimeout, task_id_,
               static_cast<int>(task_type_));
    return false;
  }
  return steps_.RunStep(report);
}

bool ResetStationTask::DrainWater(const station::SensorsDataRep& report) {
  if (report.cleantankfootlevel() == 1) {
    QLOG_INFO("clean tank not arrive foot level, don't need drain water");
    SetTaskStatus(TASK_STATUS_OVER);
    return true;
  }
  if (!SwitchDrainage(1)) {
    QLOG_ERROR("ErrorCode: {}, open darin water switch failed", kDrainSwitchOpenFailed);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  step_start_time_ = NowSeconds();
  steps_.SwitchStep(STEP_WAIT_DRAIN_WATER_OVER);
  return true;
}

bool ResetStationTask::WaitDrainWaterOver(const station::SensorsDataRep& report) {
  if (report.cleantankfootlevel() == 1) {
    QLOG_INFO("clean tank not arrive foot level, drain water over");
    if (SwitchDrainage(0)) {
      SetTaskStatus(TASK_STATUS_OVER);
    } else {
      QLOG_ERROR("ErrorCode: {}, close darin water switch failed", kDrainSwitchCloseFailed);
      SetTaskStatus(TASK_STATUS_ERROR);
    }
    return true;
  }
  if (NowSeconds() - step_start_time_ > config_reader.drain_water_max_time) {
    QLOG_ERROR("ErrorCode: {}, drain water timeout", kDrainTimeout);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  return true;
}

bool ResetStationTask::DoReset() {
  const bool closed = SwitchDrainage(0);
  if (!closed) {
    QLOG_ERROR("ErrorCode: {}, close darin water switch failed", kDrainSwitchCloseFailed);
  }
  return closed;
}

}  // namespace station_center
