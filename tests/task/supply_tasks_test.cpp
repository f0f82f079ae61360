// The single-actuator tasks: dust collection, self-clean spray, sewage pump,
// drying fan, heating wire, automatic and hand charging, UV lamp. One table
// runs what they share (switching on at the power of the action model, a
// refused start, the time limit and its renewal); the rows after it hold what
// is each task's own. Stop and error paths of every task are swept in
// safety_sweep_test.cpp.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "service_task_support.h"
#include "task/auto_charge_task.h"
#include "task/dry_task.h"
#include "task/dust_collect_task.h"
#include "task/heat_wire_task.h"
#include "task/manual_charge_task.h"
#include "task/sewage_drain_pump_task.h"
#include "task/uv_task.h"
#include "task/water_spray_task.h"

namespace station_center {
namespace {

using namespace service_task_test;
using station_test::FakeBoard;
using station_test::SupplyRequest;

const std::string kFanOn = Act(station::ENUM_SUPPLY_HEATING_FAN, 1);
const std::string kFanOff = Act(station::ENUM_SUPPLY_HEATING_FAN, 0);
const std::string kWireOn = Act(station::ENUM_SUPPLY_HEATING_WIRE, 1);
const std::string kWireOff = Act(station::ENUM_SUPPLY_HEATING_WIRE, 0);
const std::string kChargeOn = Act(station::ENUM_SUPPLY_CHARGING, 1);
const std::string kChargeOff = Act(station::ENUM_SUPPLY_CHARGING, 0);
const std::string kHandOn = Act(station::ENUM_SUPPLY_HAND_CHARGE, 1);
const std::string kHandOff = Act(station::ENUM_SUPPLY_HAND_CHARGE, 0);

// Distinct pump powers per action model, so that a wrong model shows.
StationOptions Powers() {
  StationOptions options;
  options.extra_config = {{"sewage_pump_power_soft", "60"},     {"sewage_pump_power_standard", "70"},
                          {"sewage_pump_power_strong", "95"},   {"self_clean_pump_power_soft", "61"},
                          {"self_clean_pump_power_standard", "72"}, {"self_clean_pump_power_strong", "93"}};
  return options;
}

void SprayReady(StationTaskData& d) {
  d.sewage_pump_left_on = true;
  d.water_ready = true;
  d.supply_water_volume = 2;
}

std::shared_ptr<Task> MakeTask(StationHarness& station, TaskType type, int32_t action, int32_t duration) {
  const auto request = SupplyCommand(action, duration);
  switch (type) {
    case TASK_TYPE_DUST_COLLECT:
      return std::make_shared<DustCollectTask>(station.center(), request);
    case TASK_TYPE_WATER_SPRAY:
      return std::make_shared<WaterSprayTask>(station.center(), request);
    case TASK_TYPE_SEWAGE_DRAIN_PUMP:
      return std::make_shared<SewageDrainPumpTask>(station.center(), request);
    case TASK_TYPE_DRY:
      return std::make_shared<DryTask>(station.center(), request);
    case TASK_TYPE_HEAT_WIRE:
      return std::make_shared<HeatWireTask>(station.center(), request);
    case TASK_TYPE_AUTO_CHARGE:
      return std::make_shared<AutoChargeTask>(station.center(), request);
    case TASK_TYPE_MANUAL_CHARGE:
      return std::make_shared<ManualChargeTask>(station.center());
    default:
      return std::make_shared<UVTask>(station.center(), request);
  }
}

struct SupplyRow {
  const char* name;
  TaskType type;
  station::EnumSupplyType actuator;
  std::vector<int> on;  // the action value sent by action models 1, 2 and 3
  station::SensorsDataRep report;
  std::function<void(StationTaskData&)> data;             // what the task needs to be admitted
  std::function<bool(const StationTaskData&)> started;    // the mark the task sets when it runs
  bool has_limit;
};

std::vector<SupplyRow> SupplyRows() {
  return {
      {"DustCollect", TASK_TYPE_DUST_COLLECT, station::ENUM_SUPPLY_COLLECT_DUST, {1, 1, 1}, DustReady(), nullptr,
       nullptr, true},
      {"WaterSpray", TASK_TYPE_WATER_SPRAY, station::ENUM_SUPPLY_SELF_CLEAN_PUMP, {61, 72, 93}, SewageNotDrained(),
       SprayReady, nullptr, true},
      {"SewageDrainPump", TASK_TYPE_SEWAGE_DRAIN_PUMP, station::ENUM_SUPPLY_SEWAGE_PUMP, {60, 70, 95},
       RobotDocked(Tank(1, 0, 0)), nullptr, [](const StationTaskData& d) { return d.sewage_pump_left_on; }, true},
      {"Dry", TASK_TYPE_DRY, station::ENUM_SUPPLY_HEATING_FAN, {1, 1, 1}, RobotDocked(Tank(1, 0, 0)), nullptr,
       [](const StationTaskData& d) { return d.dry_running; }, true},
      {"HeatWire", TASK_TYPE_HEAT_WIRE, station::ENUM_SUPPLY_HEATING_WIRE, {1, 1, 1}, Wire(20.0f),
       [](StationTaskData& d) { d.dry_running = true; }, nullptr, true},
      {"AutoCharge", TASK_TYPE_AUTO_CHARGE, station::ENUM_SUPPLY_CHARGING, {1, 1, 1}, Plates(78, 78), nullptr,
       [](const StationTaskData& d) { return d.charge_state == 1; }, true},
      {"ManualCharge", TASK_TYPE_MANUAL_CHARGE, station::ENUM_SUPPLY_HAND_CHARGE, {1, 1, 1}, HandSwitch(2), nullptr,
       nullptr, false},
      {"UV", TASK_TYPE_UV, station::ENUM_SUPPLY_UV_LAMP, {1, 1, 1}, RobotDocked(Tank(1, 0, 0)), nullptr, nullptr,
       true},
  };
}

void PrintTo(const SupplyRow& row, std::ostream* os) { *os << row.name; }

class SupplyTask : public ::testing::TestWithParam<SupplyRow> {};

// The first cycle switches the actuator on at the power of the action model; it
// stays on without a further command.
TEST_P(SupplyTask, SwitchesOnOnceAtThePowerOfItsModel) {
  const SupplyRow& row = GetParam();
  auto station = StartStation(Powers());
  for (int model = 1; model <= 3; ++model) {
    SCOPED_TRACE("action model " + std::to_string(model));
    if (row.data) {
      WriteTaskData(*station, row.data);
    }
    auto task = MakeTask(*station, row.type, model, 0);
    EXPECT_EQ(Cycle(*station, *task, row.report), Commands{Act(row.actuator, row.on[model - 1])});
    EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
    AdvanceClock(100000);  // no duration: no limit
    EXPECT_EQ(Cycle(*station, *task, row.report), Commands{});
    EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
    if (row.started) {
      EXPECT_TRUE(row.started(TaskData(*station)));
    }
  }
}

TEST_P(SupplyTask, ARefusedStartFailsTheTaskWithoutMarkingItStarted) {
  const SupplyRow& row = GetParam();
  auto station = StartStation(Powers());
  if (row.data) {
    WriteTaskData(*station, row.data);
  }
  auto task = MakeTask(*station, row.type, 2, 0);
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_EQ(Cycle(*station, *task, row.report), Commands{Act(row.actuator, row.on[1])});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
  if (row.started) {
    EXPECT_FALSE(row.started(TaskData(*station)));
  }
}

// Through the service entry: a repeated request at 20 s renews the 30 s limit
// from then; the task runs at 50 s and ends at 51 s (the UV lamp over, the
// others in error) with its actuator off, and a new request is admitted again.
TEST_P(SupplyTask, TheLimitCountsFromTheLastRequestAndTheEndLeavesNothingOn) {
  const SupplyRow& row = GetParam();
  if (!row.has_limit) {
    GTEST_SKIP() << "no time limit";
  }
  auto station = StartStation(Powers());
  if (row.data) {
    WriteTaskData(*station, row.data);
  }
  station->Deliver(row.report);
  StartThroughService(*station, SupplyRequest(row.type, 2, 30), 1);
  AdvanceClock(20);
  EXPECT_EQ(station->center()->HandleService(SupplyRequest(row.type, 2, 30)).result, SRV_RESULT_TASK_UPDATED);
  AdvanceClock(30);
  EXPECT_TRUE(station->WaitCycles(3));
  EXPECT_TRUE(station->center()->HasTask(row.type));
  AdvanceClock(1);
  ASSERT_TRUE(station->WaitIdle());
  station->Deliver(RobotDocked(Tank(1, 0, 0)));  // sewage drained: a sewage pump left on goes off
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
  station->Deliver(row.report);
  if (row.data) {
    WriteTaskData(*station, row.data);
  }
  StartThroughService(*station, SupplyRequest(row.type, 2, 30), 1);
  StopAndWaitIdle(*station, row.type);
}

INSTANTIATE_TEST_SUITE_P(Tasks, SupplyTask, ::testing::ValuesIn(SupplyRows()),
                         [](const ::testing::TestParamInfo<SupplyRow>& param_info) { return std::string(param_info.param.name); });

// --- admission ---------------------------------------------------------------

struct AdmissionRow {
  const char* name;
  TaskType type;
  station::SensorsDataRep report;
  std::function<void(StationTaskData&)> data;
  const char* refusal;  // empty: admitted
};

void PrintTo(const AdmissionRow& row, std::ostream* os) { *os << row.name; }

station::SensorsDataRep Docking(uint32_t left, uint32_t right, uint32_t plate) {
  station::SensorsDataRep report = Tank(1, 0, 0);
  report.set_robotdockdetleft(left);
  report.set_robotdockdetright(right);
  report.set_electrodeplatedet(plate);
  return report;
}

station::SensorsDataRep Dust(uint32_t bag, uint32_t cap, int32_t pressure) {
  station::SensorsDataRep report = DustReady(pressure);
  report.set_dustbagdet(bag);
  report.set_dustboxcapdet(cap);
  return report;
}

std::function<void(StationTaskData&)> Spray(bool pump, bool ready, int32_t volume, bool interrupted) {
  return [=](StationTaskData& d) {
    d.sewage_pump_left_on = pump;
    d.water_ready = ready;
    d.supply_water_volume = volume;
    d.spray_interrupted = interrupted;
  };
}

std::function<void(StationTaskData&)> Heat(bool dry, bool wire) {
  return [=](StationTaskData& d) {
    d.dry_running = dry;
    d.heat_wire_running = wire;
  };
}

std::vector<AdmissionRow> AdmissionRows() {
  const station::SensorsDataRep docked = RobotDocked(Tank(1, 0, 0));
  return {
      {"UVAway", TASK_TYPE_UV, Docking(0, 0, 0), nullptr, "robot not in station"},
      {"UVLeftDetectorOnly", TASK_TYPE_UV, Docking(1, 0, 0), nullptr, "robot not in station"},
      {"UVNoPlateContact", TASK_TYPE_UV, Docking(1, 1, 0), nullptr, "robot not in station"},
      {"UVNoRightDetector", TASK_TYPE_UV, Docking(1, 0, 1), nullptr, "robot not in station"},
      {"UVDocked", TASK_TYPE_UV, Docking(1, 1, 1), nullptr, ""},
      {"DustNoBag", TASK_TYPE_DUST_COLLECT, Dust(0, 0, 5000), nullptr, "dust bag not in place"},
      {"DustCapOpen", TASK_TYPE_DUST_COLLECT, Dust(1, 0, 5000), nullptr, "dust box cap not in place"},
      {"DustOverUpLimit", TASK_TYPE_DUST_COLLECT, Dust(1, 1, 2001), nullptr, "negative pressure over up limit"},
      {"DustAtUpLimit", TASK_TYPE_DUST_COLLECT, Dust(1, 1, 2000), nullptr, ""},
      {"DustUnderDownLimit", TASK_TYPE_DUST_COLLECT, Dust(1, 1, -28001), nullptr,
       "negative pressure under down limit"},
      {"DustAtDownLimit", TASK_TYPE_DUST_COLLECT, Dust(1, 1, -28000), nullptr, ""},
      {"SpraySewagePumpOff", TASK_TYPE_WATER_SPRAY, docked, Spray(false, true, 2, true), "sewage pump not working"},
      {"SprayNoVolume", TASK_TYPE_WATER_SPRAY, docked, Spray(true, true, 0, false), "pre disinfectant no ready"},
      {"SprayNoWater", TASK_TYPE_WATER_SPRAY, docked, Spray(true, false, 2, false), "pre disinfectant no ready"},
      {"SprayPrepared", TASK_TYPE_WATER_SPRAY, docked, Spray(true, true, 1, false), ""},
      {"SprayInterrupted", TASK_TYPE_WATER_SPRAY, docked, Spray(true, false, 0, true), ""},
      {"HeatFanOff", TASK_TYPE_HEAT_WIRE, Wire(200.0f), Heat(false, false), "dry fan not open"},
      {"HeatAlreadyStarted", TASK_TYPE_HEAT_WIRE, Wire(200.0f), Heat(true, true), "heat wire already start"},
      {"HeatReady", TASK_TYPE_HEAT_WIRE, Wire(200.0f), Heat(true, false), ""},
      {"ChargeHandSwitchOpen", TASK_TYPE_AUTO_CHARGE, Plates(79, 79, 2), nullptr, "hand charge is open"},
      {"ChargePlate1TooHot", TASK_TYPE_AUTO_CHARGE, Plates(79, 79), nullptr, "electrode plate 1 temp over max temp"},
      {"ChargePlate2TooHot", TASK_TYPE_AUTO_CHARGE, Plates(78, 79), nullptr, "electrode plate 2 temp over max temp"},
      {"ChargeAtMaximum", TASK_TYPE_AUTO_CHARGE, Plates(78, 78), nullptr, ""},
      {"HandSwitchOpen", TASK_TYPE_MANUAL_CHARGE, HandSwitch(0), nullptr, "hand charge not open"},
      // The station asks for the hand charge by itself on 1; 2 is closed as well.
      {"HandRobotDocked", TASK_TYPE_MANUAL_CHARGE, RobotDocked(HandSwitch(2)), nullptr,
       "robot in station, can not open hand charge"},
      {"HandClosedNoRobot", TASK_TYPE_MANUAL_CHARGE, HandSwitch(2), nullptr, ""},
  };
}

class SupplyAdmission : public ::testing::TestWithParam<AdmissionRow> {};

TEST_P(SupplyAdmission, RefusesWithItsReasonOrAdmits) {
  const AdmissionRow& row = GetParam();
  auto station = StartStation();
  station->Deliver(row.report);
  if (row.data) {
    WriteTaskData(*station, row.data);
  }
  const StationSrvRsp rsp = station->center()->HandleService(SupplyRequest(row.type, 2));
  EXPECT_EQ(rsp.err_msg, row.refusal);
  EXPECT_EQ(rsp.result, std::string(row.refusal).empty() ? SRV_RESULT_OK : SRV_RESULT_FAILED);
  if (rsp.result == SRV_RESULT_OK) {
    StopAndWaitIdle(*station, row.type);
  }
  EXPECT_EQ(station->CommandsSinceMark().empty(), rsp.result != SRV_RESULT_OK);
}

INSTANTIATE_TEST_SUITE_P(Conditions, SupplyAdmission, ::testing::ValuesIn(AdmissionRows()),
                         [](const ::testing::TestParamInfo<AdmissionRow>& param_info) { return std::string(param_info.param.name); });

class HeatWireTarget : public ::testing::TestWithParam<int> {};

// Heat wire target temperatures at and over the maximum.
TEST_P(HeatWireTarget, AtMostTheMaximum) {
  const int target = GetParam();
  StationOptions options;
  options.extra_config["strong_heat_wire_temp"] = std::to_string(target);
  auto station = StartStation(options);
  station->Deliver(Wire(200.0f));
  WriteTaskData(*station, Heat(true, false));
  const StationSrvRsp rsp = station->center()->HandleService(SupplyRequest(TASK_TYPE_HEAT_WIRE, 2));
  EXPECT_EQ(rsp.err_msg, target > 150 ? "target temp too high" : "");
  if (rsp.result == SRV_RESULT_OK) {
    StopAndWaitIdle(*station, TASK_TYPE_HEAT_WIRE);
  }
}

INSTANTIATE_TEST_SUITE_P(SupplyAdmission, HeatWireTarget, ::testing::Values(150, 151));

// A conflicting task is named before the task's own conditions.
TEST(SupplyAdmission, ARunningConflictIsNamedFirst) {
  auto station = StartStation();
  station->Deliver(DustReady());
  WriteTaskData(*station, Spray(true, false, 0, true));
  StartThroughService(*station, SupplyRequest(TASK_TYPE_WATER_SPRAY, 2), 1);
  StationSrvRsp rsp = station->center()->HandleService(SupplyRequest(TASK_TYPE_DUST_COLLECT, 2));
  EXPECT_EQ(rsp.err_msg, "pre check failed, have conflict task 7 is running");
  StopAndWaitIdle(*station, TASK_TYPE_WATER_SPRAY);

  station->Deliver(HandSwitch(1));  // the station starts a hand charge by itself
  ASSERT_TRUE(station_test::WaitFor([&] { return station->center()->HasTask(TASK_TYPE_MANUAL_CHARGE); }));
  station->Deliver(Plates(20, 20, 1));
  rsp = station->center()->HandleService(SupplyRequest(TASK_TYPE_AUTO_CHARGE, 2));
  EXPECT_EQ(rsp.err_msg, "pre check failed, have conflict task 12 is running");
  station->Deliver(HandSwitch(0));
  ASSERT_TRUE(station->WaitIdle());
}

// --- what each task has of its own -------------------------------------------

struct ThermostatCase {
  const char* name;
  bool wire_on;
  float degrees;
  Commands expected;
};

class HeatWireThermostat : public ::testing::TestWithParam<ThermostatCase> {};

// Target 60 degrees, no hysteresis: on below, off above, nothing at the target.
TEST_P(HeatWireThermostat, SwitchesAtTheTargetItself) {
  const ThermostatCase c = GetParam();
  auto station = StartStation();
  WriteTaskData(*station, Heat(true, false));
  auto task = MakeTask(*station, TASK_TYPE_HEAT_WIRE, 2, 0);
  ASSERT_EQ(Cycle(*station, *task, Wire(c.wire_on ? 20.0f : 100.0f)), c.wire_on ? Commands{kWireOn} : Commands{});
  EXPECT_EQ(Cycle(*station, *task, Wire(c.degrees)), c.expected);
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  EXPECT_TRUE(TaskData(*station).heat_wire_running);
}

INSTANTIATE_TEST_SUITE_P(
    Temperatures, HeatWireThermostat,
    ::testing::Values(ThermostatCase{"OffAt59_5", false, 59.5f, {kWireOn}}, ThermostatCase{"OffAt60_0", false, 60.0f, {}},
                      ThermostatCase{"OffAt60_5", false, 60.5f, {}}, ThermostatCase{"OnAt59_5", true, 59.5f, {}},
                      ThermostatCase{"OnAt60_0", true, 60.0f, {}}, ThermostatCase{"OnAt60_5", true, 60.5f, {kWireOff}}),
    [](const ::testing::TestParamInfo<ThermostatCase>& param_info) { return std::string(param_info.param.name); });

TEST(HeatWireTask, ARefusedThermostatSwitchFailsTheTask) {
  auto station = StartStation();
  WriteTaskData(*station, Heat(true, false));
  auto task = MakeTask(*station, TASK_TYPE_HEAT_WIRE, 2, 0);
  Cycle(*station, *task, Wire(59.5f));
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_EQ(Cycle(*station, *task, Wire(60.5f)), Commands{kWireOff});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
}

struct ChargeStop {
  const char* name;
  station::SensorsDataRep report;
  bool refused;  // the board refuses the switch-off
};

void PrintTo(const ChargeStop& c, std::ostream* os) { *os << c.name; }

class AutoChargeStop : public ::testing::TestWithParam<ChargeStop> {};

// Charging stops, and the task fails, once a plate is over 78 degrees or the
// hand switch closes; a refused switch-off fails it the same way.
TEST_P(AutoChargeStop, StopsWhenAPlateIsTooHotOrTheHandSwitchCloses) {
  const ChargeStop& c = GetParam();
  auto station = StartStation();
  auto task = MakeTask(*station, TASK_TYPE_AUTO_CHARGE, 2, 0);
  Cycle(*station, *task, Plates(78, 78));
  if (c.refused) {
    station->board().ScriptNext(FakeBoard::Answer::kError);
  }
  EXPECT_EQ(Cycle(*station, *task, c.report), Commands{kChargeOff});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_ERROR);
}

INSTANTIATE_TEST_SUITE_P(
    Safety, AutoChargeStop,
    ::testing::Values(ChargeStop{"Plate1", Plates(79, 20), false}, ChargeStop{"Plate2", Plates(20, 79), false},
                      ChargeStop{"HandSwitch", Plates(20, 20, 1), false},
                      ChargeStop{"Plate1Refused", Plates(79, 20), true},
                      ChargeStop{"HandSwitchRefused", Plates(20, 20, 1), true}),
    [](const ::testing::TestParamInfo<ChargeStop>& param_info) { return std::string(param_info.param.name); });

// Hand charging runs until the switch opens; a refused switch-off is tried
// again at the next cycle.
TEST(ManualChargeTask, ChargesUntilTheSwitchOpensAndRetriesARefusedSwitchOff) {
  auto station = StartStation();
  auto task = MakeTask(*station, TASK_TYPE_MANUAL_CHARGE, 0, 0);
  EXPECT_EQ(Cycle(*station, *task, HandSwitch(1)), Commands{kHandOn});
  station->board().ScriptNext(FakeBoard::Answer::kError);
  EXPECT_EQ(Cycle(*station, *task, HandSwitch(0)), Commands{kHandOff});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_RUNNING);
  EXPECT_EQ(Cycle(*station, *task, HandSwitch(0)), Commands{kHandOff});
  EXPECT_EQ(task->GetTaskStatus(), TASK_STATUS_OVER);
}

