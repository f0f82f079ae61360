#include "station_fixture.h"

#include <algorithm>

namespace station_test {

using namespace station_center;

std::vector<TaskScenario> TaskScenarios() {
  const Rep water = RobotDocked(Tank(0, 0, 0)), empty = RobotDocked(EmptyTankReport()),
            filled = RobotDocked(Tank(0, 0, 1000));
  auto past_limit = [](const Rep& r) { return std::vector<std::pair<Rep, int64_t>>{{r, 0}, {r, 31}}; };
  return {
      // supplying the robot; run down: supply closed, tap opens; refilled: supply opens; run down
      {"AddWater", TASK_TYPE_ADD_WATER,
       {{RobotDocked(Tank(0, 1, 0)), 0}, {empty, 0}, {filled, 0}, {RobotDocked(Tank(1, 0, 1000)), 0}},
       6, Prepared(true, false, false, 1), station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, {1, 1, 1}, nullptr,
       TASK_STATUS_ERROR, {}, SRV_CHECK_WATER_FINISH, SRV_RESULT_WATER_FINISHED},
      {"DustCollect", TASK_TYPE_DUST_COLLECT, past_limit(DustReady()), 2, nullptr, station::ENUM_SUPPLY_COLLECT_DUST,
       {1, 1, 1}},
      {"WaterSpray", TASK_TYPE_WATER_SPRAY, past_limit(SewageNotDrained()), 2, Spray(true, true, 1, false),
       station::ENUM_SUPPLY_SELF_CLEAN_PUMP, {61, 72, 93}},
      // Left on by its own rule while reports come in; the sensor intake closes it.
      {"SewageDrainPump", TASK_TYPE_SEWAGE_DRAIN_PUMP, past_limit(SewageNotDrained()), 1, nullptr,
       station::ENUM_SUPPLY_SEWAGE_PUMP, {60, 70, 95}, [](const StationTaskData& d) { return d.sewage_pump_left_on; }},
      {"Dry", TASK_TYPE_DRY, past_limit(empty), 3, nullptr, station::ENUM_SUPPLY_HEATING_FAN, {1, 1, 1},
       [](const StationTaskData& d) { return d.dry_running; }},
      {"HeatWire", TASK_TYPE_HEAT_WIRE, {{Wire(20.0f), 0}, {Wire(70.0f), 0}, {Wire(20.0f), 0}, {Wire(20.0f), 31}}, 4,
       Heat(true, false), station::ENUM_SUPPLY_HEATING_WIRE, {1, 1, 1}},
      // The plates get too hot: charging stops.
      {"AutoCharge", TASK_TYPE_AUTO_CHARGE, {{Plates(78, 78), 0}, {Plates(90, 90), 0}}, 3, nullptr,
       station::ENUM_SUPPLY_CHARGING, {1, 1, 1}, [](const StationTaskData& d) { return d.charge_state == 1; }},
      // The hand switch closed asks for the task by itself; opened, it ends it.
      {"ManualCharge", TASK_TYPE_MANUAL_CHARGE, {{HandSwitch(1), 0}, {HandSwitch(0), 0}}, 2, nullptr,
       station::ENUM_SUPPLY_HAND_CHARGE, {1, 1, 1}, nullptr, TASK_STATUS_RUNNING},
      {"UV", TASK_TYPE_UV, past_limit(empty), 2, nullptr, station::ENUM_SUPPLY_UV_LAMP, {1, 1, 1}, nullptr,
       TASK_STATUS_OVER},
      // draining; empty: drain closed, tap opens; filled: motor on; a tablet: motor off; dissolved
      {"DisinfectantPrepare", TASK_TYPE_DISINFECTANT_PREPARE,
       {{water, 0}, {empty, 0}, {filled, 0}, {filled, 3}, {filled, 301}}, 6, nullptr, station::EnumSupplyType(0), {},
       nullptr, TASK_STATUS_ERROR, {{"disinfectant_tablet_release_time", "2"}}, SRV_CHECK_WATER_READY,
       SRV_RESULT_WATER_READY},
      {"CleanLiquidPrepare", TASK_TYPE_CLEAN_LIQUID_PREPARE,
       {{water, 0}, {empty, 0}, {filled, 0}, {filled, 11}, {filled, 301}}, 6},
      {"DrainWater", TASK_TYPE_DRAIN_WATER, {{water, 0}, {empty, 0}}, 2},
      // The drain times out. Not the robot's to stop; it acts on no reading but the tank's foot.
      {"ResetStation", TASK_TYPE_RESET_STATION, {{water, 0}, {water, 301}}, 2},
  };
}

namespace {

template <typename Rig>
void Play(const std::vector<steps::Do>& script, std::function<void(Rig&)> steps::Do::*part, Rig& rig) {
  for (size_t i = 0; i < script.size() && !::testing::Test::HasFatalFailure(); ++i) {
    SCOPED_TRACE("script step " + std::to_string(i));
    if (script[i].*part) (script[i].*part)(rig);
    else ADD_FAILURE() << "a task driven by hand opens its script, and only then";
  }
}

}  // namespace

void RunStationCase(const StationCase& c) {
  if (!c.script.empty() && c.script.front().task) {  // no station, no socket, no thread
    TaskRig rig(c.config);
    Play(c.script, &steps::Do::task, rig);
    EXPECT_EQ(rig.board->Sent(rig.end_mark), c.sent);
    EXPECT_EQ(LeftOn(rig.board->Sent(0, true)), std::set<int>{});
    return;
  }
  StationHarness station(c.config);
  ASSERT_TRUE(std::any_of(c.script.begin(), c.script.end(), [](const steps::Do& d) { return d.init; }) ||
              station.StartNormal());
  Play(c.script, &steps::Do::station, station);
  if (::testing::Test::HasFatalFailure()) return;
  EXPECT_TRUE(station.WaitIdle());
  const Commands sent = station.CommandsSinceMark();
  const std::set<std::string> distinct(sent.begin(), sent.end());
  EXPECT_EQ(c.any_order ? Commands(distinct.begin(), distinct.end()) : sent, c.sent);
  EXPECT_EQ(station.center->Status(), c.status);
  const Commands all = station.board->Sent(0, true);
  for (auto end = all.begin(); end != all.end(); ++end) {
    const std::set<int> on = LeftOn(Commands(all.begin(), end + 1));
    EXPECT_TRUE(on.count(station::ENUM_SUPPLY_HEATING_WIRE) == 0 || on.count(station::ENUM_SUPPLY_HEATING_FAN) != 0)
        << "the wire heats without its fan: " << testing::PrintToString(Commands(all.begin(), end + 1));
  }
  EXPECT_EQ(LeftOn(all), std::set<int>{});
}

}  // namespace station_test
