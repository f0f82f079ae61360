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
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{kWireOff, kFanOff}));
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

// Replays the board commands and tells whether the board ever held the heating
// wire on while the drying fan was off.
bool WireEverOnWithoutFan(const Commands& commands) {
  bool wire = false;
  bool fan = false;
  for (const std::string& command : commands) {
    if (command == kWireOn || command == kWireOff) {
      wire = command == kWireOn;
    } else if (command == kFanOn || command == kFanOff) {
      fan = command == kFanOn;
    }
    if (wire && !fan) {
      return true;
    }
  }
  return false;
}

enum class FanPath { kRobotStop, kTimeLimit, kConnectionLost, kStaleReports, kWireOffRefused };

struct FanPathCase {
  const char* name;
  FanPath path;
  bool fan_left_on;  // the fan still runs once the task has ended, until its owed switch-off
};

class DryUnderHeatWire : public ::testing::TestWithParam<FanPathCase> {};

// Drying for 600 s with the heat wire heating; then one way of ending (or trying
// to end) the fan. Whatever the path, the wire never heats with the fan off.
TEST_P(DryUnderHeatWire, NeverLeavesTheWireOnWithoutItsFan) {
  const FanPathCase c = GetParam();
  StationOptions options;
  if (c.path == FanPath::kStaleReports) {
    options.extra_config["sensor_report_timeout"] = "15";
  }
  auto station = StartStation(options);
  station::SensorsDataRep cold = RobotDocked(Tank(1, 0, 0));
  cold.set_heatingwiretemp(20.0f);  // below the target: the wire heats
  ASSERT_TRUE(station->PushReport(cold));
  StartThroughService(*station, SupplyRequest(TASK_TYPE_DRY, 2, 600), 1);
  ASSERT_TRUE(station_test::WaitFor([&] { return TaskData(*station).dry_running; }));
  StartThroughService(*station, SupplyRequest(TASK_TYPE_HEAT_WIRE, 2), 2);
  ASSERT_EQ(station->CommandsSinceMark(), (Commands{kFanOn, kWireOn}));

  switch (c.path) {
    case FanPath::kRobotStop: {
      // Refused as before, and drying simply goes on.
      const StationSrvRsp rsp = station->center()->HandleService(SupplyRequest(TASK_TYPE_DRY, 4));
      EXPECT_EQ(rsp.result, SRV_RESULT_FAILED);
      EXPECT_EQ(rsp.err_msg.substr(rsp.err_msg.size() - 8), ", failed");
      EXPECT_FALSE(station_test::WaitFor([&] { return !station->center()->HasTask(TASK_TYPE_DRY); },
                                         std::chrono::milliseconds(200)));
      EXPECT_TRUE(station->center()->HasTask(TASK_TYPE_HEAT_WIRE));
      EXPECT_TRUE(TaskData(*station).dry_running);
      station->center()->HandleService(SupplyRequest(TASK_TYPE_HEAT_WIRE, 4));
      ASSERT_TRUE(station_test::WaitFor([&] { return !station->center()->HasTask(TASK_TYPE_HEAT_WIRE); }));
      StopAndWaitIdle(*station, TASK_TYPE_DRY);
      break;
    }
    case FanPath::kTimeLimit:
      AdvanceClock(601);
      break;
    case FanPath::kConnectionLost:
      EXPECT_EQ(station->center()->HandleService(ServiceRequest(SRV_CONNECTION_LOST)).result, SRV_RESULT_OK);
      break;
    case FanPath::kStaleReports:
      AdvanceClock(16);  // past the 15 s the reports may be old
      break;
    case FanPath::kWireOffRefused:
      station->board().ScriptNext(FakeBoard::Answer::kError);
      AdvanceClock(601);
      break;
  }
  ASSERT_TRUE(station->WaitIdle());
  if (c.fan_left_on) {
    EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{{station::ENUM_SUPPLY_HEATING_FAN, 1}}));
  }
  EXPECT_EQ(station->center()->RetrySwitchOffs(), 0u);  // what the main loop does once a second
  EXPECT_FALSE(WireEverOnWithoutFan(station->Commands())) << testing::PrintToString(station->CommandsSinceMark());
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
  EXPECT_FALSE(TaskData(*station).heat_wire_running);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, DryUnderHeatWire,
    ::testing::Values(FanPathCase{"RobotStopIsRefused", FanPath::kRobotStop, false},
                      FanPathCase{"TimeLimit", FanPath::kTimeLimit, false},
                      FanPathCase{"ConnectionLost", FanPath::kConnectionLost, false},
                      FanPathCase{"StaleReports", FanPath::kStaleReports, false},
                      // The wire's switch-off refused: the fan keeps blowing until the wire is off.
                      FanPathCase{"WireOffRefused", FanPath::kWireOffRefused, true}),
    [](const ::testing::TestParamInfo<FanPathCase>& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace station_center