// A stopped spray may resume without new water as long as the sewage pump
// runs; a spray that failed withdraws the water and may not.
TEST(WaterSprayTask, ResumesAfterAStopButNotAfterAnError) {
  auto station = StartStation();
  station->Deliver(RobotDocked(Tank(1, 0, 0)));
  WriteTaskData(*station, SprayReady);
  StartThroughService(*station, SupplyRequest(TASK_TYPE_WATER_SPRAY, 2), 1);
  EXPECT_EQ(StopAndWaitIdle(*station, TASK_TYPE_WATER_SPRAY).result, SRV_RESULT_OK);
  EXPECT_FALSE(TaskData(*station).water_ready);
  station->MarkCommands();
  StartThroughService(*station, SupplyRequest(TASK_TYPE_WATER_SPRAY, 2, 10), 1);
  AdvanceClock(11);  // the limit: an error
  ASSERT_TRUE(station->WaitIdle());
  EXPECT_EQ(station->center()->HandleService(SupplyRequest(TASK_TYPE_WATER_SPRAY, 2)).err_msg,
            "pre disinfectant no ready");
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
}

// --- the drying fan under a running heating wire ------------------------------

// Replays the board commands and tells whether the board ever held the heating
// wire on while the drying fan was off.
bool WireEverOnWithoutFan(const Commands& commands) {
  bool wire = false;
  bool fan = false;
  for (const std::string& command : commands) {
    if (command == kWireOn || command == kWireOff) {
      wire = command == kWireOn;
    } else if (command == kFanOn || command == kFanOff) {
      fan = command == kFanOn;
    }
    if (wire && !fan) {
      return true;
    }
  }
  return false;
}

