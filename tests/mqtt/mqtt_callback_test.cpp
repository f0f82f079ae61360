// The robot request handlers: how each request becomes a station service
// request and how the station's answer becomes the reply, through a real
// broker, against a station center that is either fresh (still in reset) or
// fully started against the fake board.

#include <string>
#include <vector>

#include "mqtt_test_env.h"
#include "support/station_fixture.h"

namespace station_test {
namespace {

namespace robot = quorvane_base_station_mqtt;
namespace common = quorvane_base_station_common;
using station_center::TaskType;

std::string SupplyPayload(int supply_type, int action) {
  return R"({"reqHeader":{"msgId":{"uuid":"m"},"robotId":{"uuid":"r"}},"cmd":{"action":)" + std::to_string(action) +
         R"(,"supplyType":)" + std::to_string(supply_type) + "}}";
}

std::string DockPayload(int desire) {
  return R"({"robotState":"ENUM_IN_STATION","robotDesire":)" + std::to_string(desire) + "}";
}

// A started station (start-up reset over) with the messaging layer around it.
struct StartedStation {
  StationHarness station;
  MqttTestEnv env;

  bool Start() {
    return env.StartBroker("S9") && env.ConnectRobot() && station.StartNormal() && env.StartStation(station.center());
  }
};

TEST(MqttCallback, StationInResetRefusesTasksWithItsText) {
  MqttTestEnv env;
  ASSERT_TRUE(env.Start());
  for (int supply : {2, 3, 4, 5, 6, 7, 8, 9}) {
    const auto reply = ParseReply<robot::SupplyMaterialRsp>(env.Ask("supplyMaterialRequest", SupplyPayload(supply, 2)));
    EXPECT_EQ(reply.rsp_header().err_code(), common::ENUM_ERROR_UNKNOW) << supply;
    EXPECT_EQ(reply.rsp_header().err_msg(), "station in reset") << supply;
    EXPECT_EQ(reply.rsp_header().msg_id().uuid(), "m");
    EXPECT_EQ(reply.rsp_header().robot_id().uuid(), "r");
  }
  // The pre-water handler has a text of its own for the reset.
  EXPECT_EQ(env.Ask("preWaterRequest", R"({"cmd":{"actionCmd":{"action":2}}})"),
            R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":1,"errMsg":"station in reset"}})");
}

TEST(MqttCallback, SupplyTypesWithoutTaskAreRejectedBeforeTheStation) {
  StartedStation s;
  ASSERT_TRUE(s.Start());
  const std::vector<std::string> payloads = {
      SupplyPayload(0, 2), SupplyPayload(1, 2), SupplyPayload(10, 2), SupplyPayload(42, 2),
      R"({"reqHeader":{"msgId":{"uuid":"m"},"robotId":{"uuid":"r"}}})",  // no command: supply type 0
  };
  for (const std::string& payload : payloads) {
    EXPECT_EQ(s.env.Ask("supplyMaterialRequest", payload),
              R"({"rspHeader":{"msgId":{"uuid":"m"},"robotId":{"uuid":"r"},"errCode":1,"errMsg":"Unknown supply type"}})")
        << payload;
  }
  EXPECT_EQ(s.station.center()->TaskCount(), 0u);
  EXPECT_TRUE(s.station.CommandsSinceMark().empty());
}

// A stop for a task that does not run names the task type the request was
// mapped to, without starting anything.
TEST(MqttCallback, EachSupplyTypeSelectsItsTask) {
  StartedStation s;
  ASSERT_TRUE(s.Start());
  const struct {
    int supply;
    TaskType task;
  } kTable[] = {
      {robot::ENUM_SUPPLY_CHARGING, station_center::TASK_TYPE_AUTO_CHARGE},
      {robot::ENUM_SUPPLY_WATERING, station_center::TASK_TYPE_ADD_WATER},
      {robot::ENUM_SUPPLY_SEWAGE_PUMP, station_center::TASK_TYPE_SEWAGE_DRAIN_PUMP},
      {robot::ENUM_SUPPLY_HEATING_WIRE, station_center::TASK_TYPE_HEAT_WIRE},
      {robot::ENUM_SUPPLY_HEATING_FAN, station_center::TASK_TYPE_DRY},
      {robot::ENUM_SUPPLY_COLLECT_DUST, station_center::TASK_TYPE_DUST_COLLECT},
      {robot::ENUM_SUPPLY_CLEAN_PUMP, station_center::TASK_TYPE_WATER_SPRAY},
      {robot::ENUM_SUPPLY_UV_LAMP, station_center::TASK_TYPE_UV},
  };
  for (const auto& row : kTable) {
    const std::string expected = R"({"rspHeader":{"msgId":{"uuid":"m"},"robotId":{"uuid":"r"},"errCode":0,)"
                                 R"("errMsg":"cancel task failed, because no task (task type : )" +
                                 std::to_string(row.task) + R"() running"}})";
    EXPECT_EQ(s.env.Ask("supplyMaterialRequest", SupplyPayload(row.supply, robot::ENUM_ACTION_STOP)), expected)
        << "supply type " << row.supply;
  }
  // The pre-water request always asks for the disinfectant preparation.
  EXPECT_EQ(s.env.Ask("preWaterRequest", R"({"cmd":{"actionCmd":{"action":4}}})"),
            R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":0,)"
            R"("errMsg":"cancel task failed, because no task (task type : 1) running"}})");
  EXPECT_EQ(s.station.center()->TaskCount(), 0u);
}

