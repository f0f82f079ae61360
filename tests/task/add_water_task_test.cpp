#include "task/add_water_task.h"
#include "task/disinfectant_prepare_task.h"
#include "task/liquid_prepare_task.h"

#include <gtest/gtest.h>

#include "service_task_support.h"

namespace station_center {
namespace {

using namespace service_task_test;
using station_test::FakeBoard;
using station_test::SupplyRequest;

const std::string kTapOn = Act(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1);
const std::string kTapOff = Act(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0);
const std::string kSupplyOn = Act(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 1);
const std::string kSupplyOff = Act(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 0);

// Disinfectant water of `volume` is ready; the prepare task's fill let in `added` counts.
void Prepared(StationHarness& station, int32_t volume, int32_t added) {
  WriteTaskData(station, [volume, added](StationTaskData& d) {
    d.water_ready = true;
    d.supply_water_volume = volume;
    d.station_added_water = added;
  });
}

struct Step {
  station::SensorsDataRep report;
  Commands expected;
};

void RunSteps(StationHarness& station, Task& task, const std::vector<Step>& steps) {
  for (size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(Cycle(station, task, steps[i].report), steps[i].expected) << "cycle " << i;
  }
}

TEST(AddWaterTask, DeliversAVolumeThatNeedsOneRefill) {
  auto station = StartStation();
  Prepared(*station, 3, 0);
  auto task = std::make_shared<AddWaterTask>(station->center(), SupplyCommand(2, 0));
  RunSteps(*station, *task,
           {{Tank(1, 0, 0), {kSupplyOn}},
            {Tank(1, 0, 0), {kSupplyOff}},  // tank at its foot, 3000 counts still missing
            {Tank(1, 0, 0), {kTapOn}},
            {Tank(0, 0, 2999), {}},
            {Tank(0, 0, 3000), {kTapOff}},
            {Tank(0, 0, 3000), {kSupplyOn}},
            {Tank(0, 0, 3000), {}},
            {Tank(1, 0, 3000), {kSupplyOff}}});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_OVER);
  EXPECT_EQ(TaskData(*station).station_added_water, 0);

  WriteTaskData(*station, [](StationTaskData& d) { d.perfume_liquid_ready = d.clean_liquid_ready = true; });
  task->AfterOver();
  const StationTaskData data = TaskData(*station);
  EXPECT_TRUE(data.water_finished);
  EXPECT_FALSE(data.water_ready);
  EXPECT_FALSE(data.perfume_liquid_ready);
  EXPECT_FALSE(data.clean_liquid_ready);
  EXPECT_EQ(data.supply_water_volume, 0);
}

TEST(AddWaterTask, RefillStoppedByAFullTankLeavesTheRestForTheNextRefill) {
  auto station = StartStation();
  Prepared(*station, 3, 0);
  auto task = std::make_shared<AddWaterTask>(station->center(), SupplyCommand(2, 0));
  RunSteps(*station, *task,
           {{Tank(1, 0, 0), {kSupplyOn}},
            {Tank(1, 0, 0), {kSupplyOff}},
            {Tank(1, 0, 0), {kTapOn}},
            {Tank(0, 1, 1200), {kTapOff}},  // full after 1200 of 3000
            {Tank(0, 0, 1200), {kSupplyOn}},
            {Tank(1, 0, 0), {kSupplyOff}},
            {Tank(1, 0, 0), {kTapOn}},
            {Tank(0, 0, 1799), {}},
            {Tank(0, 0, 1800), {kTapOff}},  // the missing 1800
            {Tank(0, 0, 1800), {kSupplyOn}},
            {Tank(1, 0, 1800), {kSupplyOff}}});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_OVER);
}

