// SIGTERM in the middle of every kind of task: the real service switches
// every actuator off on the simulated board and exits with status 0, whatever
// ran when the signal came.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fault_env.h"

namespace station_test {
namespace {

constexpr const char* kPrepareOneLitre =
    R"({"cmd":{"actionCmd":{"action":2},"disinfectionTabletsNum":1,"waterVolume":1}})";
constexpr int kWaterReady = 1;

struct TaskUnderStop {
  const char* name;
  std::vector<std::string> board_args;
  // Simulator commands before the requests (admission conditions).
  std::vector<std::string> board_setup;
  // Robot supply types asked for in order (standard action); each must be accepted.
  std::vector<int> supplies;
  // A pre-water request for one litre with one tablet first; with supplies,
  // they are asked for once the water is ready.
  bool prepare_water;
  // What must run at the board when the signal comes ("NAME value").
  std::vector<std::pair<std::string, int>> running;
  // The start-up reset is the task under test: the signal comes before the station is normal.
  bool during_start_up = false;
};

// The case's name in gtest's listings instead of the struct's bytes.
void PrintTo(const TaskUnderStop& c, std::ostream* os) { *os << c.name; }

class SigtermDuringTaskTest : public testing::TestWithParam<TaskUnderStop> {};

TEST_P(SigtermDuringTaskTest, ExitsZeroWithEveryActuatorOff) {
  const TaskUnderStop& c = GetParam();
  EndToEnd e2e;
  E2eOptions options;
  options.board_args = c.board_args;
  options.config = {{"bottom_action_timeout", "2"},
                    {"disinfectant_table_dissolution_time", "1"},
                    {"disinfectant_tablet_release_time", "1"},
                    {"running_schedule_space", "20"}};
  ASSERT_TRUE(e2e.Start(options));
  ASSERT_TRUE(e2e.WaitServing(std::chrono::seconds(60))) << e2e.station().Output();
  // The board reports the plates motor's over-current here; it never draws one.
  ASSERT_EQ(e2e.Board("set sorterMotorCurrentState false"), "ok");
  if (!c.during_start_up) {
    ASSERT_TRUE(e2e.WaitNormal()) << e2e.station().Output();
  }
  RequestLedger ledger(e2e);
  for (const std::string& command : c.board_setup) {
    ASSERT_EQ(e2e.Board(command), "ok") << command;
  }
  // Let the station take in reports that carry the new fields before it admits anything.
  const long long sent = BoardNumber(e2e, "stats", "reports_sent");
  ASSERT_TRUE(PollUntil([&] { return BoardNumber(e2e, "stats", "reports_sent") >= sent + 10; }));
  if (c.prepare_water) {
    ASSERT_EQ(ledger.Ask("preWaterRequest", kPrepareOneLitre), kAccepted);
    if (!c.supplies.empty()) {
      ASSERT_TRUE(PollUntil(
          [&] {
            if (ledger.Check(kWaterReady).find("\"robotCheck\":1") != std::string::npos) {
              return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return false;
          },
          std::chrono::seconds(60)))
          << e2e.station().Output();
    }
  }
  for (int supply : c.supplies) {
    ASSERT_EQ(ledger.Supply(supply, 2, 600), kAccepted) << "supply " << supply << "\n" << e2e.station().Output();
  }
  for (const auto& [actuator, value] : c.running) {
    ASSERT_TRUE(e2e.PollActuator(actuator, value)) << actuator << "\n" << Joined(e2e.BoardCommands());
  }

  ASSERT_EQ(::kill(e2e.station().pid(), SIGTERM), 0);
  const int status = e2e.station().WaitExit(std::chrono::seconds(25));
  const std::vector<std::string> on = ActuatorsOn(e2e);
  const long long mismatched = ledger.Mismatched();
  EXPECT_TRUE(SanitizerReports(e2e.station().Output()).empty()) << e2e.station().Output();
  PrintCounts(c.name, ledger.ToText() + " mismatched " + std::to_string(mismatched) + "; exit status " +
                          std::to_string(status) + "; actuators on after stop " + std::to_string(on.size()));
  EXPECT_EQ(status, 0) << e2e.station().Output();
  EXPECT_TRUE(on.empty()) << Joined(on) << "\n" << e2e.Board("log");
  EXPECT_TRUE(e2e.station().OutputHas("safe stop: 14 actuators switched off, 0 failed")) << e2e.station().Output();
  EXPECT_EQ(ledger.Answered(), ledger.Sent());
  EXPECT_EQ(mismatched, 0);
}

// Robot supply types.
constexpr int kCharging = 2;
constexpr int kWatering = 3;
constexpr int kSewagePump = 4;
constexpr int kHeatingWire = 5;
constexpr int kHeatingFan = 6;
constexpr int kCollectDust = 7;
constexpr int kCleanPump = 8;
constexpr int kUvLamp = 9;

// Slow rates keep each task in its running phase long after the signal.
INSTANTIATE_TEST_SUITE_P(
    Stop, SigtermDuringTaskTest,
    testing::Values(
        TaskUnderStop{"reset_draining",
                      {"--level", "1000", "--drain-rate", "10"},
                      {},
                      {},
                      false,
                      {{"DRAINAGE_SWITCH", 1}},
                      true},
        TaskUnderStop{"disinfectant_prepare_filling",
                      {"--level", "0", "--fill-rate", "10"},
                      {"dock"},
                      {},
                      true,
                      {{"TAP_WATER_SWITCH", 1}}},
        TaskUnderStop{"add_water_supplying",
                      {"--level", "0", "--fill-rate", "1000", "--supply-rate", "10"},
                      {"dock"},
                      {kWatering},
                      true,
                      {{"SUPPLY_WATER_SWITCH", 1}}},
        TaskUnderStop{"dust_collect",
                      {"--level", "0"},
                      {"dock", "set dustBagDet 1", "set dustBoxCapDet 1"},
                      {kCollectDust},
                      false,
                      {{"COLLECT_DUST", 1}}},
        TaskUnderStop{"sewage_pump_and_water_spray",
                      {"--level", "0", "--fill-rate", "1000", "--supply-rate", "10"},
                      {"dock", "set sewageDet 1"},
                      {kSewagePump, kCleanPump},
                      true,
                      {{"SEWAGE_PUMP", 80}, {"SELF_CLEAN_PUMP", 80}}},
        TaskUnderStop{"dry_heat_wire_and_uv",
                      {"--level", "0"},
                      {"dock", "set heatingWireTemp 20"},
                      {kHeatingFan, kHeatingWire, kUvLamp},
                      false,
                      {{"HEATING_FAN", 1}, {"HEATING_WIRE", 1}, {"UV_LAMP", 1}}},
        TaskUnderStop{"auto_charge", {"--level", "0"}, {"dock"}, {kCharging}, false, {{"CHARGING", 1}}},
        // The hand-charge switch starts the manual charge with the robot away.
        TaskUnderStop{"manual_charge", {"--level", "0"}, {"set handChargeDet 1"}, {}, false, {{"HAND_CHARGE", 1}}}),
    [](const testing::TestParamInfo<TaskUnderStop>& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace station_test
