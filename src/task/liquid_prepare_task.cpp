#include "task/liquid_prepare_task.h"

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {

enum LiquidPrepareStep : int {
  STEP_RELEASE_LIQUID = 5,
  STEP_WAIT_RELEASE_LIQUID = 6,
  STEP_WAIT_DISSOLUTION = 7,
};

const char kPumpCloseFailed[] = "close clean liqueid or perfume liqueid pump failed";

}  // namespace

LiquidPrepareTask::LiquidPrepareTask(const TaskContext& context, TaskType task_type,
                                     const quorvane_base_station_mqtt::PrepareDisinfectantReq& request)
    // The tap stays open on a fill time-out: the error path closes it.
    : TankPrepareTask(context, task_type, request,
                      {"liquid prepare task water inlet failed", "liquid prepare task close water switch"}, false) {
  using Self = LiquidPrepareTask;
  steps_.AddSteps(this, {{STEP_RELEASE_LIQUID, &Self::DoReleaseLiquid},
                         {STEP_WAIT_RELEASE_LIQUID, &Self::WaitReleaseLiquid},
                         {STEP_WAIT_DISSOLUTION, &Self::WaitDissolution}});
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
}

bool LiquidPrepareTask::Begin(const station::SensorsDataRep& /*report*/, int64_t /*now*/) {
  steps_.SwitchStep(STEP_EMPTY_TANK);
  const int32_t volume = prepare_req_.cmd().water_volume();
  WriteData([volume](StationTaskData& data) {
    data.perfume_liquid_ready = false;
    data.clean_liquid_ready = false;
    data.supply_water_volume = volume;
  });
  return true;
}

bool LiquidPrepareTask::DoReleaseLiquid(const station::SensorsDataRep& /*report*/, int64_t now) {
  if (!SwitchOn(liquid_pump_, 1, kLiquidPumpOpenFailed, "open clean liqueid or perfume liqueid pump failed")) {
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  pump_start_time_ = now;
  steps_.SwitchStep(STEP_WAIT_RELEASE_LIQUID);
  return true;
}

bool LiquidPrepareTask::WaitReleaseLiquid(const station::SensorsDataRep& /*report*/, int64_t now) {
  if (now - pump_start_time_ > pump_seconds_) {
    if (!SwitchOffOne({liquid_pump_, kLiquidPumpCloseFailed, kPumpCloseFailed, true})) {
      SetTaskStatus(TASK_STATUS_ERROR);
    } else {
      steps_.SwitchStep(STEP_WAIT_DISSOLUTION);
      dissolution_start_time_ = now;
    }
  }
  return true;
}

bool LiquidPrepareTask::WaitDissolution(const station::SensorsDataRep& /*report*/, int64_t now) {
  if (now - dissolution_start_time_ > dissolution_seconds_) {
    SetTaskStatus(TASK_STATUS_OVER);
  }
  return true;
}

void LiquidPrepareTask::AfterOver() {
  const bool clean = task_type_ == TASK_TYPE_CLEAN_LIQUID_PREPARE;
  QLOG_INFO("{}", clean ? "clean liquied ready" : "perfume liquied ready");
  WriteData([clean](StationTaskData& data) {
    data.water_finished = false;
    (clean ? data.clean_liquid_ready : data.perfume_liquid_ready) = true;
    data.spray_interrupted = false;
  });
}

void LiquidPrepareTask::AfterError() {
  WriteData([](StationTaskData& data) {
    data.water_finished = false;
    data.perfume_liquid_ready = false;
    data.clean_liquid_ready = false;
    data.supply_water_volume = -1;
  });
}

std::vector<SwitchOff> LiquidPrepareTask::SwitchOffs() const {
  std::vector<SwitchOff> offs;
  // A task of an unsupported type never learned which pump it would drive.
  if (liquid_pump_ != station::ENUM_SUPPLY_INVALID) {
    offs.push_back({liquid_pump_, kLiquidPumpCloseFailed, kPumpCloseFailed, true});
  }
  offs.push_back({station::ENUM_SUPPLY_TAP_WATER_SWITCH, kWaterSwitchCloseFailed, "liquid prepare task close water switch"});
  offs.push_back(TankDrain::Off());
  return offs;
}

}  // namespace station_center
