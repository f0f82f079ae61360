// A docked robot's day against the real service, the simulated board and a real
// broker: disinfectant water prepared and supplied, the dock-state answers, and
// every supply the robot may ask for started, renewed and stopped, each checked
// against the commands the board received.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_env.h"

namespace station_test {
namespace {

constexpr int kInPose = 0;
constexpr int kWaterReady = 1;
constexpr int kWaterFinish = 2;
constexpr int kStandard = 2;
constexpr int kStop = 4;

// Robot supply types.
constexpr int kCharging = 2;
constexpr int kWatering = 3;
constexpr int kSewagePump = 4;
constexpr int kHeatingWire = 5;
constexpr int kHeatingFan = 6;
constexpr int kCollectDust = 7;
constexpr int kCleanPump = 8;
constexpr int kUvLamp = 9;

// A quick tank and short limits, so that water is prepared and supplied in
// seconds: one tablet a second, one second to dissolve.
E2eOptions QuickStation(const std::string& supply_rate) {
  E2eOptions options;
  options.board_args = {"--level", "0", "--fill-rate", "1000", "--drain-rate", "1000", "--supply-rate", supply_rate};
  options.config = {{"disinfectant_table_dissolution_time", "1"},
                    {"disinfectant_tablet_release_time", "1"},
                    {"running_schedule_space", "20"}};
  return options;
}

// Starts the station with a docked robot and waits until it serves in its normal state.
void StartDocked(EndToEnd& e2e, const E2eOptions& options) {
  ASSERT_TRUE(e2e.Start(options));
  ASSERT_TRUE(e2e.WaitServing()) << e2e.station().Output();
  // The board reports the plates motor's over-current here; it never draws one.
  ASSERT_EQ(e2e.Board("set sorterMotorCurrentState false"), "ok");
  ASSERT_EQ(e2e.Board("dock"), "ok");
  ASSERT_TRUE(e2e.WaitNormal()) << e2e.station().Output();
  ASSERT_TRUE(e2e.CheckReady(kInPose));
}

// One litre with one tablet, prepared to the end.
void PrepareWater(EndToEnd& e2e) {
  EXPECT_EQ(e2e.Ask("preWaterRequest",
                    R"({"cmd":{"actionCmd":{"action":2},"disinfectionTabletsNum":1,"waterVolume":1}})"),
            kAccepted);
  ASSERT_TRUE(e2e.PollCheckReady(kWaterReady)) << e2e.station().Output();
}

TEST(RobotSession, PreWaterToWaterReadyThenWaterSupplyToWaterFinished) {
  EndToEnd e2e;
  StartDocked(e2e, QuickStation("1000"));
  // Some water left in the tank: the preparation drains it first.
  ASSERT_EQ(e2e.Board("level 300"), "ok");
  // The station learns of the water from the board's next reports.
  auto reports_sent = [&] {
    const std::string stats = e2e.Board("stats");
    const size_t at = stats.find("\"reports_sent\":");
    return at == std::string::npos ? -1LL : std::atoll(stats.c_str() + at + 15);
  };
  const long long reports = reports_sent();
  ASSERT_TRUE(PollUntil([&] { return reports_sent() >= reports + 3; })) << e2e.Board("stats");
  const size_t before = e2e.BoardCommands().size();

  EXPECT_FALSE(e2e.CheckReady(kWaterReady));
  EXPECT_EQ(e2e.Ask("preWaterRequest",
                    R"({"reqHeader":{"msgId":{"uuid":"p1"},"robotId":{"uuid":"r1"}},)"
                    R"("cmd":{"actionCmd":{"action":2},"disinfectionTabletsNum":1,"waterVolume":1}})"),
            R"({"rspHeader":{"msgId":{"uuid":"p1"},"robotId":{"uuid":"r1"},"errCode":0,"errMsg":""}})");
  ASSERT_TRUE(e2e.PollCheckReady(kWaterReady)) << e2e.station().Output();
  EXPECT_EQ(e2e.Ask("checkStation", R"({"reqHeader":{"msgId":{"uuid":"c1"},"robotId":{"uuid":"r1"}},"checkType":1})"),
            R"({"rspHeader":{"msgId":{"uuid":"c1"},"robotId":{"uuid":"r1"},"errCode":0,"errMsg":""},"robotCheck":1,"checkType":1})");
  EXPECT_FALSE(e2e.CheckReady(kWaterFinish));

  EXPECT_EQ(e2e.Supply(kWatering, kStandard), kAccepted);
  ASSERT_TRUE(e2e.PollCheckReady(kWaterFinish)) << e2e.station().Output();
  EXPECT_EQ(e2e.Ask("checkStation", R"({"checkType":"ENUM_WATER_FINISH"})"),
            R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":0,"errMsg":""},"robotCheck":1,"checkType":2})");
  // The prepared water went to the robot: it is no longer ready.
  EXPECT_FALSE(e2e.CheckReady(kWaterReady));

  std::vector<std::string> sent = e2e.BoardCommands();
  sent.erase(sent.begin(), sent.begin() + static_cast<long>(before));
  const std::vector<std::string> expected = {
      "DRAINAGE_SWITCH 1", "DRAINAGE_SWITCH 0",                   // empty the tank
      "TAP_WATER_SWITCH 1", "TAP_WATER_SWITCH 0",                 // fill it
      "DISINFECTANT_PLATES_MOTOR 1", "DISINFECTANT_PLATES_MOTOR 0",  // one tablet
      "SUPPLY_WATER_SWITCH 1", "SUPPLY_WATER_SWITCH 0",           // to the robot until the tank is empty
  };
  EXPECT_EQ(sent, expected) << Joined(sent);
}

// Dock-state answers: robotState 1 out / 2 in station, robotDesire 0 invalid / 1 stay in / 2 go out.
std::string DockReply(int state, int desire) {
  return R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":0,"errMsg":""},"robotState":)" +
         std::to_string(state) + ",\"robotDesire\":" + std::to_string(desire) + "}";
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

std::string AskDock(EndToEnd& e2e, int desire) {
  return e2e.Ask("dockState", "{\"robotState\":2,\"robotDesire\":" + std::to_string(desire) + "}");
}

TEST(RobotSession, DockStateInEachBranch) {
  EndToEnd e2e;
  ASSERT_TRUE(e2e.Start(QuickStation("50")));
  ASSERT_TRUE(e2e.WaitServing()) << e2e.station().Output();
  ASSERT_TRUE(e2e.WaitNormal()) << e2e.station().Output();

  // Out of the station.
  EXPECT_EQ(AskDock(e2e, 1), DockReply(1, 2)) << "a robot outside cannot stay in";
  EXPECT_EQ(AskDock(e2e, 0), DockReply(1, 0));
  EXPECT_EQ(e2e.Supply(kCharging, kStandard), kAccepted);
  EXPECT_EQ(AskDock(e2e, 2), DockReply(1, 1)) << "a task runs: the station keeps the robot";
  EXPECT_NE(e2e.Supply(kCharging, kStop).find("\"errCode\":0"), std::string::npos);
  // The last task over with the robot away: the station resets itself.
  ASSERT_TRUE(e2e.WaitNormal()) << e2e.station().Output();
  EXPECT_EQ(AskDock(e2e, 2), DockReply(1, 2));
  ASSERT_TRUE(e2e.WaitNormal()) << e2e.station().Output();

  // In the station.
  ASSERT_EQ(e2e.Board("dock"), "ok");
  ASSERT_TRUE(PollUntil([&] { return e2e.CheckReady(kInPose); }));
  EXPECT_EQ(AskDock(e2e, 1), DockReply(2, 1));
  EXPECT_EQ(AskDock(e2e, 0), DockReply(2, 0));
  EXPECT_EQ(e2e.Supply(kUvLamp, kStandard), kAccepted);
  EXPECT_EQ(AskDock(e2e, 2), DockReply(2, 1)) << "a task runs: the station keeps the robot";
  EXPECT_NE(e2e.Supply(kUvLamp, kStop).find("\"errCode\":0"), std::string::npos);
  const size_t resets = Occurrences(e2e.station().Output(), "reset station task success");
  ASSERT_TRUE(PollUntil([&] { return e2e.Ask("dockState", R"({"robotDesire":2})") == DockReply(2, 2); }))
      << "idle: the robot may go out";
  // The leave resets the station once it is idle.
  EXPECT_TRUE(PollUntil([&] { return Occurrences(e2e.station().Output(), "reset station task success") > resets; }))
      << e2e.station().Output();
  EXPECT_TRUE(e2e.WaitNormal());
}

// What a supply switches on at the board, and the value it switches on with.
struct SupplyCase {
  const char* what;
  int supply_type;
  const char* board_type;
  int on;
};

// Starts a supply, renews it with a repeated request (no new board command)
// and checks what the board was told to switch on.
void StartAndRenew(EndToEnd& e2e, const SupplyCase& c) {
  SCOPED_TRACE(c.what);
  EXPECT_EQ(e2e.Supply(c.supply_type, kStandard, 600), kAccepted) << e2e.station().Output();
  const std::string on = std::string(c.board_type) + " " + std::to_string(c.on);
  ASSERT_TRUE(e2e.PollActuator(c.board_type, c.on)) << Joined(e2e.BoardCommands());
  EXPECT_EQ(e2e.Supply(c.supply_type, kStandard, 0), kRenewed);
  const std::vector<std::string> sent = e2e.BoardCommands();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), on), 1) << Joined(sent);
}

