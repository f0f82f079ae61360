// The station's safe ends: a board that stops reporting (nothing may go on
// acting on its last readings) and the safe stop on shutdown.

#include <gtest/gtest.h>

#include <algorithm>

#include "clock.h"
#include "support/station_fixture.h"

namespace station_center {
namespace {

using namespace station_test;

bool AnySwitchedOn(const Commands& commands) {
  for (const std::string& command : commands) {
    if (command.rfind("act ", 0) == 0 && command.substr(command.find(':')) != ":0") {
      return true;
    }
  }
  return false;
}

struct StaleCase {
  const char* name;
  int timeout_s;
  std::vector<TaskType> tasks;  // started in turn with fresh reports
  int64_t stale_first_s;        // the clock moves this far before the tasks are asked for
  int64_t advance_s;            // then this far
  bool ended;                   // the tasks have ended
  Commands sent;                // after the tasks started (several tasks: the distinct ones, sorted)
};

void PrintTo(const StaleCase& c, std::ostream* os) { *os << c.name; }

class StaleReports : public ::testing::TestWithParam<StaleCase> {};

TEST_P(StaleReports, NothingActsOnOldReadings) {
  const StaleCase& c = GetParam();
  StationOptions options;
  options.sensor_report_timeout_s = c.timeout_s;
  StationHarness station(options);
  ASSERT_TRUE(station.StartNormal());
  AdvanceClock(c.stale_first_s);
  if (c.stale_first_s == 0) {
    ASSERT_TRUE(station.PushReport(Wire(20.0f)));  // docked, the wire below its target
  }
  for (size_t i = 0; i < c.tasks.size(); ++i) {
    ASSERT_EQ(station.Ask(SupplyRequest(c.tasks[i], 2)).result, SRV_RESULT_OK);
    if (c.stale_first_s == 0) {
      ASSERT_TRUE(station.WaitForCommands(i + 1));
    }
  }
  station.MarkCommands();
  AdvanceClock(c.advance_s);
  if (c.ended) {
    ASSERT_TRUE(WaitFor([&] { return station.center()->TaskCount() == 0; }));
  } else {
    EXPECT_TRUE(station.WaitCycles(5));
    EXPECT_EQ(station.center()->TaskCount(), c.tasks.size());
  }
  station.SyncWithService();
  Commands sent = station.CommandsSinceMark();
  EXPECT_FALSE(AnySwitchedOn(sent)) << testing::PrintToString(sent);
  if (c.stale_first_s == 0) {
    if (c.tasks.size() > 1) {  // whichever task meets the old readings first
      std::sort(sent.begin(), sent.end());
      sent.erase(std::unique(sent.begin(), sent.end()), sent.end());
    }
    EXPECT_EQ(sent, c.sent);
  }
  if (c.ended) {  // the sewage pump too: nothing will report its drain
    EXPECT_EQ(LeftOn(station.AllCommands()), std::set<int>{});
  }
  for (TaskType type : c.tasks) {
    station.Ask(SupplyRequest(type, 4));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StaleReports,
    ::testing::Values(StaleCase{"AtTheLimit", 15, {TASK_TYPE_DRY}, 0, 15, false, {}},
                      StaleCase{"PastTheLimit", 15, {TASK_TYPE_DRY}, 0, 16, true, {"act 5:0", "act 6:0"}},
                      StaleCase{"ZeroDisables", 0, {TASK_TYPE_DRY}, 0, 100000, false, {}},
                      StaleCase{"AdmittedWhileStale", 15, {TASK_TYPE_DRY}, 20, 0, true, {}},
                      // The fan's stop is refused while the wire runs: both still end off.
                      StaleCase{"FanUnderARunningWire", 15, {TASK_TYPE_DRY, TASK_TYPE_HEAT_WIRE}, 0, 16, true,
                                {"act 5:0", "act 6:0"}},
                      StaleCase{"SewagePumpTask", 15, {TASK_TYPE_SEWAGE_DRAIN_PUMP}, 0, 16, true, {"act 4:0"}}),
    [](const ::testing::TestParamInfo<StaleCase>& p) { return std::string(p.param.name); });

// A pump left running after its task, with the reports gone: the main loop's check closes it.
TEST(StaleReports, SewagePumpLeftOnWithoutATask) {
  StationOptions options;
  options.sensor_report_timeout_s = 15;
  StationHarness station(options);
  ASSERT_TRUE(station.StartNormal());
  ASSERT_TRUE(station.PushReport(SewageNotDrained()));
  ASSERT_EQ(station.Ask(SupplyRequest(TASK_TYPE_SEWAGE_DRAIN_PUMP, 2)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station.WaitForCommands(1));
  ASSERT_EQ(station.Ask(SupplyRequest(TASK_TYPE_SEWAGE_DRAIN_PUMP, 4)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station.WaitIdle());
  station.center()->CheckStaleReports();  // fresh reports: the sensor intake's rule holds
  EXPECT_EQ(LeftOn(station.CommandsSinceMark()), std::set<int>{station::ENUM_SUPPLY_SEWAGE_PUMP});
  AdvanceClock(16);
  station.center()->CheckStaleReports();
  EXPECT_EQ(LeftOn(station.CommandsSinceMark()), std::set<int>{});
}

// ---------------------------------------------------------------------------
// The safe stop

TEST(SafeStop, SwitchesEveryActuatorOffHeaterBeforeFan) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  EXPECT_TRUE(station.center()->SafeStop(15));
  EXPECT_EQ(station.CommandsSinceMark(), (Commands{"act 2:0", "act 14:0", "act 5:0", "act 6:0", "act 7:0",
                                                   "act 8:0", "act 4:0", "act 9:0", "act 10:0", "act 11:0",
                                                   "act 12:0", "act 1:0", "act 3:0", "act 13:0"}));
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
  EXPECT_FALSE(AnySwitchedOn(station.CommandsSinceMark()));
  EXPECT_EQ(LeftOn(station.AllCommands()), std::set<int>{});
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