TEST(MqttCallback, SupplyOutcomesMapOntoTheReply) {
  StartedStation s;
  ASSERT_TRUE(s.Start());
  // Refused by the station with its own text.
  auto reply = ParseReply<robot::SupplyMaterialRsp>(s.env.Ask("supplyMaterialRequest", SupplyPayload(7, 0)));
  EXPECT_EQ(reply.rsp_header().err_code(), common::ENUM_ERROR_UNKNOW);
  EXPECT_EQ(reply.rsp_header().err_msg(), "action model illegal");
  // Admitted: success without text; the task runs.
  station::SensorsDataRep bag_in_place = EmptyTankReport();
  bag_in_place.set_dustbagdet(1);
  bag_in_place.set_dustboxcapdet(1);
  ASSERT_TRUE(s.station.PushReport(bag_in_place));
  reply = ParseReply<robot::SupplyMaterialRsp>(s.env.Ask("supplyMaterialRequest", SupplyPayload(7, 2)));
  EXPECT_EQ(reply.rsp_header().err_code(), common::ENUM_SUCCESS);
  EXPECT_EQ(reply.rsp_header().err_msg(), "");
  EXPECT_TRUE(s.station.center()->HasTask(station_center::TASK_TYPE_DUST_COLLECT));
  // Renewed while it runs: success with the station's text.
  reply = ParseReply<robot::SupplyMaterialRsp>(s.env.Ask("supplyMaterialRequest", SupplyPayload(7, 3)));
  EXPECT_EQ(reply.rsp_header().err_code(), common::ENUM_SUCCESS);
  EXPECT_EQ(reply.rsp_header().err_msg(), "already exist task, upload task info success");
  // Stopped.
  reply = ParseReply<robot::SupplyMaterialRsp>(s.env.Ask("supplyMaterialRequest", SupplyPayload(7, 4)));
  EXPECT_EQ(reply.rsp_header().err_code(), common::ENUM_SUCCESS);
  EXPECT_TRUE(s.station.WaitIdle());
}

