#include "mqtt/mqtt_client.h"

#include <chrono>
#include <exception>

#include <mqtt/connect_options.h>
#include <mqtt/create_options.h>
#include <mqtt/message.h>
#include <mqtt/subscribe_options.h>

#include "config.h"
#include "logger.h"
#include "mqtt/mqtt_callback.h"

namespace mqtt_client {
namespace {

// The robot's request topics, subscribed in this order, and the reply topic
// with the reply's short type name for each exchange.
struct Exchange {
  const char* request_format;
  const char* reply_format;
  const char* reply_type;
};

const Exchange kExchanges[] = {
    {"clean_robot_station/%s/checkStation", "clean_robot_station/%s/checkStationRe", "StationCheckRsp"},
    {"clean_robot_station/%s/dockState", "clean_robot_station/%s/dockStateRe", "PositionConfirmRsp"},
    {"clean_robot_station/%s/preWaterRequest", "clean_robot_station/%s/preWaterRequestRe", "PrepareDisinfectantRsp"},
    {"clean_robot_station/%s/supplyMaterialRequest", "clean_robot_station/%s/supplyMaterialRequestRe",
     "SupplyMaterialRsp"},
};

constexpr int kSubscribeQos = 1;
constexpr int kKeepAliveSeconds = 20;
// The library's automatic reconnect, passed in this order as configured in the field.
constexpr int kReconnectMinSeconds = 30;
constexpr int kReconnectMaxSeconds = 10;

}  // namespace

MqttClient& MqttClient::getInstance() {
  // Never destroyed: the library's threads may still deliver callbacks and
  // publishes may still be in flight while the process exits, and destroying a
  // connected library client there can block the exit.
  static MqttClient* const instance = new MqttClient;
  return *instance;
}

MqttClient::MqttClient() {
  stationId_ = station_center::config_reader.station_id;
  clientId_ = "Station_" + stationId_;
  for (const Exchange& exchange : kExchanges) {
    replyTopics_[exchange.reply_type] = FormatTopic(exchange.reply_format, stationId_);
  }
  try {
    // No persistence object: in-flight messages are not kept across restarts.
    client_ = std::make_shared<mqtt::async_client>(station_center::config_reader.mqtt_server_address, clientId_,
                                                   mqtt::create_options(MQTTVERSION_5), nullptr);
  } catch (const std::exception& e) {
    // A malformed server address: Init then keeps failing and start-up keeps retrying.
    QLOG_ERROR("ErrorCode: {}, create mqtt client for {} failed: {}", 101900060,
               station_center::config_reader.mqtt_server_address, e.what());
  }
}

bool MqttClient::Init(const std::shared_ptr<mqtt_callback::MqttCallback>& cb) {
  if (!cb || !client_) {
    return false;
  }
  // Registered before the first operation on the client: the library holds its
  // own lock while registering and takes it again when an operation completes,
  // so registering while a connect or subscribe finishes on the library's
  // thread deadlocks both threads. The later calls of the start-up retry loop
  // bring the same callback and leave the registration alone.
  if (callback_ != cb) {
    try {
      client_->set_callback(*cb);
    } catch (const std::exception& e) {
      QLOG_ERROR("ErrorCode: {}, register mqtt callback failed: {}", 101900060, e.what());
      return false;
    }
    callback_ = cb;
  }
  bool connected = false;
  try {
    connected = client_->is_connected();
  } catch (const std::exception&) {
    connected = false;
  }
  if (!connected) {
    QLOG_INFO("try connect to broker");
    if (!ConnectToBroker()) {
      QLOG_ERROR("ErrorCode: {}, Connect broker failed", 101900060);
      return false;
    }
    QLOG_INFO("connect to broker success");
  }
  // The connected callback subscribes as well; subscribing twice to the same
  // topic only replaces the subscription at the broker.
  SubscribeTopics();
  return true;
}

bool MqttClient::ConnectToBroker() {
  try {
    mqtt::connect_options options;
    options.set_mqtt_version(MQTTVERSION_5);
    options.set_automatic_reconnect(kReconnectMinSeconds, kReconnectMaxSeconds);
    options.set_clean_start(true);
    options.set_keep_alive_interval(kKeepAliveSeconds);
    options.set_user_name(station_center::config_reader.mqtt_user_name);
    options.set_password(station_center::config_reader.mqtt_pwd);

    mqtt::token_ptr token = client_->connect(options);
    const long wait_ms = static_cast<long>(station_center::config_reader.mqtt_keep_alive_interval) * 1000L;
    if (!token->wait_for(std::chrono::milliseconds(wait_ms))) {
      // The attempt may still complete; the next Init then finds the client connected.
      return false;
    }
    return client_->is_connected();
  } catch (const std::exception& e) {
    QLOG_ERROR("ErrorCode: {}, connect to {} failed: {}", 101900060,
               station_center::config_reader.mqtt_server_address, e.what());
    return false;
  }
}

void MqttClient::SubscribeTopics() {
  if (!client_) {
    return;
  }
  // A request the broker kept as retained must not reach the station again at
  // every subscription: it would re-run an old command after each reconnect.
  const mqtt::subscribe_options request_options(false, false, mqtt::subscribe_options::DONT_SEND_RETAINED);
  for (const Exchange& exchange : kExchanges) {
    const std::string topic = FormatTopic(exchange.request_format, stationId_);
    if (topic.empty()) {
      QLOG_ERROR("ErrorCode: {}, empty request topic for {}, not subscribed", 101900072, exchange.request_format);
      continue;
    }
    try {
      client_->subscribe(topic, kSubscribeQos, request_options);
      QLOG_INFO("SubscribeTopics: {}", topic);
    } catch (const std::exception& e) {
      QLOG_ERROR("ErrorCode: {}, subscribe {} failed: {}", 101900072, topic, e.what());
    }
  }

  std::string cloud_topic = station_center::config_reader.cloud_reply_topic_format;
  const std::string::size_type marker = cloud_topic.find("%s");
  if (marker == std::string::npos) {
    return;
  }
  cloud_topic.replace(marker, 2, stationId_);
  try {
    client_->subscribe(cloud_topic, kSubscribeQos);
    QLOG_INFO("SubscribeTopics: {}", cloud_topic);
  } catch (const std::exception& e) {
    QLOG_ERROR("ErrorCode: {}, subscribe {} failed: {}", 101900072, cloud_topic, e.what());
  }
}

void MqttClient::Resubscribe() { SubscribeTopics(); }

std::string MqttClient::FormatTopic(const std::string& topic_format, const std::string& id) {
  if (topic_format.empty() || id.empty()) {
    return std::string();
  }
  std::string topic = topic_format;
  const std::string::size_type marker = topic.find("%s");
  if (marker != std::string::npos) {
    topic.replace(marker, 2, id);
  }
  return topic;
}

void MqttClient::Publish(const std::string& payload, const std::string& topic, const int& qos) {
  QLOG_DEBUG("mqtt pub, topic name : {}, payload : {}", topic, payload);
  PublishRaw(payload, topic, qos);
}

void MqttClient::PublishRaw(const std::string& payload, const std::string& topic, int qos) {
  if (!client_) {
    QLOG_ERROR("ErrorCode: {}, no mqtt client, {} not published", 101900071, topic);
    return;
  }
  mqtt::message_ptr message = mqtt::make_message(topic, payload, qos, false);
  client_->publish(message);
}

}  // namespace mqtt_client
