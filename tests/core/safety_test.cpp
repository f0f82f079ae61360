// The safe stop on shutdown. (A board that stops reporting: station_center_test.cpp.)

#include <gtest/gtest.h>

#include "support/station_fixture.h"

namespace station_center {
namespace {

using namespace station_test;

const char kFanOff[] = "act 6:0", kWireOff[] = "act 5:0";

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