enum class FanPath { kRobotStop, kTimeLimit, kConnectionLost, kStaleReports, kWireOffRefused };

struct FanPathCase {
  const char* name;
  FanPath path;
  bool fan_left_on;  // the fan still runs once the task has ended, until its owed switch-off
};

class DryUnderHeatWire : public ::testing::TestWithParam<FanPathCase> {};

// Drying for 600 s with the heat wire heating; then one way of ending (or trying
// to end) the fan. Whatever the path, the wire never heats with the fan off.
TEST_P(DryUnderHeatWire, NeverLeavesTheWireOnWithoutItsFan) {
  const FanPathCase c = GetParam();
  StationOptions options;
  if (c.path == FanPath::kStaleReports) {
    options.extra_config["sensor_report_timeout"] = "15";
  }
  auto station = StartStation(options);
  station->Deliver(Wire(20.0f));  // below the target: the wire heats
  StartThroughService(*station, SupplyRequest(TASK_TYPE_DRY, 2, 600), 1);
  ASSERT_TRUE(station_test::WaitFor([&] { return TaskData(*station).dry_running; }));
  StartThroughService(*station, SupplyRequest(TASK_TYPE_HEAT_WIRE, 2), 2);
  ASSERT_EQ(station->CommandsSinceMark(), (Commands{kFanOn, kWireOn}));

  switch (c.path) {
    case FanPath::kRobotStop: {
      // Refused as before, and drying simply goes on.
      const StationSrvRsp rsp = station->center()->HandleService(SupplyRequest(TASK_TYPE_DRY, 4));
      EXPECT_EQ(rsp.result, SRV_RESULT_FAILED);
      EXPECT_EQ(rsp.err_msg.substr(rsp.err_msg.size() - 8), ", failed");
      EXPECT_TRUE(station->WaitCycles(4));
      EXPECT_TRUE(station->center()->HasTask(TASK_TYPE_DRY));
      EXPECT_TRUE(TaskData(*station).dry_running);
      station->center()->HandleService(SupplyRequest(TASK_TYPE_HEAT_WIRE, 4));
      ASSERT_TRUE(station_test::WaitFor([&] { return !station->center()->HasTask(TASK_TYPE_HEAT_WIRE); }));
      StopAndWaitIdle(*station, TASK_TYPE_DRY);
      break;
    }
    case FanPath::kTimeLimit:
      AdvanceClock(601);
      break;
    case FanPath::kConnectionLost:
      EXPECT_EQ(station->center()->HandleService(ServiceRequest(SRV_CONNECTION_LOST)).result, SRV_RESULT_OK);
      break;
    case FanPath::kStaleReports:
      AdvanceClock(16);  // past the 15 s the reports may be old
      break;
    case FanPath::kWireOffRefused:
      station->board().ScriptNext(FakeBoard::Answer::kError);
      AdvanceClock(601);
      break;
  }
  ASSERT_TRUE(station->WaitIdle());
  if (c.fan_left_on) {
    EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{{station::ENUM_SUPPLY_HEATING_FAN, 1}}));
  }
  EXPECT_EQ(station->center()->RetrySwitchOffs(), 0u);  // what the main loop does once a second
  EXPECT_FALSE(WireEverOnWithoutFan(station->Commands())) << testing::PrintToString(station->CommandsSinceMark());
  EXPECT_EQ(LeftOn(station->Commands()), (std::map<int, int>{}));
  const StationTaskData data = TaskData(*station);
  EXPECT_FALSE(data.heat_wire_running);
  EXPECT_FALSE(data.dry_running);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, DryUnderHeatWire,
    ::testing::Values(FanPathCase{"RobotStopIsRefused", FanPath::kRobotStop, false},
                      FanPathCase{"TimeLimit", FanPath::kTimeLimit, false},
                      FanPathCase{"ConnectionLost", FanPath::kConnectionLost, false},
                      FanPathCase{"StaleReports", FanPath::kStaleReports, false},
                      // The wire's switch-off refused: the fan keeps blowing until the wire is off.
                      FanPathCase{"WireOffRefused", FanPath::kWireOffRefused, true}),
    [](const ::testing::TestParamInfo<FanPathCase>& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace station_center
