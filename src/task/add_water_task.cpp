#include "task/add_water_task.h"

#include <algorithm>

#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {

enum AddWaterStep : int {
  STEP_ADD_WATER_TO_ROBOT = 1,
  STEP_WAIT_ADD_WATER_TO_ROBOT = 2,
  STEP_ADD_WATER_TO_STATION = 3,
  STEP_WAIT_ADD_WATER_TO_STATION = 4,
};

const SwitchOff kSupplyOff = {station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, kSupplyTagCloseFailed,
                              "close supply tag failed"};

}  // namespace

AddWaterTask::AddWaterTask(const TaskContext& context, const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : SupplyMaterialTask(context, TASK_TYPE_ADD_WATER, request) {
  using Self = AddWaterTask;
  const std::pair<int, bool (Self::*)(const station::SensorsDataRep&, int64_t)> steps[] = {
      {STEP_ADD_WATER_TO_ROBOT, &Self::DoAddWaterToRobot},
      {STEP_WAIT_ADD_WATER_TO_ROBOT, &Self::WaitAddWaterToRobot},
      {STEP_ADD_WATER_TO_STATION, &Self::DoAddWaterToStation},
      {STEP_WAIT_ADD_WATER_TO_STATION, &Self::WaitAddWaterToStation}};
  for (const auto& step : steps) {
    steps_.AddStep(step.first, [this, f = step.second](const station::SensorsDataRep& r, int64_t now) {
      return (this->*f)(r, now);
    });
  }
  conflict_task_types_ = {TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_PERFUME_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE,
                          TASK_TYPE_DRAIN_WATER, TASK_TYPE_WATER_SPRAY};
  over_text_ = "";
  // The prepare tasks fill volume x 1000 flow-meter counts; count the same way here.
  water_to_add_ = ReadData([](const StationTaskData& data) { return FlowCountsForVolume(data.supply_water_volume); });
  QLOG_INFO("task max seconds : {}", max_seconds_);
}

std::string AddWaterTask::CheckCondition(const station::SensorsDataRep& /*report*/) {
  return ReadData([](const StationTaskData& data) -> std::string {
    const bool liquid_ready = data.water_ready || data.perfume_liquid_ready || data.clean_liquid_ready;
    if (!liquid_ready || data.supply_water_volume < 1) {
      return "liquied pre no ready, or supply water volume unvalid";
    }
    return "";
  });
}

bool AddWaterTask::Begin(const station::SensorsDataRep& /*report*/, int64_t /*now*/) {
  steps_.SwitchStep(STEP_ADD_WATER_TO_ROBOT);
  return true;
}

bool AddWaterTask::OnTimeLimit(int64_t now) {
  QLOG_ERROR(
      "ErrorCode: {}, task id {}, task type {}, add water exec timeout, start time : {}, cur_time : {}, duration : {}",
      kTaskTimeout, task_id_, static_cast<int>(task_type_), start_time_, now, max_seconds_);
  return false;
}

bool AddWaterTask::DoAddWaterToRobot(const station::SensorsDataRep& /*report*/, int64_t /*now*/) {
  if (!SwitchOn(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 1, kSupplyTagOpenFailed, "open supply tag failed")) {
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  QLOG_INFO("start add water");
  // What the last fill let into the tank is on its way to the robot now. A
  // negative reading (nothing recorded since the last station reset) counts as
  // nothing let in.
  const int32_t added = std::max(0, ReadData([](const StationTaskData& data) { return data.station_added_water; }));
  water_to_add_ = water_to_add_ <= added ? 0 : water_to_add_ - added;
  steps_.SwitchStep(STEP_WAIT_ADD_WATER_TO_ROBOT);
  return true;
}

bool AddWaterTask::WaitAddWaterToRobot(const station::SensorsDataRep& report, int64_t /*now*/) {
  if (report.cleantankfootlevel() != 1) {
    return true;  // the tank still holds water above its foot: keep supplying
  }
  if (!SwitchOffOne(kSupplyOff)) {
    SetTaskStatus(TASK_STATUS_ERROR);
    return true;
  }
  WriteData([](StationTaskData& data) { data.station_added_water = 0; });
  if (water_to_add_ == 0) {
    SetTaskStatus(TASK_STATUS_OVER);
  } else {
    QLOG_INFO("Need {} water, start supply water to station", water_to_add_);
    steps_.SwitchStep(STEP_ADD_WATER_TO_STATION);
  }
  return true;
}

bool AddWaterTask::DoAddWaterToStation(const station::SensorsDataRep& report, int64_t now) {
  if (!refill_.Open(report, now)) {
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  steps_.SwitchStep(STEP_WAIT_ADD_WATER_TO_STATION);
  return true;
}

bool AddWaterTask::WaitAddWaterToStation(const station::SensorsDataRep& report, int64_t now) {
  switch (refill_.Wait(report, now, static_cast<uint32_t>(water_to_add_))) {
    case TankStep::kBusy:
      return true;
    case TankStep::kDone:
      steps_.SwitchStep(STEP_ADD_WATER_TO_ROBOT);
      return true;
    case TankStep::kFailed:
      break;
  }
  SetTaskStatus(TASK_STATUS_ERROR);
  return false;
}

void AddWaterTask::AfterOver() {
  WriteData([](StationTaskData& data) {
    data.water_finished = true;
    data.water_ready = false;
    data.perfume_liquid_ready = false;
    data.clean_liquid_ready = false;
    data.supply_water_volume = 0;
  });
}

void AddWaterTask::WithdrawPreparedLiquid() {
  WriteData([](StationTaskData& data) {
    data.water_ready = false;
    data.perfume_liquid_ready = false;
    data.clean_liquid_ready = false;
    data.supply_water_volume = 0;
  });
}

std::vector<SwitchOff> AddWaterTask::SwitchOffs() const {
  return {{station::ENUM_SUPPLY_TAP_WATER_SWITCH, kWaterSwitchCloseFailed, "close water switch failed"}, kSupplyOff};
}

}  // namespace station_center
