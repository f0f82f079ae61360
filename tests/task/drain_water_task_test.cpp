#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "clock.h"
#include "support/station_fixture.h"
#include "task/drain_water_task.h"
#include "task/reset_station_task.h"
#include "task/sewage_drain_pump_task.h"

namespace station_center {
namespace {

using station_test::EmptyTankReport;
using station_test::Report;
using station_test::StationHarness;
using station_test::StationOptions;
using Cmds = std::vector<std::string>;

// A started station whose worker threads stay out of the way: the drain task
// under test is driven one work cycle at a time, by hand.
std::unique_ptr<StationHarness> Started(int drain_max_s = 300) {
  StationOptions options;
  options.drain_water_max_time_s = drain_max_s;
  auto station = std::make_unique<StationHarness>(options);
  EXPECT_TRUE(station->StartNormal());
  return station;
}

void PrepareLiquid(StationCenter& center) {
  std::unique_lock<std::shared_mutex> lock(center.TaskDataLock());
  center.TaskData().water_ready = true;
  center.TaskData().perfume_liquid_ready = true;
  center.TaskData().clean_liquid_ready = true;
  center.TaskData().supply_water_volume = 300;
  center.TaskData().station_added_water = 42;
}

TEST(DrainWaterTask, EmptyTankEndsOverWithOneCloseAndNoOpen) {
  auto station = Started();
  PrepareLiquid(*station->center());
  auto task = std::make_shared<DrainWaterTask>(station->center());
  task->ExecuteStep(EmptyTankReport());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_OVER);
  EXPECT_EQ(station->CommandsSinceMark(), Cmds{"act 13:0"});
  StationTaskData data = station->center()->TaskDataSnapshot();
  EXPECT_FALSE(data.water_ready || data.perfume_liquid_ready || data.clean_liquid_ready);
  EXPECT_EQ(data.supply_water_volume, 0);
  EXPECT_EQ(data.station_added_water, 0);
  // Later cycles only log.
  task->ExecuteStep(EmptyTankReport());
  EXPECT_EQ(station->CommandsSinceMark(), Cmds{"act 13:0"});
}

TEST(DrainWaterTask, OpensOnceWaitsAndClosesWhenTheTankIsEmpty) {
  auto station = Started();
  PrepareLiquid(*station->center());
  auto task = std::make_shared<DrainWaterTask>(station->center());
  task->ExecuteStep(Report());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  StationTaskData data = station->center()->TaskDataSnapshot();
  EXPECT_FALSE(data.water_ready);
  EXPECT_EQ(data.supply_water_volume, 0);
  EXPECT_EQ(data.station_added_water, 42);  // only cleared once drained
  AdvanceClock(100);
  task->ExecuteStep(Report());
  task->ExecuteStep(EmptyTankReport());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_OVER);
  EXPECT_EQ(station->CommandsSinceMark(), (Cmds{"act 13:1", "act 13:0"}));
  // Over: a cancel after the end finds the switch closed and sends nothing.
  EXPECT_TRUE(task->HandleTaskCommand(TASK_COMMAND_CANCEL, StationSrvReq()));
  EXPECT_EQ(station->CommandsSinceMark(), (Cmds{"act 13:1", "act 13:0"}));
}

TEST(DrainWaterTask, DrainTimeLimitFiresOnlyAfterMoreThanTheLimit) {
  auto station = Started(20);
  auto task = std::make_shared<DrainWaterTask>(station->center());
  task->ExecuteStep(Report());
  AdvanceClock(20);
  task->ExecuteStep(Report());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1);
  task->ExecuteStep(Report());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  EXPECT_TRUE(task->DoReset());
  EXPECT_EQ(station->CommandsSinceMark(), (Cmds{"act 13:1", "act 13:0"}));
}

TEST(DrainWaterTask, FailedOpenIsAnErrorAndAfterErrorWithdrawsTheLiquid) {
  auto station = Started();
  auto task = std::make_shared<DrainWaterTask>(station->center());
  station->board().ScriptNext(station_test::FakeBoard::Answer::kError);
  task->ExecuteStep(Report());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  PrepareLiquid(*station->center());
  task->AfterError();
  StationTaskData data = station->center()->TaskDataSnapshot();
  EXPECT_FALSE(data.water_ready || data.perfume_liquid_ready || data.clean_liquid_ready);
  EXPECT_EQ(data.supply_water_volume, 0);
  station->board().ScriptNext(station_test::FakeBoard::Answer::kError);
  EXPECT_FALSE(task->DoReset());
}

