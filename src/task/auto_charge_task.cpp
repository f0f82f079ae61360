#include "task/auto_charge_task.h"

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

AutoChargeTask::AutoChargeTask(const TaskContext& context, const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : SupplyMaterialTask(context, TASK_TYPE_AUTO_CHARGE, request) {
  conflict_task_types_ = {TASK_TYPE_DUST_COLLECT, TASK_TYPE_SEWAGE_DRAIN_PUMP, TASK_TYPE_WATER_SPRAY,
                          TASK_TYPE_HEAT_WIRE, TASK_TYPE_MANUAL_CHARGE};
}

std::string AutoChargeTask::CheckCondition(const station::SensorsDataRep& report) {
  if (report.handchargedet() != 0) {
    return "hand charge is open";
  }
  if (report.electrodeplatetemp1() > config_reader.max_charge_plate_temp) {
    return "electrode plate 1 temp over max temp";
  }
  if (report.electrodeplatetemp2() > config_reader.max_charge_plate_temp) {
    return "electrode plate 2 temp over max temp";
  }
  return "";
}

bool AutoChargeTask::Start(const station::SensorsDataRep& /*report*/, int64_t /*now*/) {
  return SwitchOn(station::ENUM_SUPPLY_CHARGING, 1, kChargeStartFailed, "start charge failed");
}

bool AutoChargeTask::Begin(const station::SensorsDataRep& /*report*/, int64_t /*now*/) {
  WriteData([](StationTaskData& data) { data.charge_state = 1; });
  return true;
}

bool AutoChargeTask::Work(const station::SensorsDataRep& report, int64_t /*now*/) {
  const uint32_t max_temp = config_reader.max_charge_plate_temp;
  if (report.electrodeplatetemp1() > max_temp || report.electrodeplatetemp2() > max_temp ||
      report.handchargedet() != 0) {
    QLOG_ERROR("ErrorCode: {}, charge plate temp({} {}) too high or hand charge switch({}) open, stop charge",
               kChargeUnsafe, report.electrodeplatetemp1(), report.electrodeplatetemp2(), report.handchargedet());
    if (!SwitchAllOff()) {
      return false;
    }
    SetTaskStatus(TASK_STATUS_ERROR);
  }
  return true;
}

std::vector<SwitchOff> AutoChargeTask::SwitchOffs() const {
  return {{station::ENUM_SUPPLY_CHARGING, kChargeStopFailed, "stop charge failed"}};
}

void AutoChargeTask::AfterCancel() {
  WriteData([](StationTaskData& data) { data.charge_state = 0; });
}

bool AutoChargeTask::DoReset() {
  AfterCancel();
  return SwitchAllOff();
}

}  // namespace station_center
