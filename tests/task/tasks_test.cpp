// The tasks driven by hand on the task rig: the water supply and the single-actuator tasks switching on and
// ending at their limit; then each task's course, the reports and clock steps each work cycle meets, the board
// commands it must send, how it ends and what its end path sends. Through the station: tests/core.

#include <algorithm>

#include <gtest/gtest.h>

#include "support/station_fixture.h"

namespace station_center {
namespace {

using namespace station_test;
using namespace station_test::steps;

const char kTapOn[] = "act 1:1", kTapOff[] = "act 1:0", kSupplyOn[] = "act 3:1", kSupplyOff[] = "act 3:0",
           kWireOn[] = "act 5:1", kWireOff[] = "act 5:0", kMotorOn[] = "act 10:1", kMotorOff[] = "act 10:0",
           kCleanOn[] = "act 11:1", kCleanOff[] = "act 11:0", kPerfumeOn[] = "act 12:1", kPerfumeOff[] = "act 12:0",
           kDrainOn[] = "act 13:1", kDrainOff[] = "act 13:0", kHandOn[] = "act 14:1", kHandOff[] = "act 14:0";

class SupplyTask : public ::testing::TestWithParam<TaskScenario> {};
// On once at the power of its action model (distinct powers, so a wrong model
// shows); a refused start fails without marking the task started; a repeated
// request at 20 s renews the 30 s limit: running at 50 s, ended at 51 s.
TEST_P(SupplyTask, SwitchesOnAtItsPowerAndEndsAtItsLimit) {
  const TaskScenario& row = GetParam();
  const Rep& report = row.rows[0].first;
  TaskRig rig({{"sewage_pump_power_soft", "60"}, {"sewage_pump_power_standard", "70"},
               {"sewage_pump_power_strong", "95"}, {"self_clean_pump_power_soft", "61"},
               {"self_clean_pump_power_standard", "72"}, {"self_clean_pump_power_strong", "93"}});
  for (int model = 1; model <= 4; ++model) {
    SCOPED_TRACE("action model " + std::to_string(model));
    const bool refused = model == 4;
    rig.data = StationTaskData(), row.data ? row.data(rig.data) : void();
    auto task = rig.MakeTask(SupplyRequest(row.type, refused ? 2 : model, 30));
    rig.board->Refuse(refused ? 1 : 0);
    EXPECT_EQ(rig.Cycle(*task, report), Commands{Act(row.actuator, row.on[refused ? 1 : model - 1])});
    EXPECT_EQ(task->GetTaskStatus(), refused ? TASK_STATUS_ERROR : TASK_STATUS_RUNNING);
    EXPECT_TRUE(!row.started || row.started(rig.data) == !refused);
    rig.now += 20;
    EXPECT_TRUE(task->HandleTaskCommand(TASK_COMMAND_UPLOAD_INFO, SupplyRequest(row.type, 2, 30), rig.now));
    rig.now += 30;
    EXPECT_EQ(rig.Cycle(*task, report), Commands{});
    EXPECT_EQ(task->GetTaskStatus(), refused ? TASK_STATUS_ERROR : TASK_STATUS_RUNNING);
    rig.now += 1;
    rig.Cycle(*task, report);
    EXPECT_EQ(task->GetTaskStatus(), refused ? TASK_STATUS_ERROR : row.at_limit);
  }
  auto unlimited = rig.MakeTask(SupplyRequest(row.type, 2));  // no duration, no limit
  rig.Cycle(*unlimited, report);
  rig.now += 100000;
  EXPECT_EQ(rig.Cycle(*unlimited, report), Commands{});
  EXPECT_EQ(unlimited->GetTaskStatus(), TASK_STATUS_RUNNING);
}

std::vector<TaskScenario> Switching() {  // the tasks that switch one actuator on
  std::vector<TaskScenario> all = TaskScenarios();
  all.erase(std::remove_if(all.begin(), all.end(), [](const TaskScenario& s) { return s.on.empty(); }), all.end());
  return all;
}
INSTANTIATE_TEST_SUITE_P(Tasks, SupplyTask, ::testing::ValuesIn(Switching()), RowName<TaskScenario>);

Do Own(TaskType type, Edit data = nullptr) { return ByHand(SupplyRequest(type, 2), data); }
// Heat wire: target 60 degrees, no hysteresis; on below, off above, nothing at the target.
StationCase Thermostat(const char* name, bool wire_on, float degrees, Commands sent) {
  return {name, {Own(TASK_TYPE_HEAT_WIRE, Heat(true, false)),
                 Sees(Wire(wire_on ? 20.0f : 100.0f), wire_on ? Commands{kWireOn} : Commands{}),
                 Sees(Wire(degrees), sent), End(TASK_STATUS_RUNNING)}, {kWireOff}};
}
// Charging stops, and fails, once a plate is over 78 degrees or the hand switch
// closes; a refused switch-off fails it the same way.
StationCase ChargeStop(const char* name, Rep report, bool refused = false) {
  const std::string off = Act(station::ENUM_SUPPLY_CHARGING, 0);
  return {name, {Own(TASK_TYPE_AUTO_CHARGE), Sees(Plates(78, 78), {Act(station::ENUM_SUPPLY_CHARGING, 1)}),
                 Sees(report, {off}, 0, refused), End(TASK_STATUS_ERROR)}, {off}};
}

Edit Ready(int32_t volume) { return [=](StationTaskData& d) { d.water_ready = true, d.supply_water_volume = volume; }; }
// A supply of `volume` after a prepare whose fill let in `added` counts.
Do AddWater(int32_t volume, int32_t added, int32_t duration = 0) {
  return ByHand(SupplyRequest(TASK_TYPE_ADD_WATER, 2, duration), [=](StationTaskData& d) {
    Ready(volume)(d), d.station_added_water = added;
  });
}
Do Disinfectant(int32_t tablets, int32_t volume, int32_t released_before = 0) {
  return ByHand(PrepareRequest(TASK_TYPE_DISINFECTANT_PREPARE, 2, tablets, volume),
                [=](StationTaskData& d) { d.released_tablets = released_before; });
}
Do Liquid(TaskType type, int32_t volume) { return ByHand(PrepareRequest(type, 2, 0, volume)); }
const Do kDrain = ByHand(SupplyRequest(TASK_TYPE_DRAIN_WATER, 2));
const Do kReset = ByHand(SupplyRequest(TASK_TYPE_RESET_STATION, 2));

Rep Full(uint32_t flow = 1500) { return Tank(0, 1, flow); }
Rep OverCurrent() { return With(Full(), &Rep::set_sortermotorcurrentstate, true); }

// Tank holding water: drain it, fill it to the top.
const std::vector<Do> kDrainAndFill = {
    Sees(Tank(0, 0, 0), {kDrainOn}), Sees(EmptyTankReport(), {kDrainOff}), Sees(EmptyTankReport(), {kTapOn}),
    Sees(Full(), {kTapOff})};
// Supply until the tank runs empty, then refill it to the top.
const std::vector<Do> kSupplyAndFullRefill = {Sees(Full(0), {kSupplyOn}), Sees(Tank(1, 0, 0), {kSupplyOff}),
                                              Sees(Tank(1, 0, 0), {kTapOn}), Sees(Full(), {kTapOff})};

// Disinfectant from a tank holding water: drained, filled to the top, then `rest`.
std::vector<Do> Filled(Do make, const std::vector<Do>& rest) { return std::vector<Do>{make} + kDrainAndFill + rest; }
const Config kTabletEvery5s = {{"disinfectant_tablet_release_time", "5"}};

class TaskCourse : public ::testing::TestWithParam<StationCase> {};
TEST_P(TaskCourse, RunsItsCourseAndEndsWithNothingOn) { RunStationCase(GetParam()); }

const StationCase kCases[] = {
    // Supply to the robot, refilling the tank from the tap between runs; a full tank ends a refill early.
    {"FullTankEndsARefillEarly", {AddWater(3, 0), Sees(Tank(1, 0, 0), {kSupplyOn}), Sees(Tank(1, 0, 0), {kSupplyOff}),
      Sees(Tank(1, 0, 0), {kTapOn}), Sees(Full(1200), {kTapOff}), Sees(Tank(0, 0, 1200), {kSupplyOn}),
      Sees(Tank(1, 0, 0), {kSupplyOff}), Sees(Tank(1, 0, 0), {kTapOn}), Sees(Tank(0, 0, 1799)),
      Sees(Tank(0, 0, 1800), {kTapOff}), Sees(Tank(0, 0, 1800), {kSupplyOn}), Sees(Tank(1, 0, 1800), {kSupplyOff}),
      End(TASK_STATUS_OVER)}, {}},
    // 5000 counts through a tank of 1500: the prepared fill, two full refills, the rest.
    {"LargerThanTheTank", std::vector<Do>{AddWater(5, 1500)} + kSupplyAndFullRefill + kSupplyAndFullRefill +
      std::vector<Do>{Sees(Full(0), {kSupplyOn}), Sees(Tank(1, 0, 0), {kSupplyOff}), Sees(Tank(1, 0, 0), {kTapOn}),
      Sees(Tank(0, 0, 499)), Sees(Tank(0, 0, 500), {kTapOff}), Sees(Tank(0, 0, 500), {kSupplyOn}),
      Sees(Tank(1, 0, 500), {kSupplyOff}), End(TASK_STATUS_OVER)}, {}},
    // No duration, no limit.
    {"WithinThePreparedFill", {AddWater(2, 2000), Sees(Full(0), {kSupplyOn}),
      Sees(Tank(1, 0, 0), {kSupplyOff}, 100000), End(TASK_STATUS_OVER)}, {}},
    {"CountSaturates", {AddWater(3000000, 0), Sees(Tank(1, 0, 0), {kSupplyOn}), Sees(Tank(1, 0, 0), {kSupplyOff}),
      Sees(Tank(1, 0, 0), {kTapOn}), Sees(Tank(0, 0, 2147483646u)), Sees(Tank(0, 0, 2147483647u), {kTapOff}),
      End(TASK_STATUS_RUNNING)}, {kTapOff, kSupplyOff}},
    {"WholeLimit", {AddWater(3, 0, 30), Sees(Tank(0, 0, 0), {kSupplyOn}), Sees(Tank(0, 0, 0), {}, 30),
      Sees(Tank(0, 0, 0), {}, 1), End(TASK_STATUS_ERROR)}, {kTapOff, kSupplyOff}},
    {"RefillLimitClosesTheTapEvenRefused", {AddWater(3, 0), Sees(Tank(1, 0, 0), {kSupplyOn}),
      Sees(Tank(1, 0, 0), {kSupplyOff}), Sees(Tank(1, 0, 0), {kTapOn}), Sees(Tank(0, 0, 100), {}, 120),
      Sees(Tank(0, 0, 100), {kTapOff}, 1, true), End(TASK_STATUS_ERROR)}, {kTapOff, kSupplyOff}},
    // A fill counts only what the meter let in since its tap opened: the report in
    // hand at the opening and the next one still hold the last fill's count.
    {"SecondPreWater", {Disinfectant(0, 2), Sees(Tank(1, 0, 3000)), Sees(Tank(1, 0, 3000), {kTapOn}),
      Sees(Tank(0, 0, 3000)), Sees(Tank(0, 0, 40)), Sees(Tank(0, 0, 1999)), Sees(Tank(0, 0, 2000), {kTapOff}),
      End(TASK_STATUS_RUNNING)}, {kMotorOff, kTapOff}},
    {"MeterThatNeverRestarts", {AddWater(2, 1500), Sees(Full(), {kSupplyOn}), Sees(Tank(1, 0, 1500), {kSupplyOff}),
      Sees(Tank(1, 0, 1500), {kTapOn}), Sees(Tank(0, 0, 1999)), Sees(Tank(0, 0, 2000), {kTapOff}),
      End(TASK_STATUS_RUNNING)}, {kTapOff, kSupplyOff}},
    // What a prepare's fill let in is owed less: 1200 in the tank, 2000 asked, the refill makes up 800.
    {"SupplyAfterAPrepare", {Liquid(TASK_TYPE_PERFUME_PREPARE, 5), Sees(Tank(1, 0, 0)), Sees(Tank(1, 0, 0), {kTapOn}),
      Sees(Full(1200), {kTapOff}), ByHand(SupplyRequest(TASK_TYPE_ADD_WATER, 2), Ready(2)),
      Sees(Full(1200), {kSupplyOn}), Sees(Tank(1, 0, 1200), {kSupplyOff}), Sees(Tank(1, 0, 1200), {kTapOn}),
      Sees(Tank(0, 0, 799)), Sees(Tank(0, 0, 800), {kTapOff}), End(TASK_STATUS_RUNNING)}, {kTapOff, kSupplyOff}},
    // Disinfectant: drain, fill, release tablets, dissolve.
    {"NoTablets", Filled(Disinfectant(0, 3), {Sees(Full()), End(TASK_STATUS_OVER)}), {}},
    // One tablet per whole 5 s of motor running; the seven released before do not count.
    {"TabletCounting", Filled(Disinfectant(2, 3, 7), {Sees(Full(), {kMotorOn}), Sees(Full(), {}, 4),
      Sees(Full(), {}, 1), Sees(Full(), {}, 4), Sees(Full(), {kMotorOff}, 1), Sees(Full(), {}, 300),
      Sees(Full(), {}, 1), End(TASK_STATUS_OVER)}), {}, kTabletEvery5s},
    // Over-current: off, one second's rest, on again; the rest is no running time.
    {"OverCurrentRestNotCounted", Filled(Disinfectant(2, 3), {Sees(Full(), {kMotorOn}),
      Sees(OverCurrent(), {kMotorOff}, 3), Sees(OverCurrent(), {}, 1), Sees(Full(), {kMotorOn}, 1), Sees(Full(), {}, 6),
      Sees(Full(), {kMotorOff}, 1), End(TASK_STATUS_RUNNING)}), {kMotorOff, kTapOff}, kTabletEvery5s},
    {"MotorLimitWithoutCounting", Filled(Disinfectant(1, 3), {Sees(Full(), {kMotorOn}), Sees(Full(), {}, 60),
      Sees(Full(), {}, 1), End(TASK_STATUS_ERROR)}), {kMotorOff, kTapOff}},
    {"MotorLimitFromTheFirstStart", Filled(Disinfectant(1, 3), {Sees(Full(), {kMotorOn}),
      Sees(OverCurrent(), {kMotorOff}, 10), Sees(OverCurrent(), {kMotorOn}, 2), Sees(OverCurrent(), {kMotorOff}, 10),
      Sees(OverCurrent(), {kMotorOn}, 2), Sees(Full(), {}, 36), Sees(Full(), {}, 1),
      End(TASK_STATUS_ERROR)}), {kMotorOff, kTapOff}},
    {"DisinfectantFillLimit", {Disinfectant(1, 3), Sees(Tank(1, 0, 0)), Sees(Tank(1, 0, 0), {kTapOn}),
      Sees(Tank(0, 0, 10), {}, 120), Sees(Tank(0, 0, 10), {kTapOff}, 1, true), End(TASK_STATUS_ERROR)},
     {kMotorOff, kTapOff}},
    // The robot's stop closes the drainage only while the task holds it open.
    {"StopWhileDraining", {Disinfectant(1, 3), Sees(Tank(0, 0, 0), {kDrainOn}), End(TASK_STATUS_RUNNING)},
     {kMotorOff, kTapOff, kDrainOff}},
    {"StopWhileFilling", {Disinfectant(1, 3), Sees(Tank(0, 0, 0), {kDrainOn}), Sees(Tank(1, 0, 0), {kDrainOff}),
      Sees(Tank(1, 0, 0), {kTapOn}), End(TASK_STATUS_RUNNING)}, {kMotorOff, kTapOff}},
    // Liquids: drain, fill to the volume, dose 10 s, dissolve 300 s.
    {"CleanLiquidCourse", {Liquid(TASK_TYPE_CLEAN_LIQUID_PREPARE, 2), Sees(Tank(0, 0, 0), {kDrainOn}),
      Sees(Tank(0, 0, 0)), Sees(Tank(1, 0, 0), {kDrainOff}), Sees(Tank(1, 0, 0), {kTapOn}), Sees(Tank(0, 0, 1999)),
      Sees(Tank(0, 0, 2000), {kTapOff}), Sees(Tank(0, 0, 2000), {kCleanOn}), Sees(Tank(0, 0, 2000), {}, 10),
      Sees(Tank(0, 0, 2000), {kCleanOff}, 1), Sees(Tank(0, 0, 2000), {}, 300), Sees(Tank(0, 0, 2000), {}, 1),
      End(TASK_STATUS_OVER)}, {}},
    {"PerfumeCourse", {Liquid(TASK_TYPE_PERFUME_PREPARE, 2), Sees(Tank(0, 0, 0), {kDrainOn}),
      Sees(Tank(1, 0, 0), {kDrainOff}), Sees(Tank(1, 0, 0), {kTapOn}), Sees(Tank(0, 0, 2000), {kTapOff}),
      Sees(Tank(0, 0, 2000), {kPerfumeOn}), Sees(Tank(0, 0, 2000), {}, 10), Sees(Tank(0, 0, 2000), {kPerfumeOff}, 1),
      Sees(Tank(0, 0, 2000), {}, 301), End(TASK_STATUS_OVER)}, {}},
    {"LiquidDrainLimit", {Liquid(TASK_TYPE_CLEAN_LIQUID_PREPARE, 2), Sees(Tank(0, 0, 0), {kDrainOn}),
      Sees(Tank(0, 0, 0), {}, 300), Sees(Tank(0, 0, 0), {}, 1), End(TASK_STATUS_ERROR)},
     {kCleanOff, kTapOff, kDrainOff}},
    {"LiquidDrainedAtTheLimit", {Liquid(TASK_TYPE_CLEAN_LIQUID_PREPARE, 2), Sees(Tank(0, 0, 0), {kDrainOn}),
      Sees(EmptyTankReport(), {kDrainOff}, 301), Sees(EmptyTankReport(), {kTapOn}), End(TASK_STATUS_RUNNING)},
     {kCleanOff, kTapOff, kDrainOff}},
    {"DisinfectantFilledAtTheLimit", {Disinfectant(1, 3), Sees(Tank(1, 0, 0)), Sees(Tank(1, 0, 0), {kTapOn}),
      Sees(Full(10), {kTapOff}, 121), End(TASK_STATUS_RUNNING)}, {kMotorOff, kTapOff}},
    {"DrainEmptyTank", {kDrain, Sees(EmptyTankReport(), {kDrainOff}), Sees(EmptyTankReport()),
      End(TASK_STATUS_OVER)}, {}},
    {"DrainUntilEmpty", {kDrain, Sees(Rep(), {kDrainOn}), Sees(Rep(), {}, 100),
      Sees(EmptyTankReport(), {kDrainOff}), End(TASK_STATUS_OVER)}, {}},
    {"DrainLimit", {kDrain, Sees(Rep(), {kDrainOn}), Sees(Rep(), {}, 20), Sees(Rep(), {}, 1),
      End(TASK_STATUS_ERROR)}, {kDrainOff}, {{"drain_water_max_time", "20"}}},
    // Over all the same; the refused close is owed and sent again.
    {"DrainCloseRefusedOnEmpty", {kDrain, Sees(Rep(), {kDrainOn}), Sees(EmptyTankReport(), {kDrainOff}, 0, true),
      End(TASK_STATUS_OVER)}, {kDrainOff}},
    {"DrainStopBeforeOpening", {kDrain, End(TASK_STATUS_WAITING)}, {}},
    {"DrainStopWhileOpen", {kDrain, Sees(Rep(), {kDrainOn}), End(TASK_STATUS_RUNNING)}, {kDrainOff}},
    {"ResetDrainsWithinTheLimit", {kReset, Sees(Rep(), {kDrainOn}), Sees(Rep(), {}, 300),
      Sees(EmptyTankReport(), {kDrainOff}), End(TASK_STATUS_OVER)}, {}},
    {"ResetOpenRefused", {kReset, Sees(Rep(), {kDrainOn}, 0, true), End(TASK_STATUS_ERROR)}, {kDrainOff}},
    {"ResetCloseRefused", {kReset, Sees(Rep(), {kDrainOn}), Sees(EmptyTankReport(), {kDrainOff}, 0, true),
      End(TASK_STATUS_ERROR)}, {kDrainOff}},
    // What each single-actuator task has of its own.
    Thermostat("OffAt59_5", false, 59.5f, {kWireOn}), Thermostat("OffAt60_0", false, 60.0f, {}),
    Thermostat("OffAt60_5", false, 60.5f, {}), Thermostat("OnAt59_5", true, 59.5f, {}),
    Thermostat("OnAt60_0", true, 60.0f, {}), Thermostat("OnAt60_5", true, 60.5f, {kWireOff}),
    {"ThermostatSwitchRefused", {Own(TASK_TYPE_HEAT_WIRE, Heat(true, false)), Sees(Wire(59.5f), {kWireOn}),
     Sees(Wire(60.5f), {kWireOff}, 0, true), End(TASK_STATUS_ERROR)}, {kWireOff}},
    ChargeStop("Plate1", Plates(79, 20)), ChargeStop("Plate2", Plates(20, 79)),
    ChargeStop("HandSwitch", Plates(20, 20, 1)), ChargeStop("Plate1Refused", Plates(79, 20), true),
    // Hand charging runs until the switch opens; a refused switch-off is tried again.
    {"ManualChargeRetriesItsSwitchOff", {Own(TASK_TYPE_MANUAL_CHARGE), Sees(HandSwitch(1), {kHandOn}),
     Sees(HandSwitch(0), {kHandOff}, 0, true), Sees(HandSwitch(0), {kHandOff}), End(TASK_STATUS_OVER)}},
};

INSTANTIATE_TEST_SUITE_P(Rows, TaskCourse, ::testing::ValuesIn(kCases), RowName<StationCase>);

}  // namespace
}  // namespace station_center
