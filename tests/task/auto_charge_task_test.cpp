#include "task/auto_charge_task.h"

#include <gtest/gtest.h>

#include "service_task_support.h"

namespace station_center {
namespace {

using namespace service_task_test;
using station_test::FakeBoard;
using station_test::SupplyRequest;

const std::string kChargeOn = Act(station::ENUM_SUPPLY_CHARGING, 1);
const std::string kChargeOff = Act(station::ENUM_SUPPLY_CHARGING, 0);

station::SensorsDataRep Plates(uint32_t temp1, uint32_t temp2, uint32_t hand = 0) {
  station::SensorsDataRep report = RobotDocked(Tank(1, 0, 0));
  report.set_electrodeplatetemp1(temp1);
  report.set_electrodeplatetemp2(temp2);
  report.set_handchargedet(hand);
  return report;
}

TEST(AutoChargeTask, StartsChargingAndKeepsItOnAtTheMaximumTemperature) {
  auto station = StartStation();
  auto task = std::make_shared<AutoChargeTask>(station->center(), SupplyCommand(2, 0));
  EXPECT_EQ(Cycle(*station, *task, Plates(78, 78)), Commands{kChargeOn});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  EXPECT_EQ(TaskData(*station).charge_state, 1);
  EXPECT_EQ(Cycle(*station, *task, Plates(78, 78)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
}

struct SafetyCase {
  const char* name;
  uint32_t temp1;
  uint32_t temp2;
  uint32_t hand;
};

class AutoChargeSafety : public ::testing::TestWithParam<SafetyCase> {};

TEST_P(AutoChargeSafety, StopsChargingAndFails) {
  const SafetyCase c = GetParam();
  auto station = StartStation();
  auto task = std::make_shared<AutoChargeTask>(station->center(), SupplyCommand(2, 0));
  Cycle(*station, *task, Plates(20, 20));
  EXPECT_EQ(Cycle(*station, *task, Plates(c.temp1, c.temp2, c.hand)), Commands{kChargeOff});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);

  // A refused stop fails the cycle as well; the error path switches off again.
  auto other = std::make_shared<AutoChargeTask>(station->center(), SupplyCommand(2, 0));
  Cycle(*station, *other, Plates(20, 20));
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_EQ(Cycle(*station, *other, Plates(c.temp1, c.temp2, c.hand)), Commands{kChargeOff});
  EXPECT_EQ(other->GetTaskStatus(), TASK_STATUS_ERROR);
}

INSTANTIATE_TEST_SUITE_P(Stops, AutoChargeSafety,
                         ::testing::Values(SafetyCase{"Plate1TooHot", 79, 20, 0}, SafetyCase{"Plate2TooHot", 20, 79, 0},
                                           SafetyCase{"HandChargeClosed", 20, 20, 1}),
                         [](const ::testing::TestParamInfo<SafetyCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

TEST(AutoChargeTask, TimeLimitFiresOnlyPastTheDuration) {
  auto station = StartStation();
  auto task = std::make_shared<AutoChargeTask>(station->center(), SupplyCommand(2, 30));
  Cycle(*station, *task, Plates(20, 20));
  AdvanceClock(30);
  task->ExecuteStep(Plates(20, 20));
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1);
  EXPECT_EQ(Cycle(*station, *task, Plates(20, 20)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
}

TEST(AutoChargeTask, RefusedStartFailsWithoutChargeState) {
  auto station = StartStation();
  auto task = std::make_shared<AutoChargeTask>(station->center(), SupplyCommand(2, 0));
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_EQ(Cycle(*station, *task, Plates(20, 20)), Commands{kChargeOn});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  EXPECT_EQ(TaskData(*station).charge_state, 0);
}

TEST(AutoChargeTask, ResetAndCancelClearChargeStateAndSwitchOff) {
  auto station = StartStation();
  auto task = std::make_shared<AutoChargeTask>(station->center(), SupplyCommand(2, 0));
  Cycle(*station, *task, Plates(20, 20));
  station->MarkCommands();
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_FALSE(task->DoReset());
  EXPECT_EQ(TaskData(*station).charge_state, 0);
  EXPECT_TRUE(task->DoReset());
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{kChargeOff, kChargeOff}));

  WriteTaskData(*station, [](StationTaskData& d) { d.charge_state = 1; });
  station->MarkCommands();
  EXPECT_TRUE(task->HandleTaskCommand(TASK_COMMAND_CANCEL, StationSrvReq()));
  EXPECT_EQ(station->CommandsSinceMark(), Commands{kChargeOff});
  EXPECT_EQ(TaskData(*station).charge_state, 1);  // the cancel hook clears it
  task->AfterCancel();
  EXPECT_EQ(TaskData(*station).charge_state, 0);
}

struct AdmissionCase {
  const char* name;
  uint32_t temp1;
  uint32_t temp2;
  uint32_t hand;
  const char* refusal;
};

class AutoChargeAdmission : public ::testing::TestWithParam<AdmissionCase> {};

TEST_P(AutoChargeAdmission, ChecksHandChargeAndPlateTemperatures) {
  const AdmissionCase c = GetParam();
  auto station = StartStation();
  ASSERT_TRUE(station->PushReport(Plates(c.temp1, c.temp2, c.hand)));
  const StationSrvRsp rsp = station->center()->HandleService(SupplyRequest(TASK_TYPE_AUTO_CHARGE, 2));
  EXPECT_EQ(rsp.err_msg, c.refusal);
  EXPECT_EQ(rsp.result, std::string(c.refusal).empty() ? SRV_RESULT_OK : SRV_RESULT_FAILED);
  if (rsp.result == SRV_RESULT_OK) {
    ASSERT_TRUE(station->WaitForCommands(1));
    StopAndWaitIdle(*station, TASK_TYPE_AUTO_CHARGE);
  }
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, AutoChargeAdmission,
    ::testing::Values(AdmissionCase{"HandChargeOpen", 79, 79, 2, "hand charge is open"},
                      AdmissionCase{"Plate1TooHot", 79, 79, 0, "electrode plate 1 temp over max temp"},
                      AdmissionCase{"Plate2TooHot", 78, 79, 0, "electrode plate 2 temp over max temp"},
                      AdmissionCase{"AtMaximum", 78, 78, 0, ""}),
    [](const ::testing::TestParamInfo<AdmissionCase>& param_info) { return std::string(param_info.param.name); });

// A running manual charge is reported as the conflict before the hand charge switch.
TEST(AutoChargeTask, ARunningManualChargeIsReportedFirst) {
  auto station = StartStation();
  ASSERT_TRUE(station->PushReport(Plates(20, 20, 1)));
  station::SensorsDataRep away = Tank(1, 0, 0);
  away.set_handchargedet(1);
  ASSERT_TRUE(station->PushReport(away));  // the station starts a manual charge by itself
  ASSERT_TRUE(station_test::WaitFor([&] { return station->center()->HasTask(TASK_TYPE_MANUAL_CHARGE); }));
  const StationSrvRsp rsp = station->center()->HandleService(SupplyRequest(TASK_TYPE_AUTO_CHARGE, 2));
  EXPECT_EQ(rsp.result, SRV_RESULT_FAILED);
  EXPECT_EQ(rsp.err_msg, "pre check failed, have conflict task 12 is running");
  ASSERT_TRUE(station->PushReport(Tank(1, 0, 0)));  // switch opened: the manual charge ends
  ASSERT_TRUE(station->WaitIdle());
}

TEST(AutoChargeTask, StopRequestLeavesNothingSwitchedOn) {
  auto station = StartStation();
  ASSERT_TRUE(station->PushReport(Plates(30, 30)));
  StartThroughService(*station, SupplyRequest(TASK_TYPE_AUTO_CHARGE, 2, 3600), 1);
  ASSERT_TRUE(station_test::WaitFor([&] { return TaskData(*station).charge_state == 1; }));
  EXPECT_EQ(StopAndWaitIdle(*station, TASK_TYPE_AUTO_CHARGE).result, SRV_RESULT_OK);
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{kChargeOn, kChargeOff, kChargeOff}));
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
  EXPECT_EQ(TaskData(*station).charge_state, 0);
}

}  // namespace
}  // namespace station_center
