#include "task/disinfectant_prepare_task.h"

#include <gtest/gtest.h>

#include "service_task_support.h"

namespace station_center {
namespace {

using namespace service_task_test;
using station_test::FakeBoard;

const std::string kDrainOn = Act(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1);
const std::string kDrainOff = Act(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 0);
const std::string kTapOn = Act(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1);
const std::string kTapOff = Act(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0);
const std::string kMotorOn = Act(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 1);
const std::string kMotorOff = Act(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 0);

StationOptions TabletSeconds(int seconds) {
  StationOptions options;
  options.extra_config["disinfectant_tablet_release_time"] = std::to_string(seconds);
  return options;
}

station::SensorsDataRep OverCurrent() {
  station::SensorsDataRep report = Tank(0, 1, 1500);
  report.set_sortermotorcurrentstate(true);
  return report;
}

// Drains and fills; the next cycle runs the tablet step.
void DrainAndFill(StationHarness& station, Task& task) {
  ASSERT_EQ(Cycle(station, task, Tank(0, 0, 0)), Commands{kDrainOn});
  ASSERT_EQ(Cycle(station, task, Tank(1, 0, 0)), Commands{kDrainOff});
  ASSERT_EQ(Cycle(station, task, Tank(1, 0, 0)), Commands{kTapOn});
  ASSERT_EQ(Cycle(station, task, Tank(0, 1, 1500)), Commands{kTapOff});
}

TEST(DisinfectantPrepareTask, WithoutTabletsEndsOverOnceTheTankIsFilled) {
  auto station = StartStation();
  WriteTaskData(*station, [](StationTaskData& d) {
    d.water_ready = true;
    d.water_finished = true;
    d.spray_interrupted = true;
  });
  auto task = std::make_shared<DisinfectantPrepareTask>(station->center(), PrepareCommand(0, 3));
  DrainAndFill(*station, *task);
  EXPECT_FALSE(TaskData(*station).water_ready);
  EXPECT_EQ(TaskData(*station).supply_water_volume, 3);
  EXPECT_EQ(TaskData(*station).station_added_water, 1500);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_OVER);

  task->AfterOver();
  const StationTaskData data = TaskData(*station);
  EXPECT_TRUE(data.water_ready);
  EXPECT_FALSE(data.water_finished);
  EXPECT_FALSE(data.spray_interrupted);
}

TEST(DisinfectantPrepareTask, FillStopsAtTheRobotsVolumeInFlowCounts) {
  auto station = StartStation();
  auto task = std::make_shared<DisinfectantPrepareTask>(station->center(), PrepareCommand(0, 2));
  Cycle(*station, *task, Tank(1, 0, 0));
  ASSERT_EQ(Cycle(*station, *task, Tank(1, 0, 0)), Commands{kTapOn});
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 1999)), Commands{});
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 2000)), Commands{kTapOff});
}

// With no tablet counting configured, a tablet can only end by the motor's time limit.
TEST(DisinfectantPrepareTask, WithoutTabletCountingTheMotorEndsByItsTimeLimit) {
  auto station = StartStation(TabletSeconds(0));
  auto task = std::make_shared<DisinfectantPrepareTask>(station->center(), PrepareCommand(1, 3));
  DrainAndFill(*station, *task);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{kMotorOn});
  AdvanceClock(60);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{});  // the motor stays on for DoReset
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  EXPECT_EQ(TaskData(*station).released_tablets, 0);

  station->MarkCommands();
  EXPECT_TRUE(task->DoReset());
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{kMotorOff, kTapOff}));
}

TEST(DisinfectantPrepareTask, CountsOneTabletPerWholeIntervalOfMotorRunning) {
  auto station = StartStation(TabletSeconds(5));
  WriteTaskData(*station, [](StationTaskData& d) { d.released_tablets = 7; });
  auto task = std::make_shared<DisinfectantPrepareTask>(station->center(), PrepareCommand(2, 3));
  DrainAndFill(*station, *task);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{kMotorOn});
  AdvanceClock(4);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{});
  EXPECT_EQ(TaskData(*station).released_tablets, 7);
  AdvanceClock(1);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{});
  EXPECT_EQ(TaskData(*station).released_tablets, 8);
  AdvanceClock(4);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{});
  AdvanceClock(1);
  // Two tablets since the motor started (the seven before do not count): motor off.
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{kMotorOff});
  EXPECT_EQ(TaskData(*station).released_tablets, 9);

  AdvanceClock(300);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_OVER);
  EXPECT_EQ(TaskData(*station).released_tablets, 9);
}

