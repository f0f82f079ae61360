#include "task/disinfectant_prepare_task.h"

#include <limits>

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {

enum DisinfectantPrepareStep : int {
  STEP_RELEASE_TABLETS = 5,
  STEP_WAIT_TABLETS = 6,
  STEP_WAIT_MOTOR_RECOVERY = 7,
  STEP_WAIT_DISSOLUTION = 8,
};

const SwitchOff kMotorOff = {station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, kDisinfectantMotorCloseFailed,
                             "close disinfectant motor failed", true};

}  // namespace

DisinfectantPrepareTask::DisinfectantPrepareTask(const TaskContext& context,
                                                 const quorvane_base_station_mqtt::PrepareDisinfectantReq& request)
    : TankPrepareTask(context, TASK_TYPE_DISINFECTANT_PREPARE, request,
                      {"disnfectant prepare task water inlet failed", "liquid prepare task close water switch",
                       "disinfectant prepare task close water switch"},
                      true) {
  using Self = DisinfectantPrepareTask;
  steps_.AddSteps(this, {{STEP_RELEASE_TABLETS, &Self::DoReleaseTablets},
                         {STEP_WAIT_TABLETS, &Self::WaitTablets},
                         {STEP_WAIT_MOTOR_RECOVERY, &Self::WaitMotorRecovery},
                         {STEP_WAIT_DISSOLUTION, &Self::WaitDissolution}});
  conflict_task_types_ = {TASK_TYPE_ADD_WATER, TASK_TYPE_PERFUME_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE};
}

bool DisinfectantPrepareTask::Begin(const station::SensorsDataRep& /*report*/, int64_t /*now*/) {
  const int32_t volume = prepare_req_.cmd().water_volume();
  WriteData([volume](StationTaskData& data) {
    data.water_ready = false;
    data.supply_water_volume = volume;
  });
  steps_.SwitchStep(STEP_EMPTY_TANK);
  return true;
}

bool DisinfectantPrepareTask::DoReleaseTablets(const station::SensorsDataRep& /*report*/, int64_t now) {
  if (prepare_req_.cmd().disinfection_tablets_num() <= 0) {
    QLOG_INFO("don't need add tables, task over");
    SetTaskStatus(TASK_STATUS_OVER);
    return true;
  }
  tablets_at_start_ = ReadData([](const StationTaskData& data) { return data.released_tablets; });
  if (!SwitchOn(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 1, kDisinfectantMotorOpenFailed,
                "open disinfectant motor failed")) {
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  motor_start_time_ = now;
  motor_run_start_time_ = now;
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
  WriteData([&](StationTaskData& data) {
    const int64_t released = static_cast<int64_t>(data.released_tablets) + (due - tablets_counted_);
    data.released_tablets = static_cast<int32_t>(std::min<int64_t>(released, std::numeric_limits<int32_t>::max()));
  });
  tablets_counted_ = due;
}

bool DisinfectantPrepareTask::WaitTablets(const station::SensorsDataRep& report, int64_t now) {
  CountReleasedTablets(now);
  const int64_t released =
      ReadData([](const StationTaskData& data) { return static_cast<int64_t>(data.released_tablets); }) -
      tablets_at_start_;
  if (released >= prepare_req_.cmd().disinfection_tablets_num()) {
    QLOG_INFO("Disinfectant tables ready");
    if (!SwitchOffOne(kMotorOff)) {
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
    if (SwitchOffOne(kMotorOff)) {
      steps_.SwitchStep(STEP_WAIT_MOTOR_RECOVERY);
      motor_stop_time_ = now;
      // The rest does not count as running time.
      motor_run_seconds_ += now > motor_run_start_time_ ? now - motor_run_start_time_ : 0;
      motor_run_start_time_ = -1;
    } else {
      SetTaskStatus(TASK_STATUS_ERROR);
    }
  }
  return true;
}

bool DisinfectantPrepareTask::WaitMotorRecovery(const station::SensorsDataRep& /*report*/, int64_t now) {
  if (now - motor_stop_time_ > config_reader.wait_disinfectant_motor_recovery_time) {
    // motor_start_time_ stays at the first start: the motor time limit spans the rests.
    if (SwitchOn(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 1, kDisinfectantMotorOpenFailed,
                 "open disinfectant motor failed")) {
      motor_run_start_time_ = now;
      steps_.SwitchStep(STEP_WAIT_TABLETS);
    } else {
      SetTaskStatus(TASK_STATUS_ERROR);
    }
  }
  return true;
}

bool DisinfectantPrepareTask::WaitDissolution(const station::SensorsDataRep& /*report*/, int64_t now) {
  if (now - dissolution_start_time_ > config_reader.disinfectant_table_dissolution_time) {
    SetTaskStatus(TASK_STATUS_OVER);
  }
  return true;
}

void DisinfectantPrepareTask::AfterOver() {
  WriteData([](StationTaskData& data) {
    data.water_finished = false;
    data.water_ready = true;
    data.spray_interrupted = false;
  });
}

void DisinfectantPrepareTask::AfterError() {
  WriteData([](StationTaskData& data) {
    data.water_finished = false;
    data.water_ready = false;
    data.perfume_liquid_ready = false;
    data.clean_liquid_ready = false;
    data.supply_water_volume = -1;
    data.spray_interrupted = false;
  });
}

std::vector<SwitchOff> DisinfectantPrepareTask::SwitchOffs() const {
  std::vector<SwitchOff> offs = {
      kMotorOff,
      {station::ENUM_SUPPLY_TAP_WATER_SWITCH, kWaterSwitchCloseFailed, "disinfectant prepare task close water switch"}};
  if (drain_.open()) {
    offs.push_back(TankDrain::Off());
  }
  return offs;
}

}  // namespace station_center
