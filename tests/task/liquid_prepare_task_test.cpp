#include "task/liquid_prepare_task.h"

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

struct LiquidCase {
  TaskType type;
  station::EnumSupplyType pump;
};

class LiquidPrepareCourse : public ::testing::TestWithParam<LiquidCase> {};

// Drain, fill to the robot's volume, dose, dissolve: every board command in
// order, and the station task data at start and at the end.
TEST_P(LiquidPrepareCourse, RunsTheWholeCourseInOrder) {
  const LiquidCase c = GetParam();
  auto station = StartStation();
  WriteTaskData(*station, [](StationTaskData& d) {
    d.clean_liquid_ready = true;
    d.perfume_liquid_ready = true;
    d.water_finished = true;
    d.spray_interrupted = true;
  });
  auto task = std::make_shared<LiquidPrepareTask>(station->center(), c.type, PrepareCommand(0, 2));
  const std::string pump_on = Act(c.pump, 1);
  const std::string pump_off = Act(c.pump, 0);

  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 0)), Commands{kDrainOn});
  StationTaskData data = TaskData(*station);
  EXPECT_FALSE(data.clean_liquid_ready);
  EXPECT_FALSE(data.perfume_liquid_ready);
  EXPECT_EQ(data.supply_water_volume, 2);
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);

  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 0)), Commands{});
  EXPECT_EQ(Cycle(*station, *task, Tank(1, 0, 0)), Commands{kDrainOff});
  EXPECT_EQ(TaskData(*station).station_added_water, 0);
  EXPECT_EQ(Cycle(*station, *task, Tank(1, 0, 0)), Commands{kTapOn});
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 1999)), Commands{});
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 2000)), Commands{kTapOff});
  EXPECT_EQ(TaskData(*station).station_added_water, 2000);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 2000)), Commands{pump_on});

  // The pump doses for its configured 10 seconds: off in the first cycle past them.
  AdvanceClock(10);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 2000)), Commands{});
  AdvanceClock(1);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 2000)), Commands{pump_off});

  AdvanceClock(300);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 2000)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 2000)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_OVER);

  task->AfterOver();
  data = TaskData(*station);
  EXPECT_FALSE(data.water_finished);
  EXPECT_FALSE(data.spray_interrupted);
  EXPECT_EQ(data.clean_liquid_ready, c.type == TASK_TYPE_CLEAN_LIQUID_PREPARE);
  EXPECT_EQ(data.perfume_liquid_ready, c.type == TASK_TYPE_PERFUME_PREPARE);
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
}

INSTANTIATE_TEST_SUITE_P(BothLiquids, LiquidPrepareCourse,
                         ::testing::Values(LiquidCase{TASK_TYPE_CLEAN_LIQUID_PREPARE,
                                                      station::ENUM_SUPPLY_CLEANING_LIQUID_PUMP},
                                           LiquidCase{TASK_TYPE_PERFUME_PREPARE, station::ENUM_SUPPLY_PERFUME_PUMP}),
                         [](const ::testing::TestParamInfo<LiquidCase>& param_info) {
                           return param_info.param.type == TASK_TYPE_CLEAN_LIQUID_PREPARE ? "CleanLiquid" : "Perfume";
                         });

TEST(LiquidPrepareTask, EmptyTankSkipsTheDrainAndFullTankEndsTheFill) {
  auto station = StartStation();
  auto task = std::make_shared<LiquidPrepareTask>(station->center(), TASK_TYPE_PERFUME_PREPARE, PrepareCommand(0, 5));
  EXPECT_EQ(Cycle(*station, *task, Tank(1, 0, 0)), Commands{});
  EXPECT_EQ(Cycle(*station, *task, Tank(1, 0, 0)), Commands{kTapOn});
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 1200)), Commands{});
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 1, 1200)), Commands{kTapOff});
  EXPECT_EQ(TaskData(*station).station_added_water, 1200);
}

TEST(LiquidPrepareTask, DrainTimeLimitFiresOnlyPastItsSeconds) {
  auto station = StartStation();
  auto task = std::make_shared<LiquidPrepareTask>(station->center(), TASK_TYPE_CLEAN_LIQUID_PREPARE,
                                                  PrepareCommand(0, 2));
  Cycle(*station, *task, Tank(0, 0, 0));
  AdvanceClock(300);
  task->ExecuteStep(Tank(0, 0, 0));
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 0)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
}

TEST(LiquidPrepareTask, FillTimeLimitLeavesTheTapToTheErrorPath) {
  auto station = StartStation();
  auto task = std::make_shared<LiquidPrepareTask>(station->center(), TASK_TYPE_CLEAN_LIQUID_PREPARE,
                                                  PrepareCommand(0, 2));
  Cycle(*station, *task, Tank(1, 0, 0));
  ASSERT_EQ(Cycle(*station, *task, Tank(1, 0, 0)), Commands{kTapOn});
  AdvanceClock(120);
  task->ExecuteStep(Tank(0, 0, 10));
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 10)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);

  station->MarkCommands();
  EXPECT_TRUE(task->DoReset());
  EXPECT_EQ(station->CommandsSinceMark(),
            (Commands{Act(station::ENUM_SUPPLY_CLEANING_LIQUID_PUMP, 0), kTapOff, kDrainOff}));
}

