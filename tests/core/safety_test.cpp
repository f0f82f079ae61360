// The station's safe ends: a board that stops reporting (nothing may go on
// acting on its last readings) and the safe stop on shutdown.

#include <gtest/gtest.h>

#include "support/station_fixture.h"

namespace station_center {
namespace {

using namespace station_test;
using namespace station_test::steps;

Do Start(TaskType type) { return Ask(SupplyRequest(type, 2), SRV_RESULT_OK); }
Do Stop(TaskType type) { return Ask(SupplyRequest(type, 4)); }
const char kFanOn[] = "act 6:1", kFanOff[] = "act 6:0", kWireOff[] = "act 5:0";

class StaleReports : public ::testing::TestWithParam<StationCase> {};
TEST_P(StaleReports, NothingActsOnOldReadings) { RunStationCase(GetParam()); }

// Reports older than 15 s: the running task is stopped (the heater before its
// fan), a task admitted meanwhile never switches on, a sewage pump is switched
// off whether its task runs or not; 0 switches the check off.
INSTANTIATE_TEST_SUITE_P(
    Rows, StaleReports,
    ::testing::Values(
        StationCase{"AtTheLimit", {Push(Wire(20.0f)), Start(TASK_TYPE_DRY), Sent(1), Clock(15), Tasks(1),
                                         Stop(TASK_TYPE_DRY)}, {kFanOn, kFanOff, kFanOff}, STATION_NORMAL, {15}},
        StationCase{"PastTheLimit", {Push(Wire(20.0f)), Start(TASK_TYPE_DRY), Sent(1), Clock(16), Tasks(0)},
                    {kFanOn, kWireOff, kFanOff}, STATION_NORMAL, {15}},
        StationCase{"ZeroDisables", {Push(Wire(20.0f)), Start(TASK_TYPE_DRY), Sent(1), Clock(100000), Tasks(1),
                                           Stop(TASK_TYPE_DRY)}, {kFanOn, kFanOff, kFanOff}},
        StationCase{"AdmittedWhileStale", {Clock(20), Start(TASK_TYPE_DRY), Tasks(0)}, {kWireOff, kFanOff},
                    STATION_NORMAL, {15}},
        // The fan's stop is refused while the wire runs; both still end off, in either task's order.
        StationCase{"FanUnderARunningWire", {Push(Wire(20.0f)), Start(TASK_TYPE_DRY), Sent(1), Start(TASK_TYPE_HEAT_WIRE), Sent(2),
                     Op(Do::kMark), Clock(16), Tasks(0)},
                    {kWireOff, kFanOff}, STATION_NORMAL, {15}, true},
        StationCase{"SewagePumpTask", {Push(SewageNotDrained()), Start(TASK_TYPE_SEWAGE_DRAIN_PUMP), Sent(1),
                                             Clock(16), Tasks(0)}, {"act 4:80", "act 4:0"}, STATION_NORMAL, {15}},
        // Left on after its task: fresh reports leave it to the intake, old ones close it.
        StationCase{"SewagePumpLeftOn", {Push(SewageNotDrained()), Start(TASK_TYPE_SEWAGE_DRAIN_PUMP), Sent(1),
                     Stop(TASK_TYPE_SEWAGE_DRAIN_PUMP), Idle(), Op(Do::kStaleCheck), Clock(16), Op(Do::kStaleCheck)},
                    {"act 4:80", "act 4:0"}, STATION_NORMAL, {15}}), RowName());

// ---------------------------------------------------------------------------
// The safe stop

TEST(SafeStop, SwitchesEveryActuatorOffHeaterBeforeFan) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  EXPECT_TRUE(station.center()->SafeStop(15));
  EXPECT_EQ(station.CommandsSinceMark(), (Commands{"act 2:0", "act 14:0", kWireOff, kFanOff, "act 7:0", "act 8:0",
                                                   "act 4:0", "act 9:0", "act 10:0", "act 11:0", "act 12:0", "act 1:0",
                                                   "act 3:0", "act 13:0"}));
  station.KeepRunning();
}

// A work cycle that still runs after the stop wants its fan on: refused, and
// its error path switches the fan off again.
TEST(SafeStop, NothingSwitchesOnOnceTheStopHasBegun) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  ASSERT_TRUE(station.center()->SafeStop(15));
  station.MarkCommands();
  ASSERT_EQ(station.Ask(SupplyRequest(TASK_TYPE_DRY, 2)).result, SRV_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return !station.center()->HasTask(TASK_TYPE_DRY); }));
  station.SyncWithService();
  EXPECT_EQ(station.CommandsSinceMark(), (Commands{kWireOff, kFanOff}));
  station.KeepRunning();
}

// Each command waits at most the board time-out (1 s here): the stop ends within its budget.
TEST(SafeStop, SilentBoardEndsTheStopWithinItsBudget) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  for (int i = 0; i < 20; ++i) {
    station.board().ScriptNext(FakeBoard::Answer::kSilent);
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(station.center()->SafeStop(3));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3800));
  EXPECT_GE(station.board().Requests().size(), 2u);
  station.KeepRunning();
}

}  // namespace
}  // namespace station_center