// Over-current: motor off, a rest of one second (on in the first cycle past
// it), motor on again; the rest does not count as running time.
TEST(DisinfectantPrepareTask, OverCurrentRestsTheMotorAndTheRestIsNotCounted) {
  auto station = StartStation(TabletSeconds(5));
  auto task = std::make_shared<DisinfectantPrepareTask>(station->center(), PrepareCommand(2, 3));
  DrainAndFill(*station, *task);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{kMotorOn});
  AdvanceClock(3);
  EXPECT_EQ(Cycle(*station, *task, OverCurrent()), Commands{kMotorOff});
  AdvanceClock(1);
  EXPECT_EQ(Cycle(*station, *task, OverCurrent()), Commands{});
  AdvanceClock(1);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{kMotorOn});
  AdvanceClock(1);  // 4 s of running
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{});
  EXPECT_EQ(TaskData(*station).released_tablets, 0);
  AdvanceClock(1);  // 5 s of running, 7 s since the first start
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{});
  EXPECT_EQ(TaskData(*station).released_tablets, 1);
  AdvanceClock(5);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{kMotorOff});
  EXPECT_EQ(TaskData(*station).released_tablets, 2);
}

// The motor's time limit counts from the first start, rests included.
TEST(DisinfectantPrepareTask, RecurringOverCurrentEndsByTheMotorTimeLimitFromTheFirstStart) {
  auto station = StartStation(TabletSeconds(0));
  auto task = std::make_shared<DisinfectantPrepareTask>(station->center(), PrepareCommand(1, 3));
  DrainAndFill(*station, *task);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{kMotorOn});
  for (int i = 0; i < 3; ++i) {
    AdvanceClock(10);
    EXPECT_EQ(Cycle(*station, *task, OverCurrent()), Commands{kMotorOff}) << i;
    AdvanceClock(2);
    EXPECT_EQ(Cycle(*station, *task, OverCurrent()), Commands{kMotorOn}) << i;
  }
  AdvanceClock(24);  // 60 s since the first start
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1);
  task->ExecuteStep(Tank(0, 1, 1500));
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
}

class DisinfectantFillTimeLimit : public ::testing::TestWithParam<bool> {};

TEST_P(DisinfectantFillTimeLimit, ClosesTheTapBeforeFailing) {
  const bool close_fails = GetParam();
  {
    auto station = StartStation();
    auto task = std::make_shared<DisinfectantPrepareTask>(station->center(), PrepareCommand(1, 3));
    Cycle(*station, *task, Tank(1, 0, 0));
    ASSERT_EQ(Cycle(*station, *task, Tank(1, 0, 0)), Commands{kTapOn});
    AdvanceClock(120);
    EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 10)), Commands{});
    EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
    AdvanceClock(1);
    if (close_fails) {
      station->board().ScriptNext(FakeBoard::Answer::kError);
    }
    EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 10)), Commands{kTapOff});
    EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  }
}

INSTANTIATE_TEST_SUITE_P(CloseAnsweredOrRefused, DisinfectantFillTimeLimit, ::testing::Bool());

// The course with the n-th board command refused: the task fails there.
class DisinfectantPrepareFailure : public ::testing::TestWithParam<int> {};

TEST_P(DisinfectantPrepareFailure, AFailedCommandEndsTheTaskInError) {
  const int failing = GetParam();
  auto station = StartStation(TabletSeconds(5));
  auto task = std::make_shared<DisinfectantPrepareTask>(station->center(), PrepareCommand(1, 3));
  // drain on, drain off, tap on, tap off, motor on, then motor off after one tablet
  const std::vector<station::SensorsDataRep> reports = {Tank(0, 0, 0),    Tank(1, 0, 0),    Tank(1, 0, 0),
                                                        Tank(0, 1, 1500), Tank(0, 1, 1500), Tank(0, 1, 1500)};
  int sent = 0;
  for (size_t i = 0; i < reports.size() && task->GetTaskStatus() != TASK_STATUS_ERROR; ++i) {
    if (i == reports.size() - 1) {
      AdvanceClock(5);
    }
    if (sent == failing) {
      station->board().ScriptNext(FakeBoard::Answer::kError);
    }
    sent += static_cast<int>(Cycle(*station, *task, reports[i]).size());
  }
  EXPECT_EQ(sent, failing + 1);
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
}

INSTANTIATE_TEST_SUITE_P(EveryCommand, DisinfectantPrepareFailure, ::testing::Range(0, 6));

class DisinfectantRestFailure : public ::testing::TestWithParam<bool> {};

TEST_P(DisinfectantRestFailure, FailedMotorCommandsAroundTheRestEndTheTaskInError) {
  const bool fail_restart = GetParam();
  {
    auto station = StartStation(TabletSeconds(0));
    auto task = std::make_shared<DisinfectantPrepareTask>(station->center(), PrepareCommand(1, 3));
    DrainAndFill(*station, *task);
    Cycle(*station, *task, Tank(0, 1, 1500));
    if (!fail_restart) {
      station->board().ScriptNext(FakeBoard::Answer::kError);
    }
    EXPECT_EQ(Cycle(*station, *task, OverCurrent()), Commands{kMotorOff});
    if (fail_restart) {
      AdvanceClock(2);
      station->board().ScriptNext(FakeBoard::Answer::kError);
      EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1500)), Commands{kMotorOn});
    }
    EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  }
}

