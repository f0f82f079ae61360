// The station's MQTT client: identity, topics, connecting and publishing,
// against a real broker.

#include <atomic>
#include <string>

#include <mqtt/exception.h>

#include "mqtt_test_env.h"

namespace station_test {
namespace {

namespace robot = quorvane_base_station_mqtt;
using mqtt_client::MqttClient;
using mqtt_client::MqttClientTestPeer;

TEST(MqttClient, FormatTopicReplacesTheFirstMarkerOnly) {
  const struct {
    const char* format;
    const char* id;
    const char* topic;
  } kCases[] = {
      {"clean_robot_station/%s/checkStation", "S1", "clean_robot_station/S1/checkStation"},
      {"a/%s/b/%s", "X", "a/X/b/%s"},
      {"%s", "X", "X"},
      {"no/marker", "X", "no/marker"},
      {"a/%s", "%s", "a/%s"},
      {"", "X", ""},
      {"a/%s", "", ""},
      {"%", "X", "%"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(MqttClientTestPeer::FormatTopic(c.format, c.id), c.topic) << c.format << " with " << c.id;
  }
}

TEST(MqttClient, ReplyTopicsAndClientIdFollowTheStationId) {
  MqttTestEnv env;
  ASSERT_TRUE(env.Start("S7"));
  MqttClient& client = MqttClient::getInstance();
  EXPECT_EQ(client.ClientId(), "Station_S7");
  EXPECT_NE(env.broker().Log().find(" as Station_S7 "), std::string::npos) << env.broker().Log();
  EXPECT_EQ(client.GetTopicName(robot::StationCheckRsp()), "clean_robot_station/S7/checkStationRe");
  EXPECT_EQ(client.GetTopicName(robot::PositionConfirmRsp()), "clean_robot_station/S7/dockStateRe");
  EXPECT_EQ(client.GetTopicName(robot::PrepareDisinfectantRsp()), "clean_robot_station/S7/preWaterRequestRe");
  EXPECT_EQ(client.GetTopicName(robot::SupplyMaterialRsp()), "clean_robot_station/S7/supplyMaterialRequestRe");
  EXPECT_EQ(client.GetTopicName(robot::PositionCheckRsp()), "");
  EXPECT_EQ(client.GetTopicName(robot::StationCheckReq()), "");

  // A reply type without topic is not published anywhere.
  client.Publish(robot::PositionCheckRsp(), 1);
  ASSERT_FALSE(env.Ask("checkStation", "{}").empty());
  for (const ReceivedMessage& message : env.robot().Messages()) {
    EXPECT_TRUE(message.topic == "clean_robot_station/S7/checkStation" ||
                message.topic == "clean_robot_station/S7/checkStationRe")
        << message.topic;
  }
}

TEST(MqttClient, StatusReportIsPublishedAsGivenAtQos1NotRetained) {
  MqttTestEnv env;
  ASSERT_TRUE(env.Start("S3"));
  ASSERT_TRUE(env.robot().Subscribe("clean_robot_station/reportActively"));
  const std::string document = R"({"req_header":{"msg_id":{"uuid":"1"}}})";
  MqttClient::getInstance().Publish(document, station_center::config_reader.station_upload_topic, 1);
  ASSERT_TRUE(env.robot().WaitForCount("clean_robot_station/reportActively", 1));
  EXPECT_EQ(env.robot().Payloads("clean_robot_station/reportActively")[0], document);

  // Not retained: a client subscribing later gets nothing.
  TestMqttClient late(env.broker().Address(), "late", MqttTestEnv::kUser, MqttTestEnv::kPassword);
  ASSERT_TRUE(late.Connect());
  ASSERT_TRUE(late.Subscribe("clean_robot_station/reportActively"));
  ASSERT_TRUE(late.Subscribe("clean_robot_station/S3/checkStationRe"));
  ASSERT_FALSE(env.Ask("checkStation", "{}").empty());
  ASSERT_TRUE(late.WaitForCount("clean_robot_station/S3/checkStationRe", 1));
  EXPECT_EQ(late.Count("clean_robot_station/reportActively"), 0u);
  for (const ReceivedMessage& message : late.Messages()) {
    EXPECT_FALSE(message.retained) << message.topic;
  }
}

TEST(MqttClient, EmptyStationIdLeavesOnlyTheCloudTopic) {
  MqttTestEnv env;
  ASSERT_TRUE(env.StartBroker(""));
  ASSERT_TRUE(env.ConnectRobot());
  testing::internal::CaptureStdout();
  auto center = std::make_shared<station_center::StationCenter>();
  auto callback = std::make_shared<mqtt_callback::MqttCallback>(center);
  MqttTestEnv::Keep(center);
  MqttTestEnv::Keep(callback);
  const bool initialised = MqttClient::getInstance().Init(callback);
  // A reply to nowhere is dropped, not handed to the library.
  EXPECT_NO_THROW(callback->dealCheckStation("{}"));
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(initialised);
  EXPECT_EQ(MqttClient::getInstance().ClientId(), "Station_");
  EXPECT_EQ(MqttClient::getInstance().GetTopicName(robot::StationCheckRsp()), "");
  EXPECT_NE(output.find("SubscribeTopics: clean_robot_station//reportActivelyRe"), std::string::npos) << output;
  EXPECT_EQ(output.find("SubscribeTopics: clean_robot_station//checkStation"), std::string::npos) << output;
}

TEST(MqttClient, CloudReplyTopicGetsOnlyItsFirstMarkerReplaced) {
  station_center::config_reader.cloud_reply_topic_format = "cloud/%s/re/%s";
  MqttTestEnv env;
  ASSERT_TRUE(env.StartBroker("S4"));
  testing::internal::CaptureStdout();
  auto center = std::make_shared<station_center::StationCenter>();
  auto callback = std::make_shared<mqtt_callback::MqttCallback>(center);
  MqttTestEnv::Keep(center);
  MqttTestEnv::Keep(callback);
  const bool initialised = MqttClient::getInstance().Init(callback);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(initialised);
  EXPECT_NE(output.find("SubscribeTopics: cloud/S4/re/%s\n"), std::string::npos) << output;
}

TEST(MqttClient, CloudReplyTopicWithoutMarkerIsNotSubscribed) {
  station_center::config_reader.cloud_reply_topic_format = "cloud/fixed";
  MqttTestEnv env;
  ASSERT_TRUE(env.StartBroker("S5"));
  testing::internal::CaptureStdout();
  auto center = std::make_shared<station_center::StationCenter>();
  auto callback = std::make_shared<mqtt_callback::MqttCallback>(center);
  MqttTestEnv::Keep(center);
  MqttTestEnv::Keep(callback);
  const bool initialised = MqttClient::getInstance().Init(callback);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(initialised);
  EXPECT_EQ(output.find("SubscribeTopics: cloud"), std::string::npos) << output;
  EXPECT_NE(output.find("SubscribeTopics: clean_robot_station/S5/supplyMaterialRequest"), std::string::npos);
}

TEST(MqttClient, InitNeedsACallbackAndABroker) {
  MqttTestEnv env;
  station_center::config_reader.station_id = "S6";
  station_center::config_reader.mqtt_keep_alive_interval = 5;
  station_center::config_reader.mqtt_user_name = MqttTestEnv::kUser;
  station_center::config_reader.mqtt_pwd = MqttTestEnv::kPassword;
  // The broker's port, but nothing listens yet.
  ASSERT_TRUE(env.StartBroker("S6"));
  env.broker().Stop();

  auto center = std::make_shared<station_center::StationCenter>();
  auto callback = std::make_shared<mqtt_callback::MqttCallback>(center);
  MqttTestEnv::Keep(center);
  MqttTestEnv::Keep(callback);
  EXPECT_FALSE(MqttClient::getInstance().Init(nullptr));
  EXPECT_FALSE(MqttClient::getInstance().Init(callback));
  EXPECT_FALSE(MqttClient::getInstance().Init(callback));

  // Once the broker is up, the next attempt gets through, whatever the
  // library's own retries of the failed attempt are doing meanwhile.
  ASSERT_TRUE(env.broker().Start());
  ASSERT_TRUE(env.ConnectRobot());
  EXPECT_TRUE(PollUntil([&] { return MqttClient::getInstance().Init(callback); }, std::chrono::seconds(30)));
  EXPECT_TRUE(env.WaitUntilServing());
  EXPECT_FALSE(env.Ask("checkStation", "{}").empty());
}

// Counts the connection events it hears.
class CountingCallback : public mqtt_callback::MqttCallback {
 public:
  using MqttCallback::MqttCallback;
  void connected(const std::string& cause) override {
    connections_.fetch_add(1);
    MqttCallback::connected(cause);
  }
  int connections() const { return connections_.load(); }

 private:
  std::atomic<int> connections_{0};
};

// The callback is in place before the first connection attempt: registering it
// while the library completes an operation deadlocks the library's threads
// (seen at start-up, with the subscriptions finishing), and the first
// connection is heard like every later one.
TEST(MqttClient, CallbackIsRegisteredBeforeTheFirstConnection) {
  MqttTestEnv env;
  ASSERT_TRUE(env.StartBroker("S11"));
  ASSERT_TRUE(env.ConnectRobot());
  auto center = std::make_shared<station_center::StationCenter>();
  auto callback = std::make_shared<CountingCallback>(center);
  MqttTestEnv::Keep(center);
  MqttTestEnv::Keep(callback);
  ASSERT_TRUE(MqttClient::getInstance().Init(callback));
  EXPECT_TRUE(PollUntil([&] { return callback->connections() == 1; }));
  // A second Init finds the client connected and connects no more.
  ASSERT_TRUE(MqttClient::getInstance().Init(callback));
  EXPECT_TRUE(env.WaitUntilServing());
  EXPECT_EQ(callback->connections(), 1);
}

TEST(MqttClient, WrongPasswordIsRefused) {
  MqttTestEnv env;
  ASSERT_TRUE(env.StartBroker("S8"));
  station_center::config_reader.mqtt_pwd = "wrong";
  auto center = std::make_shared<station_center::StationCenter>();
  auto callback = std::make_shared<mqtt_callback::MqttCallback>(center);
  MqttTestEnv::Keep(center);
  MqttTestEnv::Keep(callback);
  EXPECT_FALSE(MqttClient::getInstance().Init(callback));
}

TEST(MqttClient, PublishWhileDisconnected) {
  MqttTestEnv env;
  ASSERT_TRUE(env.Start("S10"));
  MqttClientTestPeer::Silence();
  // The status report's publish reports the refusal to its caller ...
  EXPECT_THROW(MqttClient::getInstance().Publish(std::string("{}"), std::string("clean_robot_station/reportActively"), 1),
               mqtt::exception);
  // ... while a reply, published on the library's callback thread, never lets it out.
  EXPECT_NO_THROW(env.callback()->dealCheckStation("{}"));
  EXPECT_NO_THROW(env.callback()->dealSupplyMaterialRequest(R"({"cmd":{"supplyType":3,"action":2}})"));
}

}  // namespace
}  // namespace station_test
