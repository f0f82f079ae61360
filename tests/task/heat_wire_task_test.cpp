#include "task/heat_wire_task.h"

#include <gtest/gtest.h>

#include "service_task_support.h"

namespace station_center {
namespace {

using namespace service_task_test;
using station_test::FakeBoard;
using station_test::SupplyRequest;

const std::string kWireOn = Act(station::ENUM_SUPPLY_HEATING_WIRE, 1);
const std::string kWireOff = Act(station::ENUM_SUPPLY_HEATING_WIRE, 0);

station::SensorsDataRep Temperature(float degrees) {
  station::SensorsDataRep report = RobotDocked(Tank(1, 0, 0));
  report.set_heatingwiretemp(degrees);
  return report;
}

// A started station whose drying fan runs, as a heat wire task needs.
std::unique_ptr<StationHarness> StartWithFan() {
  auto station = StartStation();
  WriteTaskData(*station, [](StationTaskData& d) { d.dry_running = true; });
  return station;
}

TEST(HeatWireTask, StartMarksHeatWireRunningWithoutACommandWhenWarmEnough) {
  auto station = StartWithFan();
  auto task = std::make_shared<HeatWireTask>(station->center(), SupplyCommand(2, 0));
  EXPECT_EQ(Cycle(*station, *task, Temperature(60.0f)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  EXPECT_TRUE(TaskData(*station).heat_wire_running);
}

struct ThermostatCase {
  const char* name;
  bool wire_on;
  float degrees;
  Commands expected;
};

class HeatWireThermostat : public ::testing::TestWithParam<ThermostatCase> {};

// Target 60 degrees, no hysteresis: on below, off above, nothing at the target.
TEST_P(HeatWireThermostat, SwitchesAtTheTargetItself) {
  const ThermostatCase c = GetParam();
  auto station = StartWithFan();
  auto task = std::make_shared<HeatWireTask>(station->center(), SupplyCommand(2, 0));
  ASSERT_EQ(Cycle(*station, *task, Temperature(c.wire_on ? 20.0f : 100.0f)), c.wire_on ? Commands{kWireOn} : Commands{});
  EXPECT_EQ(Cycle(*station, *task, Temperature(c.degrees)), c.expected);
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
}

INSTANTIATE_TEST_SUITE_P(
    Temperatures, HeatWireThermostat,
    ::testing::Values(ThermostatCase{"OffAt59_5", false, 59.5f, {kWireOn}}, ThermostatCase{"OffAt60_0", false, 60.0f, {}},
                      ThermostatCase{"OffAt60_5", false, 60.5f, {}}, ThermostatCase{"OnAt59_5", true, 59.5f, {}},
                      ThermostatCase{"OnAt60_0", true, 60.0f, {}}, ThermostatCase{"OnAt60_5", true, 60.5f, {kWireOff}}),
    [](const ::testing::TestParamInfo<ThermostatCase>& param_info) { return std::string(param_info.param.name); });

TEST(HeatWireTask, RefusedSwitchingFailsTheTask) {
  auto station = StartWithFan();
  auto task = std::make_shared<HeatWireTask>(station->center(), SupplyCommand(2, 0));
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_EQ(Cycle(*station, *task, Temperature(59.5f)), Commands{kWireOn});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);

  auto hot = std::make_shared<HeatWireTask>(station->center(), SupplyCommand(2, 0));
  Cycle(*station, *hot, Temperature(59.5f));
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_EQ(Cycle(*station, *hot, Temperature(60.5f)), Commands{kWireOff});
  EXPECT_EQ(hot->GetTaskStatus(), TASK_STATUS_ERROR);
  station->MarkCommands();
  EXPECT_TRUE(hot->DoReset());
  EXPECT_EQ(station->CommandsSinceMark(), Commands{kWireOff});
}

TEST(HeatWireTask, TimeLimitFiresOnlyPastTheDuration) {
  auto station = StartWithFan();
  auto task = std::make_shared<HeatWireTask>(station->center(), SupplyCommand(2, 30));
  Cycle(*station, *task, Temperature(59.5f));
  AdvanceClock(30);
  task->ExecuteStep(Temperature(59.5f));
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1);
  EXPECT_EQ(Cycle(*station, *task, Temperature(59.5f)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
}

TEST(HeatWireTask, BothErrorAndCancelClearHeatWireRunning) {
  auto station = StartStation();
  auto task = std::make_shared<HeatWireTask>(station->center(), SupplyCommand(2, 0));
  WriteTaskData(*station, [](StationTaskData& d) { d.heat_wire_running = true; });
  task->AfterError();
  EXPECT_FALSE(TaskData(*station).heat_wire_running);
  WriteTaskData(*station, [](StationTaskData& d) { d.heat_wire_running = true; });
  task->AfterCancel();
  EXPECT_FALSE(TaskData(*station).heat_wire_running);
}

struct AdmissionCase {
  const char* name;
  bool dry_running;
  bool heat_wire_running;
  int target;
  const char* refusal;
};

class HeatWireAdmission : public ::testing::TestWithParam<AdmissionCase> {};

TEST_P(HeatWireAdmission, NeedsTheFanAndASafeTarget) {
  const AdmissionCase c = GetParam();
  StationOptions options;
  options.extra_config["strong_heat_wire_temp"] = std::to_string(c.target);
  auto station = StartStation(options);
  ASSERT_TRUE(station->PushReport(Temperature(200.0f)));
  WriteTaskData(*station, [&c](StationTaskData& d) {
    d.dry_running = c.dry_running;
    d.heat_wire_running = c.heat_wire_running;
  });
  const StationSrvRsp rsp = station->center()->HandleService(SupplyRequest(TASK_TYPE_HEAT_WIRE, 1));
  EXPECT_EQ(rsp.err_msg, c.refusal);
  EXPECT_EQ(rsp.result, std::string(c.refusal).empty() ? SRV_RESULT_OK : SRV_RESULT_FAILED);
  if (rsp.result == SRV_RESULT_OK) {
    ASSERT_TRUE(station_test::WaitFor([&] { return TaskData(*station).heat_wire_running; }));
    EXPECT_EQ(StopAndWaitIdle(*station, TASK_TYPE_HEAT_WIRE).result, SRV_RESULT_OK);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, HeatWireAdmission,
    ::testing::Values(AdmissionCase{"FanOff", false, false, 60, "dry fan not open"},
                      AdmissionCase{"AlreadyStarted", true, true, 60, "heat wire already start"},
                      AdmissionCase{"TargetTooHigh", true, false, 151, "target temp too high"},
                      AdmissionCase{"TargetAtMaximum", true, false, 150, ""},
                      AdmissionCase{"Ready", true, false, 60, ""}),
    [](const ::testing::TestParamInfo<AdmissionCase>& param_info) { return std::string(param_info.param.name); });

TEST(HeatWireTask, StopRequestLeavesNothingSwitchedOn) {
  auto station = StartStation();
  ASSERT_TRUE(station->PushReport(Temperature(20.0f)));
  StartThroughService(*station, SupplyRequest(TASK_TYPE_DRY, 2), 1);
  ASSERT_TRUE(station_test::WaitFor([&] { return TaskData(*station).dry_running; }));
  StartThroughService(*station, SupplyRequest(TASK_TYPE_HEAT_WIRE, 3, 600), 2);
  EXPECT_EQ(station->center()->HandleService(SupplyRequest(TASK_TYPE_HEAT_WIRE, 4)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station_test::WaitFor([&] { return !station->center()->HasTask(TASK_TYPE_HEAT_WIRE); }));
  EXPECT_FALSE(TaskData(*station).heat_wire_running);
  EXPECT_EQ(StopAndWaitIdle(*station, TASK_TYPE_DRY).result, SRV_RESULT_OK);
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{Act(station::ENUM_SUPPLY_HEATING_FAN, 1), kWireOn, kWireOff,
                                                    kWireOff, Act(station::ENUM_SUPPLY_HEATING_FAN, 0),
                                                    Act(station::ENUM_SUPPLY_HEATING_FAN, 0)}));
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
}

}  // namespace
}  // namespace station_center