INSTANTIATE_TEST_SUITE_P(StopOrRestart, DisinfectantRestFailure, ::testing::Bool());

TEST(DisinfectantPrepareTask, ErrorHookWithdrawsEveryPreparedWater) {
  auto station = StartStation();
  WriteTaskData(*station, [](StationTaskData& d) {
    d.water_finished = true;
    d.water_ready = true;
    d.perfume_liquid_ready = true;
    d.clean_liquid_ready = true;
    d.supply_water_volume = 4;
    d.spray_interrupted = true;
  });
  auto task = std::make_shared<DisinfectantPrepareTask>(station->center(), PrepareCommand(1, 3));
  task->AfterError();
  const StationTaskData data = TaskData(*station);
  EXPECT_FALSE(data.water_finished);
  EXPECT_FALSE(data.water_ready);
  EXPECT_FALSE(data.perfume_liquid_ready);
  EXPECT_FALSE(data.clean_liquid_ready);
  EXPECT_EQ(data.supply_water_volume, -1);
  EXPECT_FALSE(data.spray_interrupted);
}

// A stop switches off the motor and the tap, and the drainage switch only while
// the task's own drain step holds it open.
TEST(DisinfectantPrepareTask, CancelClosesTheDrainOnlyWhileTheTaskHoldsItOpen) {
  auto station = StartStation();
  auto task = std::make_shared<DisinfectantPrepareTask>(station->center(), PrepareCommand(1, 3));
  ASSERT_EQ(Cycle(*station, *task, Tank(0, 0, 0)), Commands{kDrainOn});
  station->MarkCommands();
  EXPECT_TRUE(task->HandleTaskCommand(TASK_COMMAND_CANCEL, StationSrvReq()));
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{kMotorOff, kTapOff, kDrainOff}));
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_CANCELED);

  auto filling = std::make_shared<DisinfectantPrepareTask>(station->center(), PrepareCommand(1, 3));
  Cycle(*station, *filling, Tank(0, 0, 0));
  Cycle(*station, *filling, Tank(1, 0, 0));
  ASSERT_EQ(Cycle(*station, *filling, Tank(1, 0, 0)), Commands{kTapOn});
  station->MarkCommands();
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_FALSE(filling->HandleTaskCommand(TASK_COMMAND_CANCEL, StationSrvReq()));
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{kMotorOff, kTapOff}));
  EXPECT_EQ(filling->GetTaskStatus(), TASK_STATUS_ERROR);
}

StationSrvReq PrepareService(int32_t action, int32_t tablets, int32_t volume) {
  StationSrvReq request;
  request.service_type = SRV_RECEIVE_TASK;
  request.task_type = TASK_TYPE_DISINFECTANT_PREPARE;
  request.prepare_disinfectant_req = PrepareCommand(tablets, volume, action);
  return request;
}

TEST(DisinfectantPrepareTask, StopRequestLeavesNothingSwitchedOn) {
  auto station = StartStation();
  ASSERT_TRUE(station->PushReport(RobotDocked(Tank(0, 0, 0))));
  ASSERT_EQ(station->center()->HandleService(PrepareService(2, 1, 3)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station->WaitForCommands(1));
  ASSERT_EQ(station->CommandsSinceMark(), Commands{kDrainOn});
  EXPECT_EQ(station->center()->HandleService(ServiceRequest(SRV_CHECK_WATER_READY)).result,
            SRV_RESULT_WATER_PREPARING);

  EXPECT_EQ(station->center()->HandleService(PrepareService(4, 1, 3)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station->WaitIdle());
  EXPECT_EQ(station->CommandsSinceMark(),
            (Commands{kDrainOn, kMotorOff, kTapOff, kDrainOff, kMotorOff, kTapOff, kDrainOff}));
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
  EXPECT_EQ(station->center()->HandleService(ServiceRequest(SRV_CHECK_WATER_READY)).result,
            SRV_RESULT_NO_RELATED_TASK);
}

// The robot's prepare request, admitted with action model 0 as the robot sends
// it, runs to the end on the worker thread; the water-ready check then answers ready.
TEST(DisinfectantPrepareTask, PreparesWaterThroughTheServiceEntry) {
  auto station = StartStation();
  ASSERT_TRUE(station->PushReport(RobotDocked(Tank(1, 0, 0))));
  ASSERT_EQ(station->center()->HandleService(PrepareService(0, 0, 2)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station->WaitForCommands(1));
  ASSERT_TRUE(station->PushReport(RobotDocked(Tank(0, 0, 2000))));
  ASSERT_TRUE(station->WaitIdle());
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{kTapOn, kTapOff}));
  EXPECT_EQ(station->center()->HandleService(ServiceRequest(SRV_CHECK_WATER_READY)).result, SRV_RESULT_WATER_READY);
  EXPECT_EQ(TaskData(*station).station_added_water, 2000);
}

}  // namespace
}  // namespace station_center
