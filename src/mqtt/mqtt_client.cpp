#include "mqtt/mqtt_client.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>

#include <mqtt/connect_options.h>
#include <mqtt/create_options.h>
#include <mqtt/exception.h>
#include <mqtt/message.h>
#include <mqtt/ssl_options.h>
#include <mqtt/subscribe_options.h>
#include <mqtt/will_options.h>

#include "config.h"
#include "logger.h"
#include "mqtt/mqtt_callback.h"
#include "mqtt/tls_probe.h"

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

// The station's presence for the cloud: retained, so that a later subscriber
// learns it too; "offline" is also the will, which the broker publishes when
// it loses the station without an orderly goodbye.
constexpr const char* kAvailabilityFormat = "clean_robot_station/%s/availability";
constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";
constexpr int kAvailabilityQos = 1;
// How long the probe after a failed TLS connection waits at each step.
constexpr int kTlsProbeBoundMs = 2000;

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool IsTlsAddress(const std::string& address) {
  return StartsWith(address, "ssl://") || StartsWith(address, "mqtts://");
}

// Whether the service can read `path`; logs why not. The library would only
// report a failed connection, so the common causes are named here first.
bool Readable(const char* key, const std::string& path) {
  if (::access(path.c_str(), R_OK) == 0) {
    return true;
  }
  const int error = errno;
  QLOG_ERROR("ErrorCode: {}, TLS to {}: cannot read {} {}: {}", 101900060,
             station_center::config_reader.mqtt_server_address, key, path, std::strerror(error));
  return false;
}

// The TLS side of the connection from the configuration: trust anchors, the
// client certificate and the checks. False, with the reason logged, when the
// configuration cannot make a sound connection.
bool SetTls(mqtt::connect_options& options) {
  const station_center::StationConfig& c = station_center::config_reader;
  if (c.mqtt_cert_file.empty() != c.mqtt_key_file.empty()) {
    QLOG_ERROR("ErrorCode: {}, TLS to {}: mqtt_cert_file and mqtt_key_file go together, one of them is empty",
               101900060, c.mqtt_server_address);
    return false;
  }
  if ((!c.mqtt_ca_file.empty() && !Readable("mqtt_ca_file", c.mqtt_ca_file)) ||
      (!c.mqtt_cert_file.empty() && !Readable("mqtt_cert_file", c.mqtt_cert_file)) ||
      (!c.mqtt_key_file.empty() && !Readable("mqtt_key_file", c.mqtt_key_file))) {
    return false;
  }
  // No error handler: the library's C++ layer hands the C layer the address of
  // a copy that is gone once connect() returns, and a TLS failure would call
  // through it. ExplainTlsFailure names the reason instead.
  mqtt::ssl_options ssl;
  // Empty: the library trusts the system's certificate store.
  ssl.set_trust_store(c.mqtt_ca_file);
  ssl.set_key_store(c.mqtt_cert_file);
  ssl.set_private_key(c.mqtt_key_file);
  ssl.set_enable_server_cert_auth(c.mqtt_tls_verify);
  ssl.set_verify(c.mqtt_tls_verify);
  options.set_ssl(ssl);
  return true;
}

// The library reports a refused certificate, a missing client certificate and
// a broker that is down all with one code; a probe connection says which.
void ExplainTlsFailure() {
  const station_center::StationConfig& c = station_center::config_reader;
  TlsSettings settings;
  if (!SplitTlsAddress(c.mqtt_server_address, settings.host, settings.port)) {
    return;
  }
  settings.ca_file = c.mqtt_ca_file;
  settings.cert_file = c.mqtt_cert_file;
  settings.key_file = c.mqtt_key_file;
  settings.verify = c.mqtt_tls_verify;
  const std::string reason = ProbeTls(settings, std::chrono::milliseconds(kTlsProbeBoundMs));
  QLOG_ERROR("ErrorCode: {}, TLS to {} failed: {}", 101900060, c.mqtt_server_address,
             reason.empty() ? "the handshake itself goes through; the broker ended the connection" : reason);
}

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
  availabilityTopic_ = FormatTopic(kAvailabilityFormat, stationId_);
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
    if (IsTlsAddress(station_center::config_reader.mqtt_server_address) && !SetTls(options)) {
      return false;
    }
    if (!availabilityTopic_.empty()) {
      options.set_will(mqtt::will_options(availabilityTopic_, std::string(kOffline), kAvailabilityQos, true));
    }

    mqtt::token_ptr token = client_->connect(options);
    const long wait_ms = static_cast<long>(station_center::config_reader.mqtt_keep_alive_interval) * 1000L;
    if (!token->wait_for(std::chrono::milliseconds(wait_ms))) {
      // The attempt may still complete; the next Init then finds the client connected.
      return false;
    }
    return client_->is_connected();
  } catch (const mqtt::exception& e) {
    QLOG_ERROR("ErrorCode: {}, connect to {} failed: {}", 101900060,
               station_center::config_reader.mqtt_server_address, e.what());
    if (e.get_return_code() == MQTTASYNC_FAILURE) {
      ExplainTlsFailure();
    }
    return false;
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

void MqttClient::AnnounceOnline() {
  if (!client_ || availabilityTopic_.empty() || goingOffline_.load()) {
    return;
  }
  try {
    client_->publish(mqtt::make_message(availabilityTopic_, std::string(kOnline), kAvailabilityQos, true));
    QLOG_INFO("availability : {} on {}", kOnline, availabilityTopic_);
  } catch (const std::exception& e) {
    QLOG_ERROR("ErrorCode: {}, publish {} on {} failed: {}", 101900071, kOnline, availabilityTopic_, e.what());
  }
}

bool MqttClient::GoOffline(std::chrono::milliseconds bound) {
  goingOffline_.store(true);
  if (!client_) {
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + bound;
  bool delivered = false;
  try {
    if (!client_->is_connected()) {
      return false;
    }
    if (!availabilityTopic_.empty()) {
      mqtt::delivery_token_ptr token =
          client_->publish(mqtt::make_message(availabilityTopic_, std::string(kOffline), kAvailabilityQos, true));
      delivered = token->wait_for(bound);
      QLOG_INFO("availability : {} on {}{}", kOffline, availabilityTopic_, delivered ? "" : " not confirmed");
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() > 0) {
      client_->disconnect()->wait_for(left);
    }
  } catch (const std::exception& e) {
    QLOG_ERROR("ErrorCode: {}, going offline on {} failed: {}", 101900071, availabilityTopic_, e.what());
  }
  return delivered;
}

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
