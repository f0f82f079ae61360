#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "led_manager.h"
#include "station/cmd.pb.h"

namespace station_center {
namespace {

// A led.json in a folder of its own, found through STATION_CENTER_CONFIG_DIR.
class LedFile {
 public:
  explicit LedFile(const std::string* text) {
    char dir_template[] = "/tmp/led_test_XXXXXX";
    dir_ = ::mkdtemp(dir_template);
    if (text != nullptr) {
      std::ofstream(dir_ + "/led.json") << *text;
    }
    ::setenv("STATION_CENTER_CONFIG_DIR", dir_.c_str(), 1);
  }
  ~LedFile() {
    std::remove((dir_ + "/led.json").c_str());
    ::rmdir(dir_.c_str());
  }

 private:
  std::string dir_;
};

LedManager Load(const std::string& text) {
  LedFile file(&text);
  LedManager manager;
  EXPECT_TRUE(manager.ReadConfig());
  return manager;
}

station::SensorsDataRep SelfCheck(bool ok) {
  station::SensorsDataRep report;
  report.set_initsensorsstate(ok);
  report.set_initactuatorsstate(true);
  report.set_selfcheckstate(true);
  return report;
}

// The repository's priorities.
const std::string kShippedPriorities = R"({
  "station_error_led": 10, "charge_error_led": 20, "led_self_check_failed": 30, "led_in_charge": 40,
  "led_charge_complete": 50, "in_dust_collect_led": 60, "disinfectant_prepare_led": 70,
  "deep_self_clean_led": 80, "in_supply_led": 90, "docking_failed_led": 100, "docking_success_led": 110,
  "led_self_check_success": 120, "led_normal_work": 1000})";

TEST(LedManager, UnreadableFilesAreRefused) {
  struct Case {
    const char* name;
    const std::string* text;
  };
  const std::string not_json = "{ \"led_normal_work\": ";
  const std::string array = "[1, 2]";
  for (const Case& c : {Case{"missing file", nullptr}, Case{"not JSON", &not_json}, Case{"array", &array}}) {
    LedFile file(c.text);
    LedManager manager;
    EXPECT_FALSE(manager.ReadConfig()) << c.name;
    StationTaskData data;
    EXPECT_EQ(manager.GetLedCmd(data, station::SensorsDataRep(), LedTaskMap()), station::LED_NOT_CHANGE) << c.name;
  }
}

TEST(LedManager, WithoutPrioritiesTheTableOrderMakesNormalWorkWin) {
  for (const std::string text : {"{}", R"({"led_in_charge": "5", "charge_error_led": 4294967296})"}) {
    LedManager manager = Load(text);
    StationTaskData data;
    data.charge_state = 1;
    data.robot_in_pose = 1;
    data.sensor_data_received = true;
    EXPECT_EQ(manager.GetLedCmd(data, SelfCheck(false), LedTaskMap()), station::LED_NORMAL_WORK) << text;
    EXPECT_EQ(data.robot_in_pose, 0);
    EXPECT_EQ(data.charge_state, 1);
  }
}

TEST(LedManager, NormalWorkAsTheFallback) {
  LedManager manager = Load(kShippedPriorities);
  StationTaskData data;
  EXPECT_EQ(manager.GetLedCmd(data, station::SensorsDataRep(), LedTaskMap()), station::LED_NORMAL_WORK);
}

TEST(LedManager, PrioritiesDecideAndEqualPrioritiesKeepTableOrder) {
  // Charging (rule 4) and charge error (rule 6) can not both hold; use tasks instead.
  LedManager manager = Load(R"({"led_normal_work": 900, "in_dust_collect_led": 5, "deep_self_clean_led": 5,
                                "in_supply_led": 5})");
  StationTaskData data;
  LedTaskMap tasks = {{TASK_TYPE_DUST_COLLECT, nullptr}, {TASK_TYPE_ADD_WATER, nullptr}, {TASK_TYPE_DRY, nullptr}};
  // Rules 7, 9 and 13 share priority 5: rule 7 (deep clean) comes first in the table.
  EXPECT_EQ(manager.GetLedCmd(data, station::SensorsDataRep(), tasks), station::LED_DEEP_CLEAN);
  tasks.erase(TASK_TYPE_DRY);
  EXPECT_EQ(manager.GetLedCmd(data, station::SensorsDataRep(), tasks), station::LED_SUPPLYING);
  tasks.erase(TASK_TYPE_ADD_WATER);
  EXPECT_EQ(manager.GetLedCmd(data, station::SensorsDataRep(), tasks), station::SCREEN_COLLECT_DUST);
  tasks = {{TASK_TYPE_WATER_SPRAY, nullptr}};
  EXPECT_EQ(manager.GetLedCmd(data, station::SensorsDataRep(), tasks), station::LED_DEEP_CLEAN);
  tasks = {{TASK_TYPE_DISINFECTANT_PREPARE, nullptr}, {TASK_TYPE_UV, nullptr}};
  EXPECT_EQ(manager.GetLedCmd(data, station::SensorsDataRep(), tasks), station::LED_NORMAL_WORK);
}

