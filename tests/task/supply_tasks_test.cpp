// The single-actuator tasks (and the water supply, which shares their limit),
// driven by hand on the task rig: one table for what they share, rows for what
// is each task's own. Admission and the stop and error paths through the
// station: core/admission_test.cpp, core/safety_sweep_test.cpp.

#include <gtest/gtest.h>

#include "support/station_fixture.h"

namespace station_center {
namespace {

using namespace station_test;
using namespace station_test::steps;

const char kWireOn[] = "act 5:1", kWireOff[] = "act 5:0", kHandOn[] = "act 14:1", kHandOff[] = "act 14:0";

struct SupplyRow {
  const char* name;
  TaskType type;
  station::EnumSupplyType actuator;
  std::vector<int> on;  // the action sent for action models 1, 2 and 3
  Rep report;
  Edit data;                                            // what the task needs
  std::function<bool(const StationTaskData&)> started;  // the mark a running task sets
  TaskStatus at_limit = TASK_STATUS_ERROR;              // the end one second past the limit
};
void PrintTo(const SupplyRow& row, std::ostream* os) { *os << row.name; }

const SupplyRow kSupplyRows[] = {
    {"AddWater", TASK_TYPE_ADD_WATER, station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, {1, 1, 1}, RobotDocked(Tank(0, 0, 0)),
     Prepared(true, false, false, 3)},
    {"DustCollect", TASK_TYPE_DUST_COLLECT, station::ENUM_SUPPLY_COLLECT_DUST, {1, 1, 1}, DustReady()},
    {"WaterSpray", TASK_TYPE_WATER_SPRAY, station::ENUM_SUPPLY_SELF_CLEAN_PUMP, {61, 72, 93}, SewageNotDrained(),
     Spray(true, true, 2, false)},
    {"SewageDrainPump", TASK_TYPE_SEWAGE_DRAIN_PUMP, station::ENUM_SUPPLY_SEWAGE_PUMP, {60, 70, 95}, SewageNotDrained(),
     nullptr, [](const StationTaskData& d) { return d.sewage_pump_left_on; }},
    {"Dry", TASK_TYPE_DRY, station::ENUM_SUPPLY_HEATING_FAN, {1, 1, 1}, RobotDocked(EmptyTankReport()), nullptr,
     [](const StationTaskData& d) { return d.dry_running; }},
    {"HeatWire", TASK_TYPE_HEAT_WIRE, station::ENUM_SUPPLY_HEATING_WIRE, {1, 1, 1}, Wire(20.0f), Heat(true, false)},
    {"AutoCharge", TASK_TYPE_AUTO_CHARGE, station::ENUM_SUPPLY_CHARGING, {1, 1, 1}, Plates(78, 78), nullptr,
     [](const StationTaskData& d) { return d.charge_state == 1; }},
    {"ManualCharge", TASK_TYPE_MANUAL_CHARGE, station::ENUM_SUPPLY_HAND_CHARGE, {1, 1, 1}, HandSwitch(2), nullptr,
     nullptr, TASK_STATUS_RUNNING},
    {"UV", TASK_TYPE_UV, station::ENUM_SUPPLY_UV_LAMP, {1, 1, 1}, RobotDocked(EmptyTankReport()), nullptr, nullptr,
     TASK_STATUS_OVER},
};

class SupplyTask : public ::testing::TestWithParam<SupplyRow> {};
// On once at the power of its action model (distinct powers, so a wrong model
// shows); a refused start fails without marking the task started; a repeated
// request at 20 s renews the 30 s limit: running at 50 s, ended at 51 s.
TEST_P(SupplyTask, SwitchesOnAtItsPowerAndEndsAtItsLimit) {
  const SupplyRow& row = GetParam();
  StationOptions options;
  options.extra_config = {{"sewage_pump_power_soft", "60"},       {"sewage_pump_power_standard", "70"},
                          {"sewage_pump_power_strong", "95"},     {"self_clean_pump_power_soft", "61"},
                          {"self_clean_pump_power_standard", "72"}, {"self_clean_pump_power_strong", "93"}};
  TaskRig rig(options);
  for (int model = 1; model <= 4; ++model) {
    SCOPED_TRACE("action model " + std::to_string(model));
    const bool refused = model == 4;
    rig.data = StationTaskData(), row.data ? row.data(rig.data) : void();
    auto task = rig.MakeTask(SupplyRequest(row.type, refused ? 2 : model, 30));
    rig.board->Refuse(refused ? 1 : 0);
    EXPECT_EQ(rig.Cycle(*task, row.report), Commands{Act(row.actuator, row.on[refused ? 1 : model - 1])});
    EXPECT_EQ(task->GetTaskStatus(), refused ? TASK_STATUS_ERROR : TASK_STATUS_RUNNING);
    EXPECT_TRUE(!row.started || row.started(rig.data) == !refused);
    rig.now += 20;
    EXPECT_TRUE(task->HandleTaskCommand(TASK_COMMAND_UPLOAD_INFO, SupplyRequest(row.type, 2, 30), rig.now));
    rig.now += 30;
    EXPECT_EQ(rig.Cycle(*task, row.report), Commands{});
    EXPECT_EQ(task->GetTaskStatus(), refused ? TASK_STATUS_ERROR : TASK_STATUS_RUNNING);
    rig.now += 1;
    rig.Cycle(*task, row.report);
    EXPECT_EQ(task->GetTaskStatus(), refused ? TASK_STATUS_ERROR : row.at_limit);
  }
  auto unlimited = rig.MakeTask(SupplyRequest(row.type, 2));  // no duration, no limit
  rig.Cycle(*unlimited, row.report);
  rig.now += 100000;
  EXPECT_EQ(rig.Cycle(*unlimited, row.report), Commands{});
  EXPECT_EQ(unlimited->GetTaskStatus(), TASK_STATUS_RUNNING);
}

INSTANTIATE_TEST_SUITE_P(Tasks, SupplyTask, ::testing::ValuesIn(kSupplyRows), RowName());

// --- what each task has of its own -------------------------------------------

Do Own(TaskType type, Edit data = nullptr) { return ByHand(SupplyRequest(type, 2), data); }
// Heat wire: target 60 degrees, no hysteresis; on below, off above, nothing at the target.
StationCase Thermostat(const char* name, bool wire_on, float degrees, Commands sent) {
  return {name, {Own(TASK_TYPE_HEAT_WIRE, Heat(true, false)),
                 Sees(Wire(wire_on ? 20.0f : 100.0f), wire_on ? Commands{kWireOn} : Commands{}),
                 Sees(Wire(degrees), sent), End(TASK_STATUS_RUNNING)},
          {kWireOff}};
}
// Charging stops, and fails, once a plate is over 78 degrees or the hand switch
// closes; a refused switch-off fails it the same way.
StationCase ChargeStop(const char* name, Rep report, bool refused = false) {
  const std::string off = Act(station::ENUM_SUPPLY_CHARGING, 0);
  return {name, {Own(TASK_TYPE_AUTO_CHARGE), Sees(Plates(78, 78), {Act(station::ENUM_SUPPLY_CHARGING, 1)}),
                 Sees(report, {off}, 0, refused), End(TASK_STATUS_ERROR)}, {off}};
}

class Station : public ::testing::TestWithParam<StationCase> {};
TEST_P(Station, PlaysItsDay) { RunStationCase(GetParam()); }

// What each task has of its own, driven by hand.
INSTANTIATE_TEST_SUITE_P(
    Rows, Station,
    ::testing::Values(
        Thermostat("OffAt59_5", false, 59.5f, {kWireOn}), Thermostat("OffAt60_0", false, 60.0f, {}),
        Thermostat("OffAt60_5", false, 60.5f, {}), Thermostat("OnAt59_5", true, 59.5f, {}),
        Thermostat("OnAt60_0", true, 60.0f, {}), Thermostat("OnAt60_5", true, 60.5f, {kWireOff}),
        StationCase{"ThermostatSwitchRefused", {Own(TASK_TYPE_HEAT_WIRE, Heat(true, false)),
                    Sees(Wire(59.5f), {kWireOn}), Sees(Wire(60.5f), {kWireOff}, 0, true), End(TASK_STATUS_ERROR)},
                    {kWireOff}},
        ChargeStop("Plate1", Plates(79, 20)), ChargeStop("Plate2", Plates(20, 79)),
        ChargeStop("HandSwitch", Plates(20, 20, 1)), ChargeStop("Plate1Refused", Plates(79, 20), true),
        // Hand charging runs until the switch opens; a refused switch-off is tried again.
        StationCase{"ManualChargeRetriesItsSwitchOff", {Own(TASK_TYPE_MANUAL_CHARGE), Sees(HandSwitch(1), {kHandOn}),
                    Sees(HandSwitch(0), {kHandOff}, 0, true), Sees(HandSwitch(0), {kHandOff}), End(TASK_STATUS_OVER)}}),
    RowName());

}  // namespace
}  // namespace station_center