// Stops a supply and waits until the board has switched it off.
void StopAndCheckOff(EndToEnd& e2e, const SupplyCase& c) {
  SCOPED_TRACE(c.what);
  const std::string reply = e2e.Supply(c.supply_type, kStop);
  EXPECT_NE(reply.find("\"errCode\":0,\"errMsg\":\"cancel task id : "), std::string::npos) << reply;
  EXPECT_TRUE(e2e.PollActuator(c.board_type, 0)) << Joined(e2e.BoardCommands());
}

const SupplyCase kCharge = {"charging", kCharging, "CHARGING", 1};
const SupplyCase kFan = {"heating fan", kHeatingFan, "HEATING_FAN", 1};
const SupplyCase kWire = {"heating wire", kHeatingWire, "HEATING_WIRE", 1};
const SupplyCase kDust = {"dust collection", kCollectDust, "COLLECT_DUST", 1};
const SupplyCase kUv = {"UV lamp", kUvLamp, "UV_LAMP", 1};
const SupplyCase kWater = {"watering", kWatering, "SUPPLY_WATER_SWITCH", 1};
const SupplyCase kSewage = {"sewage pump", kSewagePump, "SEWAGE_PUMP", 80};
const SupplyCase kSpray = {"spray", kCleanPump, "SELF_CLEAN_PUMP", 80};

