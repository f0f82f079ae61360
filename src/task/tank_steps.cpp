#include "task/tank_steps.h"

#include <algorithm>
#include <limits>

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

int32_t FlowCountsForVolume(int32_t volume) {
  const int64_t counts = static_cast<int64_t>(volume) * 1000;
  return static_cast<int32_t>(std::clamp<int64_t>(counts, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

StepOutcome TankDrain::Wait(const station::SensorsDataRep& report, int64_t now) {
  if (report.cleantankfootlevel() == 1) {
    task_.WriteData([](StationTaskData& data) { data.station_added_water = 0; });
    return Close() ? StepOutcome::kDone : StepOutcome::kFailed;
  }
  return TimedOut(now) ? StepOutcome::kFailed : StepOutcome::kBusy;
}

StepOutcome TankDrain::Open(int64_t now) {
  open_ = true;
  if (!task_.Actuate(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1)) {
    QLOG_ERROR("ErrorCode: {}, open darin water switch failed", kDrainSwitchOpenFailed);
    return StepOutcome::kFailed;
  }
  opened_at_ = now;
  return StepOutcome::kDone;
}

bool TankDrain::TimedOut(int64_t now) const {
  if (now - opened_at_ <= config_reader.drain_water_max_time) {
    return false;
  }
  QLOG_ERROR("ErrorCode: {}, drain water timeout", kDrainTimeout);
  return true;
}

bool TankDrain::Close() {
  if (!task_.SwitchOffOne(Off())) {
    return false;
  }
  open_ = false;
  return true;
}

SwitchOff TankDrain::Off() {
  return {station::ENUM_SUPPLY_DRAINAGE_SWITCH, kDrainSwitchCloseFailed, "close darin water switch failed"};
}

StepOutcome TankFill::Open(const station::SensorsDataRep& report, int64_t now) {
  if (!task_.Actuate(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1)) {
    QLOG_ERROR("ErrorCode: {}, {}", kWaterInletFailed, texts_.inlet_failed);
    return StepOutcome::kFailed;
  }
  meter_.Open(report.flowmeter());
  opened_at_ = now;
  return StepOutcome::kDone;
}

StepOutcome TankFill::Wait(const station::SensorsDataRep& report, int64_t now, uint32_t wanted) {
  const uint32_t added = meter_.Added(report.flowmeter());
  if (report.cleantankuplevel() == 1 || wanted <= added) {
    if (texts_.full != nullptr) {
      QLOG_INFO("{}", texts_.full);
    }
    if (!task_.SwitchOffOne({station::ENUM_SUPPLY_TAP_WATER_SWITCH, kWaterSwitchCloseFailed, texts_.close_failed})) {
      return StepOutcome::kFailed;
    }
    const auto let_in = static_cast<int32_t>(std::min<uint32_t>(added, std::numeric_limits<int32_t>::max()));
    task_.WriteData([let_in](StationTaskData& data) { data.station_added_water = let_in; });
    return StepOutcome::kDone;
  }
  if (now - opened_at_ <= config_reader.add_water_to_station_max_time) {
    return StepOutcome::kBusy;
  }
  QLOG_ERROR("ErrorCode: {}, Add water timeout, may be no water", kAddWaterTimeout);
  if (texts_.timeout_close_failed != nullptr) {
    task_.SwitchOffOne({station::ENUM_SUPPLY_TAP_WATER_SWITCH, kWaterSwitchCloseFailed, texts_.timeout_close_failed});
  }
  return StepOutcome::kFailed;
}

TankPrepareTask::TankPrepareTask(const TaskContext& context, TaskType task_type,
                                 const quorvane_base_station_mqtt::PrepareDisinfectantReq& request, FillTexts texts,
                                 bool log_starts)
    : Task(context, task_type, 0), prepare_req_(request), fill_(*this, texts), log_starts_(log_starts) {
  using Self = TankPrepareTask;
  steps_.AddSteps(this, {{STEP_EMPTY_TANK, &Self::DoEmptyTank},
                         {STEP_WAIT_EMPTY_TANK, &Self::WaitEmptyTank},
                         {STEP_WATER_INLET, &Self::DoWaterInlet},
                         {STEP_WAIT_WATER_INLET, &Self::WaitWaterInlet}});
  over_text_ = "";
}

bool TankPrepareTask::DoEmptyTank(const station::SensorsDataRep& report, int64_t now) {
  if (report.cleantankfootlevel() == 1) {
    steps_.SwitchStep(STEP_WATER_INLET);  // nothing to drain: the drainage switch is never touched
    return true;
  }
  const StepOutcome opened = drain_.Open(now);
  if (opened == StepOutcome::kDone && log_starts_) {
    QLOG_INFO("start drain water time {}", now);
  }
  return steps_.Follow(opened, STEP_WAIT_EMPTY_TANK);
}

bool TankPrepareTask::WaitEmptyTank(const station::SensorsDataRep& report, int64_t now) {
  return steps_.Follow(drain_.Wait(report, now), STEP_WATER_INLET);
}

bool TankPrepareTask::DoWaterInlet(const station::SensorsDataRep& report, int64_t now) {
  const StepOutcome opened = fill_.Open(report, now);
  if (opened == StepOutcome::kDone && log_starts_) {
    QLOG_INFO("start add water time {}", now);
  }
  return steps_.Follow(opened, STEP_WAIT_WATER_INLET);
}

bool TankPrepareTask::WaitWaterInlet(const station::SensorsDataRep& report, int64_t now) {
  const uint32_t wanted = static_cast<uint32_t>(FlowCountsForVolume(prepare_req_.cmd().water_volume()));
  return steps_.Follow(fill_.Wait(report, now, wanted), STEP_OWN);
}

}  // namespace station_center
