#pragma once

#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "station/station_report.pb.h"
#include "station_types.h"

namespace station_center {

class Task;
using LedTaskMap = std::unordered_map<TaskType, std::shared_ptr<Task>>;

// One LED rule: when `condition` holds (and no rule of lower priority number
// held before it) the board shows `led_cmd`, and `action` clears the one-shot
// states that the pattern has now shown.
struct LedStrategy {
  using Condition = std::function<bool(StationTaskData&, const station::SensorsDataRep&, const LedTaskMap&)>;
  using Action = std::function<void(StationTaskData&, const station::SensorsDataRep&)>;

  LedStrategy(int led_cmd_in, int priority_in, Condition condition_in, Action action_in)
      : condition(std::move(condition_in)), action(std::move(action_in)), led_cmd(led_cmd_in), priority(priority_in) {}

  Condition condition;
  Action action;
  int led_cmd;
  int priority;
};

// Chooses the LED pattern for the station's present state from the rules of
// led.json (their priorities; conditions and patterns are fixed).
class LedManager {
 public:
  // Builds the rule table from led.json in the configuration folder.
  bool ReadConfig();

  // The LED command of the first rule whose condition holds, after running its
  // action; 0 (LED_NOT_CHANGE) when none does. `station_error` is true while the
  // station center is in STATION_ERROR. Caller holds the station center's locks
  // over the inputs (task data for writing).
  int GetLedCmd(StationTaskData& task_data, const station::SensorsDataRep& report, const LedTaskMap& tasks,
                bool station_error = false);

 private:
  std::vector<std::shared_ptr<LedStrategy>> strategies_;
  // The station error state of the present evaluation, read by the error rule;
  // shared so that a copied manager's rules read their own manager's flag.
  std::shared_ptr<bool> station_error_ = std::make_shared<bool>(false);
};

}  // namespace station_center