// The whole course again, with the n-th board command refused: the task fails
// in that cycle and sends nothing more.
class LiquidPrepareFailure : public ::testing::TestWithParam<int> {};

TEST_P(LiquidPrepareFailure, AFailedCommandEndsTheTaskInError) {
  const int failing = GetParam();
  auto station = StartStation();
  auto task = std::make_shared<LiquidPrepareTask>(station->center(), TASK_TYPE_CLEAN_LIQUID_PREPARE,
                                                  PrepareCommand(0, 2));
  const std::vector<station::SensorsDataRep> reports = {Tank(0, 0, 0), Tank(1, 0, 0), Tank(1, 0, 0),
                                                        Tank(0, 0, 2000), Tank(0, 0, 2000), Tank(0, 0, 2000)};
  int sent = 0;
  for (size_t i = 0; i < reports.size() && task->GetTaskStatus() != TASK_STATUS_ERROR; ++i) {
    if (i == reports.size() - 1) {
      AdvanceClock(11);  // past the pump seconds
    }
    if (sent == failing) {
      station->board().ScriptNext(FakeBoard::Answer::kError);
    }
    sent += static_cast<int>(Cycle(*station, *task, reports[i]).size());
  }
  EXPECT_EQ(sent, failing + 1);
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  // Later cycles of an ended task send nothing.
  EXPECT_EQ(Cycle(*station, *task, Tank(1, 1, 5000)), Commands{});
}

INSTANTIATE_TEST_SUITE_P(EveryCommand, LiquidPrepareFailure, ::testing::Range(0, 6));

TEST(LiquidPrepareTask, ErrorHookWithdrawsEveryPreparedLiquid) {
  auto station = StartStation();
  WriteTaskData(*station, [](StationTaskData& d) {
    d.water_finished = true;
    d.perfume_liquid_ready = true;
    d.clean_liquid_ready = true;
    d.supply_water_volume = 4;
    d.water_ready = true;
  });
  auto task = std::make_shared<LiquidPrepareTask>(station->center(), TASK_TYPE_CLEAN_LIQUID_PREPARE,
                                                  PrepareCommand(0, 2));
  task->AfterError();
  const StationTaskData data = TaskData(*station);
  EXPECT_FALSE(data.water_finished);
  EXPECT_FALSE(data.perfume_liquid_ready);
  EXPECT_FALSE(data.clean_liquid_ready);
  EXPECT_EQ(data.supply_water_volume, -1);
  EXPECT_TRUE(data.water_ready);  // the disinfectant water is not this task's
}

TEST(LiquidPrepareTask, UnsupportedTypeIsBornFailed) {
  auto station = StartStation();
  auto task = std::make_shared<LiquidPrepareTask>(station->center(), TASK_TYPE_DRY, PrepareCommand(0, 2));
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 0)), Commands{});
}

// A robot stop during the fill: pump, tap and drainage go off (twice: once for
// the stop, once on the cancel path), and nothing is left on.
TEST(LiquidPrepareTask, StopRequestLeavesNothingSwitchedOn) {
  auto station = StartStation();
  ASSERT_TRUE(station->PushReport(RobotDocked(Tank(1, 0, 0))));
  StationSrvReq request = station_test::SupplyRequest(TASK_TYPE_CLEAN_LIQUID_PREPARE, 2);
  request.prepare_disinfectant_req = PrepareCommand(0, 2);
  ASSERT_EQ(station->center()->HandleService(request).result, SRV_RESULT_OK);
  ASSERT_TRUE(station->WaitForCommands(1));
  EXPECT_EQ(station->CommandsSinceMark(), Commands{kTapOn});
  const StationTaskData before = TaskData(*station);

  const StationSrvRsp rsp =
      station->center()->HandleService(station_test::SupplyRequest(TASK_TYPE_CLEAN_LIQUID_PREPARE, 4));
  EXPECT_EQ(rsp.result, SRV_RESULT_OK);
  EXPECT_EQ(rsp.err_msg.rfind("cancel task id : ", 0), 0u) << rsp.err_msg;
  ASSERT_TRUE(station->WaitIdle());
  const std::string pump_off = Act(station::ENUM_SUPPLY_CLEANING_LIQUID_PUMP, 0);
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{kTapOn, pump_off, kTapOff, kDrainOff, pump_off, kTapOff, kDrainOff}));
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
  const StationTaskData after = TaskData(*station);
  EXPECT_EQ(after.supply_water_volume, before.supply_water_volume);
  EXPECT_EQ(after.clean_liquid_ready, before.clean_liquid_ready);
}

}  // namespace
}  // namespace station_center
