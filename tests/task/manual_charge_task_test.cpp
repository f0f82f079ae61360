#include "task/manual_charge_task.h"

#include <gtest/gtest.h>

#include "service_task_support.h"

namespace station_center {
namespace {

using namespace service_task_test;
using station_test::FakeBoard;
using station_test::SupplyRequest;

const std::string kHandOn = Act(station::ENUM_SUPPLY_HAND_CHARGE, 1);
const std::string kHandOff = Act(station::ENUM_SUPPLY_HAND_CHARGE, 0);

station::SensorsDataRep HandSwitch(uint32_t value) {
  station::SensorsDataRep report = Tank(1, 0, 0);
  report.set_handchargedet(value);
  return report;
}

TEST(ManualChargeTask, ChargesUntilTheSwitchOpens) {
  auto station = StartStation();
  auto task = std::make_shared<ManualChargeTask>(station->center());
  EXPECT_EQ(Cycle(*station, *task, HandSwitch(1)), Commands{kHandOn});
  AdvanceClock(100000);  // no time limit
  EXPECT_EQ(Cycle(*station, *task, HandSwitch(1)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  EXPECT_EQ(Cycle(*station, *task, HandSwitch(0)), Commands{kHandOff});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_OVER);
}

TEST(ManualChargeTask, RefusedSwitchOffIsRetriedNextCycle) {
  auto station = StartStation();
  auto task = std::make_shared<ManualChargeTask>(station->center());
  Cycle(*station, *task, HandSwitch(1));
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_EQ(Cycle(*station, *task, HandSwitch(0)), Commands{kHandOff});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  EXPECT_EQ(Cycle(*station, *task, HandSwitch(0)), Commands{kHandOff});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_OVER);
}

TEST(ManualChargeTask, RefusedStartOrResetFails) {
  auto station = StartStation();
  auto task = std::make_shared<ManualChargeTask>(station->center());
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_EQ(Cycle(*station, *task, HandSwitch(1)), Commands{kHandOn});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);

  auto running = std::make_shared<ManualChargeTask>(station->center());
  Cycle(*station, *running, HandSwitch(1));
  station->MarkCommands();
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_FALSE(running->DoReset());
  EXPECT_EQ(running->GetTaskStatus(), TASK_STATUS_ERROR);
  EXPECT_TRUE(running->DoReset());
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{kHandOff, kHandOff}));
}

struct AdmissionCase {
  const char* name;
  uint32_t hand;
  bool docked;
  const char* refusal;
};

class ManualChargeAdmission : public ::testing::TestWithParam<AdmissionCase> {};

// The station starts this task by itself when the switch reads 1; a value of 2
// (closed, but not the station's trigger) lets the request come from the test.
TEST_P(ManualChargeAdmission, NeedsTheSwitchClosedAndNoRobot) {
  const AdmissionCase c = GetParam();
  auto station = StartStation();
  station::SensorsDataRep report = HandSwitch(c.hand);
  if (c.docked) {
    report = RobotDocked(report);
  }
  ASSERT_TRUE(station->PushReport(report));
  const StationSrvRsp rsp = station->center()->HandleService(SupplyRequest(TASK_TYPE_MANUAL_CHARGE, 2));
  EXPECT_EQ(rsp.err_msg, c.refusal);
  EXPECT_EQ(rsp.result, std::string(c.refusal).empty() ? SRV_RESULT_OK : SRV_RESULT_FAILED);
  if (rsp.result == SRV_RESULT_OK) {
    ASSERT_TRUE(station->WaitForCommands(1));
    ASSERT_TRUE(station->PushReport(HandSwitch(0)));
    ASSERT_TRUE(station->WaitIdle());
    EXPECT_EQ(station->CommandsSinceMark(), (Commands{kHandOn, kHandOff}));
  }
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, ManualChargeAdmission,
    ::testing::Values(AdmissionCase{"SwitchOpen", 0, false, "hand charge not open"},
                      AdmissionCase{"RobotDocked", 2, true, "robot in station, can not open hand charge"},
                      AdmissionCase{"SwitchClosedNoRobot", 2, false, ""}),
    [](const ::testing::TestParamInfo<AdmissionCase>& param_info) { return std::string(param_info.param.name); });

// A stop switches the hand charge off, once for the stop and once on the cancel path.
TEST(ManualChargeTask, StopRequestSwitchesTheHandChargeOff) {
  auto station = StartStation();
  ASSERT_TRUE(station->PushReport(HandSwitch(2)));
  StartThroughService(*station, SupplyRequest(TASK_TYPE_MANUAL_CHARGE, 2), 1);
  EXPECT_EQ(StopAndWaitIdle(*station, TASK_TYPE_MANUAL_CHARGE).result, SRV_RESULT_OK);
  const Commands commands = station->CommandsSinceMark();
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(Commands(commands.begin(), commands.begin() + 3), (Commands{kHandOn, kHandOff, kHandOff}));
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
}

}  // namespace
}  // namespace station_center
