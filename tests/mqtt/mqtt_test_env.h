#pragma once

// The messaging layer in a test process: a real mosquitto on loopback, the
// station's MqttClient singleton connected to it with an MqttCallback around a
// StationCenter, and a robot client subscribed to every reply topic.
//
// The station center, the callback and the client singleton live until process
// exit (the library's callback thread uses them); the destructor first silences
// and disconnects the station's client, so stopping the broker afterwards does
// not reach the station center.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include <google/protobuf/util/json_util.h>

#include "config.h"
#include "mqtt/mqtt_callback.h"
#include "mqtt/mqtt_client.h"
#include "station_center.h"
#include "support/mosquitto_broker.h"

namespace mqtt_client {

// Reaches the parts of the client singleton that only tests need.
class MqttClientTestPeer {
 public:
  static std::string FormatTopic(const std::string& topic_format, const std::string& id) {
    return MqttClient::getInstance().FormatTopic(topic_format, id);
  }
  static bool ConnectToBroker() { return MqttClient::getInstance().ConnectToBroker(); }
  // Stops the callbacks and closes the connection without waiting for the broker.
  static void Silence() {
    MqttClient& client = MqttClient::getInstance();
    if (!client.client_) {
      return;
    }
    try {
      client.client_->disable_callbacks();
      if (client.client_->is_connected()) {
        client.client_->disconnect()->wait_for(std::chrono::seconds(5));
      }
    } catch (...) {
    }
  }
};

}  // namespace mqtt_client

namespace station_test {

inline std::string Topic(const std::string& station_id, const std::string& name) {
  return "clean_robot_station/" + station_id + "/" + name;
}

// Parses a reply text into `T`; fails the test when it does not parse.
template <typename T>
T ParseReply(const std::string& json) {
  T message;
  google::protobuf::util::JsonParseOptions options;
  EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(json, &message, options).ok()) << json;
  return message;
}

class MqttTestEnv {
 public:
  static constexpr const char* kUser = "quorvane";
  static constexpr const char* kPassword = "73019468";

  MqttTestEnv() : broker_(kUser, kPassword) {}
  ~MqttTestEnv() {
    robot_.reset();
    mqtt_client::MqttClientTestPeer::Silence();
  }

  // Starts the broker and points the configuration at it; nothing connects yet.
  bool StartBroker(const std::string& station_id) {
    station_id_ = station_id;
    if (!broker_.Start()) {
      return false;
    }
    station_center::config_reader.station_id = station_id;
    station_center::config_reader.mqtt_server_address = broker_.Address();
    station_center::config_reader.mqtt_user_name = kUser;
    station_center::config_reader.mqtt_pwd = kPassword;
    station_center::config_reader.mqtt_keep_alive_interval = 5;
    return true;
  }

  // Connects the robot client and subscribes it to every topic of the station.
  bool ConnectRobot() {
    robot_ = std::make_unique<TestMqttClient>(broker_.Address(), "robot_test", kUser, kPassword);
    return robot_->Connect() && robot_->Subscribe("clean_robot_station/#");
  }

  // The station side: a bare StationCenter (not initialised, so in STATION_RESET)
  // unless `center` is given, a callback around it, and MqttClient::Init.
  bool StartStation(std::shared_ptr<station_center::StationCenter> center = nullptr) {
    if (!center) {
      center = std::make_shared<station_center::StationCenter>();
    }
    Keep(center);
    center_ = center;
    callback_ = std::make_shared<mqtt_callback::MqttCallback>(center);
    Keep(callback_);
    return mqtt_client::MqttClient::getInstance().Init(callback_) && WaitUntilServing();
  }

  // The station does not wait for its subscriptions; a request published before
  // the broker took them would be lost. Probes the last request topic with a
  // request the station answers without asking the station center, then
  // forgets the probes' traffic.
  bool WaitUntilServing() {
    const std::string request = Topic(station_id_, "supplyMaterialRequest");
    const std::string reply = Topic(station_id_, "supplyMaterialRequestRe");
    const bool serving = PollUntil([&] {
      return !robot_->Request(request, reply, R"({"cmd":{"supplyType":0}})", std::chrono::milliseconds(300)).empty();
    });
    // A late answer to an earlier probe must not count as a reply to the test's request.
    PollUntil([&] {
      const size_t before = robot_->Count(reply);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return robot_->Count(reply) == before;
    });
    robot_->Clear();
    return serving;
  }

  bool Start(const std::string& station_id = "S1") {
    return StartBroker(station_id) && ConnectRobot() && StartStation();
  }

  // Publishes a request on the station's topic `name` and returns the reply on
  // `name`Re (empty on time-out).
  std::string Ask(const std::string& name, const std::string& payload) {
    return robot_->Request(Topic(station_id_, name), Topic(station_id_, name + "Re"), payload);
  }

  MosquittoBroker& broker() { return broker_; }
  TestMqttClient& robot() { return *robot_; }
  const std::shared_ptr<station_center::StationCenter>& center() const { return center_; }
  const std::shared_ptr<mqtt_callback::MqttCallback>& callback() const { return callback_; }
  const std::string& station_id() const { return station_id_; }

 // Parked until process exit: the library's callback thread and detached
  // station threads may still use them after the test body returns.
  template <typename T>
  static void Keep(const std::shared_ptr<T>& object) {
    static std::vector<std::shared_ptr<void>>* kept = new std::vector<std::shared_ptr<void>>();
    kept->push_back(object);
  }

 private:

  MosquittoBroker broker_;
  std::unique_ptr<TestMqttClient> robot_;
  std::shared_ptr<station_center::StationCenter> center_;
  std::shared_ptr<mqtt_callback::MqttCallback> callback_;
  std::string station_id_;
};

}  // namespace station_test
