// The station center as the station's day (what it admits in each state, how task ends and resets move it between
// states, its main loop's work), each row ending with nothing left on; the admission of every task type; the safe
// stop; the LED rules; the safety sweeps over every task.

#include <gtest/gtest.h>

#include "led_manager.h"
#include "support/station_fixture.h"

namespace station_center {
namespace {

using namespace station_test;
using namespace station_test::steps;

const std::string kStop4 = "cancel task id : " + std::to_string(kClockStart) + ",task type : 4",
                  kStop8 = "cancel task id : " + std::to_string(kClockStart) + ",task type : 8",
                  kStop4Failed = kStop4 + ", failed";
const char kOn[] = "act 13:1", kOff[] = "act 13:0", kUpdated[] = "already exist task, upload task info success",
           kNotUpdated[] = "already exist task, upload task info failed";

Do Drain(int32_t action, int32_t result = -1, const char* text = nullptr) {
  return Ask(SupplyRequest(TASK_TYPE_DRAIN_WATER, action), result, text);
}
Do Pump(int32_t action, int32_t result = -1, const char* text = nullptr) {
  return Ask(SupplyRequest(TASK_TYPE_SEWAGE_DRAIN_PUMP, action), result, text);
}
Do Start(TaskType type, int32_t duration = 0) { return Ask(SupplyRequest(type, 2, duration), SRV_RESULT_OK); }
Do Stop(TaskType type, int32_t result = -1) { return Ask(SupplyRequest(type, 4), result); }
Do Service(int32_t type, int32_t result, const char* text = "") { return Ask(ServiceRequest(type), result, text); }
Do EveryType(int from, int32_t result, const char* text) {  // each task type from `from` asked for
  return Call([=](StationHarness& s) {
    for (int type = from; type <= 13; ++type) Ask(SupplyRequest(TaskType(type), 2), result, text).station(s);
  });
}
const Rep kFull = Rep(), kEmpty = EmptyTankReport(), kDockedFull = RobotDocked(Rep()),
          kDockedEmpty = RobotDocked(EmptyTankReport()),
          kSelfCheckOk = With(kEmpty, &Rep::set_initsensorsstate, 1, &Rep::set_initactuatorsstate, 1,
                              &Rep::set_selfcheckstate, 1);
Rep Sewage(int det, int full) { return With(kDockedEmpty, &Rep::set_sewagedet, det, &Rep::set_sewagefull, full); }
const char kFanOn[] = "act 6:1", kFanOff[] = "act 6:0", kWireOff[] = "act 5:0";
const Do kAutoReset = Call([](StationHarness& s) { s.center->AutoReset(); }),
         kLed = Call([](StationHarness& s) { s.center->ReflushLed(); }),
         kStaleCheck = Call([](StationHarness& s) { s.center->CheckStaleReports(); });
const Config kStale = {{"sensor_report_timeout", "15"}};  // reports older than 15 s are stale
// The status document at `now`, the station occupied or not.
Do Document(int64_t now, int occupied) {
  const std::string t = std::to_string(now);
  const std::string document =
      R"({"req_header":{"msg_id":{"uuid":"1"},"device_id":{"uuid":"3932205875647256825375026"}},)"
      R"("state_info":{"ready_state":{"ntp_state":1,"sensor_state":1,"driver_state":1,"self_test_state":1},)"
      R"("online_time":)" + t + R"(,"occupy_state":)" + std::to_string(occupied) + R"(,"current_time":)" + t +
      R"(},"consumables_state":{"disinfectant_tables":1,"tap_water":1,"dust_bag":1},"abnormal_info":)"
      R"({"emergency_stop":0,"abnormal_sensor_num":1,"abnormal_sensor_list":[{"name":"","data":"","msg":""}]}})";
  return Call([=](StationHarness& s) { EXPECT_EQ(s.center->BuildStationInfo(now), document); });
}
// Drying for 600 s with the wire heating, then `end`; what was sent since the mark, in any order.
StationCase UnderTheWire(const char* name, std::vector<Do> end,
                         Commands sent = {"act 5:0", "act 5:1", "act 6:0", "act 6:1"}, Config config = {}) {
  return {name, std::vector<Do>{Push(Wire(20.0f)), Start(TASK_TYPE_DRY, 600), Sent(1), Start(TASK_TYPE_HEAT_WIRE),
                                Sent(2)} + end, sent, config, STATION_NORMAL, true};
}

class Station : public ::testing::TestWithParam<StationCase> {};
TEST_P(Station, PlaysItsDay) { RunStationCase(GetParam()); }

const StationCase kDays[] = {
    {"IdleGates", {Push(kDockedEmpty), Service(4, SRV_RESULT_UNSUPPORTED), Service(-1, SRV_RESULT_UNSUPPORTED),
     Service(8, SRV_RESULT_UNSUPPORTED), Pump(0, SRV_RESULT_FAILED, "action model illegal"),
     Ask(SupplyRequest(TASK_TYPE_INVALID, 1), SRV_RESULT_INVALID_TASK_TYPE, "task type is invalid"),
     Ask(SupplyRequest(static_cast<TaskType>(15), 1), SRV_RESULT_FAILED, "create new task failed, may be not memory"),
     Pump(4, SRV_RESULT_NO_TASK_TO_CANCEL, "cancel task failed, because no task (task type : 8) running"),
     Service(SRV_QUERY_TASK_RUNNING, SRV_RESULT_STATION_IDLE),
     Service(SRV_CHECK_WATER_FINISH, SRV_RESULT_NO_RELATED_TASK),
     Service(SRV_CHECK_WATER_READY, SRV_RESULT_NO_RELATED_TASK),
     Service(SRV_CHECK_ROBOT_IN_POSE, SRV_RESULT_ROBOT_IN_POSE), Tasks(0)}, {}},
    // The pump has no switch-off of its own: the sensor intake closes it once drained.
    {"BusyGates", {Push(kDockedEmpty), Pump(2, SRV_RESULT_OK), Sent(1), Pump(1, SRV_RESULT_TASK_UPDATED, kUpdated),
     Pump(3, SRV_RESULT_TASK_UPDATED, kUpdated), Pump(0, SRV_RESULT_FAILED, "action model illegal"),
     Pump(5, SRV_RESULT_FAILED, kNotUpdated), Pump(-1, SRV_RESULT_FAILED, kNotUpdated),
     Service(SRV_QUERY_TASK_RUNNING, SRV_RESULT_STATION_BUSY),
     Service(SRV_ROBOT_LEAVE_STATION, SRV_RESULT_STATION_BUSY), Pump(4, SRV_RESULT_OK, kStop8.c_str()), Idle(),
     Push(kDockedEmpty)}, {"act 4:80", "act 4:0"}},
    // A repeated request renews the task's limit from then: on at 50 s, over at 51 s.
    {"RepeatRenewsTheLimit", {Push(kDockedEmpty), Ask(SupplyRequest(TASK_TYPE_UV, 2, 30), SRV_RESULT_OK), Sent(1),
     Clock(20), Ask(SupplyRequest(TASK_TYPE_UV, 2, 30), SRV_RESULT_TASK_UPDATED, kUpdated), Clock(30), Tasks(1),
     Clock(1), Tasks(0)}, {"act 9:1", "act 9:0"}},
    // A full tank keeps the start-up reset draining; it times out (after 300 s, not at
    // 300 s) into error, where only a successful reset task is admitted.
    {"ResettingAndFailedGates", {Init(), Sent(1), EveryType(1, SRV_RESULT_STATION_IN_RESET, "station in reset"),
     Ask(SupplyRequest(TASK_TYPE_RESET_STATION, 0), SRV_RESULT_FAILED, "action model illegal"), Clock(300),
     Push(kFull), Tasks(1), Clock(1), Status(STATION_ERROR), Idle(),
     EveryType(0, SRV_RESULT_STATION_ERROR, "station in error status"), Push(kEmpty),
     Ask(SupplyRequest(TASK_TYPE_RESET_STATION, 0), SRV_RESULT_OK, ""), Status(STATION_NORMAL)}, {kOn, kOff}},
    // The status document: occupied in reset (before the start-up reset task is made) or with the robot docked.
    {"StartupFullTank", {Document(1700000123, 1), Init(), Sent(1), Push(kEmpty), Status(STATION_NORMAL),
     Document(-5, 0), Push(kDockedEmpty), Document(4102444800, 1)}, {kOn, kOff}},
    // The drain times out: DoReset closes; the last task gone, a reset drains the full tank.
    {"ErrorThenLastTaskReset", {Push(kFull), Drain(1), Sent(1), Clock(300), Push(kFull), Tasks(1), Clock(1), Sent(3),
     Status(STATION_RESET), Push(kEmpty), Status(STATION_NORMAL)}, {kOn, kOff, kOn, kOff}},
    // The robot's stop, the worker's second cancel, then the reset.
    {"CancelWithTheRobotAway", {Push(kFull), Drain(1), Sent(1), Drain(4, SRV_RESULT_OK, kStop4.c_str()), Sent(4),
     Push(kEmpty), Status(STATION_NORMAL)}, {kOn, kOff, kOff, kOn, kOff}},
    {"LastTaskAwayEmptyTankResetsSilently", {Push(kEmpty), Pump(1), Sent(1), Pump(4, SRV_RESULT_OK), Idle(),
     Push(kEmpty)}, {"act 4:80", "act 4:0"}},
    {"RobotLeaveResetsOnce", {Push(kFull), Service(SRV_ROBOT_LEAVE_STATION, SRV_RESULT_OK),
     Service(SRV_ROBOT_LEAVE_STATION, SRV_RESULT_STATION_IN_RESET), Sent(1),
     Service(SRV_ROBOT_LEAVE_STATION, SRV_RESULT_STATION_BUSY), Push(kEmpty), Status(STATION_NORMAL)}, {kOn, kOff}},
    // The first reset times out and closes; the waiting thread then runs the second.
    {"TwoConnectionLossesTwoResets", {Push(kFull), Service(SRV_CONNECTION_LOST, SRV_RESULT_OK),
     Service(SRV_CONNECTION_LOST, SRV_RESULT_OK), Sent(1), Clock(301), Sent(3), Push(kEmpty), Status(STATION_NORMAL)},
     {kOn, kOff, kOn, kOff}},
    {"ConnectionLossCancelsFirst", {Push(kDockedFull), Drain(1), Sent(1), Service(SRV_CONNECTION_LOST, SRV_RESULT_OK),
     Sent(3), Push(kDockedEmpty), Status(STATION_NORMAL)}, {kOn, kOff, kOn, kOff}},
    // Automatic reset: the robot away, more than 300 s after the work began.
    {"AutoResetAtTheBoundary", {Push(kDockedEmpty), Pump(1), Sent(1), Pump(4), Idle(), Push(kDockedFull), Clock(301),
     kAutoReset, Tasks(0), Push(kFull), Clock(-1), kAutoReset, Tasks(0), Clock(1), kAutoReset, Sent(3), Push(kEmpty),
     Status(STATION_NORMAL), kAutoReset}, {"act 4:80", "act 4:0", kOn, kOff}},
    // In error (the start-up drain refused): the error pattern shows; a new reset
    // at 301 s, not 300; a failed one waits another period.
    {"ErrorRecoveryRetried", {Refuse(), Init(), Status(STATION_ERROR), Idle(), kLed, Refuse(), Clock(300), kAutoReset,
     Tasks(0), Clock(1), kAutoReset, Sent(5), Status(STATION_ERROR), Idle(), Clock(300), kAutoReset, Tasks(0),
     Clock(1), kAutoReset, Sent(6), Push(kEmpty), Status(STATION_NORMAL)}, {kOn, kOff, "led 8", kOn, kOff, kOn, kOff}},
    // LEDs: only changes, a refused one again. Self check failed (2), its success
    // once (3, refused), normal work (1); docking failed (9), refused, again.
    {"LedsSendChangesAndRetry", {kLed, kLed, Push(kSelfCheckOk), Refuse(), kLed, kLed, kLed, Refuse(),
     Service(SRV_CHECK_ROBOT_IN_POSE, SRV_RESULT_ROBOT_NOT_IN_POSE), kLed, kLed, kLed},
     {"led 2", "led 3", "led 1", "led 9", "led 9"}},
    // A sewage pump left on closes once the sewage has drained (under 1000); a
    // refused switch-off is tried again with the next report.
    {"SewageIntake", {Push(Sewage(1, 0)), Pump(1), Sent(1), Push(Sewage(0, 0)), Pump(4), Idle(), Push(Sewage(0, 1000)),
     Push(Sewage(1, 10)), Refuse(), Push(Sewage(0, 999)), Push(Sewage(0, 999)), Push(Sewage(0, 999))},
     {"act 4:80", "act 4:0", "act 4:0"}},
    // The hand switch at 1 (not 2) asks for the hand charge, once. Under a docked
    // robot it is asked again with every report, but its refusal is logged once
    // while it lasts, not ten times a second.
    {"HandSwitchStartsTheChargeOnce", {Push(HandSwitch(2)), Call([](StationHarness& s) {
       testing::internal::CaptureStdout();
       for (int i = 0; i < 6; ++i) s.Deliver(RobotDocked(HandSwitch(1)));
       const std::string out = testing::internal::GetCapturedStdout();
       EXPECT_TRUE(out.find("101900034") != out.npos && out.find("101900034") == out.rfind("101900034")) << out;
     }), Push(HandSwitch(1)), Sent(1), Push(HandSwitch(1)), Push(kDockedEmpty)}, {"act 14:1", "act 14:0"}},
    // A refused close keeps the task, which ends in error; its error path closes.
    // Refused on the stop, the error path and the first retry: owed, retried
    // after a pause, until confirmed.
    {"FailedCancelOwedSwitchOffRetried", {Push(kDockedFull), Drain(1), Sent(1), Refuse(3),
     Drain(4, SRV_RESULT_FAILED, kStop4Failed.c_str()), Idle(), Owed(1), Owed(1), Sent(4), Clock(1), Owed(0)},
     {kOn, kOff, kOff, kOff, kOff}},
    // Reports older than 15 s: the running task is stopped (the heater before its
    // fan), a task admitted meanwhile never switches on, a sewage pump is switched
    // off whether its task runs or not; 0 switches the check off.
    {"StaleAtTheLimitThenPast", {Push(Wire(20.0f)), Start(TASK_TYPE_DRY), Sent(1), Clock(15), Tasks(1), Clock(1),
     Tasks(0)}, {kFanOn, kWireOff, kFanOff}, kStale},
    {"StaleZeroDisables", {Push(Wire(20.0f)), Start(TASK_TYPE_DRY), Sent(1), Clock(100000), Tasks(1),
     Stop(TASK_TYPE_DRY)}, {kFanOn, kFanOff, kFanOff}},
    {"StaleAdmittedWhileStale", {Clock(20), Start(TASK_TYPE_DRY), Tasks(0)}, {kWireOff, kFanOff}, kStale},
    // The fan's stop is refused while the wire runs; both still end off, in either task's order.
    UnderTheWire("StaleFanUnderARunningWire", {Call([](StationHarness& s) { s.MarkCommands(); }), Clock(16), Tasks(0)},
                 {kWireOff, kFanOff}, kStale),
    // Left on after its task: fresh reports leave it to the intake, old ones close it.
    {"StaleSewagePumpLeftOn", {Push(SewageNotDrained()), Start(TASK_TYPE_SEWAGE_DRAIN_PUMP), Sent(1),
     Stop(TASK_TYPE_SEWAGE_DRAIN_PUMP), Idle(), kStaleCheck, Clock(16), kStaleCheck}, {"act 4:80", "act 4:0"}, kStale},
    // Drying for 600 s with the wire heating, then one way of ending: the robot's
    // stop of the fan is refused while the wire runs; the wire's switch-off refused,
    // the fan blows on until it is off.
    UnderTheWire("FanStopRefusedUnderTheWire", {Stop(TASK_TYPE_DRY, SRV_RESULT_FAILED), Tasks(2),
                                                Stop(TASK_TYPE_HEAT_WIRE), Tasks(1), Stop(TASK_TYPE_DRY)}),
    UnderTheWire("DryTimeLimitUnderTheWire", {Clock(601)}),
    UnderTheWire("ConnectionLostUnderTheWire", {Service(SRV_CONNECTION_LOST, SRV_RESULT_OK)}),
    UnderTheWire("WireOffRefused", {Refuse(), Clock(601), Idle(), Owed(0)}),
    // A stopped spray may resume without new water while the sewage pump runs; a
    // spray that failed withdraws the water.
    {"SprayResumesAfterAStopNotAfterAnError", {Push(kDockedEmpty),
     Call([](StationHarness& s) { s.center->EditTaskData(Spray(true, true, 2, false)); }), Start(TASK_TYPE_WATER_SPRAY), Sent(1), Stop(TASK_TYPE_WATER_SPRAY, SRV_RESULT_OK), Idle(),
     Start(TASK_TYPE_WATER_SPRAY, 10), Tasks(1), Clock(11), Idle(),
     Ask(SupplyRequest(TASK_TYPE_WATER_SPRAY, 2), SRV_RESULT_FAILED, "pre disinfectant no ready")},
     {"act 8:0", "act 8:80"}, {}, STATION_NORMAL, true},
};

INSTANTIATE_TEST_SUITE_P(Rows, Station, ::testing::ValuesIn(kDays), RowName<StationCase>);

struct AdmissionRow {
  const char* name;
  TaskType type;
  Rep report;
  Edit data;
  std::string refusal;                   // empty: admitted
  TaskType running = TASK_TYPE_INVALID;  // a conflicting task started first
  Config config = {};
};
void PrintTo(const AdmissionRow& row, std::ostream* os) { *os << row.name; }

// A conflicting task running: named before the task's own conditions.
AdmissionRow Vs(const char* name, TaskType type, TaskType running, Edit data = nullptr) {
  return {name, type, DustReady(), data,
          "pre check failed, have conflict task " + std::to_string(static_cast<int>(running)) + " is running", running};
}

const char kNotReady[] = "liquied pre no ready, or supply water volume unvalid", kAway[] = "robot not in station",
           kTarget[] = "strong_heat_wire_temp";

// The ordinary case of each task is admitted in its sweep's course.
const AdmissionRow kAdmissionRows[] = {
    {"UVAway", TASK_TYPE_UV, kEmpty, nullptr, kAway},
    {"UVLeftOnly", TASK_TYPE_UV, With(kEmpty, &Rep::set_robotdockdetleft, 1), nullptr, kAway},
    {"UVNoPlate", TASK_TYPE_UV, With(kDockedEmpty, &Rep::set_electrodeplatedet, 0), nullptr, kAway},
    {"UVNoRight", TASK_TYPE_UV, With(kDockedEmpty, &Rep::set_robotdockdetright, 0), nullptr, kAway},
    // The bag before the cap, the cap before the pressure.
    {"DustNoBag", TASK_TYPE_DUST_COLLECT, With(DustReady(5000), &Rep::set_dustbagdet, 0, &Rep::set_dustboxcapdet, 0),
     nullptr, "dust bag not in place"},
    {"DustCapOpen", TASK_TYPE_DUST_COLLECT, With(DustReady(5000), &Rep::set_dustboxcapdet, 0), nullptr,
     "dust box cap not in place"},
    {"DustOverUpLimit", TASK_TYPE_DUST_COLLECT, DustReady(2001), nullptr, "negative pressure over up limit"},
    {"DustAtUpLimit", TASK_TYPE_DUST_COLLECT, DustReady(2000), nullptr, ""},
    {"DustUnderDownLimit", TASK_TYPE_DUST_COLLECT, DustReady(-28001), nullptr, "negative pressure under down limit"},
    {"DustAtDownLimit", TASK_TYPE_DUST_COLLECT, DustReady(-28000), nullptr, ""},
    {"SpraySewagePumpOff", TASK_TYPE_WATER_SPRAY, kDockedEmpty, Spray(false, true, 2, true), "sewage pump not working"},
    {"SprayNoVolume", TASK_TYPE_WATER_SPRAY, kDockedEmpty, Spray(true, true, 0, false), "pre disinfectant no ready"},
    {"SprayNoWater", TASK_TYPE_WATER_SPRAY, kDockedEmpty, Spray(true, false, 2, false), "pre disinfectant no ready"},
    {"HeatFanOff", TASK_TYPE_HEAT_WIRE, Wire(200.0f), Heat(false, false), "dry fan not open"},
    {"HeatAlreadyOn", TASK_TYPE_HEAT_WIRE, Wire(200.0f), Heat(true, true), "heat wire already start"},
    {"HeatTarget150", TASK_TYPE_HEAT_WIRE, Wire(200.0f), Heat(true, false), "", TASK_TYPE_INVALID, {{kTarget, "150"}}},
    {"HeatTarget151", TASK_TYPE_HEAT_WIRE, Wire(200.0f), Heat(true, false), "target temp too high",
     TASK_TYPE_INVALID, {{kTarget, "151"}}},
    {"ChargeHandSwitch", TASK_TYPE_AUTO_CHARGE, Plates(79, 79, 2), nullptr, "hand charge is open"},
    {"ChargePlate1At79", TASK_TYPE_AUTO_CHARGE, Plates(79, 79), nullptr, "electrode plate 1 temp over max temp"},
    {"ChargePlate2At79", TASK_TYPE_AUTO_CHARGE, Plates(78, 79), nullptr, "electrode plate 2 temp over max temp"},
    {"HandSwitchOpen", TASK_TYPE_MANUAL_CHARGE, HandSwitch(0), nullptr, "hand charge not open"},
    // The station asks for the hand charge by itself on 1; 2 is closed as well.
    {"HandRobotDocked", TASK_TYPE_MANUAL_CHARGE, RobotDocked(HandSwitch(2)), nullptr,
     "robot in station, can not open hand charge"},
    {"HandClosed", TASK_TYPE_MANUAL_CHARGE, HandSwitch(2), nullptr, ""},
    {"WaterNothingPrepared", TASK_TYPE_ADD_WATER, kDockedEmpty, Prepared(false, false, false, 3), kNotReady},
    {"WaterNoVolume", TASK_TYPE_ADD_WATER, kDockedEmpty, Prepared(true, false, false, 0), kNotReady},
    {"WaterNegativeVolume", TASK_TYPE_ADD_WATER, kDockedEmpty, Prepared(true, true, true, -1), kNotReady},
    {"WaterPerfume", TASK_TYPE_ADD_WATER, kDockedEmpty, Prepared(false, true, false, 1), ""},
    {"WaterCleaning", TASK_TYPE_ADD_WATER, kDockedEmpty, Prepared(false, false, true, 2), ""},
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
  StationHarness station(row.config);
  ASSERT_TRUE(station.StartNormal());
  station.Deliver(row.report);
  if (row.running != TASK_TYPE_INVALID) {
    ASSERT_EQ(station.Ask(Want(row.running, 2)).result, SRV_RESULT_OK);
    ASSERT_TRUE(station.WaitForCommands(1));
  }
  if (row.data) station.center->EditTaskData(row.data);
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

INSTANTIATE_TEST_SUITE_P(EveryType, Admission, ::testing::ValuesIn(kAdmissionRows), RowName<AdmissionRow>);

// The safe stop on shutdown switches everything off, the wire before its fan.
// Then a work cycle that still runs wants its fan on: refused, and its error
// path switches the fan off again. A silent board costs each command at most
// the board time-out (1 s here): the stop still ends within its budget.
TEST(SafeStop, SwitchesEveryActuatorOffWithinItsBudgetAndNothingOnAfterwards) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  station.keep_running = true;
  EXPECT_TRUE(station.center->SafeStop(15));
  EXPECT_EQ(station.CommandsSinceMark(), (Commands{"act 2:0", "act 14:0", kWireOff, kFanOff, "act 7:0", "act 8:0",
                                                   "act 4:0", "act 9:0", "act 10:0", "act 11:0", "act 12:0", "act 1:0",
                                                   "act 3:0", "act 13:0"}));
  station.MarkCommands();
  ASSERT_EQ(station.Ask(SupplyRequest(TASK_TYPE_DRY, 2)).result, SRV_RESULT_OK);
  ASSERT_TRUE(WaitFor([&] { return !station.center->HasTask(TASK_TYPE_DRY); }));
  station.SyncWithService();
  EXPECT_EQ(station.CommandsSinceMark(), (Commands{kWireOff, kFanOff}));
  station.MarkCommands();
  station.board->silent_ = true;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(station.center->SafeStop(3));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3800));
  EXPECT_GE(station.CommandsSinceMark().size(), 2u);
}