TEST(DrainWaterTask, FailedCloseOfAnEmptyTankStillEndsOver) {
  auto station = Started();
  auto task = std::make_shared<DrainWaterTask>(station->center());
  task->ExecuteStep(Report());
  station->board().ScriptNext(station_test::FakeBoard::Answer::kError);
  task->ExecuteStep(EmptyTankReport());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_OVER);
  EXPECT_EQ(station->CommandsSinceMark(), (Cmds{"act 13:1", "act 13:0"}));
}

TEST(DrainWaterTask, CancelClosesTheSwitchItOpened) {
  auto station = Started();
  auto task = std::make_shared<DrainWaterTask>(station->center());
  // Not yet opened: nothing to close.
  EXPECT_TRUE(task->HandleTaskCommand(TASK_COMMAND_CANCEL, StationSrvReq()));
  EXPECT_EQ(station->CommandsSinceMark(), Cmds{});

  auto open = std::make_shared<DrainWaterTask>(station->center());
  open->ExecuteStep(Report());
  EXPECT_TRUE(open->HandleTaskCommand(TASK_COMMAND_CANCEL, StationSrvReq()));
  EXPECT_EQ(open->GetTaskStatus(), TASK_STATUS_CANCELED);
  station->board().ScriptNext(station_test::FakeBoard::Answer::kSilent);
  EXPECT_FALSE(open->HandleTaskCommand(TASK_COMMAND_CANCEL, StationSrvReq()));
  EXPECT_EQ(open->GetTaskStatus(), TASK_STATUS_ERROR);
  EXPECT_EQ(station->CommandsSinceMark(), (Cmds{"act 13:1", "act 13:0", "act 13:0"}));
}

// Admission check of the tasks of this file: the first running type of the
// task's own list wins, and the lists are not symmetric.
TEST(EmptyingTasksPreCheck, ConflictListsInTheirOwnOrder) {
  auto station = Started();
  const std::shared_ptr<StationCenter>& center = station->center();
  quorvane_base_station_mqtt::SupplyMaterialReq supply;
  supply.mutable_cmd()->set_action(quorvane_base_station_mqtt::ENUM_ACTION_STANDARD);
  struct Case {
    const char* name;
    std::shared_ptr<Task> task;
    std::vector<TaskType> running;
    std::string refusal;
  };
  auto drain = [&] { return std::make_shared<DrainWaterTask>(center); };
  auto sewage = [&] { return std::make_shared<SewageDrainPumpTask>(center, supply); };
  auto reset = [&] { return std::make_shared<ResetStationTask>(center); };
  const std::vector<Case> cases = {
      {"drain, nothing running", drain(), {}, ""},
      {"drain vs add water", drain(), {TASK_TYPE_ADD_WATER}, "pre check failed, have conflict task 5 is running"},
      {"drain: 2 listed before 5", drain(), {TASK_TYPE_ADD_WATER, TASK_TYPE_CLEAN_LIQUID_PREPARE},
       "pre check failed, have conflict task 2 is running"},
      {"drain: 3 first", drain(), {TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_PERFUME_PREPARE},
       "pre check failed, have conflict task 3 is running"},
      {"drain ignores the sewage pump", drain(), {TASK_TYPE_SEWAGE_DRAIN_PUMP, TASK_TYPE_DRY}, ""},
      {"sewage vs dry", sewage(), {TASK_TYPE_DRY}, "pre check failed, have conflict task 9 is running"},
      {"sewage vs heat wire", sewage(), {TASK_TYPE_HEAT_WIRE}, "pre check failed, have conflict task 10 is running"},
      {"sewage: 6 first", sewage(), {TASK_TYPE_MANUAL_CHARGE, TASK_TYPE_DUST_COLLECT},
       "pre check failed, have conflict task 6 is running"},
      {"sewage: 11 before 12", sewage(), {TASK_TYPE_MANUAL_CHARGE, TASK_TYPE_AUTO_CHARGE},
       "pre check failed, have conflict task 11 is running"},
      {"sewage ignores spray, UV, drain", sewage(), {TASK_TYPE_WATER_SPRAY, TASK_TYPE_UV, TASK_TYPE_DRAIN_WATER}, ""},
      {"reset conflicts with nothing", reset(), {TASK_TYPE_DRAIN_WATER, TASK_TYPE_SEWAGE_DRAIN_PUMP, TASK_TYPE_UV}, ""},
  };
  for (const Case& c : cases) {
    TaskMap running;
    for (TaskType type : c.running) {
      running[type] = nullptr;
    }
    EXPECT_EQ(c.task->PreCheckUnlock(running, station::SensorsDataRep()), c.refusal) << c.name;
  }
  EXPECT_EQ(station->CommandsSinceMark(), Cmds{});
}

}  // namespace
}  // namespace station_center
