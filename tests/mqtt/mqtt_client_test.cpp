// The station's MQTT client in the test process against a real broker: what only shows from inside
// (the callback's registration, exceptions, retries).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <mqtt/exception.h>

#include "config.h"
#include "mqtt/mqtt_callback.h"
#include "mqtt/mqtt_client.h"
#include "station_center.h"
#include "support/service_rig.h"

namespace mqtt_client {
class MqttClientTestPeer {
 public:
  // Stops the callbacks and closes the connection, as a lost broker would leave the client.
  static void Disconnect() {
    try {
      if (MqttClient::getInstance().client_) {
        MqttClient::getInstance().client_->disable_callbacks();
        MqttClient::getInstance().client_->disconnect()->wait_for(std::chrono::seconds(5));
      }
    } catch (const std::exception&) {
      // Not connected: nothing to close.
    }
  }
};
}  // namespace mqtt_client

namespace station_test {
namespace {

using mqtt_client::MqttClient;
const std::string kCheck = "clean_robot_station/S1/checkStation";

// Counts the connection events it hears.
class CountingCallback : public mqtt_callback::MqttCallback {
 public:
  using MqttCallback::MqttCallback;
  void connected(const std::string& cause) override {
    ++connections;
    MqttCallback::connected(cause);
  }
  std::atomic<int> connections{0};
};

// A broker, the configuration pointed at it, a robot, and a callback around a fresh station center;
// the center and callback live until process exit, as the library's threads may still use them.
struct Messaging {
  MosquittoBroker broker;
  std::unique_ptr<TestMqttClient> robot;
  std::shared_ptr<CountingCallback> callback =
      std::make_shared<CountingCallback>(std::make_shared<station_center::StationCenter>());
  Messaging() {
    static auto* kept = new std::vector<std::shared_ptr<void>>();
    kept->push_back(callback);
  }
  // The station's client goes quiet before the broker goes, so that no lost connection reaches
  // the station center while the process exits.
  ~Messaging() { mqtt_client::MqttClientTestPeer::Disconnect(); }
  bool Start(bool broker_up = true) {
    station_center::config_reader.station_id = "S1";
    station_center::config_reader.mqtt_user_name = kUser;
    station_center::config_reader.mqtt_pwd = kPassword;
    station_center::config_reader.mqtt_keep_alive_interval = 5;
    if (!broker.Start()) return false;
    station_center::config_reader.mqtt_server_address = broker.Address();
    if (!broker_up) broker.Stop();
    return !broker_up || ConnectRobot();
  }
  bool ConnectRobot() {
    robot = std::make_unique<TestMqttClient>(broker.Address(), "robot");
    return robot->Connect("clean_robot_station/#");
  }
  // Until the station's subscriptions are in place, then forgets the probes.
  bool Serving() {
    const bool serving =
        PollUntil([&] { return !robot->Request(kCheck, kCheck + "Re", "{}", std::chrono::milliseconds(300)).empty(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    robot->Clear();
    return serving;
  }
};

// Registering the callback while the library completes an operation deadlocks its threads (seen at
// start-up, with the subscriptions finishing): it is in place before the first connection, which is
// heard like every later one.
TEST(MqttClient, CallbackIsRegisteredBeforeTheFirstConnection) {
  Messaging m;
  ASSERT_TRUE(m.Start());
  ASSERT_TRUE(MqttClient::getInstance().Init(m.callback));
  EXPECT_TRUE(PollUntil([&] { return m.callback->connections == 1; }));
  ASSERT_TRUE(MqttClient::getInstance().Init(m.callback)) << "a second Init finds the client connected";
  EXPECT_TRUE(m.Serving());
  EXPECT_EQ(m.callback->connections, 1);
}

// Should a retained request reach the station, it is dropped unanswered.
TEST(MqttClient, RequestArrivingRetainedIsDropped) {
  Messaging m;
  ASSERT_TRUE(m.Start() && MqttClient::getInstance().Init(m.callback) && m.Serving());
  m.callback->message_arrived(mqtt::make_message(kCheck, R"({"reqHeader":{"msgId":{"uuid":"old"}}})", 1, true));
  ASSERT_NE(m.robot->Request(kCheck, kCheck + "Re", R"({"reqHeader":{"msgId":{"uuid":"new"}}})"), "");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto replies = m.robot->Payloads(kCheck + "Re");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_NE(replies[0].find("\"new\""), std::string::npos) << replies[0];
}

// The status report's caller hears that a publish was refused; a reply, published on the library's
// callback thread, never lets the exception out.
TEST(MqttClient, PublishWhileDisconnected) {
  Messaging m;
  ASSERT_TRUE(m.Start() && MqttClient::getInstance().Init(m.callback));
  mqtt_client::MqttClientTestPeer::Disconnect();
  EXPECT_THROW(MqttClient::getInstance().Publish(std::string("{}"), std::string("clean_robot_station/reportActively"), 1),
               mqtt::exception);
  EXPECT_NO_THROW(m.callback->dealCheckStation("{}"));
  EXPECT_NO_THROW(m.callback->dealSupplyMaterialRequest(R"({"cmd":{"supplyType":3,"action":2}})"));
}

// Init fails while no broker listens, and the next attempt once it is up gets through, whatever the
// library's retries of the failed attempt are doing.
TEST(MqttClient, InitKeepsFailingUntilABrokerIsUp) {
  Messaging m;
  ASSERT_TRUE(m.Start(false));
  EXPECT_FALSE(MqttClient::getInstance().Init(nullptr));
  EXPECT_FALSE(MqttClient::getInstance().Init(m.callback));
  EXPECT_FALSE(MqttClient::getInstance().Init(m.callback));
  ASSERT_TRUE(m.broker.Start() && m.ConnectRobot());
  EXPECT_TRUE(PollUntil([&] { return MqttClient::getInstance().Init(m.callback); }, std::chrono::seconds(30)));
  EXPECT_TRUE(m.Serving());
}

}  // namespace
}  // namespace station_test
