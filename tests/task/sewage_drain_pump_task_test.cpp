#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "support/station_fixture.h"
#include "task/sewage_drain_pump_task.h"

namespace station_center {
namespace {

using station_test::Report;
using station_test::StationHarness;
using station_test::StationOptions;
using Cmds = std::vector<std::string>;

StationOptions DistinctPowers() {
  StationOptions options;
  options.extra_config = {
      {"sewage_pump_power_soft", "60"}, {"sewage_pump_power_standard", "70"}, {"sewage_pump_power_strong", "95"}};
  return options;
}

std::shared_ptr<SewageDrainPumpTask> Pump(StationHarness& station, int32_t action, int32_t duration) {
  return std::make_shared<SewageDrainPumpTask>(station.center(),
                                               station_test::SupplyRequest(TASK_TYPE_SEWAGE_DRAIN_PUMP, action,
                                                                           duration)
                                                   .supply_material_req);
}

TEST(SewageDrainPumpTask, PumpPowerFollowsTheActionModel) {
  StationHarness station(DistinctPowers());
  ASSERT_TRUE(station.StartNormal());
  for (int32_t action : {1, 2, 3}) {
    Pump(station, action, 0)->ExecuteStep(Report());
  }
  EXPECT_EQ(station.CommandsSinceMark(), (Cmds{"act 4:60", "act 4:70", "act 4:95"}));
  EXPECT_TRUE(station.center()->TaskDataSnapshot().sewage_pump_left_on);
}

TEST(SewageDrainPumpTask, DurationLimitAndItsRenewal) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  auto task = Pump(station, 2, 30);
  task->ExecuteStep(Report());
  AdvanceClock(20);
  // A repeated request renews the limit from now.
  EXPECT_TRUE(task->HandleTaskCommand(TASK_COMMAND_UPLOAD_INFO,
                                      station_test::SupplyRequest(TASK_TYPE_SEWAGE_DRAIN_PUMP, 2, 30)));
  AdvanceClock(30);
  task->ExecuteStep(Report());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1);
  task->ExecuteStep(Report());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  // The pump is left on: neither the reset nor a cancel switches it off.
  EXPECT_TRUE(task->DoReset());
  EXPECT_TRUE(task->HandleTaskCommand(TASK_COMMAND_CANCEL, StationSrvReq()));
  EXPECT_EQ(station.CommandsSinceMark(), Cmds{"act 4:80"});
}

TEST(SewageDrainPumpTask, DurationZeroNeverTimesOut) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  auto task = Pump(station, 1, 0);
  task->ExecuteStep(Report());
  AdvanceClock(100000);
  task->ExecuteStep(Report());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
}

TEST(SewageDrainPumpTask, RefusedPumpIsAnErrorWithoutTheLeftOnMark) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  auto task = Pump(station, 2, 0);
  station.board().ScriptNext(station_test::FakeBoard::Answer::kError);
  task->ExecuteStep(Report());
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  EXPECT_FALSE(station.center()->TaskDataSnapshot().sewage_pump_left_on);
  task->ExecuteStep(Report());  // over: only logs
  EXPECT_EQ(station.CommandsSinceMark(), Cmds{"act 4:80"});
}

}  // namespace
}  // namespace station_center
