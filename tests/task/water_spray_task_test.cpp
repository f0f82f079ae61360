#include "task/water_spray_task.h"

#include <gtest/gtest.h>

#include "service_task_support.h"

namespace station_center {
namespace {

using namespace service_task_test;
using station_test::FakeBoard;
using station_test::SupplyRequest;

const std::string kPumpOff = Act(station::ENUM_SUPPLY_SELF_CLEAN_PUMP, 0);

StationOptions PumpPowers() {
  StationOptions options;
  options.extra_config["self_clean_pump_power_soft"] = "61";
  options.extra_config["self_clean_pump_power_standard"] = "72";
  options.extra_config["self_clean_pump_power_strong"] = "93";
  return options;
}

void SprayReady(StationHarness& station) {
  WriteTaskData(station, [](StationTaskData& d) {
    d.sewage_pump_left_on = true;
    d.water_ready = true;
    d.supply_water_volume = 2;
  });
}

TEST(WaterSprayTask, PumpPowerFollowsTheActionModel) {
  const std::vector<std::pair<int, int>> cases = {{1, 61}, {2, 72}, {3, 93}};
  auto station = StartStation(PumpPowers());
  for (const auto& c : cases) {
    auto task = std::make_shared<WaterSprayTask>(station->center(), SupplyCommand(c.first, 0));
    EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 0)), Commands{Act(station::ENUM_SUPPLY_SELF_CLEAN_PUMP, c.second)})
        << "action model " << c.first;
    EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
    EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 0)), Commands{});
  }
}

TEST(WaterSprayTask, TimeLimitFiresOnlyPastTheDurationAndResetStopsThePump) {
  auto station = StartStation(PumpPowers());
  auto task = std::make_shared<WaterSprayTask>(station->center(), SupplyCommand(2, 30));
  Cycle(*station, *task, Tank(0, 0, 0));
  AdvanceClock(30);
  task->ExecuteStep(Tank(0, 0, 0));
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  AdvanceClock(1);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 0)), Commands{});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  station->MarkCommands();
  EXPECT_TRUE(task->DoReset());
  EXPECT_EQ(station->CommandsSinceMark(), Commands{kPumpOff});
}

TEST(WaterSprayTask, RefusedStartOrStopFails) {
  auto station = StartStation(PumpPowers());
  auto task = std::make_shared<WaterSprayTask>(station->center(), SupplyCommand(2, 0));
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_EQ(Cycle(*station, *task, Tank(0, 0, 0)), Commands{Act(station::ENUM_SUPPLY_SELF_CLEAN_PUMP, 72)});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_FALSE(task->DoReset());
  auto running = std::make_shared<WaterSprayTask>(station->center(), SupplyCommand(2, 0));
  Cycle(*station, *running, Tank(0, 0, 0));
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_FALSE(running->HandleTaskCommand(TASK_COMMAND_CANCEL, StationSrvReq()));
  EXPECT_EQ(running->GetTaskStatus(), TASK_STATUS_ERROR);
}

TEST(WaterSprayTask, ErrorWithdrawsTheWaterAndCancelMarksTheSprayInterrupted) {
  auto station = StartStation();
  for (bool cancel : {false, true}) {
    SCOPED_TRACE(cancel);
    WriteTaskData(*station, [](StationTaskData& d) {
      d.water_ready = d.perfume_liquid_ready = d.clean_liquid_ready = true;
      d.supply_water_volume = 2;
      d.spray_interrupted = true;
    });
    auto task = std::make_shared<WaterSprayTask>(station->center(), SupplyCommand(2, 0));
    if (cancel) {
      task->AfterCancel();
    } else {
      task->AfterError();
    }
    const StationTaskData data = TaskData(*station);
    EXPECT_FALSE(data.water_ready || data.perfume_liquid_ready || data.clean_liquid_ready);
    EXPECT_EQ(data.supply_water_volume, 0);
    EXPECT_EQ(data.spray_interrupted, cancel);
  }
}

struct AdmissionCase {
  const char* name;
  bool sewage_pump_on;
  bool water_ready;
  int32_t volume;
  bool interrupted;
  const char* refusal;  // empty: admitted
};

class WaterSprayAdmission : public ::testing::TestWithParam<AdmissionCase> {};