// Five volume units (5000 counts) through a tank that holds 1500: the prepared
// fill counts first, then full refills, then the remainder.
TEST(AddWaterTask, DeliversAVolumeLargerThanTheTank) {
  auto station = StartStation();
  Prepared(*station, 5, 1500);
  auto task = std::make_shared<AddWaterTask>(station->center(), SupplyCommand(2, 0));
  std::vector<Step> steps;
  for (int refill = 0; refill < 2; ++refill) {  // 3500, then 2000 missing
    steps.push_back({Tank(0, 1, 0), {kSupplyOn}});
    steps.push_back({Tank(1, 0, 0), {kSupplyOff}});
    steps.push_back({Tank(1, 0, 0), {kTapOn}});
    steps.push_back({Tank(0, 1, 1500), {kTapOff}});
  }
  steps.push_back({Tank(0, 1, 0), {kSupplyOn}});  // 500 missing
  steps.push_back({Tank(1, 0, 0), {kSupplyOff}});
  steps.push_back({Tank(1, 0, 0), {kTapOn}});
  steps.push_back({Tank(0, 0, 499), {}});
  steps.push_back({Tank(0, 0, 500), {kTapOff}});
  steps.push_back({Tank(0, 0, 500), {kSupplyOn}});
  steps.push_back({Tank(1, 0, 500), {kSupplyOff}});
  RunSteps(*station, *task, steps);
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_OVER);
}

// Volume 2 is asked for; the prepared fill ended with the tank full at 1500.
std::shared_ptr<Task> SupplyOfTwoAfterAFullTank(StationHarness& station) {
  Prepared(station, 2, 1500);
  return std::make_shared<AddWaterTask>(station.center(), SupplyCommand(2, 0));
}

// A fill counts only what the board's meter let in since this opening. The
// report in hand when the tap opens still holds the previous fill's count, and
// so does the next one (taken before the opening); then the meter restarts.
struct FillCase {
  const char* name;
  std::function<std::shared_ptr<Task>(StationHarness&)> make;
  std::vector<Step> steps;
  int32_t added;  // station_added_water once the tap has closed
};

class FillFromTheTap : public ::testing::TestWithParam<FillCase> {};

TEST_P(FillFromTheTap, CountsOnlyWaterLetInSinceTheTapOpened) {
  const FillCase c = GetParam();
  auto station = StartStation();
  std::shared_ptr<Task> task = c.make(*station);
  RunSteps(*station, *task, c.steps);
  EXPECT_EQ(TaskData(*station).station_added_water, c.added);
  EXPECT_NE(task->GetTaskStatus(), TASK_STATUS_ERROR);
}

INSTANTIATE_TEST_SUITE_P(
    WaterTasks, FillFromTheTap,
    ::testing::Values(
        // A pre-water of volume 2 after one of volume 3.
        FillCase{"SecondPreWater",
                 [](StationHarness& station) {
                   return std::make_shared<DisinfectantPrepareTask>(station.center(), PrepareCommand(0, 2));
                 },
                 {{Tank(1, 0, 3000), {}},  // the tank is empty: nothing to drain
                  {Tank(1, 0, 3000), {kTapOn}},
                  {Tank(0, 0, 3000), {}},
                  {Tank(0, 0, 40), {}},
                  {Tank(0, 0, 1999), {}},
                  {Tank(0, 0, 2000), {kTapOff}}},
                 2000},
        FillCase{"SecondCleanLiquid",
                 [](StationHarness& station) {
                   return std::make_shared<LiquidPrepareTask>(station.center(), TASK_TYPE_CLEAN_LIQUID_PREPARE,
                                                              PrepareCommand(0, 1));
                 },
                 {{Tank(1, 0, 1200), {}},
                  {Tank(1, 0, 1200), {kTapOn}},
                  {Tank(0, 0, 1200), {}},
                  {Tank(0, 0, 999), {}},
                  {Tank(0, 0, 1000), {kTapOff}}},
                 1000},
        // Volume 2 through a tank that holds 1.5: the prepared fill ended full at
        // 1500, so the refill must let in the missing 500 after its meter restarts.
        FillCase{"SupplyRefill",
                 SupplyOfTwoAfterAFullTank,
                 {{Tank(0, 1, 1500), {kSupplyOn}},
                  {Tank(1, 0, 1500), {kSupplyOff}},
                  {Tank(1, 0, 1500), {kTapOn}},
                  {Tank(0, 0, 1500), {}},
                  {Tank(0, 0, 100), {}},
                  {Tank(0, 0, 499), {}},
                  {Tank(0, 0, 500), {kTapOff}}},
                 500},
        // A meter that counts on across openings is measured from its count at the opening.
        FillCase{"MeterThatNeverRestarts",
                 SupplyOfTwoAfterAFullTank,
                 {{Tank(0, 1, 1500), {kSupplyOn}},
                  {Tank(1, 0, 1500), {kSupplyOff}},
                  {Tank(1, 0, 1500), {kTapOn}},
                  {Tank(0, 0, 1999), {}},
                  {Tank(0, 0, 2000), {kTapOff}}},
                 500}),
    [](const ::testing::TestParamInfo<FillCase>& param_info) { return std::string(param_info.param.name); });

