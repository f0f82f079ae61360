#include "task/add_water_task.h"

#include <mutex>
#include <shared_mutex>

#include "clock.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"
#include "task/flow_counts.h"

namespace station_center {

namespace {

enum AddWaterStep : int {
  STEP_ADD_WATER_TO_ROBOT = 1,
  STEP_WAIT_ADD_WATER_TO_ROBOT = 2,
  STEP_ADD_WATER_TO_STATION = 3,
  STEP_WAIT_ADD_WATER_TO_STATION = 4,
};

}  // namespace

AddWaterTask::AddWaterTask(const std::shared_ptr<StationCenter>& station_center,
                           const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : SupplyMaterialTask(station_center, TASK_TYPE_ADD_WATER, request), steps_(*this) {
  using std::placeholders::_1;
  steps_.AddStep(STEP_ADD_WATER_TO_ROBOT, std::bind(&AddWaterTask::DoAddWaterToRobot, this, _1));
  steps_.AddStep(STEP_WAIT_ADD_WATER_TO_ROBOT, std::bind(&AddWaterTask::WaitAddWaterToRobot, this, _1));
  steps_.AddStep(STEP_ADD_WATER_TO_STATION, std::bind(&AddWaterTask::DoAddWaterToStation, this, _1));
  steps_.AddStep(STEP_WAIT_ADD_WATER_TO_STATION, std::bind(&AddWaterTask::WaitAddWaterToStation, this, _1));
  conflict_task_types_ = {TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_PERFUME_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE,
                          TASK_TYPE_DRAIN_WATER, TASK_TYPE_WATER_SPRAY};
  if (station_center_) {
    std::shared_lock<std::shared_mutex> lock(TaskDataLock());
    // The prepare tasks fill volume x 1000 flow-meter counts; count the same way here.
    water_to_add_ = FlowCountsForVolume(TaskData().supply_water_volume);
  }
  QLOG_INFO("task max seconds : {}", max_seconds_);
}

bool AddWaterTask::SwitchTapWater(int32_t action) { return Actuate(station::ENUM_SUPPLY_TAP_WATER_SWITCH, action); }

bool AddWaterTask::SwitchSupplyWater(int32_t action) {
  return Actuate(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, action);
}

std::string AddWaterTask::CheckCondition(const station::SensorsDataRep& /*report*/) {
  std::shared_lock<std::shared_mutex> lock(TaskDataLock());
  const StationTaskData& data = TaskData();
  const bool liquid_ready = data.water_ready || data.perfume_liquid_ready || data.clean_liquid_ready;
  if (!liquid_ready || data.supply_water_volume < 1) {
    return "liquied pre no ready, or supply water volume unvalid";
  }
  return "";
}

bool AddWaterTask::DoTaskInside(const station::SensorsDataRep& report) {
  const int64_t now = NowSeconds();
  if (GetTaskStatus() == TASK_STATUS_WAITING) {
    std::unique_lock<std::shared_mutex> lock(TaskDataLock());
    SetTaskStatus(TASK_STATUS_RUNNING);
    steps_.SwitchStep(STEP_ADD_WATER_TO_ROBOT);
    start_time_ = now;
  }
  if (GetTaskStatus() != TASK_STATUS_WAITING && GetTaskStatus() != TASK_STATUS_RUNNING) {
    QLOG_INFO("task id {}, task type {}, already over or error", task_id_, static_cast<int>(task_type_));
    return true;
  }
  if (TimeLimitExceeded(now)) {
    QLOG_ERROR(
        "ErrorCode: {}, task id {}, task type {}, add water exec timeout, start time : {}, cur_time : {}, duration : {}",
        kTaskTimeout, task_id_, static_cast<int>(task_type_), start_time_, now, max_seconds_);
    return false;
  }
  return steps_.RunStep(report);
}

bool AddWaterTask::DoAddWaterToRobot(const station::SensorsDataRep& /*report*/) {
  if (!SwitchSupplyWater(1)) {
    QLOG_ERROR("ErrorCode: {}, open supply tag failed", kSupplyTagOpenFailed);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  QLOG_INFO("start add water");
  std::unique_lock<std::shared_mutex> lock(TaskDataLock());
  // What the last fill let into the tank is on its way to the robot now. A
  // negative reading (nothing recorded since the last station reset) counts as
  // nothing let in.
  const int32_t added = TaskData().station_added_water > 0 ? TaskData().station_added_water : 0;
  if (water_to_add_ <= added) {
    water_to_add_ = 0;
  } else {
    water_to_add_ -= added;
  }
  steps_.SwitchStep(STEP_WAIT_ADD_WATER_TO_ROBOT);
  return true;
}

bool AddWaterTask::WaitAddWaterToRobot(const station::SensorsDataRep& report) {
  if (report.cleantankfootlevel() != 1) {
    return true;  // the tank still holds water above its foot: keep supplying
  }
  if (!SwitchSupplyWater(0)) {
    QLOG_ERROR("ErrorCode: {}, close supply tag failed", kSupplyTagCloseFailed);
    SetTaskStatus(TASK_STATUS_ERROR);
    return true;
  }
  std::unique_lock<std::shared_mutex> lock(TaskDataLock());
  TaskData().station_added_water = 0;
  if (water_to_add_ == 0) {
    SetTaskStatus(TASK_STATUS_OVER);
  } else {
    QLOG_INFO("Need {} water, start supply water to station", water_to_add_);
    steps_.SwitchStep(STEP_ADD_WATER_TO_STATION);
  }
  return true;
}

bool AddWaterTask::DoAddWaterToStation(const station::SensorsDataRep& report) {
  if (!SwitchTapWater(1)) {
    QLOG_ERROR("ErrorCode: {}, task water inlet failed", kWaterInletFailed);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  refill_meter_.Open(report.flowmeter());
  steps_.SwitchStep(STEP_WAIT_ADD_WATER_TO_STATION);
  step_start_time_ = NowSeconds();
  return true;
}

bool AddWaterTask::WaitAddWaterToStation(const station::SensorsDataRep& report) {
  const uint32_t added = refill_meter_.Added(report.flowmeter());
  if (report.cleantankuplevel() == 1 || static_cast<uint32_t>(water_to_add_) <= added) {
    QLOG_INFO("Add water to station complete");
    if (!SwitchTapWater(0)) {
      QLOG_ERROR("ErrorCode: {}, close water switch failed", kWaterSwitchCloseFailed);
      SetTaskStatus(TASK_STATUS_ERROR);
      return false;
    }
    {
      std::unique_lock<std::shared_mutex> lock(TaskDataLock());
      TaskData().station_added_water = FlowMeterReading(added);
    }
    steps_.SwitchStep(STEP_ADD_WATER_TO_ROBOT);
    return true;
  }
  if (NowSeconds() - step_start_time_ > config_reader.add_water_to_station_max_time) {
    QLOG_ERROR("ErrorCode: {}, Add water timeout, may be no water", kAddWaterTimeout);
    if (!SwitchTapWater(0)) {
      QLOG_ERROR("ErrorCode: {}, close water switch failed", kWaterSwitchCloseFailed);
    }
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  return true;
}

void AddWaterTask::AfterOver() {
  std::unique_lock<std::shared_mutex> lock(TaskDataLock());
  StationTaskData& data = TaskData();
  data.water_finished = true;
  data.water_ready = false;
  data.perfume_liquid_ready = false;
  data.clean_liquid_ready = false;
  data.supply_water_volume = 0;
}

void AddWaterTask::WithdrawPreparedLiquid() {
  std::unique_lock<std::shared_mutex> lock(TaskDataLock());
  StationTaskData& data = TaskData();
  data.water_ready = false;
  data.perfume_liquid_ready = false;
  data.clean_liquid_ready = false;
  data.supply_water_volume = 0;
}

void AddWaterTask::AfterError() { WithdrawPreparedLiquid(); }

void AddWaterTask::AfterCancel() { WithdrawPreparedLiquid(); }

bool AddWaterTask::SwitchBothOff() {
  // Both switches are tried whatever the first answer: a tap the board keeps
  // open must not also keep the water running to the robot.
  bool all_off = true;
  if (!SwitchTapWater(0)) {
    QLOG_ERROR("ErrorCode: {}, close water switch failed", kWaterSwitchCloseFailed);
    all_off = false;
  }
  if (!SwitchSupplyWater(0)) {
    QLOG_ERROR("ErrorCode: {}, close supply tag failed", kSupplyTagCloseFailed);
    all_off = false;
  }
  return all_off;
}

bool AddWaterTask::DoCancelUnlock() { return SwitchBothOff(); }

bool AddWaterTask::DoReset() { return SwitchBothOff(); }

}  // namespace station_center