TEST(LedManager, SelfCheckSuccessShowsOnceAndFailureWhileItHolds) {
  LedManager manager = Load(kShippedPriorities);
  StationTaskData data;
  // Before the first report neither self-check rule applies.
  EXPECT_EQ(manager.GetLedCmd(data, SelfCheck(true), LedTaskMap()), station::LED_NORMAL_WORK);
  data.sensor_data_received = true;
  EXPECT_EQ(manager.GetLedCmd(data, SelfCheck(false), LedTaskMap()), station::LED_SELF_CHECK_FAIL);
  EXPECT_EQ(manager.GetLedCmd(data, SelfCheck(false), LedTaskMap()), station::LED_SELF_CHECK_FAIL);
  // A rule before it holds: the one-shot is not used up.
  data.charge_state = 1;
  EXPECT_EQ(manager.GetLedCmd(data, SelfCheck(true), LedTaskMap()), station::LED_CHARGING);
  data.charge_state = 0;
  EXPECT_EQ(manager.GetLedCmd(data, SelfCheck(true), LedTaskMap()), station::LED_SELF_CHECK_SUCCESS);
  EXPECT_EQ(manager.GetLedCmd(data, SelfCheck(true), LedTaskMap()), station::LED_NORMAL_WORK);
  // The flag belongs to the process: a second manager does not show it again.
  LedManager other = Load(kShippedPriorities);
  EXPECT_EQ(other.GetLedCmd(data, SelfCheck(true), LedTaskMap()), station::LED_NORMAL_WORK);
}

TEST(LedManager, DockingSuccessShowsOnceDockingFailureStays) {
  LedManager manager = Load(kShippedPriorities);
  StationTaskData data;
  data.robot_in_pose = 1;
  EXPECT_EQ(manager.GetLedCmd(data, station::SensorsDataRep(), LedTaskMap()), station::LED_SUPPLYING);
  EXPECT_EQ(data.robot_in_pose, 0);
  EXPECT_EQ(manager.GetLedCmd(data, station::SensorsDataRep(), LedTaskMap()), station::LED_NORMAL_WORK);

  data.robot_in_pose = 2;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(manager.GetLedCmd(data, station::SensorsDataRep(), LedTaskMap()), station::LED_SUPPLYING);
  }
  EXPECT_EQ(data.robot_in_pose, 2);
  // Dust collection (action A, priority 60) comes first and clears it.
  LedTaskMap dust = {{TASK_TYPE_DUST_COLLECT, nullptr}};
  EXPECT_EQ(manager.GetLedCmd(data, station::SensorsDataRep(), dust), station::SCREEN_COLLECT_DUST);
  EXPECT_EQ(data.robot_in_pose, 0);
}

TEST(LedManager, ChargeCompleteStaysUntilAnotherRuleIsChosen) {
  LedManager manager = Load(kShippedPriorities);
  StationTaskData data;
  data.charge_state = 2;
  data.robot_in_pose = 2;
  EXPECT_EQ(manager.GetLedCmd(data, station::SensorsDataRep(), LedTaskMap()), station::LED_CHARGE_COMPLETE);
  EXPECT_EQ(data.robot_in_pose, 0);  // action B
  EXPECT_EQ(manager.GetLedCmd(data, station::SensorsDataRep(), LedTaskMap()), station::LED_CHARGE_COMPLETE);
  EXPECT_EQ(data.charge_state, 2);
  // A rule with action C chosen first clears the complete state but keeps a docking failure.
  LedManager pre_water_first = Load(R"({"disinfectant_prepare_led": 1})");
  LedTaskMap pre_water = {{TASK_TYPE_DISINFECTANT_PREPARE, nullptr}};
  data.robot_in_pose = 2;
  EXPECT_EQ(pre_water_first.GetLedCmd(data, station::SensorsDataRep(), pre_water), station::SCREEN_PRE_WATER);
  EXPECT_EQ(data.charge_state, 0);
  EXPECT_EQ(data.robot_in_pose, 2);

  data.charge_state = 3;
  EXPECT_EQ(manager.GetLedCmd(data, station::SensorsDataRep(), LedTaskMap()), station::LED_CHARGE_FAIL);
  EXPECT_EQ(data.charge_state, 3);
}

}  // namespace
}  // namespace station_center
