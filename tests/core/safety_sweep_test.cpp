// Safety sweeps over every task. Each task has one scenario, its ordinary
// course through the service entry, run again and again: the board refuses
// each command in turn (and the one after it, the first switch-off of the path
// the refusal leads to); the robot stops the task after each step; the sensor
// reports stop after each step. Once the task has ended and the owed
// switch-offs have gone out, nothing it switched on may still be on; only the
// sewage pump may keep draining, by its own rule, while reports come in.

#include <gtest/gtest.h>

#include "clock.h"
#include "support/station_fixture.h"

namespace station_center {
namespace {

using namespace station_test;

enum class Sweep { kNone, kRefuse, kStop, kStopRefused, kReportsStop };

Rep Docked(uint32_t foot, uint32_t flow = 0) { return RobotDocked(Tank(foot, 0, flow)); }

std::vector<TaskScenario> Scenarios() {
  const Rep empty = Docked(1), filled = Docked(0, 1000);
  return ActuatorScenarios() + std::vector<TaskScenario>{
      // draining; empty: drain closed, tap opens; filled: motor on; a tablet: motor off; dissolved
      {"DisinfectantPrepare", TASK_TYPE_DISINFECTANT_PREPARE,
       {{Docked(0), 0}, {empty, 0}, {filled, 0}, {filled, 3}, {filled, 301}}, 6, nullptr, station::EnumSupplyType(0),
       {}, nullptr, TASK_STATUS_ERROR, {{"disinfectant_tablet_release_time", "2"}}, SRV_CHECK_WATER_READY,
       SRV_RESULT_WATER_READY},
      {"CleanLiquidPrepare", TASK_TYPE_CLEAN_LIQUID_PREPARE,
       {{Docked(0), 0}, {empty, 0}, {filled, 0}, {filled, 11}, {filled, 301}}, 6},
      {"DrainWater", TASK_TYPE_DRAIN_WATER, {{Docked(0), 0}, {empty, 0}}, 2},
      // The drain times out. Not the robot's to stop; it acts on no reading but the tank's foot.
      {"ResetStation", TASK_TYPE_RESET_STATION, {{Docked(0), 0}, {Docked(0), 301}}, 2},
  };
}

// kRefuse: the board refuses commands `at` and `at + 1` (the command, then the
// first switch-off of the path it leads to); kStop: the robot stops the task
// after `at` rows (kStopRefused: the board refusing every command until the
// task has ended, so every switch-off is owed); kReportsStop: the reports stop after `at` rows.
void RunScenario(const TaskScenario& s, Sweep sweep, size_t at) {
  Config config = s.config;
  config["sensor_report_timeout"] = "400";  // stale after longer than any clock step of a course
  StationHarness station(config);
  const int32_t duration = s.on.empty() ? 0 : 30;
  ASSERT_TRUE(station.StartNormal());
  if (s.data) station.center()->EditTaskData(s.data);
  if (sweep == Sweep::kRefuse) station.board().Refuse(2, at);
  station.Deliver(s.rows[0].first);
  if (!station.center()->HasTask(s.type)) {  // the hand switch asks for its task itself
    EXPECT_EQ(station.Ask(Want(s.type, 2, duration)).result, SRV_RESULT_OK);
  }
  for (size_t row = 0; row < s.rows.size() && station.center()->HasTask(s.type); ++row) {
    if (row == at && sweep >= Sweep::kStop) {
      station.SyncWithService();
      if (sweep == Sweep::kReportsStop) {
        AdvanceClock(401);
        break;
      }
      station.board().Refuse(sweep == Sweep::kStopRefused ? 100 : 0);
      station.Ask(Want(s.type, 4, duration));
      EXPECT_TRUE(station.WaitIdle());
      station.board().Refuse(0);
      break;
    }
    EXPECT_TRUE(station.WaitCycles(2));
    station.Deliver(s.rows[row].first);
    AdvanceClock(s.rows[row].second);
    EXPECT_TRUE(station.WaitCycles(2));
  }
  if (!station.WaitIdle()) {
    ADD_FAILURE() << "the task did not end";
    station.KeepRunning();
  }
  if (sweep == Sweep::kNone && s.check >= 0) {
    EXPECT_EQ(station.Ask(ServiceRequest(s.check)).result, s.answer) << "answer after the course";
  }
  EXPECT_TRUE(station.RetryOwed());
  const Commands sent = station.CommandsSinceMark();
  SCOPED_TRACE(testing::PrintToString(sent));
  EXPECT_TRUE(sweep != Sweep::kNone || sent.size() == s.commands);
  std::set<int> on = LeftOn(station.board().Sent(0, true));
  if (s.type == TASK_TYPE_SEWAGE_DRAIN_PUMP && sweep != Sweep::kReportsStop) on.erase(station::ENUM_SUPPLY_SEWAGE_PUMP);
  EXPECT_EQ(on, std::set<int>{});
}

struct SweepCase {
  std::string name;
  size_t scenario;
  Sweep sweep;
  size_t at;
};
void PrintTo(const SweepCase& c, std::ostream* os) { *os << c.name; }

std::vector<SweepCase> SweepCases() {
  std::vector<SweepCase> cases;
  const std::vector<TaskScenario> all = Scenarios();
  for (size_t i = 0; i < all.size(); ++i) {
    const std::string name = all[i].name;
    cases.push_back({name + "_Course", i, Sweep::kNone, 0});
    for (size_t at = 0; at < all[i].commands; ++at) {
      cases.push_back({name + "_Refused" + std::to_string(at), i, Sweep::kRefuse, at});
    }
    for (size_t at = 0; all[i].type != TASK_TYPE_RESET_STATION && at < all[i].rows.size(); ++at) {
      const std::string after = std::to_string(at);
      cases.push_back({name + "_StopAfter" + after, i, Sweep::kStop, at});
      cases.push_back({name + "_RefusedStopAfter" + after, i, Sweep::kStopRefused, at});
      cases.push_back({name + "_ReportsStopAfter" + after, i, Sweep::kReportsStop, at});
    }
  }
  return cases;
}

class SafetySweep : public ::testing::TestWithParam<SweepCase> {};
TEST_P(SafetySweep, LeavesNothingOn) { RunScenario(Scenarios()[GetParam().scenario], GetParam().sweep, GetParam().at); }
INSTANTIATE_TEST_SUITE_P(EveryTask, SafetySweep, ::testing::ValuesIn(SweepCases()), RowName());

}  // namespace
}  // namespace station_center
