// Safety sweeps over every task. Each task has one scenario, its ordinary
// course through the service entry (sensor reports and clock steps), and three
// sweeps run it again and again:
//  - the board refuses each of its commands in turn;
//  - the robot stops the task after each step;
//  - the sensor reports stop after each step.
// Whatever happens, once the task has ended nothing it switched on may still be
// on. The one exception is the sewage pump, which a sewage drain leaves running
// until the sewage has drained, unless the reports have stopped.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "service_task_support.h"

namespace station_center {
namespace {

using namespace service_task_test;
using station_test::FakeBoard;
using station_test::SupplyRequest;

struct Row {
  station::SensorsDataRep report;  // pushed first
  int64_t advance_s;               // then the clock moves on
};

struct Scenario {
  const char* name = "";
  TaskType type = TASK_TYPE_INVALID;
  // The robot's request with the given action model (2 start, 4 stop).
  std::function<StationSrvReq(int32_t action)> request;
  station::SensorsDataRep start;  // in force when the task is asked for
  std::vector<Row> rows;
  std::function<void(StationHarness&)> prepare;           // station task data the task needs
  std::map<std::string, std::string> config;              // extra config.json members
  std::set<int> may_stay_on;  // actuators an end other than lost reports may leave on by their own rule
  bool robot_stops = true;
  size_t commands = 0;  // board commands of the whole course
};

station::SensorsDataRep Docked(station::SensorsDataRep report) { return RobotDocked(report); }

StationSrvReq Supply(TaskType type, int32_t action, int32_t duration) { return SupplyRequest(type, action, duration); }

StationSrvReq Prepare(TaskType type, int32_t action, int32_t tablets, int32_t volume) {
  StationSrvReq request;
  request.service_type = SRV_RECEIVE_TASK;
  request.task_type = type;
  request.prepare_disinfectant_req = PrepareCommand(tablets, volume, action);
  request.supply_material_req.mutable_cmd()->set_action(static_cast<quorvane_base_station_mqtt::EnumActionModel>(action));
  return request;
}

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

Scenario Make(const char* name, TaskType type, std::function<StationSrvReq(int32_t)> request,
              station::SensorsDataRep start, std::vector<Row> rows, size_t commands) {
  Scenario s;
  s.commands = commands;
  s.name = name;
  s.type = type;
  s.request = std::move(request);
  s.start = std::move(start);
  s.rows = std::move(rows);
  return s;
}

Scenario With(Scenario s, const std::function<void(Scenario&)>& edit) {
  edit(s);
  return s;
}

std::function<StationSrvReq(int32_t)> SupplyOf(TaskType type, int32_t duration) {
  return [type, duration](int32_t action) { return Supply(type, action, duration); };
}

std::vector<Scenario> Scenarios() {
  return {
      With(Make("DisinfectantPrepare", TASK_TYPE_DISINFECTANT_PREPARE,
                [](int32_t action) { return Prepare(TASK_TYPE_DISINFECTANT_PREPARE, action, 1, 1); },
                Docked(Tank(0, 0, 0)),
                {{Docked(Tank(0, 0, 0)), 0},     // draining
                 {Docked(Tank(1, 0, 0)), 0},     // empty: drain closed, tap opens
                 {Docked(Tank(0, 0, 1000)), 0},  // filled: tap closed, plates motor on
                 {Docked(Tank(0, 0, 1000)), 3},  // a tablet released: motor off
                 {Docked(Tank(0, 0, 1000)), 301}},
                6),
           [](Scenario& s) { s.config["disinfectant_tablet_release_time"] = "2"; }),
      Make("CleanLiquidPrepare", TASK_TYPE_CLEAN_LIQUID_PREPARE,
           [](int32_t action) { return Prepare(TASK_TYPE_CLEAN_LIQUID_PREPARE, action, 0, 1); },
           Docked(Tank(0, 0, 0)),
           {{Docked(Tank(0, 0, 0)), 0},
            {Docked(Tank(1, 0, 0)), 0},
            {Docked(Tank(0, 0, 1000)), 0},  // tap closed, liquid pump on
            {Docked(Tank(0, 0, 1000)), 11},
            {Docked(Tank(0, 0, 1000)), 301}},
           6),
      Make("DrainWater", TASK_TYPE_DRAIN_WATER, SupplyOf(TASK_TYPE_DRAIN_WATER, 0), Docked(Tank(0, 0, 0)),
           {{Docked(Tank(0, 0, 0)), 0}, {Docked(Tank(1, 0, 0)), 0}}, 2),
      With(Make("AddWater", TASK_TYPE_ADD_WATER, SupplyOf(TASK_TYPE_ADD_WATER, 0), Docked(Tank(0, 1, 0)),
                {{Docked(Tank(0, 1, 0)), 0},     // supplying the robot
                 {Docked(Tank(1, 0, 0)), 0},     // run down: supply closed, tap opens
                 {Docked(Tank(0, 0, 1000)), 0},  // refilled: tap closed, supply opens
                 {Docked(Tank(1, 0, 1000)), 0}},
                6),
           [](Scenario& s) {
             s.prepare = [](StationHarness& station) {
               WriteTaskData(station, [](StationTaskData& d) {
                 d.water_ready = true;
                 d.supply_water_volume = 1;
                 d.station_added_water = 0;
               });
             };
           }),
      Make("DustCollect", TASK_TYPE_DUST_COLLECT, SupplyOf(TASK_TYPE_DUST_COLLECT, 30), DustReady(),
           {{DustReady(), 0}, {DustReady(), 31}}, 2),
      With(Make("WaterSpray", TASK_TYPE_WATER_SPRAY, SupplyOf(TASK_TYPE_WATER_SPRAY, 30), SewageNotDrained(),
                {{SewageNotDrained(), 0}, {SewageNotDrained(), 31}}, 2),
           [](Scenario& s) {
             s.prepare = [](StationHarness& station) {
               WriteTaskData(station, [](StationTaskData& d) {
                 d.sewage_pump_left_on = true;
                 d.water_ready = true;
                 d.supply_water_volume = 1;
               });
             };
           }),
      With(Make("SewageDrainPump", TASK_TYPE_SEWAGE_DRAIN_PUMP, SupplyOf(TASK_TYPE_SEWAGE_DRAIN_PUMP, 30),
                SewageNotDrained(), {{SewageNotDrained(), 0}, {SewageNotDrained(), 31}}, 1),
           [](Scenario& s) { s.may_stay_on = {station::ENUM_SUPPLY_SEWAGE_PUMP}; }),
      Make("Dry", TASK_TYPE_DRY, SupplyOf(TASK_TYPE_DRY, 30), Docked(Tank(1, 0, 0)),
           {{Docked(Tank(1, 0, 0)), 0}, {Docked(Tank(1, 0, 0)), 31}}, 3),
      With(Make("HeatWire", TASK_TYPE_HEAT_WIRE, SupplyOf(TASK_TYPE_HEAT_WIRE, 30), Wire(20.0f),
                {{Wire(20.0f), 0}, {Wire(70.0f), 0}, {Wire(20.0f), 0}, {Wire(20.0f), 31}}, 4),
           [](Scenario& s) {
             s.prepare = [](StationHarness& station) {
               WriteTaskData(station, [](StationTaskData& d) { d.dry_running = true; });
             };
           }),
      // The plates get too hot: charging stops.
      Make("AutoCharge", TASK_TYPE_AUTO_CHARGE, SupplyOf(TASK_TYPE_AUTO_CHARGE, 0), Plates(30, 30),
           {{Plates(30, 30), 0}, {Plates(90, 90), 0}}, 3),
      // The hand switch closed asks for the task by itself; opened, it ends it.
      Make("ManualCharge", TASK_TYPE_MANUAL_CHARGE, SupplyOf(TASK_TYPE_MANUAL_CHARGE, 0), HandSwitch(1),
           {{HandSwitch(1), 0}, {HandSwitch(0), 0}}, 2),
      Make("UV", TASK_TYPE_UV, SupplyOf(TASK_TYPE_UV, 30), Docked(Tank(1, 0, 0)),
           {{Docked(Tank(1, 0, 0)), 0}, {Docked(Tank(1, 0, 0)), 31}}, 2),
      // The drain times out.
      With(Make("ResetStation", TASK_TYPE_RESET_STATION, SupplyOf(TASK_TYPE_RESET_STATION, 0),
                Docked(Tank(0, 0, 0)), {{Docked(Tank(0, 0, 0)), 0}, {Docked(Tank(0, 0, 0)), 301}}, 2),
           [](Scenario& s) {
             s.robot_stops = false;
             s.request = [](int32_t) { return Supply(TASK_TYPE_RESET_STATION, 0, 0); };
           }),
  };
}

// The actuators the board holds on after `commands`, all of them confirmed but
// the one at `refused` (if any).
std::set<int> OnAfter(const Commands& commands, size_t refused = SIZE_MAX) {
  std::map<int, bool> on;
  for (size_t i = 0; i < commands.size(); ++i) {
    const std::string& command = commands[i];
    if (i == refused || command.rfind("act ", 0) != 0) {
      continue;
    }
    const size_t colon = command.find(':');
    on[std::stoi(command.substr(4, colon - 4))] = std::stoi(command.substr(colon + 1)) != 0;
  }
  std::set<int> out;
  for (const auto& entry : on) {
    if (entry.second) {
      out.insert(entry.first);
    }
  }
  return out;
}

enum class Sweep { kNone, kRefuse, kStop, kReportsStop };

struct Outcome {
  Commands commands;  // every board command from the request on
  bool ended = false;  // the task ended and the station is idle
};

// Runs `s` on a fresh station; with kStop or kReportsStop the course is broken
// off after `at` rows, with kRefuse the board refuses command number `at`.
Outcome RunScenario(const Scenario& s, Sweep sweep, size_t at) {
  StationOptions options;
  options.extra_config = s.config;
  // Longer than any clock step of a course: reports go stale only when the sweep says so.
  options.extra_config["sensor_report_timeout"] = "400";
  StationHarness station(options);
  EXPECT_TRUE(station.StartNormal());
  if (s.prepare) {
    s.prepare(station);
  }
  if (sweep == Sweep::kRefuse) {
    for (size_t i = 0; i < at; ++i) {
      station.board().ScriptNext(FakeBoard::Answer::kSuccess);
    }
    station.board().ScriptNext(FakeBoard::Answer::kError);
  }
  station.MarkCommands();
  station.Deliver(s.start);
  if (!station.center()->HasTask(s.type)) {
    const StationSrvRsp rsp = station.center()->HandleService(s.request(2));
    EXPECT_EQ(rsp.result, SRV_RESULT_OK) << rsp.err_msg;
  }
  for (size_t row = 0; row < s.rows.size(); ++row) {
    if (!station.center()->HasTask(s.type)) {
      break;
    }
    if (row == at && sweep == Sweep::kStop) {
      station.center()->HandleService(s.request(4));
      break;
    }
    if (row == at && sweep == Sweep::kReportsStop) {
      station.SyncWithService();
      AdvanceClock(401);
      break;
    }
    EXPECT_TRUE(station.WaitCycles(2));
    station.Deliver(s.rows[row].report);
    AdvanceClock(s.rows[row].advance_s);
    EXPECT_TRUE(station.WaitCycles(2));
  }
  Outcome run;
  run.ended = station.WaitIdle();
  // What the main loop does once a second: the switch-offs the board refused go out again.
  EXPECT_EQ(station.center()->RetrySwitchOffs(), 0u);
  run.commands = station.CommandsSinceMark();
  if (!run.ended) {
    station.KeepRunning();
  }
  return run;
}

class SafetyCourse : public ::testing::TestWithParam<Scenario> {};

// The whole course with every command confirmed: the task ends by itself with
// everything off (or by its time limit, which is an end of the same kind).
TEST_P(SafetyCourse, EndsWithNothingOn) {
  const Scenario& s = GetParam();
  const Outcome run = RunScenario(s, Sweep::kNone, SIZE_MAX);
  EXPECT_TRUE(run.ended);
  EXPECT_EQ(run.commands.size(), s.commands) << testing::PrintToString(run.commands);
  EXPECT_EQ(OnAfter(run.commands), s.may_stay_on) << testing::PrintToString(run.commands);
}

INSTANTIATE_TEST_SUITE_P(EveryTask, SafetyCourse, ::testing::ValuesIn(Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& param_info) {
                           return std::string(param_info.param.name);
                         });

// One station a case: a station center in the test process cannot be taken
// down, and a second one would rewrite the configuration under its threads.
struct SweepCase {
  size_t scenario;
  Sweep sweep;
  size_t at;  // the refused command, or the step after which the course breaks off
};

std::vector<SweepCase> SweepCases() {
  std::vector<SweepCase> cases;
  const std::vector<Scenario> scenarios = Scenarios();
  for (size_t i = 0; i < scenarios.size(); ++i) {
    for (size_t at = 0; at < scenarios[i].commands; ++at) {
      cases.push_back({i, Sweep::kRefuse, at});
    }
    for (size_t at = 0; at < scenarios[i].rows.size(); ++at) {
      if (scenarios[i].robot_stops) {
        cases.push_back({i, Sweep::kStop, at});
      }
      // The reset drains on: it acts on no reading but the tank's foot.
      if (scenarios[i].type != TASK_TYPE_RESET_STATION) {
        cases.push_back({i, Sweep::kReportsStop, at});
      }
    }
  }
  return cases;
}

std::string SweepName(const SweepCase& c) {
  const char* kind = c.sweep == Sweep::kRefuse ? "_Refused" : c.sweep == Sweep::kStop ? "_StopAfter" : "_ReportsStopAfter";
  return std::string(Scenarios()[c.scenario].name) + kind + std::to_string(c.at);
}

void PrintTo(const SweepCase& c, std::ostream* os) { *os << SweepName(c); }

class SafetySweep : public ::testing::TestWithParam<SweepCase> {};

// The board refuses one command, or the robot stops the task, or the reports
// stop: once the task has ended (and the switch-offs the board refused have
// gone out again), nothing it switched on is still on.
TEST_P(SafetySweep, LeavesNothingOn) {
  const SweepCase c = GetParam();
  const Scenario s = Scenarios()[c.scenario];
  const Outcome run = RunScenario(s, c.sweep, c.at);
  SCOPED_TRACE(testing::PrintToString(run.commands));
  EXPECT_TRUE(run.ended);
  std::set<int> on = OnAfter(run.commands, c.sweep == Sweep::kRefuse ? c.at : SIZE_MAX);
  if (c.sweep != Sweep::kReportsStop) {
    for (int kept : s.may_stay_on) {
      on.erase(kept);
    }
  }
  EXPECT_EQ(on, std::set<int>{});
}

INSTANTIATE_TEST_SUITE_P(EveryTask, SafetySweep, ::testing::ValuesIn(SweepCases()),
                         [](const ::testing::TestParamInfo<SweepCase>& param_info) {
                           return SweepName(param_info.param);
                         });

}  // namespace
}  // namespace station_center
