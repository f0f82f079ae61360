#include "led_manager.h"

#include <algorithm>
#include <atomic>
#include <string>

#include <rapidjson/document.h>

#include "config.h"
#include "logger.h"
#include "station/cmd.pb.h"

namespace station_center {
namespace {

constexpr int kDefaultPriority = 1000;

// The self-check success pattern is shown once in the life of the process.
std::atomic<bool> self_check_shown{false};

bool HasAnyTask(const LedTaskMap& tasks, std::initializer_list<TaskType> types) {
  for (TaskType type : types) {
    if (tasks.count(type) != 0) {
      return true;
    }
  }
  return false;
}

bool StartUpStatesOk(const station::SensorsDataRep& report) {
  return report.initsensorsstate() && report.initactuatorsstate() && report.selfcheckstate();
}

// Action A: a shown charge-complete and docking result are both done with.
void ClearChargeCompleteAndPose(StationTaskData& data, const station::SensorsDataRep& /*report*/) {
  if (data.charge_state == 2) {
    data.charge_state = 0;
  }
  data.robot_in_pose = 0;
}

// Action B: the charge-complete pattern stays while it is the first applicable rule.
void ClearPose(StationTaskData& data, const station::SensorsDataRep& /*report*/) { data.robot_in_pose = 0; }

// Action C: a docking failure stays shown until a rule with action A or B comes first.
void ClearChargeComplete(StationTaskData& data, const station::SensorsDataRep& /*report*/) {
  if (data.charge_state == 2) {
    data.charge_state = 0;
  }
}

struct RuleRow {
  const char* key;
  int led_cmd;
  LedStrategy::Condition condition;
  LedStrategy::Action action;
};

std::vector<RuleRow> RuleTable(const std::shared_ptr<bool>& station_error) {
  using Data = StationTaskData;
  using Report = station::SensorsDataRep;
  return {
      {"led_normal_work", station::LED_NORMAL_WORK, [](Data&, const Report&, const LedTaskMap&) { return true; },
       ClearChargeCompleteAndPose},
      {"led_self_check_failed", station::LED_SELF_CHECK_FAIL,
       [](Data& d, const Report& r, const LedTaskMap&) { return d.sensor_data_received && !StartUpStatesOk(r); },
       ClearChargeCompleteAndPose},
      {"led_self_check_success", station::LED_SELF_CHECK_SUCCESS,
       [](Data& d, const Report& r, const LedTaskMap&) {
         if (!d.sensor_data_received || !StartUpStatesOk(r) || self_check_shown.load()) {
           return false;
         }
         self_check_shown.store(true);
         return true;
       },
       ClearChargeCompleteAndPose},
      {"led_in_charge", station::LED_CHARGING,
       [](Data& d, const Report&, const LedTaskMap&) { return d.charge_state == 1; }, ClearChargeCompleteAndPose},
      {"led_charge_complete", station::LED_CHARGE_COMPLETE,
       [](Data& d, const Report&, const LedTaskMap&) { return d.charge_state == 2; }, ClearPose},
      {"charge_error_led", station::LED_CHARGE_FAIL,
       [](Data& d, const Report&, const LedTaskMap&) { return d.charge_state == 3; }, ClearChargeCompleteAndPose},
      {"deep_self_clean_led", station::LED_DEEP_CLEAN,
       [](Data&, const Report&, const LedTaskMap& t) {
         return HasAnyTask(t, {TASK_TYPE_SEWAGE_DRAIN_PUMP, TASK_TYPE_WATER_SPRAY, TASK_TYPE_DRY, TASK_TYPE_HEAT_WIRE});
       },
       ClearChargeCompleteAndPose},
      {"station_error_led", station::LED_ERROR_STATE,
       [station_error](Data&, const Report&, const LedTaskMap&) { return *station_error; },
       ClearChargeCompleteAndPose},
      {"in_supply_led", station::LED_SUPPLYING,
       [](Data&, const Report&, const LedTaskMap& t) { return HasAnyTask(t, {TASK_TYPE_ADD_WATER}); },
       ClearChargeCompleteAndPose},
      // The docking rules show the supplying pattern, not the docking ones.
      {"docking_success_led", station::LED_SUPPLYING,
       [](Data& d, const Report&, const LedTaskMap&) { return d.robot_in_pose == 1; }, ClearChargeCompleteAndPose},
      {"docking_failed_led", station::LED_SUPPLYING,
       [](Data& d, const Report&, const LedTaskMap&) { return d.robot_in_pose == 2; }, ClearChargeComplete},
      {"disinfectant_prepare_led", station::SCREEN_PRE_WATER,
       [](Data&, const Report&, const LedTaskMap& t) { return HasAnyTask(t, {TASK_TYPE_DISINFECTANT_PREPARE}); },
       ClearChargeComplete},
      {"in_dust_collect_led", station::SCREEN_COLLECT_DUST,
       [](Data&, const Report&, const LedTaskMap& t) { return HasAnyTask(t, {TASK_TYPE_DUST_COLLECT}); },
       ClearChargeCompleteAndPose},
  };
}

}  // namespace

bool LedManager::ReadConfig() {
  rapidjson::Document doc;
  if (!ReadJsonObjectFile("led.json", doc)) {
    return false;
  }

  std::vector<std::shared_ptr<LedStrategy>> strategies;
  for (RuleRow& row : RuleTable(station_error_)) {
    const int priority = GetConfigFromJson<int>(doc, row.key, kDefaultPriority);
    strategies.push_back(
        std::make_shared<LedStrategy>(row.led_cmd, priority, std::move(row.condition), std::move(row.action)));
  }
  // Rules of equal priority keep the table order.
  std::stable_sort(strategies.begin(), strategies.end(),
                   [](const std::shared_ptr<LedStrategy>& a, const std::shared_ptr<LedStrategy>& b) {
                     return a->priority < b->priority;
                   });
  strategies_ = std::move(strategies);
  return true;
}

int LedManager::GetLedCmd(StationTaskData& task_data, const station::SensorsDataRep& report,
                          const LedTaskMap& tasks, bool station_error) {
  *station_error_ = station_error;
  for (const auto& strategy : strategies_) {
    if (strategy->condition(task_data, report, tasks)) {
      strategy->action(task_data, report);
      return strategy->led_cmd;
    }
  }
  return station::LED_NOT_CHANGE;
}

}  // namespace station_center