TEST(AddWaterTask, AVolumeWithinThePreparedFillNeedsNoRefill) {
  auto station = StartStation();
  Prepared(*station, 2, 2000);
  auto task = std::make_shared<AddWaterTask>(station->center(), SupplyCommand(2, 0));
  RunSteps(*station, *task, {{Tank(0, 1, 0), {kSupplyOn}}, {Tank(1, 0, 0), {kSupplyOff}}});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_OVER);
}

// A volume whose count exceeds 32 bits saturates instead of wrapping.
TEST(AddWaterTask, AHugeVolumeSaturatesItsCount) {
  auto station = StartStation();
  Prepared(*station, 3000000, 0);
  auto task = std::make_shared<AddWaterTask>(station->center(), SupplyCommand(2, 0));
  RunSteps(*station, *task,
           {{Tank(1, 0, 0), {kSupplyOn}},
            {Tank(1, 0, 0), {kSupplyOff}},
            {Tank(1, 0, 0), {kTapOn}},
            {Tank(0, 0, 2147483646u), {}},
            {Tank(0, 0, 2147483647u), {kTapOff}}});
  EXPECT_EQ(TaskData(*station).station_added_water, 2147483647);
}

TEST(AddWaterTask, WholeTimeLimitFiresOnlyPastTheDuration) {
  auto station = StartStation();
  Prepared(*station, 3, 0);
  auto task = std::make_shared<AddWaterTask>(station->center(), SupplyCommand(2, 30));
  Cycle(*station, *task, Tank(0, 0, 0));
  AdvanceClock(30);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 0)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 0)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);

  auto unlimited = std::make_shared<AddWaterTask>(station->center(), SupplyCommand(2, 0));
  Cycle(*station, *unlimited, Tank(0, 0, 0));
  AdvanceClock(100000);
  unlimited->ExecuteStep(Tank(0, 0, 0));
  EXPECT_EQ(unlimited->GetTaskStatus(), TASK_STATUS_RUNNING);
}

TEST(AddWaterTask, ARepeatedRequestRenewsTheTimeLimit) {
  auto station = StartStation();
  Prepared(*station, 3, 0);
  auto task = std::make_shared<AddWaterTask>(station->center(), SupplyCommand(2, 30));
  Cycle(*station, *task, Tank(0, 0, 0));
  AdvanceClock(25);
  StationSrvReq again = SupplyRequest(TASK_TYPE_ADD_WATER, 2, 30);
  EXPECT_TRUE(task->HandleTaskCommand(TASK_COMMAND_UPLOAD_INFO, again));
  AdvanceClock(30);
  task->ExecuteStep(Tank(0, 0, 0));
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1);
  task->ExecuteStep(Tank(0, 0, 0));
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
}

class AddWaterRefillTimeLimit : public ::testing::TestWithParam<bool> {};

TEST_P(AddWaterRefillTimeLimit, ClosesTheTapAndFails) {
  const bool close_fails = GetParam();
  {
    auto station = StartStation();
    Prepared(*station, 3, 0);
    auto task = std::make_shared<AddWaterTask>(station->center(), SupplyCommand(2, 0));
    RunSteps(*station, *task, {{Tank(1, 0, 0), {kSupplyOn}}, {Tank(1, 0, 0), {kSupplyOff}}, {Tank(1, 0, 0), {kTapOn}}});
    AdvanceClock(120);
    EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 100)), Commands{});
    EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
    AdvanceClock(1);
    if (close_fails) {
      station->board().ScriptNext(FakeBoard::Answer::kError);
    }
    EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 100)), Commands{kTapOff});
    EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  }
}