// One evaluation: charge state and pose before it (-1: as left), the report
// (0 none yet, 1 self-check failed, 2 passed), the tasks, the pattern chosen,
// and charge state and pose after it (-1: unchecked).
struct Step {
  int charge, pose, report;
  std::vector<TaskType> tasks;
  int led, charge_after = -1, pose_after = -1;
  bool station_error = false;
};

TEST(LedManager, PatternFollowsPrioritiesAndOneShotStates) {
  using namespace station;  // the patterns
  const std::string shipped = ReadWholeFile(std::string(STATION_SOURCE_DIR) + "/config/led.json");  // as shipped
  const TaskType dust = TASK_TYPE_DUST_COLLECT, water = TASK_TYPE_ADD_WATER;
  const std::vector<std::tuple<const char*, std::string, std::vector<Step>>> rows = {
      {"equal priorities keep the table order",
       R"({"led_normal_work": 900, "in_dust_collect_led": 5, "deep_self_clean_led": 5, "in_supply_led": 5})",
       {{0, 0, 0, {dust, water, TASK_TYPE_DRY}, LED_DEEP_CLEAN}, {-1, -1, 0, {dust, water}, LED_SUPPLYING},
        {-1, -1, 0, {dust}, SCREEN_COLLECT_DUST}, {-1, -1, 0, {TASK_TYPE_WATER_SPRAY}, LED_DEEP_CLEAN},
        {-1, -1, 0, {TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_UV}, LED_NORMAL_WORK}}},
      {"self-check failure while it holds, success once", shipped,
       {{0, 0, 0, {}, LED_NORMAL_WORK}, {-1, -1, 1, {}, LED_SELF_CHECK_FAIL}, {-1, -1, 1, {}, LED_SELF_CHECK_FAIL},
        {1, -1, 2, {}, LED_CHARGING},  // a rule before it: the one-shot is not used up
        {0, -1, 2, {}, LED_SELF_CHECK_SUCCESS}, {-1, -1, 2, {}, LED_NORMAL_WORK}}},
      {"self-check success once a process, not a manager", shipped, {{0, 0, 2, {}, LED_NORMAL_WORK}}},
      {"docking success once, failure until a rule clears it", shipped,
       {{0, 1, 0, {}, LED_SUPPLYING, -1, 0}, {-1, -1, 0, {}, LED_NORMAL_WORK}, {-1, 2, 0, {}, LED_SUPPLYING, -1, 2},
        {-1, -1, 0, {}, LED_SUPPLYING, -1, 2}, {-1, -1, 0, {dust}, SCREEN_COLLECT_DUST, -1, 0}}},
      {"charge complete stays, charge error follows", shipped,
       {{2, 2, 0, {}, LED_CHARGE_COMPLETE, 2, 0}, {-1, -1, 0, {}, LED_CHARGE_COMPLETE, 2},
        {3, -1, 0, {}, LED_CHARGE_FAIL, 3}}},
      {"station error before all else, only while it lasts", shipped,
       {{1, 0, 0, {water}, LED_ERROR_STATE, 1, -1, true}, {0, -1, 0, {water}, LED_SUPPLYING}}},
  };
  for (const auto& [name, priorities, steps] : rows) {
    TempDir dir;
    dir.Write("led.json", priorities);
    setenv("STATION_CENTER_CONFIG_DIR", dir.path().c_str(), 1);
    LedManager manager;
    ASSERT_TRUE(manager.ReadConfig()) << name;
    StationTaskData data;
    for (const Step& s : steps) {
      SCOPED_TRACE(std::string(name) + ", step " + std::to_string(&s - &steps[0]));
      data.charge_state = s.charge < 0 ? data.charge_state : s.charge;
      data.robot_in_pose = s.pose < 0 ? data.robot_in_pose : s.pose;
      data.sensor_data_received = s.report > 0;
      const Rep report = With(kSelfCheckOk, &Rep::set_initsensorsstate, s.report == 2);
      LedTaskMap tasks;
      for (TaskType type : s.tasks) tasks[type] = nullptr;
      EXPECT_EQ(manager.GetLedCmd(data, report, tasks, s.station_error), s.led);
      EXPECT_TRUE(s.charge_after < 0 || data.charge_state == s.charge_after);
      EXPECT_TRUE(s.pose_after < 0 || data.robot_in_pose == s.pose_after);
    }
  }
}

