#include "task/reset_station_task.h"

#include "logger.h"

namespace station_center {

ResetStationTask::ResetStationTask(const TaskContext& context) : Task(context, TASK_TYPE_RESET_STATION, 0) {
  steps_.AddStep(STEP_DRAIN_WATER, [this](const station::SensorsDataRep& r, int64_t now) { return DrainWater(r, now); });
  steps_.AddStep(STEP_WAIT_DRAIN_WATER_OVER,
                 [this](const station::SensorsDataRep& r, int64_t now) { return WaitDrainWaterOver(r, now); });
  over_text_ = " or canceled";
}

bool ResetStationTask::Begin(const station::SensorsDataRep& /*report*/, int64_t /*now*/) {
  steps_.SwitchStep(STEP_DRAIN_WATER);
  WriteData([](StationTaskData& data) { data.ResetForStation(); });
  return true;
}

bool ResetStationTask::DrainWater(const station::SensorsDataRep& report, int64_t now) {
  switch (drain_.Start(report, now)) {
    case TankStep::kDone:
      QLOG_INFO("clean tank not arrive foot level, don't need drain water");
      SetTaskStatus(TASK_STATUS_OVER);
      return true;
    case TankStep::kBusy:
      steps_.SwitchStep(STEP_WAIT_DRAIN_WATER_OVER);
      return true;
    case TankStep::kFailed:
      break;
  }
  SetTaskStatus(TASK_STATUS_ERROR);
  return false;
}

bool ResetStationTask::WaitDrainWaterOver(const station::SensorsDataRep& report, int64_t now) {
  if (report.cleantankfootlevel() == 1) {
    QLOG_INFO("clean tank not arrive foot level, drain water over");
  }
  const TankStep step = drain_.Wait(report, now);
  if (step != TankStep::kBusy) {
    SetTaskStatus(step == TankStep::kDone ? TASK_STATUS_OVER : TASK_STATUS_ERROR);
  }
  return true;
}

// Whatever failed, the drainage it asked to open goes shut.
std::vector<SwitchOff> ResetStationTask::SwitchOffs() const { return {TankDrain::Off()}; }

}  // namespace station_center
