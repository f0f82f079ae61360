#include "task/dry_task.h"

#include <gtest/gtest.h>

#include "service_task_support.h"

namespace station_center {
namespace {

using namespace service_task_test;
using station_test::FakeBoard;
using station_test::SupplyRequest;

const std::string kFanOn = Act(station::ENUM_SUPPLY_HEATING_FAN, 1);
const std::string kFanOff = Act(station::ENUM_SUPPLY_HEATING_FAN, 0);
const std::string kWireOn = Act(station::ENUM_SUPPLY_HEATING_WIRE, 1);
const std::string kWireOff = Act(station::ENUM_SUPPLY_HEATING_WIRE, 0);

TEST(DryTask, StartsTheFanAndMarksDryRunning) {
  auto station = StartStation();
  auto task = std::make_shared<DryTask>(station->center(), SupplyCommand(2, 0));
  EXPECT_EQ(Cycle(*station, *task, Tank(1, 0, 0)), Commands{kFanOn});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  EXPECT_TRUE(TaskData(*station).dry_running);
  EXPECT_EQ(Cycle(*station, *task, Tank(1, 0, 0)), Commands{});
}

TEST(DryTask, RefusedStartFailsWithoutMarkingDryRunning) {
  auto station = StartStation();
  auto task = std::make_shared<DryTask>(station->center(), SupplyCommand(2, 0));
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_EQ(Cycle(*station, *task, Tank(1, 0, 0)), Commands{kFanOn});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  EXPECT_FALSE(TaskData(*station).dry_running);
}

TEST(DryTask, TimeLimitFiresOnlyPastTheDuration) {
  auto station = StartStation();
  auto task = std::make_shared<DryTask>(station->center(), SupplyCommand(2, 30));
  Cycle(*station, *task, Tank(1, 0, 0));
  AdvanceClock(30);
  task->ExecuteStep(Tank(1, 0, 0));
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1);
  EXPECT_EQ(Cycle(*station, *task, Tank(1, 0, 0)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  station->MarkCommands();
  EXPECT_TRUE(task->DoReset());
  EXPECT_EQ(station->CommandsSinceMark(), Commands{kFanOff});
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_FALSE(task->DoReset());
}

TEST(DryTask, ErrorAndCancelHooksClearDryRunning) {
  auto station = StartStation();
  auto task = std::make_shared<DryTask>(station->center(), SupplyCommand(2, 0));
  WriteTaskData(*station, [](StationTaskData& d) { d.dry_running = true; });
  task->AfterError();
  EXPECT_FALSE(TaskData(*station).dry_running);
  WriteTaskData(*station, [](StationTaskData& d) { d.dry_running = true; });
  task->AfterCancel();
  EXPECT_FALSE(TaskData(*station).dry_running);
}

TEST(DryTask, StopRequestLeavesNothingSwitchedOn) {
  auto station = StartStation();
  ASSERT_TRUE(station->PushReport(RobotDocked(Tank(1, 0, 0))));
  StartThroughService(*station, SupplyRequest(TASK_TYPE_DRY, 2, 600), 1);
  EXPECT_EQ(StopAndWaitIdle(*station, TASK_TYPE_DRY).result, SRV_RESULT_OK);
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{kFanOn, kFanOff, kFanOff}));
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
  EXPECT_FALSE(TaskData(*station).dry_running);
}

TEST(DryTask, RefusedFanStopFailsTheStop) {
  auto station = StartStation();
  auto task = std::make_shared<DryTask>(station->center(), SupplyCommand(2, 0));
  Cycle(*station, *task, Tank(1, 0, 0));
  station->board().ScriptNext(FakeBoard::Answer::kError);
  station->MarkCommands();
  EXPECT_FALSE(task->HandleTaskCommand(TASK_COMMAND_CANCEL, StationSrvReq()));
  EXPECT_EQ(station->CommandsSinceMark(), Commands{kFanOff});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
}

// While the heat wire runs the dry task refuses a stop without any command; the
// refused stop fails the task, and its error path switches the fan off.
TEST(DryTask, StopWhileTheHeatWireRunsIsRefused) {
  auto station = StartStation();
  station::SensorsDataRep hot = RobotDocked(Tank(1, 0, 0));
  hot.set_heatingwiretemp(80.0f);  // above the target: the wire stays off
  ASSERT_TRUE(station->PushReport(hot));
  StartThroughService(*station, SupplyRequest(TASK_TYPE_DRY, 2), 1);
  ASSERT_TRUE(station_test::WaitFor([&] { return TaskData(*station).dry_running; }));
  StartThroughService(*station, SupplyRequest(TASK_TYPE_HEAT_WIRE, 2), 1);
  ASSERT_TRUE(station_test::WaitFor([&] { return TaskData(*station).heat_wire_running; }));

  const StationSrvRsp rsp = station->center()->HandleService(SupplyRequest(TASK_TYPE_DRY, 4));
  EXPECT_EQ(rsp.result, SRV_RESULT_FAILED);
  EXPECT_EQ(rsp.err_msg.substr(rsp.err_msg.size() - 8), ", failed");
  ASSERT_TRUE(station_test::WaitFor([&] { return !station->center()->HasTask(TASK_TYPE_DRY); }));
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{kFanOn, kFanOff}));
  EXPECT_FALSE(TaskData(*station).dry_running);
  EXPECT_TRUE(station->center()->HasTask(TASK_TYPE_HEAT_WIRE));

  StopAndWaitIdle(*station, TASK_TYPE_HEAT_WIRE);
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
}

}  // namespace
}  // namespace station_center
