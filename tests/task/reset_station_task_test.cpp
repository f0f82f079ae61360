#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "clock.h"
#include "support/station_fixture.h"
#include "task/reset_station_task.h"

namespace station_center {
namespace {

using station_test::EmptyTankReport;
using station_test::Report;
using station_test::StationHarness;
using Cmds = std::vector<std::string>;

TEST(ResetStationTask, ClearsTheTaskDataButKeepsWhatSurvivesAReset) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  {
    std::unique_lock<std::shared_mutex> lock(station.center()->TaskDataLock());
    StationTaskData& data = station.center()->TaskData();
    data.working = true;
    data.work_start_time = 5;
    data.water_finished = data.water_ready = data.perfume_liquid_ready = data.clean_liquid_ready = true;
    data.supply_water_volume = data.station_added_water = 7;
    data.dry_running = data.heat_wire_running = true;
    data.released_tablets = 2;
    data.charge_state = 1;
    data.robot_in_pose = 1;
    data.sewage_pump_left_on = true;
    data.spray_interrupted = true;
  }
  auto task = std::make_shared<ResetStationTask>(station.center());
  task->ExecuteStep(EmptyTankReport());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_OVER);
  StationTaskData data = station.center()->TaskDataSnapshot();
  EXPECT_FALSE(data.working || data.water_finished || data.water_ready || data.perfume_liquid_ready ||
               data.clean_liquid_ready || data.dry_running || data.heat_wire_running);
  EXPECT_EQ(data.work_start_time, -1);
  EXPECT_EQ(data.supply_water_volume, -1);
  EXPECT_EQ(data.station_added_water, -1);
  EXPECT_EQ(data.released_tablets, 0);
  EXPECT_EQ(data.charge_state, 0);
  EXPECT_EQ(data.robot_in_pose, 0);
  EXPECT_TRUE(data.sewage_pump_left_on);
  EXPECT_TRUE(data.spray_interrupted);
  EXPECT_TRUE(data.sensor_data_received);
  EXPECT_EQ(station.CommandsSinceMark(), Cmds{});
}

TEST(ResetStationTask, DrainsAFullTankWithinTheLimit) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  auto task = std::make_shared<ResetStationTask>(station.center());
  task->ExecuteStep(Report());
  AdvanceClock(300);
  task->ExecuteStep(Report());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  task->ExecuteStep(EmptyTankReport());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_OVER);
  EXPECT_EQ(station.CommandsSinceMark(), (Cmds{"act 13:1", "act 13:0"}));
}

// One station center per test process: its detached threads read the
// configuration that a second Init would rewrite.
TEST(ResetStationTask, RefusedOpenEndsInError) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  auto task = std::make_shared<ResetStationTask>(station.center());
  station.board().ScriptNext(station_test::FakeBoard::Answer::kError);
  task->ExecuteStep(Report());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  EXPECT_EQ(station.CommandsSinceMark(), Cmds{"act 13:1"});
}

TEST(ResetStationTask, RefusedCloseAfterTheDrainEndsInError) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  auto task = std::make_shared<ResetStationTask>(station.center());
  task->ExecuteStep(Report());
  station.board().ScriptNext(station_test::FakeBoard::Answer::kError);
  task->ExecuteStep(EmptyTankReport());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  EXPECT_EQ(station.CommandsSinceMark(), (Cmds{"act 13:1", "act 13:0"}));
}

TEST(ResetStationTask, DoResetClosesTheDrainage) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  auto task = std::make_shared<ResetStationTask>(station.center());
  EXPECT_TRUE(task->DoReset());
  station.board().ScriptNext(station_test::FakeBoard::Answer::kError);
  EXPECT_FALSE(task->DoReset());
  EXPECT_EQ(station.CommandsSinceMark(), (Cmds{"act 13:0", "act 13:0"}));
}

}  // namespace
}  // namespace station_center