INSTANTIATE_TEST_SUITE_P(CloseAnsweredOrRefused, AddWaterRefillTimeLimit, ::testing::Bool());

// supply on, supply off, tap on, tap off: each refused in turn fails the task there.
class AddWaterFailure : public ::testing::TestWithParam<int> {};

TEST_P(AddWaterFailure, AFailedCommandEndsTheTaskInError) {
  const int failing = GetParam();
  auto station = StartStation();
  Prepared(*station, 3, 0);
  auto task = std::make_shared<AddWaterTask>(station->center(), SupplyCommand(2, 0));
  const std::vector<station::SensorsDataRep> reports = {Tank(1, 0, 0), Tank(1, 0, 0), Tank(1, 0, 0),
                                                        Tank(0, 1, 900)};
  int sent = 0;
  for (size_t i = 0; i < reports.size() && task->GetTaskStatus() != TASK_STATUS_ERROR; ++i) {
    if (sent == failing) {
      station->board().ScriptNext(FakeBoard::Answer::kError);
    }
    sent += static_cast<int>(Cycle(*station, *task, reports[i]).size());
  }
  EXPECT_EQ(sent, failing + 1);
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
}

INSTANTIATE_TEST_SUITE_P(EveryCommand, AddWaterFailure, ::testing::Range(0, 4));

TEST(AddWaterTask, ErrorAndCancelHooksWithdrawTheLiquidButKeepWaterFinished) {
  auto station = StartStation();
  for (bool cancel : {false, true}) {
    SCOPED_TRACE(cancel);
    WriteTaskData(*station, [](StationTaskData& d) {
      d.water_finished = true;
      d.water_ready = d.perfume_liquid_ready = d.clean_liquid_ready = true;
      d.supply_water_volume = 3;
    });
    auto task = std::make_shared<AddWaterTask>(station->center(), SupplyCommand(2, 0));
    if (cancel) {
      task->AfterCancel();
    } else {
      task->AfterError();
    }
    const StationTaskData data = TaskData(*station);
    EXPECT_TRUE(data.water_finished);
    EXPECT_FALSE(data.water_ready);
    EXPECT_FALSE(data.perfume_liquid_ready);
    EXPECT_FALSE(data.clean_liquid_ready);
    EXPECT_EQ(data.supply_water_volume, 0);
  }
}

struct AdmissionCase {
  const char* name;
  bool water_ready;
  bool perfume_ready;
  bool clean_ready;
  int32_t volume;
  int32_t result;
  const char* text;
};

class AddWaterAdmission : public ::testing::TestWithParam<AdmissionCase> {};

// Admission needs a prepared liquid and a volume; an admitted task is stopped
// again and leaves nothing on, with the prepared liquid withdrawn.
TEST_P(AddWaterAdmission, NeedsPreparedLiquidAndAVolume) {
  const AdmissionCase c = GetParam();
  auto station = StartStation();
  ASSERT_TRUE(station->PushReport(RobotDocked(Tank(0, 0, 0))));
  WriteTaskData(*station, [&c](StationTaskData& d) {
    d.water_ready = c.water_ready;
    d.perfume_liquid_ready = c.perfume_ready;
    d.clean_liquid_ready = c.clean_ready;
    d.supply_water_volume = c.volume;
    d.station_added_water = 0;
  });
  const StationSrvRsp rsp = station->center()->HandleService(SupplyRequest(TASK_TYPE_ADD_WATER, 2));
  EXPECT_EQ(rsp.result, c.result);
  EXPECT_EQ(rsp.err_msg, c.text);
  if (rsp.result != SRV_RESULT_OK) {
    EXPECT_FALSE(station->center()->HasTask(TASK_TYPE_ADD_WATER));
    EXPECT_EQ(station->CommandsSinceMark(), Commands{});
    return;
  }
  ASSERT_TRUE(station->WaitForCommands(1));
  EXPECT_EQ(station->center()->HandleService(ServiceRequest(SRV_CHECK_WATER_FINISH)).result, SRV_RESULT_WATER_ADDING);
  EXPECT_EQ(station->center()->HandleService(SupplyRequest(TASK_TYPE_ADD_WATER, 4)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station->WaitIdle());
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{kSupplyOn, kTapOff, kSupplyOff, kTapOff, kSupplyOff}));
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
  const StationTaskData data = TaskData(*station);
  EXPECT_FALSE(data.water_ready || data.perfume_liquid_ready || data.clean_liquid_ready);
  EXPECT_EQ(data.supply_water_volume, 0);
}

