// The single-actuator tasks (and the water supply, which shares their limit):
// one table for what they share, rows for what is each task's own, and the
// admission table of every task type. Stop and error paths: safety_sweep_test.cpp.

#include <gtest/gtest.h>

#include "support/station_fixture.h"

namespace station_center {
namespace {

using namespace station_test;
using namespace station_test::steps;

const char kWireOn[] = "act 5:1", kWireOff[] = "act 5:0", kHandOn[] = "act 14:1", kHandOff[] = "act 14:0";

Edit Spray(bool pump, bool ready, int32_t volume, bool interrupted) {
  return [=](StationTaskData& d) { d.sewage_pump_left_on = pump, d.water_ready = ready, d.supply_water_volume = volume,
                                   d.spray_interrupted = interrupted; };
}
Edit Heat(bool dry, bool wire) { return [=](StationTaskData& d) { d.dry_running = dry, d.heat_wire_running = wire; }; }
Edit Prepared(bool water, bool perfume, bool clean, int32_t volume) {
  return [=](StationTaskData& d) {
    d.water_ready = water, d.perfume_liquid_ready = perfume, d.clean_liquid_ready = clean;
    d.supply_water_volume = volume, d.station_added_water = 0;
  };
}

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
    rig.board->refuse = refused ? 1 : 0;
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

// --- admission of every task type ---------------------------------------------

struct AdmissionRow {
  const char* name;
  TaskType type;
  Rep report;
  Edit data;
  std::string refusal;                   // empty: admitted
  TaskType running = TASK_TYPE_INVALID;  // a conflicting task started first
  int heat_target = 0;                   // strong_heat_wire_temp, when set
};
void PrintTo(const AdmissionRow& row, std::ostream* os) { *os << row.name; }

Request Want(TaskType type, int32_t action) {
  return type <= TASK_TYPE_PERFUME_PREPARE ? PrepareRequest(type, action, 0, 1) : SupplyRequest(type, action);
}
Rep Docking(uint32_t left, uint32_t right, uint32_t plate) {
  return With(EmptyTankReport(), &Rep::set_robotdockdetleft, left, &Rep::set_robotdockdetright, right,
              &Rep::set_electrodeplatedet, plate);
}
Rep Dust(uint32_t bag, uint32_t cap, int32_t pressure) {
  return With(DustReady(pressure), &Rep::set_dustbagdet, bag, &Rep::set_dustboxcapdet, cap);
}
// A conflicting task running: named before the task's own conditions.
AdmissionRow Vs(const char* name, TaskType type, TaskType running, Edit data = nullptr) {
  return {name, type, DustReady(), data,
          "pre check failed, have conflict task " + std::to_string(static_cast<int>(running)) + " is running", running};
}

const char kNotReady[] = "liquied pre no ready, or supply water volume unvalid", kAway[] = "robot not in station";
const Rep kDocked = RobotDocked(EmptyTankReport());

const AdmissionRow kAdmissionRows[] = {
    {"UVAway", TASK_TYPE_UV, Docking(0, 0, 0), nullptr, kAway},
    {"UVLeftOnly", TASK_TYPE_UV, Docking(1, 0, 0), nullptr, kAway},
    {"UVNoPlate", TASK_TYPE_UV, Docking(1, 1, 0), nullptr, kAway},
    {"UVNoRight", TASK_TYPE_UV, Docking(1, 0, 1), nullptr, kAway},
    {"UVDocked", TASK_TYPE_UV, Docking(1, 1, 1), nullptr, ""},
    {"DustNoBag", TASK_TYPE_DUST_COLLECT, Dust(0, 0, 5000), nullptr, "dust bag not in place"},
    {"DustCapOpen", TASK_TYPE_DUST_COLLECT, Dust(1, 0, 5000), nullptr, "dust box cap not in place"},
    {"DustOverUpLimit", TASK_TYPE_DUST_COLLECT, Dust(1, 1, 2001), nullptr, "negative pressure over up limit"},
    {"DustAtUpLimit", TASK_TYPE_DUST_COLLECT, Dust(1, 1, 2000), nullptr, ""},
    {"DustUnderDownLimit", TASK_TYPE_DUST_COLLECT, Dust(1, 1, -28001), nullptr, "negative pressure under down limit"},
    {"DustAtDownLimit", TASK_TYPE_DUST_COLLECT, Dust(1, 1, -28000), nullptr, ""},
    {"SpraySewagePumpOff", TASK_TYPE_WATER_SPRAY, kDocked, Spray(false, true, 2, true), "sewage pump not working"},
    {"SprayNoVolume", TASK_TYPE_WATER_SPRAY, kDocked, Spray(true, true, 0, false), "pre disinfectant no ready"},
    {"SprayNoWater", TASK_TYPE_WATER_SPRAY, kDocked, Spray(true, false, 2, false), "pre disinfectant no ready"},
    {"SprayPrepared", TASK_TYPE_WATER_SPRAY, kDocked, Spray(true, true, 1, false), ""},
    {"SprayInterrupted", TASK_TYPE_WATER_SPRAY, kDocked, Spray(true, false, 0, true), ""},
    {"HeatFanOff", TASK_TYPE_HEAT_WIRE, Wire(200.0f), Heat(false, false), "dry fan not open"},
    {"HeatAlreadyOn", TASK_TYPE_HEAT_WIRE, Wire(200.0f), Heat(true, true), "heat wire already start"},
    {"HeatTarget150", TASK_TYPE_HEAT_WIRE, Wire(200.0f), Heat(true, false), "", TASK_TYPE_INVALID, 150},
    {"HeatTarget151", TASK_TYPE_HEAT_WIRE, Wire(200.0f), Heat(true, false), "target temp too high",
     TASK_TYPE_INVALID, 151},
    {"ChargeHandSwitch", TASK_TYPE_AUTO_CHARGE, Plates(79, 79, 2), nullptr, "hand charge is open"},
    {"ChargePlate1At79", TASK_TYPE_AUTO_CHARGE, Plates(79, 79), nullptr, "electrode plate 1 temp over max temp"},
    {"ChargePlate2At79", TASK_TYPE_AUTO_CHARGE, Plates(78, 79), nullptr, "electrode plate 2 temp over max temp"},
    {"ChargeAt78", TASK_TYPE_AUTO_CHARGE, Plates(78, 78), nullptr, ""},
    {"HandSwitchOpen", TASK_TYPE_MANUAL_CHARGE, HandSwitch(0), nullptr, "hand charge not open"},
    // The station asks for the hand charge by itself on 1; 2 is closed as well.
    {"HandRobotDocked", TASK_TYPE_MANUAL_CHARGE, RobotDocked(HandSwitch(2)), nullptr,
     "robot in station, can not open hand charge"},
    {"HandClosed", TASK_TYPE_MANUAL_CHARGE, HandSwitch(2), nullptr, ""},
    {"WaterNothingPrepared", TASK_TYPE_ADD_WATER, kDocked, Prepared(false, false, false, 3), kNotReady},
    {"WaterNoVolume", TASK_TYPE_ADD_WATER, kDocked, Prepared(true, false, false, 0), kNotReady},
    {"WaterNegativeVolume", TASK_TYPE_ADD_WATER, kDocked, Prepared(true, true, true, -1), kNotReady},
    {"WaterDisinfectant", TASK_TYPE_ADD_WATER, kDocked, Prepared(true, false, false, 1), ""},
    {"WaterPerfume", TASK_TYPE_ADD_WATER, kDocked, Prepared(false, true, false, 1), ""},
    {"WaterCleaning", TASK_TYPE_ADD_WATER, kDocked, Prepared(false, false, true, 2), ""},
    Vs("DisinfectantVsClean", TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE),
    Vs("CleanVsDisinfectant", TASK_TYPE_CLEAN_LIQUID_PREPARE, TASK_TYPE_DISINFECTANT_PREPARE),
    Vs("PerfumeVsClean", TASK_TYPE_PERFUME_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE),
    Vs("DrainVsPerfume", TASK_TYPE_DRAIN_WATER, TASK_TYPE_PERFUME_PREPARE),
    Vs("WaterVsDisinfectant", TASK_TYPE_ADD_WATER, TASK_TYPE_DISINFECTANT_PREPARE, Prepared(true, false, false, 1)),
    Vs("DustVsDry", TASK_TYPE_DUST_COLLECT, TASK_TYPE_DRY),
    Vs("SprayVsDust", TASK_TYPE_WATER_SPRAY, TASK_TYPE_DUST_COLLECT),
    Vs("SewageVsDry", TASK_TYPE_SEWAGE_DRAIN_PUMP, TASK_TYPE_DRY),
    Vs("DryVsDust", TASK_TYPE_DRY, TASK_TYPE_DUST_COLLECT),
    Vs("HeatVsDust", TASK_TYPE_HEAT_WIRE, TASK_TYPE_DUST_COLLECT),
    Vs("ChargeVsDust", TASK_TYPE_AUTO_CHARGE, TASK_TYPE_DUST_COLLECT),
    Vs("HandVsCharge", TASK_TYPE_MANUAL_CHARGE, TASK_TYPE_AUTO_CHARGE),
    {"UVConflictsWithNothing", TASK_TYPE_UV, DustReady(), nullptr, "", TASK_TYPE_DUST_COLLECT},
};

class Admission : public ::testing::TestWithParam<AdmissionRow> {};
// Refused with its reason and nothing sent, or admitted; stopped, nothing is left on.
TEST_P(Admission, RefusesWithItsReasonOrAdmits) {
  const AdmissionRow& row = GetParam();
  StationOptions options;
  if (row.heat_target != 0) options.extra_config["strong_heat_wire_temp"] = std::to_string(row.heat_target);
  StationHarness station(options);
  ASSERT_TRUE(station.StartNormal());
  station.Deliver(row.report);
  if (row.running != TASK_TYPE_INVALID) {
    ASSERT_EQ(station.Ask(Want(row.running, 2)).result, SRV_RESULT_OK);
    ASSERT_TRUE(station.WaitForCommands(1));
  }
  if (row.data) station.Edit(row.data);
  const size_t before = station.CommandsSinceMark().size();
  const StationSrvRsp rsp = station.Ask(Want(row.type, 2));
  EXPECT_EQ(rsp.err_msg, row.refusal);
  EXPECT_EQ(rsp.result, row.refusal.empty() ? SRV_RESULT_OK : SRV_RESULT_FAILED);
  station.SyncWithService();
  EXPECT_TRUE(row.refusal.empty() || station.CommandsSinceMark().size() == before);
  station.Ask(Want(row.type, 4));
  station.Ask(Want(row.running, 4));
  ASSERT_TRUE(station.WaitIdle());
  EXPECT_EQ(LeftOn(station.CommandsSinceMark()), std::set<int>{});
}

INSTANTIATE_TEST_SUITE_P(EveryType, Admission, ::testing::ValuesIn(kAdmissionRows), RowName());

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