// Safety sweeps over every task: its ordinary course through the service entry
// (kNone), run again and again. kRefuse: the board refuses commands `at` and
// `at + 1` (the command, then the first switch-off of the path it leads to);
// kStop: the robot stops the task after `at` rows (kStopRefused: the board
// refusing every command until the task has ended, so every switch-off is owed);
// kReportsStop: the reports stop after `at` rows. Once the task has ended and the
// owed switch-offs have gone out, nothing it switched on may still be on; only
// the sewage pump may keep draining, by its own rule, while reports come in.
enum Sweep { kNone, kRefuse, kStop, kStopRefused, kReportsStop };
using SweepCase = std::tuple<size_t, Sweep, size_t>;  // a scenario, a sweep, the step it acts at

class SafetySweep : public ::testing::TestWithParam<SweepCase> {};
TEST_P(SafetySweep, LeavesNothingOn) {
  const auto& [scenario, sweep, at] = GetParam();
  const TaskScenario s = TaskScenarios()[scenario];
  Config config = s.config;
  config["sensor_report_timeout"] = "400";  // stale after longer than any clock step of a course
  StationHarness station(config);
  const int32_t duration = s.on.empty() ? 0 : 30;
  ASSERT_TRUE(station.StartNormal());
  if (s.data) station.center->EditTaskData(s.data);
  if (sweep == kRefuse) station.board->Refuse(2, at);
  station.Deliver(s.rows[0].first);
  if (!station.center->HasTask(s.type)) {  // the hand switch asks for its task itself
    EXPECT_EQ(station.Ask(Want(s.type, 2, duration)).result, SRV_RESULT_OK);
  }
  for (size_t row = 0; row < s.rows.size() && station.center->HasTask(s.type); ++row) {
    if (row == at && sweep >= kStop) {
      station.SyncWithService();
      if (sweep == kReportsStop) {
        AdvanceClock(401);
        break;
      }
      station.board->Refuse(sweep == kStopRefused ? 100 : 0);
      station.Ask(Want(s.type, 4, duration));
      EXPECT_TRUE(station.WaitIdle());
      station.board->Refuse(0);
      break;
    }
    EXPECT_TRUE(station.WaitCycles(2));
    station.Deliver(s.rows[row].first);
    AdvanceClock(s.rows[row].second);
    EXPECT_TRUE(station.WaitCycles(2));
  }
  EXPECT_TRUE(station.WaitIdle()) << "the task did not end";
  if (sweep == kNone && s.check >= 0) {
    EXPECT_EQ(station.Ask(ServiceRequest(s.check)).result, s.answer) << "answer after the course";
  }
  // As the main loop does: the owed switch-offs go out again, a minute apart, a few times.
  for (int i = 0; i < 4 && station.center->RetrySwitchOffs() != 0; ++i) AdvanceClock(60);
  EXPECT_EQ(station.center->RetrySwitchOffs(), 0u);
  const Commands sent = station.CommandsSinceMark();
  SCOPED_TRACE(testing::PrintToString(sent));
  EXPECT_TRUE(sweep != kNone || sent.size() == s.commands);
  std::set<int> on = LeftOn(station.board->Sent(0, true));
  if (s.type == TASK_TYPE_SEWAGE_DRAIN_PUMP && sweep != kReportsStop) on.erase(station::ENUM_SUPPLY_SEWAGE_PUMP);
  EXPECT_EQ(on, std::set<int>{});
}

std::vector<SweepCase> SweepCases() {
  std::vector<SweepCase> cases;
  const std::vector<TaskScenario> all = TaskScenarios();
  for (size_t i = 0; i < all.size(); ++i) {
    cases.push_back({i, kNone, 0});
    for (size_t at = 0; at < all[i].commands; ++at) cases.push_back({i, kRefuse, at});
    for (size_t at = 0; all[i].type != TASK_TYPE_RESET_STATION && at < all[i].rows.size(); ++at) {
      for (Sweep sweep : {kStop, kStopRefused, kReportsStop}) cases.push_back({i, sweep, at});
    }
  }
  return cases;
}
std::string SweepName(const ::testing::TestParamInfo<SweepCase>& p) {
  const auto& [scenario, sweep, at] = p.param;
  const char* const kinds[] = {"_Course", "_Refused", "_StopAfter", "_RefusedStopAfter", "_ReportsStopAfter"};
  return TaskScenarios()[scenario].name + std::string(kinds[static_cast<int>(sweep)]) +
         (sweep == kNone ? "" : std::to_string(at));
}
INSTANTIATE_TEST_SUITE_P(EveryTask, SafetySweep, ::testing::ValuesIn(SweepCases()), SweepName);

}  // namespace
}  // namespace station_center
