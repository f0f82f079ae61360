#include "task/uv_task.h"

#include <gtest/gtest.h>

#include "service_task_support.h"

namespace station_center {
namespace {

using namespace service_task_test;
using station_test::FakeBoard;
using station_test::SupplyRequest;

const std::string kLampOn = Act(station::ENUM_SUPPLY_UV_LAMP, 1);
const std::string kLampOff = Act(station::ENUM_SUPPLY_UV_LAMP, 0);

// Reaching its time is the lamp's normal end: off, and over.
TEST(UVTask, EndsOverWithTheLampOffOnceItsTimeHasPassed) {
  auto station = StartStation();
  auto task = std::make_shared<UVTask>(station->center(), SupplyCommand(2, 600));
  const station::SensorsDataRep docked = RobotDocked(Tank(1, 0, 0));
  EXPECT_EQ(Cycle(*station, *task, docked), Commands{kLampOn});
  AdvanceClock(600);
  EXPECT_EQ(Cycle(*station, *task, docked), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1);
  EXPECT_EQ(Cycle(*station, *task, docked), Commands{kLampOff});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_OVER);
  EXPECT_EQ(Cycle(*station, *task, docked), Commands{});
}

TEST(UVTask, WithoutADurationTheLampStaysOn) {
  auto station = StartStation();
  auto task = std::make_shared<UVTask>(station->center(), SupplyCommand(2, 0));
  Cycle(*station, *task, Tank(1, 0, 0));
  AdvanceClock(100000);
  EXPECT_EQ(Cycle(*station, *task, Tank(1, 0, 0)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
}

TEST(UVTask, RefusedLampCommandsFailTheTask) {
  auto station = StartStation();
  auto task = std::make_shared<UVTask>(station->center(), SupplyCommand(2, 10));
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_EQ(Cycle(*station, *task, Tank(1, 0, 0)), Commands{kLampOn});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);

  auto timed = std::make_shared<UVTask>(station->center(), SupplyCommand(2, 10));
  Cycle(*station, *timed, Tank(1, 0, 0));
  AdvanceClock(11);
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_EQ(Cycle(*station, *timed, Tank(1, 0, 0)), Commands{kLampOff});
  EXPECT_EQ(timed->GetTaskStatus(), TASK_STATUS_ERROR);
  station->MarkCommands();
  EXPECT_TRUE(timed->DoReset());
  EXPECT_EQ(station->CommandsSinceMark(), Commands{kLampOff});
}

struct AdmissionCase {
  const char* name;
  uint32_t left;
  uint32_t right;
  uint32_t plate;
  const char* refusal;
};

class UVAdmission : public ::testing::TestWithParam<AdmissionCase> {};

TEST_P(UVAdmission, NeedsTheRobotInTheStation) {
  const AdmissionCase c = GetParam();
  auto station = StartStation();
  station::SensorsDataRep report = Tank(1, 0, 0);
  report.set_robotdockdetleft(c.left);
  report.set_robotdockdetright(c.right);
  report.set_electrodeplatedet(c.plate);
  ASSERT_TRUE(station->PushReport(report));
  const StationSrvRsp rsp = station->center()->HandleService(SupplyRequest(TASK_TYPE_UV, 2, 600));
  EXPECT_EQ(rsp.err_msg, c.refusal);
  EXPECT_EQ(rsp.result, std::string(c.refusal).empty() ? SRV_RESULT_OK : SRV_RESULT_FAILED);
  if (rsp.result == SRV_RESULT_OK) {
    ASSERT_TRUE(station->WaitForCommands(1));
    StopAndWaitIdle(*station, TASK_TYPE_UV);
  }
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, UVAdmission,
    ::testing::Values(AdmissionCase{"Away", 0, 0, 0, "robot not in station"},
                      AdmissionCase{"LeftDetectorOnly", 1, 0, 0, "robot not in station"},
                      AdmissionCase{"NoPlateContact", 1, 1, 0, "robot not in station"},
                      AdmissionCase{"NoRightDetector", 1, 0, 1, "robot not in station"},
                      AdmissionCase{"Docked", 1, 1, 1, ""}),
    [](const ::testing::TestParamInfo<AdmissionCase>& param_info) { return std::string(param_info.param.name); });

// A stop switches the lamp off: once for the stop, once on the cancel path.
TEST(UVTask, StopRequestSwitchesTheLampOff) {
  auto station = StartStation();
  ASSERT_TRUE(station->PushReport(RobotDocked(Tank(1, 0, 0))));
  StartThroughService(*station, SupplyRequest(TASK_TYPE_UV, 3, 600), 1);
  EXPECT_EQ(StopAndWaitIdle(*station, TASK_TYPE_UV).result, SRV_RESULT_OK);
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{kLampOn, kLampOff, kLampOff}));
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
}

// Through the service entry the lamp's time ends the task over once the clock passes it.
TEST(UVTask, EndsThroughTheServiceEntryWhenTheClockPassesItsTime) {
  auto station = StartStation();
  ASSERT_TRUE(station->PushReport(RobotDocked(Tank(1, 0, 0))));
  StartThroughService(*station, SupplyRequest(TASK_TYPE_UV, 2, 600), 1);
  AdvanceClock(601);
  ASSERT_TRUE(station->WaitIdle());
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{kLampOn, kLampOff}));
}

}  // namespace
}  // namespace station_center