const char kNotReady[] = "liquied pre no ready, or supply water volume unvalid";

INSTANTIATE_TEST_SUITE_P(
    Conditions, AddWaterAdmission,
    ::testing::Values(AdmissionCase{"NothingPrepared", false, false, false, 3, SRV_RESULT_FAILED, kNotReady},
                      AdmissionCase{"NoVolume", true, false, false, 0, SRV_RESULT_FAILED, kNotReady},
                      AdmissionCase{"NegativeVolume", true, true, true, -1, SRV_RESULT_FAILED, kNotReady},
                      AdmissionCase{"DisinfectantWater", true, false, false, 1, SRV_RESULT_OK, ""},
                      AdmissionCase{"PerfumeWater", false, true, false, 1, SRV_RESULT_OK, ""},
                      AdmissionCase{"CleaningWater", false, false, true, 2, SRV_RESULT_OK, ""}),
    [](const ::testing::TestParamInfo<AdmissionCase>& param_info) { return std::string(param_info.param.name); });

TEST(AddWaterTask, ARunningPrepareTaskRefusesTheSupply) {
  auto station = StartStation();
  ASSERT_TRUE(station->PushReport(RobotDocked(Tank(0, 0, 0))));
  Prepared(*station, 3, 0);
  StationSrvReq prepare;
  prepare.task_type = TASK_TYPE_DISINFECTANT_PREPARE;
  prepare.prepare_disinfectant_req = PrepareCommand(0, 3);
  ASSERT_EQ(station->center()->HandleService(prepare).result, SRV_RESULT_OK);
  const StationSrvRsp rsp = station->center()->HandleService(SupplyRequest(TASK_TYPE_ADD_WATER, 2));
  EXPECT_EQ(rsp.result, SRV_RESULT_FAILED);
  EXPECT_EQ(rsp.err_msg, "pre check failed, have conflict task 1 is running");
  prepare.prepare_disinfectant_req = PrepareCommand(0, 3, 4);
  EXPECT_EQ(station->center()->HandleService(prepare).result, SRV_RESULT_OK);
}

// The robot's water request runs to the end on the worker thread; the
// water-finish check then answers finished.
TEST(AddWaterTask, SuppliesWaterThroughTheServiceEntry) {
  auto station = StartStation();
  ASSERT_TRUE(station->PushReport(RobotDocked(Tank(0, 1, 0))));
  Prepared(*station, 2, 1500);
  ASSERT_EQ(station->center()->HandleService(SupplyRequest(TASK_TYPE_ADD_WATER, 2)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station->WaitForCommands(1));
  ASSERT_TRUE(station->PushReport(RobotDocked(Tank(1, 0, 0))));
  ASSERT_TRUE(station->WaitForCommands(3));
  ASSERT_TRUE(station->PushReport(RobotDocked(Tank(0, 0, 500))));
  ASSERT_TRUE(station->WaitForCommands(5));
  ASSERT_TRUE(station->PushReport(RobotDocked(Tank(1, 0, 500))));
  ASSERT_TRUE(station->WaitIdle());
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{kSupplyOn, kSupplyOff, kTapOn, kTapOff, kSupplyOn, kSupplyOff}));
  EXPECT_EQ(station->center()->HandleService(ServiceRequest(SRV_CHECK_WATER_FINISH)).result,
            SRV_RESULT_WATER_FINISHED);
}

}  // namespace
}  // namespace station_center
