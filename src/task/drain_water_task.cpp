#include "task/drain_water_task.h"

#include <mutex>

#include "clock.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

DrainWaterTask::DrainWaterTask(const std::shared_ptr<StationCenter>& station_center)
    : Task(station_center, TASK_TYPE_DRAIN_WATER, 0) {
  conflict_task_types_ = {TASK_TYPE_PERFUME_PREPARE, TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE,
                          TASK_TYPE_ADD_WATER};
}

bool DrainWaterTask::SwitchDrainage(int32_t action) { return Actuate(station::ENUM_SUPPLY_DRAINAGE_SWITCH, action); }

void DrainWaterTask::WithdrawPreparedLiquid() {
  std::unique_lock<std::shared_mutex> lock(TaskDataLock());
  StationTaskData& data = TaskData();
  data.water_ready = false;
  data.perfume_liquid_ready = false;
  data.clean_liquid_ready = false;
  data.supply_water_volume = 0;
}

bool DrainWaterTask::DoTaskInside(const station::SensorsDataRep& report) {
  const int64_t now = NowSeconds();
  if (task_status_ == TASK_STATUS_WAITING) {
    SetTaskStatus(TASK_STATUS_RUNNING);
    start_time_ = now;
    WithdrawPreparedLiquid();
  }
  if (task_status_ != TASK_STATUS_WAITING && task_status_ != TASK_STATUS_RUNNING) {
    QLOG_INFO("task id {}, task type {}, already over or error", task_id_, static_cast<int>(task_type_));
    return true;
  }

  if (report.cleantankfootlevel() == 1) {
    {
      std::unique_lock<std::shared_mutex> lock(TaskDataLock());
      StationTaskData& data = TaskData();
      data.water_ready = false;
      data.perfume_liquid_ready = false;
      data.clean_liquid_ready = false;
      data.supply_water_volume = 0;
      data.station_added_water = 0;
    }
    // The tank is empty: the task is over even when the switch would not close.
    if (SwitchDrainage(0)) {
      drain_open_ = false;
    } else {
      QLOG_ERROR("ErrorCode: {}, close darin water switch failed", kDrainSwitchCloseFailed);
    }
    SetTaskStatus(TASK_STATUS_OVER);
    return true;
  }

  if (TimeLimitExceeded(now)) {
    QLOG_ERROR("ErrorCode: {}, task id {}, task type {}, exec timeout", kTaskTimeout, task_id_,
               static_cast<int>(task_type_));
    return false;
  }

  if (!drain_open_) {
    if (!SwitchDrainage(1)) {
      QLOG_ERROR("ErrorCode: {}, open darin water switch failed", kDrainSwitchOpenFailed);
      return false;
    }
    drain_open_ = true;
    drain_start_time_ = now;
    QLOG_INFO("Start drain water, time {}", start_time_);
  }

  if (now - drain_start_time_ > config_reader.drain_water_max_time) {
    QLOG_ERROR("ErrorCode: {}, drain water timeout", kDrainTimeout);
    return false;
  }
  return true;
}

bool DrainWaterTask::DoCancelUnlock() {
  if (!drain_open_) {
    return true;
  }
  if (!SwitchDrainage(0)) {
    QLOG_ERROR("ErrorCode: {}, close darin water switch failed", kDrainSwitchCloseFailed);
    return false;
  }
  return true;
}

void DrainWaterTask::AfterError() { WithdrawPreparedLiquid(); }

bool DrainWaterTask::DoReset() {
  const bool closed = SwitchDrainage(0);
  if (!closed) {
    QLOG_ERROR("ErrorCode: {}, close darin water switch failed", kDrainSwitchCloseFailed);
  }
  return closed;
}

}  // namespace station_center
