// A board that stops reporting: nothing may go on acting on its last readings.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "support/station_fixture.h"

namespace station_center {
namespace {

using station_test::EmptyTankReport;
using station_test::StationHarness;
using station_test::StationOptions;
using station_test::SupplyRequest;
using station_test::WaitFor;
using Cmds = std::vector<std::string>;

constexpr int kStaleAfterS = 15;

StationOptions StaleCheckOn(int timeout_s = kStaleAfterS) {
  StationOptions options;
  options.extra_config["sensor_report_timeout"] = std::to_string(timeout_s);
  return options;
}

bool Has(const Cmds& commands, const std::string& command) {
  return std::find(commands.begin(), commands.end(), command) != commands.end();
}

// No event marks "a work cycle ran and did nothing"; give the worker a few of
// its 2 ms cycles before asserting that nothing happened.
void LetCyclesRun() { std::this_thread::sleep_for(std::chrono::milliseconds(60)); }

TEST(StaleReports, RunningTaskIsCanceledJustAfterTheLimit) {
  StationHarness station(StaleCheckOn());
  ASSERT_TRUE(station.StartNormal());
  ASSERT_TRUE(station.PushReport(EmptyTankReport()));
  ASSERT_EQ(station.center()->HandleService(SupplyRequest(TASK_TYPE_DRY, 2)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station.WaitForCommands(1));
  EXPECT_EQ(station.CommandsSinceMark(), Cmds({"act 6:1"}));
  station.MarkCommands();

  AdvanceClock(kStaleAfterS);
  LetCyclesRun();
  EXPECT_TRUE(station.center()->HasTask(TASK_TYPE_DRY)) << "canceled at the limit itself";
  EXPECT_TRUE(station.CommandsSinceMark().empty());

  AdvanceClock(1);
  ASSERT_TRUE(WaitFor([&] { return !station.center()->HasTask(TASK_TYPE_DRY); }));
  station.SyncWithService();
  EXPECT_EQ(station.CommandsSinceMark(), Cmds({"act 5:0", "act 6:0"}))
      << "the fan is switched off on the way out, the heating wire before it";
  EXPECT_FALSE(station.center()->TaskDataSnapshot().dry_running);
}

TEST(StaleReports, TaskAdmittedWhileStaleNeverSwitchesOn) {
  StationHarness station(StaleCheckOn());
  ASSERT_TRUE(station.StartNormal());
  AdvanceClock(kStaleAfterS + 5);
  ASSERT_EQ(station.center()->HandleService(SupplyRequest(TASK_TYPE_DRY, 2)).result, SRV_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return !station.center()->HasTask(TASK_TYPE_DRY); }));
  station.SyncWithService();
  EXPECT_FALSE(Has(station.CommandsSinceMark(), "act 6:1")) << "switched on while the readings were stale";
}

TEST(StaleReports, DryFanUnderRunningHeatWireIsSwitchedOffToo) {
  StationHarness station(StaleCheckOn());
  ASSERT_TRUE(station.StartNormal());
  station::SensorsDataRep cold = EmptyTankReport();
  cold.set_heatingwiretemp(20.0f);
  ASSERT_TRUE(station.PushReport(cold));
  ASSERT_EQ(station.center()->HandleService(SupplyRequest(TASK_TYPE_DRY, 2)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station.WaitForCommands(1));
  ASSERT_EQ(station.center()->HandleService(SupplyRequest(TASK_TYPE_HEAT_WIRE, 2)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station.WaitForCommands(2));
  EXPECT_EQ(station.CommandsSinceMark(), Cmds({"act 6:1", "act 5:1"}));
  station.MarkCommands();

  // Whichever task meets the stale readings first, the fan (whose cancel is
  // refused while the wire runs) and the wire both end switched off.
  AdvanceClock(kStaleAfterS + 1);
  ASSERT_TRUE(WaitFor([&] {
    return !station.center()->HasTask(TASK_TYPE_DRY) && !station.center()->HasTask(TASK_TYPE_HEAT_WIRE);
  }));
  station.SyncWithService();
  const Cmds sent = station.CommandsSinceMark();
  EXPECT_TRUE(Has(sent, "act 5:0")) << "heat wire left on";
  EXPECT_TRUE(Has(sent, "act 6:0")) << "fan left on";
  EXPECT_FALSE(Has(sent, "act 5:1"));
  EXPECT_FALSE(Has(sent, "act 6:1"));
}

TEST(StaleReports, SewagePumpIsSwitchedOffWhenNothingWillReportTheDrain) {
  StationHarness station(StaleCheckOn());
  ASSERT_TRUE(station.StartNormal());
  ASSERT_TRUE(station.PushReport(EmptyTankReport()));
  ASSERT_EQ(station.center()->HandleService(SupplyRequest(TASK_TYPE_SEWAGE_DRAIN_PUMP, 2)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station.WaitForCommands(1));
  EXPECT_EQ(station.CommandsSinceMark(), Cmds({"act 4:80"}));
  ASSERT_TRUE(WaitFor([&] { return station.center()->TaskDataSnapshot().sewage_pump_left_on; }));
  station.MarkCommands();

  AdvanceClock(kStaleAfterS + 1);
  ASSERT_TRUE(WaitFor([&] { return !station.center()->HasTask(TASK_TYPE_SEWAGE_DRAIN_PUMP); }));
  ASSERT_TRUE(WaitFor([&] { return !station.center()->TaskDataSnapshot().sewage_pump_left_on; }));
  station.SyncWithService();
  EXPECT_EQ(station.CommandsSinceMark(), Cmds({"act 4:0"}));
}

TEST(StaleReports, PumpLeftOnWithoutTaskIsSwitchedOffByTheMainLoopCheck) {
  StationHarness station(StaleCheckOn());
  ASSERT_TRUE(station.StartNormal());
  ASSERT_TRUE(station.PushReport(EmptyTankReport()));
  ASSERT_EQ(station.center()->HandleService(SupplyRequest(TASK_TYPE_SEWAGE_DRAIN_PUMP, 2)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station.WaitForCommands(1));
  ASSERT_EQ(station.center()->HandleService(SupplyRequest(TASK_TYPE_SEWAGE_DRAIN_PUMP, 4)).result, SRV_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return !station.center()->HasTask(TASK_TYPE_SEWAGE_DRAIN_PUMP); }));
  ASSERT_TRUE(station.center()->TaskDataSnapshot().sewage_pump_left_on);
  station.SyncWithService();
  station.MarkCommands();

  station.center()->CheckStaleReports();  // fresh reports: the sensor intake's rule holds
  EXPECT_TRUE(station.CommandsSinceMark().empty());
  AdvanceClock(kStaleAfterS + 1);
  station.center()->CheckStaleReports();
  EXPECT_EQ(station.CommandsSinceMark(), Cmds({"act 4:0"}));
  EXPECT_FALSE(station.center()->TaskDataSnapshot().sewage_pump_left_on);
}

TEST(StaleReports, ReturningReportsLetNewTasksRun) {
  StationHarness station(StaleCheckOn());
  ASSERT_TRUE(station.StartNormal());
  AdvanceClock(kStaleAfterS + 5);
  ASSERT_TRUE(station.PushReport(EmptyTankReport()));
  ASSERT_EQ(station.center()->HandleService(SupplyRequest(TASK_TYPE_DRY, 2)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station.WaitForCommands(1));
  AdvanceClock(kStaleAfterS);
  LetCyclesRun();
  EXPECT_TRUE(station.center()->HasTask(TASK_TYPE_DRY));
  EXPECT_EQ(station.CommandsSinceMark(), Cmds({"act 6:1"}));
  ASSERT_EQ(station.center()->HandleService(SupplyRequest(TASK_TYPE_DRY, 4)).result, SRV_RESULT_OK);
}

TEST(StaleReports, ZeroTurnsTheCheckOff) {
  StationHarness station(StaleCheckOn(0));
  ASSERT_TRUE(station.StartNormal());
  ASSERT_EQ(station.center()->HandleService(SupplyRequest(TASK_TYPE_DRY, 2)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station.WaitForCommands(1));
  AdvanceClock(100000);
  LetCyclesRun();
  EXPECT_TRUE(station.center()->HasTask(TASK_TYPE_DRY));
  ASSERT_EQ(station.center()->HandleService(SupplyRequest(TASK_TYPE_DRY, 4)).result, SRV_RESULT_OK);
}

// ---------------------------------------------------------------------------
// The safe stop

const Cmds kEverythingOff = {"act 2:0",  "act 14:0", "act 5:0",  "act 6:0",  "act 7:0",  "act 8:0",  "act 4:0",
                             "act 9:0",  "act 10:0", "act 11:0", "act 12:0", "act 1:0",  "act 3:0",  "act 13:0"};

TEST(SafeStop, SwitchesEveryActuatorOffHeaterBeforeFan) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  EXPECT_TRUE(station.center()->SafeStop(15));
  EXPECT_EQ(station.CommandsSinceMark(), kEverythingOff);
  station.KeepRunning();
}

TEST(SafeStop, NothingSwitchesOnOnceTheStopHasBegun) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  ASSERT_TRUE(station.center()->SafeStop(15));
  station.MarkCommands();
  // A work cycle that still runs after the stop wants its fan on: refused, and
  // its error path switches the fan off again.
  ASSERT_EQ(station.center()->HandleService(SupplyRequest(TASK_TYPE_DRY, 2)).result, SRV_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return !station.center()->HasTask(TASK_TYPE_DRY); }));
  station.SyncWithService();
  EXPECT_FALSE(Has(station.CommandsSinceMark(), "act 6:1"));
  EXPECT_EQ(station.board().Requests().back().cmd_().action_(), 0);
  station.KeepRunning();
}

TEST(SafeStop, SilentBoardEndsTheStopWithinItsBudget) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  for (int i = 0; i < 20; ++i) {
    station.board().ScriptNext(station_test::FakeBoard::Answer::kSilent);
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(station.center()->SafeStop(3));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::milliseconds(3800));
  // Each command waits at most the board time-out (1 s here): about three are tried.
  EXPECT_GE(station.board().Requests().size(), 2u);
  station.KeepRunning();
}

}  // namespace
}  // namespace station_center
