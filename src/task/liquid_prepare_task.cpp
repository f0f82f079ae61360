#include "task/liquid_prepare_task.h"

#include <mutex>
#include <shared_mutex>

#include "clock.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"
#include "task/flow_counts.h"

namespace station_center {

namespace {

enum LiquidPrepareStep : int {
  STEP_EMPTY_TANK = 1,
  STEP_WAIT_EMPTY_TANK = 2,
  STEP_WATER_INLET = 3,
  STEP_WAIT_WATER_INLET = 4,
  STEP_RELEASE_LIQUID = 5,
  STEP_WAIT_RELEASE_LIQUID = 6,
  STEP_WAIT_DISSOLUTION = 7,
};

}  // namespace

LiquidPrepareTask::LiquidPrepareTask(const std::shared_ptr<StationCenter>& station_center, TaskType task_type,
                                     const quorvane_base_station_mqtt::PrepareDisinfectantReq& request)
    : Task(station_center, task_type, 0), steps_(*this) {
  using std::placeholders::_1;
  steps_.AddStep(STEP_EMPTY_TANK, std::bind(&LiquidPrepareTask::DoEmptyTank, this, _1));
  steps_.AddStep(STEP_WAIT_EMPTY_TANK, std::bind(&LiquidPrepareTask::WaitEmptyTank, this, _1));
  steps_.AddStep(STEP_WATER_INLET, std::bind(&LiquidPrepareTask::DoWaterInlet, this, _1));
  steps_.AddStep(STEP_WAIT_WATER_INLET, std::bind(&LiquidPrepareTask::WaitWaterInlet, this, _1));
  steps_.AddStep(STEP_RELEASE_LIQUID, std::bind(&LiquidPrepareTask::DoReleaseLiquid, this, _1));
  steps_.AddStep(STEP_WAIT_RELEASE_LIQUID, std::bind(&LiquidPrepareTask::WaitReleaseLiquid, this, _1));
  steps_.AddStep(STEP_WAIT_DISSOLUTION, std::bind(&LiquidPrepareTask::WaitDissolution, this, _1));

  if (task_type == TASK_TYPE_CLEAN_LIQUID_PREPARE) {
    conflict_task_types_ = {TASK_TYPE_ADD_WATER, TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_PERFUME_PREPARE};
    pump_seconds_ = config_reader.close_clean_liquid_pump_max_time;
    dissolution_seconds_ = config_reader.clean_liquied_dissolution_time;
    liquid_pump_ = station::ENUM_SUPPLY_CLEANING_LIQUID_PUMP;
  } else if (task_type == TASK_TYPE_PERFUME_PREPARE) {
    conflict_task_types_ = {TASK_TYPE_ADD_WATER, TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE};
    pump_seconds_ = config_reader.close_perfume_pump_max_time;
    dissolution_seconds_ = config_reader.perfume_liquied_dissolution_time;
    liquid_pump_ = station::ENUM_SUPPLY_PERFUME_PUMP;
  } else {
    QLOG_ERROR("ErrorCode: {}, liquid prepare task type {} unsupport", kLiquidTaskTypeUnsupported,
               static_cast<int>(task_type));
    SetTaskStatus(TASK_STATUS_ERROR);
  }
  prepare_req_ = request;
}

bool LiquidPrepareTask::SwitchDrainage(int32_t action) { return Actuate(station::ENUM_SUPPLY_DRAINAGE_SWITCH, action); }

bool LiquidPrepareTask::SwitchTapWater(int32_t action) {
  return Actuate(station::ENUM_SUPPLY_TAP_WATER_SWITCH, action);
}

bool LiquidPrepareTask::SwitchLiquidPump(int32_t action) { return Actuate(liquid_pump_, action); }

bool LiquidPrepareTask::DoTaskInside(const station::SensorsDataRep& report) {
  const int64_t now = NowSeconds();
  if (GetTaskStatus() == TASK_STATUS_WAITING) {
    SetTaskStatus(TASK_STATUS_RUNNING);
    steps_.SwitchStep(STEP_EMPTY_TANK);
    std::unique_lock<std::shared_mutex> lock(TaskDataLock());
    StationTaskData& data = TaskData();
    start_time_ = now;
    data.perfume_liquid_ready = false;
    data.clean_liquid_ready = false;
    data.supply_water_volume = prepare_req_.cmd().water_volume();
  }
  if (GetTaskStatus() != TASK_STATUS_WAITING && GetTaskStatus() != TASK_STATUS_RUNNING) {
    QLOG_INFO("task id {}, task type {}, already over or error", task_id_, static_cast<int>(task_type_));
    return true;
  }
  if (TimeLimitExceeded(now)) {
    QLOG_ERROR("ErrorCode: {}, task id {}, task type {}, exec timeout", kTaskTimeout, task_id_,
               static_cast<int>(task_type_));
    return false;
  }
  return steps_.RunStep(report);
}

bool LiquidPrepareTask::DoEmptyTank(const station::SensorsDataRep& report) {
  if (report.cleantankfootlevel() == 1) {
    // Nothing left to drain; the drainage switch is never touched.
    steps_.SwitchStep(STEP_WATER_INLET);
    return true;
  }
  if (!SwitchDrainage(1)) {
    QLOG_ERROR("ErrorCode: {}, open darin water switch failed", kDrainSwitchOpenFailed);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  drain_start_time_ = NowSeconds();
  steps_.SwitchStep(STEP_WAIT_EMPTY_TANK);
  return true;
}

bool LiquidPrepareTask::WaitEmptyTank(const station::SensorsDataRep& report) {
  if (NowSeconds() - drain_start_time_ > config_reader.drain_water_max_time) {
    QLOG_ERROR("ErrorCode: {}, drain water timeout", kDrainTimeout);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  if (report.cleantankfootlevel() == 1) {
    std::unique_lock<std::shared_mutex> lock(TaskDataLock());
    TaskData().station_added_water = 0;
    if (!SwitchDrainage(0)) {
      QLOG_ERROR("ErrorCode: {}, close darin water switch failed", kDrainSwitchCloseFailed);
      SetTaskStatus(TASK_STATUS_ERROR);
    } else {
      steps_.SwitchStep(STEP_WATER_INLET);
    }
  }
  return true;
}

bool LiquidPrepareTask::DoWaterInlet(const station::SensorsDataRep& report) {
  if (!SwitchTapWater(1)) {
    QLOG_ERROR("ErrorCode: {}, liquid prepare task water inlet failed", kWaterInletFailed);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  inlet_meter_.Open(report.flowmeter());
  inlet_start_time_ = NowSeconds();
  steps_.SwitchStep(STEP_WAIT_WATER_INLET);
  return true;
}

bool LiquidPrepareTask::WaitWaterInlet(const station::SensorsDataRep& report) {
  if (NowSeconds() - inlet_start_time_ > config_reader.add_water_to_station_max_time) {
    // The tap stays open here; DoReset closes it on the error path.
    QLOG_ERROR("ErrorCode: {}, Add water timeout, may be no water", kAddWaterTimeout);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  const uint32_t wanted = static_cast<uint32_t>(FlowCountsForVolume(prepare_req_.cmd().water_volume()));
  const uint32_t added = inlet_meter_.Added(report.flowmeter());
  if (report.cleantankuplevel() == 1 || wanted <= added) {
    if (!SwitchTapWater(0)) {
      QLOG_ERROR("ErrorCode: {}, liquid prepare task close water switch", kWaterSwitchCloseFailed);
      SetTaskStatus(TASK_STATUS_ERROR);
      return true;
    }
    {
      std::unique_lock<std::shared_mutex> lock(TaskDataLock());
      TaskData().station_added_water = FlowMeterReading(added);
    }
    steps_.SwitchStep(STEP_RELEASE_LIQUID);
  }
  return true;
}

bool LiquidPrepareTask::DoReleaseLiquid(const station::SensorsDataRep& /*report*/) {
  if (!SwitchLiquidPump(1)) {
    QLOG_ERROR("ErrorCode: {}, open clean liqueid or perfume liqueid pump failed", kLiquidPumpOpenFailed);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  pump_start_time_ = NowSeconds();
  steps_.SwitchStep(STEP_WAIT_RELEASE_LIQUID);
  return true;
}

bool LiquidPrepareTask::WaitReleaseLiquid(const station::SensorsDataRep& /*report*/) {
  const int64_t now = NowSeconds();
  if (now - pump_start_time_ > pump_seconds_) {
    if (!SwitchLiquidPump(0)) {
      QLOG_ERROR("ErrorCode: {}, task id {}, task type {}, close clean liqueid or perfume liqueid pump failed",
                 kLiquidPumpCloseFailed, task_id_, static_cast<int>(task_type_));
      SetTaskStatus(TASK_STATUS_ERROR);
    } else {
      steps_.SwitchStep(STEP_WAIT_DISSOLUTION);
      dissolution_start_time_ = now;
    }
  }
  return true;
}

bool LiquidPrepareTask::WaitDissolution(const station::SensorsDataRep& /*report*/) {
  if (NowSeconds() - dissolution_start_time_ > dissolution_seconds_) {
    SetTaskStatus(TASK_STATUS_OVER);
  }
  return true;
}

void LiquidPrepareTask::AfterOver() {
  std::unique_lock<std::shared_mutex> lock(TaskDataLock());
  StationTaskData& data = TaskData();
  if (task_type_ == TASK_TYPE_CLEAN_LIQUID_PREPARE) {
    QLOG_INFO("clean liquied ready");
    data.water_finished = false;
    data.clean_liquid_ready = true;
  } else if (task_type_ == TASK_TYPE_PERFUME_PREPARE) {
    QLOG_INFO("perfume liquied ready");
    data.water_finished = false;
    data.perfume_liquid_ready = true;
  }
  data.spray_interrupted = false;
}

void LiquidPrepareTask::AfterError() {
  std::unique_lock<std::shared_mutex> lock(TaskDataLock());
  StationTaskData& data = TaskData();
  data.water_finished = false;
  data.perfume_liquid_ready = false;
  data.clean_liquid_ready = false;
  data.supply_water_volume = -1;
}

bool LiquidPrepareTask::SwitchEverythingOff() {
  // Every switch-off is tried whatever the earlier ones answered.
  bool all_off = true;
  // A task of an unsupported type never learned which pump it would drive.
  if (liquid_pump_ != station::ENUM_SUPPLY_INVALID && !SwitchLiquidPump(0)) {
    QLOG_ERROR("ErrorCode: {}, task id {}, task type {}, close clean liqueid or perfume liqueid pump failed",
               kLiquidPumpCloseFailed, task_id_, static_cast<int>(task_type_));
    all_off = false;
  }
  if (!SwitchTapWater(0)) {
    QLOG_ERROR("ErrorCode: {}, liquid prepare task close water switch", kWaterSwitchCloseFailed);
    all_off = false;
  }
  if (!SwitchDrainage(0)) {
    QLOG_ERROR("ErrorCode: {}, close darin water switch failed", kDrainSwitchCloseFailed);
    all_off = false;
  }
  return all_off;
}

bool LiquidPrepareTask::DoReset() { return SwitchEverythingOff(); }

bool LiquidPrepareTask::DoCancelUnlock() { return SwitchEverythingOff(); }

}  // namespace station_center
