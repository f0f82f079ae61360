#include "task/drain_water_task.h"

#include "logger.h"

namespace station_center {

DrainWaterTask::DrainWaterTask(const TaskContext& context) : Task(context, TASK_TYPE_DRAIN_WATER, 0) {
  conflict_task_types_ = {TASK_TYPE_PERFUME_PREPARE, TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE,
                          TASK_TYPE_ADD_WATER};
  over_text_ = "";
}

void DrainWaterTask::WithdrawPreparedLiquid() {
  WriteData([](StationTaskData& data) {
    data.water_ready = false;
    data.perfume_liquid_ready = false;
    data.clean_liquid_ready = false;
    data.supply_water_volume = 0;
  });
}

bool DrainWaterTask::Begin(const station::SensorsDataRep& /*report*/, int64_t /*now*/) {
  WithdrawPreparedLiquid();
  return true;
}

bool DrainWaterTask::Work(const station::SensorsDataRep& report, int64_t now) {
  if (report.cleantankfootlevel() == 1) {
    WriteData([](StationTaskData& data) { data.station_added_water = 0; });
    // The tank is empty: the task is over even when the switch would not close.
    drain_.Close();
    SetTaskStatus(TASK_STATUS_OVER);
    return true;
  }
  if (!drain_.open()) {
    if (!drain_.Open(now)) {
      return false;
    }
    QLOG_INFO("Start drain water, time {}", start_time_);
  }
  return !drain_.TimedOut(now);
}

std::vector<SwitchOff> DrainWaterTask::SwitchOffs() const {
  if (!drain_.open()) {
    return {};
  }
  return {TankDrain::Off()};
}

}  // namespace station_center
