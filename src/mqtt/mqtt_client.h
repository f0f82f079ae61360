#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <mqtt/async_client.h>

namespace mqtt_callback {
class MqttCallback;
}

namespace mqtt_client {

// The station's single MQTT connection: connects to the configured broker,
// subscribes to the robot's request topics and the cloud reply topic, and
// publishes the replies to the robot and the status report for the cloud.
//
// The instance is created on the first getInstance() call, which must come
// after the configuration has been read (the station id and broker address are
// taken at construction), and lives until process exit. Its one lock,
// watchMutex_, guards only the state of the broker watch after a lost
// connection; everything else but the library client is read-only after
// construction, and the library client may be called from several threads.
class MqttClient {
 public:
  static MqttClient& getInstance();

  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // Registers `cb` for the connection's events (before the first connection
  // attempt), connects when not connected yet and subscribes. False when `cb`
  // is empty (nothing changed) or the broker did not accept in time (the
  // registration stays, and the library may complete the attempt later). A
  // caller retries with the same callback; another one is registered only
  // while no operation of the client is in flight.
  bool Init(const std::shared_ptr<mqtt_callback::MqttCallback>& cb);

  // Hands `payload` to the library for `topic` (not retained) without waiting
  // for delivery. A publish the library refuses at once (for example while the
  // connection is down) raises mqtt::exception to the caller.
  void Publish(const std::string& payload, const std::string& topic, const int& qos);

  // Publishes a reply to the robot as compact JSON on the reply topic of its
  // type. Runs on the library's callback thread, so it never lets an exception out.
  template <typename T>
  void Publish(const T& msg, int qos);

  // The reply topic of the message's type; empty (and logged) for a type that has none.
  template <typename T>
  std::string GetTopicName(const T& msg);

  // What every new connection needs, the first and each automatic reconnect:
  // the socket tuned for small replies and the subscriptions again (the
  // connection starts clean, so the broker has forgotten all of them). Runs on
  // the library's callback thread.
  void OnConnected();

  // The connection is gone. The library retries after 1 s, then after
  // doubling pauses; besides, the broker's port is watched for a minute, and
  // the moment it accepts again one connect is started at once, so that a
  // broker restart costs about a second. Runs on the library's callback thread.
  void OnConnectionLost();

  // Retained "online" on the availability topic; called on every (re)connection,
  // since the broker published the retained "offline" will when it last lost us.
  // Nothing once GoOffline has begun. Never raises.
  void AnnounceOnline();

  // The orderly end of the connection: retained "offline" on the availability
  // topic, waited for up to `bound`, then a disconnect (which leaves the will
  // unsent, "offline" being in place already). False when the broker did not
  // take "offline" in time; the will then tells it once the process is gone.
  // Never raises.
  bool GoOffline(std::chrono::milliseconds bound);

  // "clean_robot_station/<station id>/availability"; empty for an empty id.
  const std::string& AvailabilityTopic() const { return availabilityTopic_; }

  const std::string& ClientId() const { return clientId_; }

 private:
  MqttClient();

  bool ConnectToBroker();
  // Every connection's options: MQTT 5, reconnects, the will, TLS for an ssl://
  // or mqtts:// address. False, logged, when the TLS settings cannot be used.
  bool ConnectOptions(mqtt::connect_options& options) const;
  // The broker watcher's thread: one early connect per lost connection.
  void WatchBroker();
  void SubscribeTopics();
  std::string FormatTopic(const std::string& topic_format, const std::string& id);
  // Hands a message to the library, leaving the refusal exception to the caller.
  void PublishRaw(const std::string& payload, const std::string& topic, int qos);

  std::string stationId_;
  std::string clientId_;
  std::string availabilityTopic_;
  std::atomic<bool> goingOffline_{false};
  std::shared_ptr<mqtt::async_client> client_;
  std::shared_ptr<mqtt_callback::MqttCallback> callback_;
  std::map<std::string, std::string> replyTopics_;

  std::mutex watchMutex_;
  std::condition_variable watchChanged_;
  bool connectionLost_ = false;  // guarded by watchMutex_
  bool watcherStarted_ = false;  // guarded by watchMutex_
};

// Sets TCP_NODELAY on every TCP socket of this process whose peer is the
// broker of `server_uri` ("tcp://host:port", "mqtt://", "ssl://", "ws://"...),
// so that a small message is sent at once instead of waiting behind an
// unacknowledged one. Returns how many sockets were set; 0 when none was found
// or the address could not be resolved (logged, nothing else changes).
int SetNoDelayTowardsBroker(const std::string& server_uri);

}  // namespace mqtt_client

#include "mqtt/mqtt_client.hpp"
