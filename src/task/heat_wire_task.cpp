#include "task/heat_wire_task.h"

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {

const SwitchOff kWireOff = {station::ENUM_SUPPLY_HEATING_WIRE, kHeatWireStopFailed, "stop heat wire failed"};

}  // namespace

HeatWireTask::HeatWireTask(const TaskContext& context, const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : SupplyMaterialTask(context, TASK_TYPE_HEAT_WIRE, request), target_temp_(config_reader.strong_heat_wire_temp) {
  conflict_task_types_ = {TASK_TYPE_WATER_SPRAY, TASK_TYPE_DUST_COLLECT, TASK_TYPE_MANUAL_CHARGE,
                          TASK_TYPE_AUTO_CHARGE};
}

std::string HeatWireTask::CheckCondition(const station::SensorsDataRep& /*report*/) {
  return ReadData([this](const StationTaskData& data) -> std::string {
    if (!data.dry_running) {
      return "dry fan not open";
    }
    if (data.heat_wire_running) {
      return "heat wire already start";
    }
    if (target_temp_ > config_reader.max_heat_temp) {
      return "target temp too high";
    }
    return "";
  });
}

bool HeatWireTask::Begin(const station::SensorsDataRep& /*report*/, int64_t /*now*/) {
  WriteData([](StationTaskData& data) { data.heat_wire_running = true; });
  return true;
}

bool HeatWireTask::FanStopped() {
  if (ReadData([](const StationTaskData& data) { return data.dry_running; })) {
    return false;
  }
  // The drying fan has stopped (and switched the wire off before it): the wire
  // must not heat again; the cancel path switches it off once more.
  QLOG_INFO("task id {}, task type {}, dry fan stopped, stop heat wire", task_id_, static_cast<int>(task_type_));
  SetTaskStatus(TASK_STATUS_CANCELED);
  return true;
}

bool HeatWireTask::OnTimeLimit(int64_t now) { return FanStopped() || Task::OnTimeLimit(now); }

bool HeatWireTask::Work(const station::SensorsDataRep& report, int64_t /*now*/) {
  if (FanStopped()) {
    return true;
  }
  const double temperature = report.heatingwiretemp();
  const double target = target_temp_;
  if (wire_on_ && temperature > target) {
    if (!SwitchOffOne(kWireOff)) {
      return false;
    }
    wire_on_ = false;
  } else if (!wire_on_ && temperature < target) {
    if (!SwitchOn(station::ENUM_SUPPLY_HEATING_WIRE, 1, kHeatWireStartFailed, "start heat wire failed")) {
      return false;
    }
    wire_on_ = true;
  }
  return true;
}

std::vector<SwitchOff> HeatWireTask::SwitchOffs() const {
  return {kWireOff};
}

void HeatWireTask::ClearHeatWireRunning() {
  WriteData([](StationTaskData& data) { data.heat_wire_running = false; });
}

}  // namespace station_center
