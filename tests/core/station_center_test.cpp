// The station center: what it admits in each state, how task ends and resets
// move it between states, and the work of its main loop (LEDs, sewage intake,
// automatic reset, owed switch-offs, status document).

#include <gtest/gtest.h>

#include "clock.h"
#include "support/station_fixture.h"

namespace station_center {
namespace {

using namespace station_test;

const std::string kStartId = std::to_string(kClockStart);
const std::string kDrainOn = "act 13:1", kDrainOff = "act 13:0";

struct Gate {
  int32_t service;
  TaskType type;
  int32_t action;
  int32_t result;
  std::string text;
};

void ExpectGates(StationHarness& station, const std::vector<Gate>& gates) {
  for (const Gate& g : gates) {
    StationSrvReq request = SupplyRequest(g.type, g.action, 30);
    request.service_type = g.service;
    const StationSrvRsp rsp = station.Ask(request);
    EXPECT_EQ(rsp.result, g.result) << g.service << "/" << g.type << "/" << g.action;
    EXPECT_EQ(rsp.err_msg, g.text) << g.service << "/" << g.type << "/" << g.action;
  }
}

TEST(StationGates, IdleStation) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  ASSERT_TRUE(station.PushReport(RobotDocked(EmptyTankReport())));
  ExpectGates(station, {{4, TASK_TYPE_INVALID, 0, SRV_RESULT_UNSUPPORTED, ""},
                        {-1, TASK_TYPE_INVALID, 0, SRV_RESULT_UNSUPPORTED, ""},
                        {8, TASK_TYPE_INVALID, 0, SRV_RESULT_UNSUPPORTED, ""},
                        {0, TASK_TYPE_INVALID, 1, SRV_RESULT_INVALID_TASK_TYPE, "task type is invalid"},
                        {0, static_cast<TaskType>(15), 1, SRV_RESULT_FAILED, "create new task failed, may be not memory"},
                        {0, TASK_TYPE_SEWAGE_DRAIN_PUMP, 0, SRV_RESULT_FAILED, "action model illegal"},
                        {0, TASK_TYPE_SEWAGE_DRAIN_PUMP, 4, SRV_RESULT_NO_TASK_TO_CANCEL,
                         "cancel task failed, because no task (task type : 8) running"},
                        {SRV_QUERY_TASK_RUNNING, TASK_TYPE_INVALID, 0, SRV_RESULT_STATION_IDLE, ""},
                        {SRV_CHECK_WATER_FINISH, TASK_TYPE_INVALID, 0, SRV_RESULT_NO_RELATED_TASK, ""},
                        {SRV_CHECK_WATER_READY, TASK_TYPE_INVALID, 0, SRV_RESULT_NO_RELATED_TASK, ""},
                        {SRV_CHECK_ROBOT_IN_POSE, TASK_TYPE_INVALID, 0, SRV_RESULT_ROBOT_IN_POSE, ""}});
  EXPECT_EQ(station.center()->TaskCount(), 0u);
  EXPECT_EQ(station.CommandsSinceMark(), Commands{});
}

TEST(StationGates, BusyStation) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  ASSERT_TRUE(station.PushReport(RobotDocked(EmptyTankReport())));
  ASSERT_EQ(station.Ask(SupplyRequest(TASK_TYPE_SEWAGE_DRAIN_PUMP, 2)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station.WaitForCommands(1));
  const std::string updated = "already exist task, upload task info success";
  const std::string not_updated = "already exist task, upload task info failed";
  ExpectGates(station, {{0, TASK_TYPE_SEWAGE_DRAIN_PUMP, 1, SRV_RESULT_TASK_UPDATED, updated},
                        {0, TASK_TYPE_SEWAGE_DRAIN_PUMP, 3, SRV_RESULT_TASK_UPDATED, updated},
                        {0, TASK_TYPE_SEWAGE_DRAIN_PUMP, 0, SRV_RESULT_FAILED, "action model illegal"},
                        {0, TASK_TYPE_SEWAGE_DRAIN_PUMP, 5, SRV_RESULT_FAILED, not_updated},
                        {0, TASK_TYPE_SEWAGE_DRAIN_PUMP, -1, SRV_RESULT_FAILED, not_updated},
                        {SRV_QUERY_TASK_RUNNING, TASK_TYPE_INVALID, 0, SRV_RESULT_STATION_BUSY, ""},
                        {SRV_ROBOT_LEAVE_STATION, TASK_TYPE_INVALID, 0, SRV_RESULT_STATION_BUSY, ""},
                        {0, TASK_TYPE_SEWAGE_DRAIN_PUMP, 4, SRV_RESULT_OK,
                         "cancel task id : " + kStartId + ",task type : 8"}});
  ASSERT_TRUE(station.WaitIdle());
  EXPECT_EQ(station.center()->Status(), STATION_NORMAL);
  EXPECT_EQ(station.CommandsSinceMark(), Commands{"act 4:80"});  // the sensor intake closes the pump
}

// Resetting (a full tank keeps the start-up reset draining), then failed (it
// timed out): only the reset task is admitted, and only a successful one ends the error.
TEST(StationGates, ResettingAndFailedStation) {
  StationHarness station;
  ASSERT_TRUE(station.Init());
  ASSERT_TRUE(station.WaitForCommands(1));
  std::vector<Gate> gates;
  for (int type = 1; type <= 13; ++type) {
    gates.push_back({0, static_cast<TaskType>(type), 2, SRV_RESULT_STATION_IN_RESET, "station in reset"});
  }
  gates.push_back({0, TASK_TYPE_RESET_STATION, 0, SRV_RESULT_FAILED, "action model illegal"});
  ExpectGates(station, gates);
  AdvanceClock(301);
  ASSERT_TRUE(station.WaitForStatus(STATION_ERROR));
  ASSERT_TRUE(station.WaitIdle());
  gates.clear();
  for (int type = 0; type <= 13; ++type) {
    gates.push_back({0, static_cast<TaskType>(type), 2, SRV_RESULT_STATION_ERROR, "station in error status"});
  }
  ExpectGates(station, gates);
  ASSERT_TRUE(station.PushReport(EmptyTankReport()));
  ExpectGates(station, {{0, TASK_TYPE_RESET_STATION, 0, SRV_RESULT_OK, ""}});
  ASSERT_TRUE(station.WaitForStatus(STATION_NORMAL));
}

// ---------------------------------------------------------------------------
// Task ends and resets: what the station does, the board commands it sends
// from the start on, and the state it settles in with nothing left on.

struct EndCase {
  const char* name;
  std::function<void(StationHarness&)> run;
  Commands sent;
  StationCenterStatus status;
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

void Normal(StationHarness& s, const station::SensorsDataRep& report) {
  ASSERT_TRUE(s.StartNormal());
  ASSERT_TRUE(s.PushReport(report));
}
void Start(StationHarness& s, TaskType type, size_t commands) {
  ASSERT_EQ(s.Ask(SupplyRequest(type, 1)).result, SRV_RESULT_OK);
  ASSERT_TRUE(s.WaitForCommands(commands));
}
void Drained(StationHarness& s, bool docked = false) {
  ASSERT_TRUE(s.PushReport(docked ? RobotDocked(EmptyTankReport()) : EmptyTankReport()));
  ASSERT_TRUE(s.WaitForStatus(STATION_NORMAL));
}
// Leaves the station in STATION_ERROR: the start-up reset's drain refused.
void Failed(StationHarness& s) {
  s.board().ScriptNext(FakeBoard::Answer::kError);
  ASSERT_TRUE(s.Init());
  ASSERT_TRUE(s.WaitForStatus(STATION_ERROR));
  ASSERT_TRUE(s.WaitIdle());
}

class StationEnds : public ::testing::TestWithParam<EndCase> {};

TEST_P(StationEnds, SettlesWithNothingOn) {
  const EndCase& c = GetParam();
  StationHarness station;
  c.run(station);
  ASSERT_TRUE(station.WaitIdle());
  EXPECT_EQ(station.CommandsSinceMark(), c.sent);
  EXPECT_EQ(station.center()->Status(), c.status);
  EXPECT_EQ(LeftOn(station.AllCommands()), std::set<int>{});
}

const EndCase kEnds[] = {
    {"StartupEmptyTank", [](StationHarness& s) { ASSERT_TRUE(s.StartNormal()); }, {}, STATION_NORMAL},
    {"StartupFullTank", [](StationHarness& s) { ASSERT_TRUE(s.Init()); ASSERT_TRUE(s.WaitForCommands(1)); Drained(s); },
     {kDrainOn, kDrainOff}, STATION_NORMAL},
    {"StartupDrainTimesOut",
     [](StationHarness& s) {
       ASSERT_TRUE(s.Init());
       ASSERT_TRUE(s.WaitForCommands(1));
       AdvanceClock(300);
       ASSERT_TRUE(s.PushReport(Report()));
       EXPECT_EQ(s.center()->Status(), STATION_RESET);
       AdvanceClock(1);
       ASSERT_TRUE(s.WaitForStatus(STATION_ERROR));
     },
     {kDrainOn, kDrainOff}, STATION_ERROR},
    {"OverWithTheRobotDockedNoReset",
     [](StationHarness& s) { Normal(s, RobotDocked(Report())); Start(s, TASK_TYPE_DRAIN_WATER, 1); Drained(s, true); },
     {kDrainOn, kDrainOff}, STATION_NORMAL},
    // The drain times out: DoReset closes; the last task gone, the reset drains the full tank.
    {"ErrorThenLastTaskReset",
     [](StationHarness& s) {
       Normal(s, Report());
       Start(s, TASK_TYPE_DRAIN_WATER, 1);
       AdvanceClock(300);
       ASSERT_TRUE(s.PushReport(Report()));
       EXPECT_TRUE(s.center()->HasTask(TASK_TYPE_DRAIN_WATER));
       AdvanceClock(1);
       ASSERT_TRUE(s.WaitForCommands(3));
       EXPECT_EQ(s.center()->Status(), STATION_RESET);
       Drained(s);
     },
     {kDrainOn, kDrainOff, kDrainOn, kDrainOff}, STATION_NORMAL},
    // The robot's stop, the worker's second cancel, then the reset.
    {"CancelWithTheRobotAway",
     [](StationHarness& s) {
       Normal(s, Report());
       Start(s, TASK_TYPE_DRAIN_WATER, 1);
       EXPECT_EQ(s.Ask(SupplyRequest(TASK_TYPE_DRAIN_WATER, 4)).err_msg, "cancel task id : " + kStartId + ",task type : 4");
       ASSERT_TRUE(s.WaitForCommands(4));
       Drained(s);
     },
     {kDrainOn, kDrainOff, kDrainOff, kDrainOn, kDrainOff}, STATION_NORMAL},
    // Refused close: the task stays and ends in error, whose path closes.
    {"FailedCancel",
     [](StationHarness& s) {
       Normal(s, RobotDocked(Report()));
       Start(s, TASK_TYPE_DRAIN_WATER, 1);
       s.board().ScriptNext(FakeBoard::Answer::kError);
       const StationSrvRsp rsp = s.Ask(SupplyRequest(TASK_TYPE_DRAIN_WATER, 4));
       EXPECT_EQ(rsp.result, SRV_RESULT_FAILED);
       EXPECT_EQ(rsp.err_msg, "cancel task id : " + kStartId + ",task type : 4, failed");
     },
     {kDrainOn, kDrainOff, kDrainOff}, STATION_NORMAL},
    {"LastTaskAwayEmptyTankResetsSilently",
     [](StationHarness& s) {
       Normal(s, EmptyTankReport());
       Start(s, TASK_TYPE_SEWAGE_DRAIN_PUMP, 1);
       ASSERT_EQ(s.Ask(SupplyRequest(TASK_TYPE_SEWAGE_DRAIN_PUMP, 4)).result, SRV_RESULT_OK);
       ASSERT_TRUE(s.WaitIdle());
       EXPECT_EQ(s.center()->TaskDataSnapshot().work_start_time, -1);  // the reset ended the work period
       ASSERT_TRUE(s.PushReport(EmptyTankReport()));  // no sewage: the pump left on goes off
     },
     {"act 4:80", "act 4:0"}, STATION_NORMAL},
    {"RobotLeaveResetsOnce",
     [](StationHarness& s) {
       Normal(s, Report());
       EXPECT_EQ(s.Ask(ServiceRequest(SRV_ROBOT_LEAVE_STATION)).result, SRV_RESULT_OK);
       EXPECT_EQ(s.Ask(ServiceRequest(SRV_ROBOT_LEAVE_STATION)).result, SRV_RESULT_STATION_IN_RESET);
       ASSERT_TRUE(s.WaitForCommands(1));
       EXPECT_EQ(s.Ask(ServiceRequest(SRV_ROBOT_LEAVE_STATION)).result, SRV_RESULT_STATION_BUSY);
       Drained(s);
     },
     {kDrainOn, kDrainOff}, STATION_NORMAL},
    // The first reset times out and closes; the waiting thread then runs the second.
    {"TwoConnectionLossesTwoResets",
     [](StationHarness& s) {
       Normal(s, Report());
       EXPECT_EQ(s.Ask(ServiceRequest(SRV_CONNECTION_LOST)).result, SRV_RESULT_OK);
       EXPECT_EQ(s.Ask(ServiceRequest(SRV_CONNECTION_LOST)).result, SRV_RESULT_OK);
       ASSERT_TRUE(s.WaitForCommands(1));
       AdvanceClock(301);
       ASSERT_TRUE(s.WaitForCommands(3));
       ASSERT_TRUE(WaitFor([&] { return s.center()->ResetThreadsRunning() == 0; }));
       Drained(s);
     },
     {kDrainOn, kDrainOff, kDrainOn, kDrainOff}, STATION_NORMAL},
    {"ConnectionLossCancelsFirst",
     [](StationHarness& s) {
       Normal(s, RobotDocked(Report()));
       Start(s, TASK_TYPE_DRAIN_WATER, 1);
       EXPECT_EQ(s.Ask(ServiceRequest(SRV_CONNECTION_LOST)).result, SRV_RESULT_OK);
       ASSERT_TRUE(s.WaitForCommands(3));
       Drained(s, true);
     },
     {kDrainOn, kDrainOff, kDrainOn, kDrainOff}, STATION_NORMAL},
    // Automatic reset: only with the robot away, only past the idle space.
    {"AutoResetAtTheBoundary",
     [](StationHarness& s) {
       Normal(s, RobotDocked(Report()));
       ASSERT_EQ(s.Ask(ServiceRequest(SRV_QUERY_TASK_RUNNING)).result, SRV_RESULT_STATION_IDLE);
       s.Edit([](StationTaskData& d) {
         d.working = true;
         d.work_start_time = kClockStart;
       });
       AdvanceClock(301);
       s.center()->AutoReset();
       ASSERT_TRUE(s.PushReport(Report()));  // robot away
       AdvanceClock(-1);
       s.center()->AutoReset();
       EXPECT_EQ(s.center()->TaskCount(), 0u);
       AdvanceClock(1);
       s.center()->AutoReset();
       ASSERT_TRUE(s.WaitForCommands(1));
       Drained(s);
     },
     {kDrainOn, kDrainOff}, STATION_NORMAL},
    // In error: a new reset at 301 s, not 300; a failed one waits another period.
    {"ErrorRecoveryRetried",
     [](StationHarness& s) {
       Failed(s);
       s.MarkCommands();
       s.board().ScriptNext(FakeBoard::Answer::kError);
       AdvanceClock(300);
       s.center()->AutoReset();
       EXPECT_EQ(s.center()->Status(), STATION_ERROR);
       AdvanceClock(1);
       s.center()->AutoReset();
       ASSERT_TRUE(s.WaitForCommands(2));
       ASSERT_TRUE(s.WaitForStatus(STATION_ERROR));
       ASSERT_TRUE(s.WaitIdle());
       AdvanceClock(300);
       s.center()->AutoReset();
       EXPECT_EQ(s.center()->Status(), STATION_ERROR);
       AdvanceClock(1);
       s.center()->AutoReset();
       ASSERT_TRUE(s.WaitForCommands(3));
       Drained(s);
     },
     {kDrainOn, kDrainOff, kDrainOn, kDrainOff}, STATION_NORMAL},
};

INSTANTIATE_TEST_SUITE_P(Rows, StationEnds, ::testing::ValuesIn(kEnds),
                         [](const ::testing::TestParamInfo<EndCase>& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------
// The main loop's work

TEST(StationLeds, SendsOnlyChangesAndRetriesARefusedOne) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  station.center()->ReflushLed();  // self-check states false: failed (2)
  station.center()->ReflushLed();
  station::SensorsDataRep ok = EmptyTankReport();
  ok.set_initsensorsstate(true);
  ok.set_initactuatorsstate(true);
  ok.set_selfcheckstate(true);
  ASSERT_TRUE(station.PushReport(ok));
  station.board().ScriptNext(FakeBoard::Answer::kError);
  station.center()->ReflushLed();  // self-check success (3), once, refused
  station.center()->ReflushLed();  // normal work (1)
  station.center()->ReflushLed();
  station.board().ScriptNext(FakeBoard::Answer::kError);
  ASSERT_EQ(station.Ask(ServiceRequest(SRV_CHECK_ROBOT_IN_POSE)).result, SRV_RESULT_ROBOT_NOT_IN_POSE);
  station.center()->ReflushLed();  // docking failed (9), refused
  station.center()->ReflushLed();  // sent again
  station.center()->ReflushLed();
  EXPECT_EQ(station.CommandsSinceMark(), (Commands{"led 2", "led 3", "led 1", "led 9", "led 9"}));
}

TEST(StationLeds, AFailedStationShowsItsError) {
  StationHarness station;
  Failed(station);
  station.MarkCommands();
  station.center()->ReflushLed();
  EXPECT_EQ(station.CommandsSinceMark(), Commands{"led 8"});
}

// A sewage pump left on goes off once the sewage has drained (sewagefull under
// 1000); a refused switch-off is tried again with the next report.
TEST(StationSensorIntake, SewagePumpLeftOnClosesOnceDrained) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  station::SensorsDataRep sewage = RobotDocked(EmptyTankReport());
  sewage.set_sewagedet(1);
  ASSERT_TRUE(station.PushReport(sewage));
  Start(station, TASK_TYPE_SEWAGE_DRAIN_PUMP, 1);
  sewage.set_sewagedet(0);
  ASSERT_TRUE(station.PushReport(sewage));  // drained, but the pump task still runs
  ASSERT_EQ(station.Ask(SupplyRequest(TASK_TYPE_SEWAGE_DRAIN_PUMP, 4)).result, SRV_RESULT_OK);
  ASSERT_TRUE(station.WaitIdle());
  sewage.set_sewagefull(1000);
  ASSERT_TRUE(station.PushReport(sewage));
  EXPECT_EQ(station.CommandsSinceMark(), Commands{"act 4:80"});
  station.board().ScriptNext(FakeBoard::Answer::kError);
  sewage.set_sewagefull(999);
  ASSERT_TRUE(station.PushReport(sewage));
  ASSERT_TRUE(station.PushReport(sewage));
  ASSERT_TRUE(WaitFor([&] { return !station.center()->TaskDataSnapshot().sewage_pump_left_on; }));
  ASSERT_TRUE(station.PushReport(sewage));
  EXPECT_EQ(station.CommandsSinceMark(), (Commands{"act 4:80", "act 4:0", "act 4:0"}));
}

TEST(StationSensorIntake, HandSwitchStartsTheManualChargeOnce) {
  StationHarness station;
  ASSERT_TRUE(station.StartNormal());
  ASSERT_TRUE(station.PushReport(HandSwitch(2)));  // only 1 asks
  ASSERT_TRUE(station.PushReport(HandSwitch(1)));
  ASSERT_TRUE(station.WaitForCommands(1));
  ASSERT_TRUE(station.PushReport(HandSwitch(1)));
  ASSERT_TRUE(station.PushReport(RobotDocked(EmptyTankReport())));  // switch opened
  ASSERT_TRUE(station.WaitIdle());
  EXPECT_EQ(station.CommandsSinceMark(), (Commands{"act 14:1", "act 14:0"}));
}

// A switch-off refused on every path is owed, sent again by the main loop with
// a growing pause, until the board confirms it.
TEST(StationOwedSwitchOffs, RetriedUntilConfirmed) {
  StationHarness station;
  Normal(station, RobotDocked(Report()));
  Start(station, TASK_TYPE_DRAIN_WATER, 1);
  for (int i = 0; i < 3; ++i) {
    station.board().ScriptNext(FakeBoard::Answer::kError);
  }
  station.Ask(SupplyRequest(TASK_TYPE_DRAIN_WATER, 4));
  ASSERT_TRUE(station.WaitIdle());
  EXPECT_EQ(station.center()->RetrySwitchOffs(), 1u);  // refused a third time
  EXPECT_EQ(station.center()->RetrySwitchOffs(), 1u);  // pausing: nothing sent
  EXPECT_EQ(LeftOn(station.CommandsSinceMark(), {1, 2, 3}), std::set<int>{station::ENUM_SUPPLY_DRAINAGE_SWITCH});
  AdvanceClock(1);
  EXPECT_EQ(station.center()->RetrySwitchOffs(), 0u);
  EXPECT_EQ(station.CommandsSinceMark(), (Commands{kDrainOn, kDrainOff, kDrainOff, kDrainOff, kDrainOff}));
}

TEST(StationStatusDocument, OccupancyFollowsResetsAndTheRobot) {
  auto expected = [](int64_t now, int occupied) {
    const std::string t = std::to_string(now);
    return "{\"req_header\":{\"msg_id\":{\"uuid\":\"1\"},\"device_id\":{\"uuid\":\"3932205875647256825375026\"}},"
           "\"state_info\":{\"ready_state\":{\"ntp_state\":1,\"sensor_state\":1,\"driver_state\":1,"
           "\"self_test_state\":1},\"online_time\":" + t + ",\"occupy_state\":" + std::to_string(occupied) +
           ",\"current_time\":" + t + "},\"consumables_state\":{\"disinfectant_tables\":1,\"tap_water\":1,"
           "\"dust_bag\":1},\"abnormal_info\":{\"emergency_stop\":0,\"abnormal_sensor_num\":1,"
           "\"abnormal_sensor_list\":[{\"name\":\"\",\"data\":\"\",\"msg\":\"\"}]}}";
  };
  StationHarness station;
  EXPECT_EQ(station.center()->BuildStationInfo(1700000123), expected(1700000123, 1));  // in reset
  ASSERT_TRUE(station.StartNormal());
  EXPECT_EQ(station.center()->BuildStationInfo(-5), expected(-5, 0));
  ASSERT_TRUE(station.PushReport(RobotDocked(EmptyTankReport())));
  EXPECT_EQ(station.center()->BuildStationInfo(4102444800), expected(4102444800, 1));
}

}  // namespace
}  // namespace station_center
