#include "task/dust_collect_task.h"

#include "config.h"
#include "error_codes.h"

namespace station_center {

DustCollectTask::DustCollectTask(const TaskContext& context,
                                 const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : SupplyMaterialTask(context, TASK_TYPE_DUST_COLLECT, request) {
  conflict_task_types_ = {TASK_TYPE_WATER_SPRAY, TASK_TYPE_SEWAGE_DRAIN_PUMP, TASK_TYPE_DRY, TASK_TYPE_MANUAL_CHARGE,
                          TASK_TYPE_AUTO_CHARGE};
}

std::string DustCollectTask::CheckCondition(const station::SensorsDataRep& report) {
  if (report.dustbagdet() == 0) {
    return "dust bag not in place";
  }
  if (report.dustboxcapdet() == 0) {
    return "dust box cap not in place";
  }
  if (report.negativepressure() > config_reader.negative_pressure_up_limit) {
    return "negative pressure over up limit";
  }
  if (report.negativepressure() < config_reader.negative_pressure_down_limit) {
    return "negative pressure under down limit";
  }
  return "";
}

// The collection starts once the task counts as running.
bool DustCollectTask::Begin(const station::SensorsDataRep& /*report*/, int64_t /*now*/) {
  return SwitchOn(station::ENUM_SUPPLY_COLLECT_DUST, 1, kDustCollectStartFailed, "start collect dust failed");
}

std::vector<SwitchOff> DustCollectTask::SwitchOffs() const {
  return {{station::ENUM_SUPPLY_COLLECT_DUST, kDustCollectStopFailed, "stop collect dust failed"}};
}

}  // namespace station_center