TEST_P(WaterSprayAdmission, NeedsTheSewagePumpAndPreparedOrInterruptedWater) {
  const AdmissionCase c = GetParam();
  auto station = StartStation(PumpPowers());
  ASSERT_TRUE(station->PushReport(RobotDocked(Tank(1, 0, 0))));
  WriteTaskData(*station, [&c](StationTaskData& d) {
    d.sewage_pump_left_on = c.sewage_pump_on;
    d.water_ready = c.water_ready;
    d.supply_water_volume = c.volume;
    d.spray_interrupted = c.interrupted;
  });
  const StationSrvRsp rsp = station->center()->HandleService(SupplyRequest(TASK_TYPE_WATER_SPRAY, 2));
  EXPECT_EQ(rsp.err_msg, c.refusal);
  EXPECT_EQ(rsp.result, std::string(c.refusal).empty() ? SRV_RESULT_OK : SRV_RESULT_FAILED);
  if (rsp.result == SRV_RESULT_OK) {
    ASSERT_TRUE(station->WaitForCommands(1));
    StopAndWaitIdle(*station, TASK_TYPE_WATER_SPRAY);
  }
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, WaterSprayAdmission,
    ::testing::Values(AdmissionCase{"SewagePumpOff", false, true, 2, true, "sewage pump not working"},
                      AdmissionCase{"NoVolume", true, true, 0, false, "pre disinfectant no ready"},
                      AdmissionCase{"NoWater", true, false, 2, false, "pre disinfectant no ready"},
                      AdmissionCase{"Prepared", true, true, 1, false, ""},
                      AdmissionCase{"Interrupted", true, false, 0, true, ""}),
    [](const ::testing::TestParamInfo<AdmissionCase>& param_info) { return std::string(param_info.param.name); });

// A stop switches the pump off (for the stop and again on the cancel path),
// marks the spray interrupted, and a new spray may then start without new water.
TEST(WaterSprayTask, StopRequestLeavesNothingOnAndLetsTheSprayResume) {
  auto station = StartStation(PumpPowers());
  ASSERT_TRUE(station->PushReport(RobotDocked(Tank(1, 0, 0))));
  SprayReady(*station);
  StartThroughService(*station, SupplyRequest(TASK_TYPE_WATER_SPRAY, 3), 1);
  const StationSrvRsp rsp = StopAndWaitIdle(*station, TASK_TYPE_WATER_SPRAY);
  EXPECT_EQ(rsp.result, SRV_RESULT_OK);
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{Act(station::ENUM_SUPPLY_SELF_CLEAN_PUMP, 93), kPumpOff, kPumpOff}));
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
  const StationTaskData data = TaskData(*station);
  EXPECT_TRUE(data.spray_interrupted);
  EXPECT_FALSE(data.water_ready);
  EXPECT_TRUE(data.sewage_pump_left_on);  // the sewage pump keeps its own rule

  station->MarkCommands();
  StartThroughService(*station, SupplyRequest(TASK_TYPE_WATER_SPRAY, 1), 1);
  StopAndWaitIdle(*station, TASK_TYPE_WATER_SPRAY);
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
}

// A refused stop fails the task: the error path switches the pump off again.
TEST(WaterSprayTask, RefusedStopEndsThroughTheErrorPath) {
  auto station = StartStation(PumpPowers());
  ASSERT_TRUE(station->PushReport(RobotDocked(Tank(1, 0, 0))));
  SprayReady(*station);
  StartThroughService(*station, SupplyRequest(TASK_TYPE_WATER_SPRAY, 2), 1);
  station->board().ScriptNext(FakeBoard::Answer::kError);
  const StationSrvRsp rsp = StopAndWaitIdle(*station, TASK_TYPE_WATER_SPRAY);
  EXPECT_EQ(rsp.result, SRV_RESULT_FAILED);
  EXPECT_EQ(rsp.err_msg.substr(rsp.err_msg.size() - 8), ", failed");
  EXPECT_EQ(station->CommandsSinceMark(), (Commands{Act(station::ENUM_SUPPLY_SELF_CLEAN_PUMP, 72), kPumpOff, kPumpOff}));
  EXPECT_FALSE(TaskData(*station).spray_interrupted);
}

}  // namespace
}  // namespace station_center