TEST(RobotSession, ActuatorSuppliesStartRenewAndStop) {
  EndToEnd e2e;
  StartDocked(e2e, QuickStation("50"));
  ASSERT_EQ(e2e.Board("set dustBagDet 1"), "ok");
  ASSERT_EQ(e2e.Board("set dustBoxCapDet 1"), "ok");

  for (const SupplyCase& c : {kCharge, kDust, kUv}) {
    StartAndRenew(e2e, c);
    StopAndCheckOff(e2e, c);
  }

  // The heating wire runs only while the fan dries.
  EXPECT_EQ(e2e.Supply(kHeatingWire, kStandard),
            R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":1,"errMsg":"dry fan not open"}})");
  StartAndRenew(e2e, kFan);
  StartAndRenew(e2e, kWire);
  StopAndCheckOff(e2e, kWire);
  StopAndCheckOff(e2e, kFan);
}

long ReportsSent(EndToEnd& e2e) {
  const std::string stats = e2e.Board("stats");
  const std::string key = "\"reports_sent\":";
  const size_t at = stats.find(key);
  return at == std::string::npos ? -1 : std::stol(stats.substr(at + key.size()));
}

TEST(RobotSession, WaterSuppliesStartRenewAndStop) {
  EndToEnd e2e;
  StartDocked(e2e, QuickStation("50"));

  // Watering after a pre-water request; its stop closes the tap and the supply.
  PrepareWater(e2e);
  StartAndRenew(e2e, kWater);
  StopAndCheckOff(e2e, kWater);
  EXPECT_EQ(e2e.Actuator("TAP_WATER_SWITCH"), 0);

  // The spray needs the sewage pump running and prepared water.
  PrepareWater(e2e);
  ASSERT_EQ(e2e.Board("set sewageDet 1"), "ok");  // sewage still in the tank
  StartAndRenew(e2e, kSewage);
  StartAndRenew(e2e, kSpray);
  StopAndCheckOff(e2e, kSpray);

  // The stopped sewage pump keeps running until the sewage has drained.
  const std::string reply = e2e.Supply(kSewagePump, kStop);
  EXPECT_NE(reply.find("\"errCode\":0,\"errMsg\":\"cancel task id : "), std::string::npos) << reply;
  // Let the station take a few reports after the task has gone.
  ASSERT_TRUE(PollUntil([&] { return e2e.station().OutputHas("task_type 8, cancel"); })) << e2e.station().Output();
  const long reports = ReportsSent(e2e);
  ASSERT_TRUE(PollUntil([&] { return ReportsSent(e2e) >= reports + 5; }));
  EXPECT_EQ(e2e.Actuator("SEWAGE_PUMP"), kSewage.on);
  ASSERT_EQ(e2e.Board("set sewageDet 0"), "ok");
  EXPECT_TRUE(e2e.PollActuator("SEWAGE_PUMP", 0)) << Joined(e2e.BoardCommands());
  EXPECT_TRUE(PollUntil([&] { return e2e.station().OutputHas("sewage drain over, close sewage drain pump"); }));
}

}  // namespace
}  // namespace station_test
