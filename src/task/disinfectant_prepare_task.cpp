#include "task/disinfectant_prepare_task.h"

#include <limits>
#include <mutex>
#include <shared_mutex>

#include "clock.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"
#include "task/flow_counts.h"

namespace station_center {

namespace {

enum DisinfectantPrepareStep : int {
  STEP_EMPTY_TANK = 1,
  STEP_WAIT_EMPTY_TANK = 2,
  STEP_WATER_INLET = 3,
  STEP_WAIT_WATER_INLET = 4,
  STEP_RELEASE_TABLETS = 5,
  STEP_WAIT_TABLETS = 6,
  STEP_WAIT_MOTOR_RECOVERY = 7,
  STEP_WAIT_DISSOLUTION = 8,
};

}  // namespace

DisinfectantPrepareTask::DisinfectantPrepareTask(const std::shared_ptr<StationCenter>& station_center,
                                                 const quorvane_base_station_mqtt::PrepareDisinfectantReq& request)
    : Task(station_center, TASK_TYPE_DISINFECTANT_PREPARE, 0), steps_(*this) {
  using std::placeholders::_1;
  steps_.AddStep(STEP_EMPTY_TANK, std::bind(&DisinfectantPrepareTask::DoEmptyTank, this, _1));
  steps_.AddStep(STEP_WAIT_EMPTY_TANK, std::bind(&DisinfectantPrepareTask::WaitEmptyTank, this, _1));
  steps_.AddStep(STEP_WATER_INLET, std::bind(&DisinfectantPrepareTask::DoWaterInlet, this, _1));
  steps_.AddStep(STEP_WAIT_WATER_INLET, std::bind(&DisinfectantPrepareTask::WaitWaterInlet, this, _1));
  steps_.AddStep(STEP_RELEASE_TABLETS, std::bind(&DisinfectantPrepareTask::DoReleaseTablets, this, _1));
  steps_.AddStep(STEP_WAIT_TABLETS, std::bind(&DisinfectantPrepareTask::WaitTablets, this, _1));
  steps_.AddStep(STEP_WAIT_MOTOR_RECOVERY, std::bind(&DisinfectantPrepareTask::WaitMotorRecovery, this, _1));
  steps_.AddStep(STEP_WAIT_DISSOLUTION, std::bind(&DisinfectantPrepareTask::WaitDissolution, this, _1));
  conflict_task_types_ = {TASK_TYPE_ADD_WATER, TASK_TYPE_PERFUME_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE};
  prepare_req_ = request;
}

bool DisinfectantPrepareTask::SwitchDrainage(int32_t action) {
  return Actuate(station::ENUM_SUPPLY_DRAINAGE_SWITCH, action);
}

bool DisinfectantPrepareTask::SwitchTapWater(int32_t action) {
  return Actuate(station::ENUM_SUPPLY_TAP_WATER_SWITCH, action);
}

bool DisinfectantPrepareTask::SwitchPlatesMotor(int32_t action) {
  return Actuate(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, action);
}

bool DisinfectantPrepareTask::DoTaskInside(const station::SensorsDataRep& report) {
  const int64_t now = NowSeconds();
  if (GetTaskStatus() == TASK_STATUS_WAITING) {
    std::unique_lock<std::shared_mutex> lock(TaskDataLock());
    StationTaskData& data = TaskData();
    data.water_ready = false;
    data.supply_water_volume = prepare_req_.cmd().water_volume();
    SetTaskStatus(TASK_STATUS_RUNNING);
    steps_.SwitchStep(STEP_EMPTY_TANK);
    start_time_ = now;
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

bool DisinfectantPrepareTask::DoEmptyTank(const station::SensorsDataRep& report) {
  if (report.cleantankfootlevel() == 1) {
    steps_.SwitchStep(STEP_WATER_INLET);
    return true;
  }
  // Counted as open from the moment it is asked to open: an opening the board
  // did not confirm in time may still have happened.
  drain_open_ = true;
  if (!SwitchDrainage(1)) {
    QLOG_ERROR("ErrorCode: {}, open darin water switch failed", kDrainSwitchOpenFailed);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  drain_start_time_ = NowSeconds();
  QLOG_INFO("start drain water time {}", drain_start_time_);
  steps_.SwitchStep(STEP_WAIT_EMPTY_TANK);
  return true;
}

bool DisinfectantPrepareTask::WaitEmptyTank(const station::SensorsDataRep& report) {
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
      drain_open_ = false;
      steps_.SwitchStep(STEP_WATER_INLET);
    }
  }
  return true;
}

bool DisinfectantPrepareTask::DoWaterInlet(const station::SensorsDataRep& report) {
  if (!SwitchTapWater(1)) {
    QLOG_ERROR("ErrorCode: {}, disnfectant prepare task water inlet failed", kWaterInletFailed);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  inlet_meter_.Open(report.flowmeter());
  inlet_start_time_ = NowSeconds();
  QLOG_INFO("start add water time {}", inlet_start_time_);
  steps_.SwitchStep(STEP_WAIT_WATER_INLET);
  return true;
}

bool DisinfectantPrepareTask::WaitWaterInlet(const station::SensorsDataRep& report) {
  if (NowSeconds() - inlet_start_time_ > config_reader.add_water_to_station_max_time) {
    // Unlike the liquid prepare task, the tap is closed before the task fails.
    QLOG_ERROR("ErrorCode: {}, Add water timeout, may be no water", kAddWaterTimeout);
    if (!SwitchTapWater(0)) {
      QLOG_ERROR("ErrorCode: {}, disinfectant prepare task close water switch", kWaterSwitchCloseFailed);
    }
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
    steps_.SwitchStep(STEP_RELEASE_TABLETS);
  }
  return true;
}

bool DisinfectantPrepareTask::DoReleaseTablets(const station::SensorsDataRep& /*report*/) {
  if (prepare_req_.cmd().disinfection_tablets_num() <= 0) {
    QLOG_INFO("don't need add tables, task over");
    SetTaskStatus(TASK_STATUS_OVER);
    return true;
  }
  std::shared_lock<std::shared_mutex> lock(TaskDataLock());
  tablets_at_start_ = TaskData().released_tablets;
  if (!SwitchPlatesMotor(1)) {
    QLOG_ERROR("ErrorCode: {}, open disinfectant motor failed", kDisinfectantMotorOpenFailed);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  motor_start_time_ = NowSeconds();
  motor_run_start_time_ = motor_start_time_;
  QLOG_INFO("start disinfectant motor time {}", motor_start_time_);
  steps_.SwitchStep(STEP_WAIT_TABLETS);
  return true;
}

void DisinfectantPrepareTask::CountReleasedTablets(int64_t now) {
  const int64_t seconds_per_tablet = config_reader.disinfectant_tablet_release_time;
  if (seconds_per_tablet <= 0 || motor_run_start_time_ < 0) {
    return;
  }
  const int64_t running = motor_run_seconds_ + (now > motor_run_start_time_ ? now - motor_run_start_time_ : 0);
  const int64_t due = running / seconds_per_tablet;
  if (due <= tablets_counted_) {
    return;
  }
  std::unique_lock<std::shared_mutex> lock(TaskDataLock());
  StationTaskData& data = TaskData();
  int64_t released = static_cast<int64_t>(data.released_tablets) + (due - tablets_counted_);
  if (released > std::numeric_limits<int32_t>::max()) {
    released = std::numeric_limits<int32_t>::max();
  }
  data.released_tablets = static_cast<int32_t>(released);
  tablets_counted_ = due;
}

bool DisinfectantPrepareTask::WaitTablets(const station::SensorsDataRep& report) {
  const int64_t now = NowSeconds();
  CountReleasedTablets(now);

  std::shared_lock<std::shared_mutex> lock(TaskDataLock());
  const int64_t released = static_cast<int64_t>(TaskData().released_tablets) - tablets_at_start_;
  if (released >= prepare_req_.cmd().disinfection_tablets_num()) {
    QLOG_INFO("Disinfectant tables ready");
    if (!SwitchPlatesMotor(0)) {
      QLOG_ERROR("ErrorCode: {}, task id {}, task type {}, close disinfectant motor failed",
                 kDisinfectantMotorCloseFailed, task_id_, static_cast<int>(task_type_));
      SetTaskStatus(TASK_STATUS_ERROR);
    } else {
      dissolution_start_time_ = now;
      steps_.SwitchStep(STEP_WAIT_DISSOLUTION);
    }
    return true;
  }
  if (now - motor_start_time_ > config_reader.disinfectant_motor_timeout) {
    // The motor stays on until DoReset switches it off on the error path.
    QLOG_ERROR("ErrorCode: {}, release tables timeout", kReleaseTabletsTimeout);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  if (report.sortermotorcurrentstate()) {
    QLOG_INFO("disinfectant motor current overload, try stop");
    if (SwitchPlatesMotor(0)) {
      steps_.SwitchStep(STEP_WAIT_MOTOR_RECOVERY);
      motor_stop_time_ = now;
      // The rest does not count as running time.
      motor_run_seconds_ += now > motor_run_start_time_ ? now - motor_run_start_time_ : 0;
      motor_run_start_time_ = -1;
    } else {
      QLOG_ERROR("ErrorCode: {}, task id {}, task type {}, close disinfectant motor failed",
                 kDisinfectantMotorCloseFailed, task_id_, static_cast<int>(task_type_));
      SetTaskStatus(TASK_STATUS_ERROR);
    }
  }
  return true;
}

bool DisinfectantPrepareTask::WaitMotorRecovery(const station::SensorsDataRep& /*report*/) {
  const int64_t now = NowSeconds();
  if (now - motor_stop_time_ > config_reader.wait_disinfectant_motor_recovery_time) {
    // motor_start_time_ stays at the first start: the motor time limit spans the rests.
    if (SwitchPlatesMotor(1)) {
      motor_run_start_time_ = now;
      steps_.SwitchStep(STEP_WAIT_TABLETS);
    } else {
      QLOG_ERROR("ErrorCode: {}, open disinfectant motor failed", kDisinfectantMotorOpenFailed);
      SetTaskStatus(TASK_STATUS_ERROR);
    }
  }
  return true;
}

bool DisinfectantPrepareTask::WaitDissolution(const station::SensorsDataRep& /*report*/) {
  if (NowSeconds() - dissolution_start_time_ > config_reader.disinfectant_table_dissolution_time) {
    SetTaskStatus(TASK_STATUS_OVER);
  }
  return true;
}

void DisinfectantPrepareTask::AfterOver() {
  std::unique_lock<std::shared_mutex> lock(TaskDataLock());
  StationTaskData& data = TaskData();
  data.water_finished = false;
  data.water_ready = true;
  data.spray_interrupted = false;
}

void DisinfectantPrepareTask::AfterError() {
  std::unique_lock<std::shared_mutex> lock(TaskDataLock());
  StationTaskData& data = TaskData();
  data.water_finished = false;
  data.water_ready = false;
  data.perfume_liquid_ready = false;
  data.clean_liquid_ready = false;
  data.supply_water_volume = -1;
  data.spray_interrupted = false;
}

bool DisinfectantPrepareTask::SwitchMotorAndTapOff() {
  bool all_off = true;
  if (!SwitchPlatesMotor(0)) {
    QLOG_ERROR("ErrorCode: {}, task id {}, task type {}, close disinfectant motor failed",
               kDisinfectantMotorCloseFailed, task_id_, static_cast<int>(task_type_));
    all_off = false;
  }
  if (!SwitchTapWater(0)) {
    QLOG_ERROR("ErrorCode: {}, disinfectant prepare task close water switch", kWaterSwitchCloseFailed);
    all_off = false;
  }
  return all_off;
}

bool DisinfectantPrepareTask::SwitchEverythingOff() {
  bool all_off = SwitchMotorAndTapOff();
  if (drain_open_ && !SwitchDrainage(0)) {
    QLOG_ERROR("ErrorCode: {}, close darin water switch failed", kDrainSwitchCloseFailed);
    all_off = false;
  }
  return all_off;
}

// The error path closes the drainage too: a drain that timed out must not stay
// open under a docked robot with nothing left to close it.
bool DisinfectantPrepareTask::DoReset() { return SwitchEverythingOff(); }

bool DisinfectantPrepareTask::DoCancelUnlock() { return SwitchEverythingOff(); }

}  // namespace station_center
