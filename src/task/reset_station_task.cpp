#include "task/reset_station_task.h"

#include "logger.h"

namespace station_center {

ResetStationTask::ResetStationTask(const TaskContext& context) : Task(context, TASK_TYPE_RESET_STATION, 0) {
  steps_.AddSteps(this, {{STEP_DRAIN_WATER, &ResetStationTask::DrainWater},
                         {STEP_WAIT_DRAIN_WATER_OVER, &ResetStationTask::WaitDrainWaterOver}});
  over_text_ = " or canceled";
}

bool ResetStationTask::Begin(const station::SensorsDataRep& /*report*/, int64_t /*now*/) {
  steps_.SwitchStep(STEP_DRAIN_WATER);
  WriteData([](StationTaskData& data) { data.ResetForStation(); });
  return true;
}

bool ResetStationTask::DrainWater(const station::SensorsDataRep& report, int64_t now) {
  if (report.cleantankfootlevel() == 1) {
    QLOG_INFO("clean tank not arrive foot level, don't need drain water");
    SetTaskStatus(TASK_STATUS_OVER);
    return true;
  }
  return steps_.Follow(drain_.Open(now), STEP_WAIT_DRAIN_WATER_OVER);
}

bool ResetStationTask::WaitDrainWaterOver(const station::SensorsDataRep& report, int64_t now) {
  if (report.cleantankfootlevel() == 1) {
    QLOG_INFO("clean tank not arrive foot level, drain water over");
  }
  const StepOutcome step = drain_.Wait(report, now);
  if (step == StepOutcome::kDone) {
    SetTaskStatus(TASK_STATUS_OVER);
  }
  return steps_.Follow(step, STEP_WAIT_DRAIN_WATER_OVER);
}

// Whatever failed, the drainage it asked to open goes shut.
std::vector<SwitchOff> ResetStationTask::SwitchOffs() const { return {TankDrain::Off()}; }

}  // namespace station_center
