#include <gtest/gtest.h>

#include "led_manager.h"
#include "station/cmd.pb.h"
#include "support/process.h"

namespace station_center {
namespace {

// One evaluation: charge state and pose before it (-1: as left), the report
// (0 none yet, 1 self-check failed, 2 passed), the tasks, the pattern chosen,
// and charge state and pose after it (-1: unchecked).
struct Step {
  int charge, pose, report;
  std::vector<TaskType> tasks;
  int led, charge_after = -1, pose_after = -1;
  bool station_error = false;
};

TEST(LedManager, PatternFollowsPrioritiesAndOneShotStates) {
  const std::string shipped_file = station_test::ReadWholeFile(std::string(STATION_SOURCE_DIR) + "/config/led.json");
  const char* shipped = shipped_file.c_str();  // the priorities a station ships with
  const TaskType dust = TASK_TYPE_DUST_COLLECT, water = TASK_TYPE_ADD_WATER;
  const std::vector<std::tuple<const char*, const char*, std::vector<Step>>> rows = {
      {"equal priorities keep the table order",
       R"({"led_normal_work": 900, "in_dust_collect_led": 5, "deep_self_clean_led": 5, "in_supply_led": 5})",
       {{0, 0, 0, {dust, water, TASK_TYPE_DRY}, station::LED_DEEP_CLEAN},
        {-1, -1, 0, {dust, water}, station::LED_SUPPLYING}, {-1, -1, 0, {dust}, station::SCREEN_COLLECT_DUST},
        {-1, -1, 0, {TASK_TYPE_WATER_SPRAY}, station::LED_DEEP_CLEAN},
        {-1, -1, 0, {TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_UV}, station::LED_NORMAL_WORK}}},
      {"self-check failure while it holds, success once", shipped,
       {{0, 0, 0, {}, station::LED_NORMAL_WORK}, {-1, -1, 1, {}, station::LED_SELF_CHECK_FAIL},
        {-1, -1, 1, {}, station::LED_SELF_CHECK_FAIL},
        {1, -1, 2, {}, station::LED_CHARGING},  // a rule before it: the one-shot is not used up
        {0, -1, 2, {}, station::LED_SELF_CHECK_SUCCESS}, {-1, -1, 2, {}, station::LED_NORMAL_WORK}}},
      {"self-check success once a process, not a manager", shipped, {{0, 0, 2, {}, station::LED_NORMAL_WORK}}},
      {"docking success once, failure until a rule clears it", shipped,
       {{0, 1, 0, {}, station::LED_SUPPLYING, -1, 0}, {-1, -1, 0, {}, station::LED_NORMAL_WORK},
        {-1, 2, 0, {}, station::LED_SUPPLYING, -1, 2}, {-1, -1, 0, {}, station::LED_SUPPLYING, -1, 2},
        {-1, -1, 0, {dust}, station::SCREEN_COLLECT_DUST, -1, 0}}},
      {"charge complete stays, charge error follows", shipped,
       {{2, 2, 0, {}, station::LED_CHARGE_COMPLETE, 2, 0}, {-1, -1, 0, {}, station::LED_CHARGE_COMPLETE, 2},
        {3, -1, 0, {}, station::LED_CHARGE_FAIL, 3}}},
      {"station error before all else, only while it lasts", shipped,
       {{1, 0, 0, {water}, station::LED_ERROR_STATE, 1, -1, true}, {0, -1, 0, {water}, station::LED_SUPPLYING}}},
  };
  for (const auto& [name, priorities, steps] : rows) {
    station_test::TempDir dir;
    dir.Write("led.json", priorities);
    setenv("STATION_CENTER_CONFIG_DIR", dir.path().c_str(), 1);
    LedManager manager;
    ASSERT_TRUE(manager.ReadConfig()) << name;
    StationTaskData data;
    for (const Step& s : steps) {
      data.charge_state = s.charge < 0 ? data.charge_state : s.charge;
      data.robot_in_pose = s.pose < 0 ? data.robot_in_pose : s.pose;
      data.sensor_data_received = s.report > 0;
      station::SensorsDataRep report;
      report.set_initsensorsstate(s.report == 2), report.set_initactuatorsstate(true), report.set_selfcheckstate(true);
      LedTaskMap tasks;
      for (TaskType type : s.tasks) tasks[type] = nullptr;
      EXPECT_EQ(manager.GetLedCmd(data, report, tasks, s.station_error), s.led) << name << ", step " << &s - &steps[0];
      EXPECT_TRUE((s.charge_after < 0 || data.charge_state == s.charge_after) &&
                  (s.pose_after < 0 || data.robot_in_pose == s.pose_after)) << name << ", step " << &s - &steps[0];
    }
  }
}

}  // namespace
}  // namespace station_center