TEST(MqttCallback, CheckTypesAnswerReadyOnlyForTheirResult) {
  StartedStation s;
  ASSERT_TRUE(s.Start());
  const std::string in_pose = R"({"checkType":"ENUM_IN_POSE"})";
  auto reply = ParseReply<robot::StationCheckRsp>(s.env.Ask("checkStation", in_pose));
  EXPECT_EQ(reply.robot_check(), robot::ENUM_NOT_READY);
  EXPECT_EQ(reply.rsp_header().err_code(), common::ENUM_SUCCESS);

  ASSERT_TRUE(s.station.PushReport(RobotDocked(Report())));
  reply = ParseReply<robot::StationCheckRsp>(s.env.Ask("checkStation", in_pose));
  EXPECT_EQ(reply.robot_check(), robot::ENUM_READY);
  EXPECT_EQ(reply.check_type(), robot::ENUM_IN_POSE);

  // Nothing prepared and nothing supplied: neither water check is ready, and neither is an error.
  for (const char* check : {R"({"checkType":1})", R"({"checkType":2})"}) {
    reply = ParseReply<robot::StationCheckRsp>(s.env.Ask("checkStation", check));
    EXPECT_EQ(reply.robot_check(), robot::ENUM_NOT_READY) << check;
    EXPECT_EQ(reply.rsp_header().err_code(), common::ENUM_SUCCESS) << check;
  }
}

TEST(MqttCallback, DockStateBranches) {
  StartedStation s;
  ASSERT_TRUE(s.Start());
  auto ask = [&](int desire) {
    const auto reply = ParseReply<robot::PositionConfirmRsp>(s.env.Ask("dockState", DockPayload(desire)));
    EXPECT_EQ(reply.rsp_header().err_code(), common::ENUM_SUCCESS);
    return std::make_pair(static_cast<int>(reply.robot_state()), static_cast<int>(reply.robot_desire()));
  };
  // Robot away.
  EXPECT_EQ(ask(robot::ENUM_ROBOT_DESIRE_STAY_IN), std::make_pair(1, 2));
  EXPECT_EQ(ask(robot::ENUM_INVALID_DESIRE), std::make_pair(1, 0));
  EXPECT_EQ(s.station.center()->Status(), station_center::STATION_NORMAL);  // not told of a leave

  // Robot docked (and the dust bag in place, for the dust collection below).
  station::SensorsDataRep docked = RobotDocked(EmptyTankReport());
  docked.set_dustbagdet(1);
  docked.set_dustboxcapdet(1);
  ASSERT_TRUE(s.station.PushReport(docked));
  EXPECT_EQ(ask(robot::ENUM_ROBOT_DESIRE_STAY_IN), std::make_pair(2, 1));
  EXPECT_EQ(ask(7), std::make_pair(2, 0));
  // Wants out while a task runs: the station keeps it.
  ASSERT_EQ(ParseReply<robot::SupplyMaterialRsp>(s.env.Ask("supplyMaterialRequest", SupplyPayload(7, 2)))
                .rsp_header()
                .err_code(),
            common::ENUM_SUCCESS);
  EXPECT_EQ(ask(robot::ENUM_ROBOT_DESIRE_GO_OUT), std::make_pair(2, 1));
  ASSERT_EQ(ParseReply<robot::SupplyMaterialRsp>(s.env.Ask("supplyMaterialRequest", SupplyPayload(7, 4)))
                .rsp_header()
                .err_code(),
            common::ENUM_SUCCESS);
  ASSERT_TRUE(s.station.WaitIdle());
  // Idle: it may go, and the station resets behind it.
  EXPECT_EQ(ask(robot::ENUM_ROBOT_DESIRE_GO_OUT), std::make_pair(2, 2));
  EXPECT_NE(s.station.center()->Status(), station_center::STATION_NORMAL);
  EXPECT_TRUE(s.station.WaitIdle(std::chrono::seconds(20)));
}

TEST(MqttCallback, CloudReplyGetsNoReply) {
  MqttTestEnv env;
  ASSERT_TRUE(env.Start("S2"));
  ASSERT_TRUE(env.robot().Publish("clean_robot_station/S2/reportActivelyRe", R"({"ok":1})"));
  // Requests are handled in arrival order, so once the next reply is here the
  // cloud message has been dealt with.
  ASSERT_FALSE(env.Ask("checkStation", "{}").empty());
  std::vector<std::string> topics;
  for (const ReceivedMessage& message : env.robot().Messages()) {
    topics.push_back(message.topic);
  }
  EXPECT_EQ(topics, (std::vector<std::string>{"clean_robot_station/S2/reportActivelyRe",
                                              "clean_robot_station/S2/checkStation",
                                              "clean_robot_station/S2/checkStationRe"}));
}

}  // namespace
}  // namespace station_test
