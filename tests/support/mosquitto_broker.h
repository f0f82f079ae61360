#pragma once

// A real mosquitto broker on loopback for tests, and a small MQTT 5 client that
// plays the robot (or the cloud) against it.
//
//   station_test::MosquittoBroker broker("quorvane", "73019468");
//   ASSERT_TRUE(broker.Start());                 // free 127.0.0.1 port, waits until it accepts
//   config_reader.mqtt_server_address = broker.Address();
//   station_test::TestMqttClient robot(broker.Address(), "robot", "quorvane", "73019468");
//   ASSERT_TRUE(robot.Connect());
//   ASSERT_TRUE(robot.Subscribe("clean_robot_station/S/checkStationRe"));
//   robot.Publish("clean_robot_station/S/checkStation", "{}");
//   ASSERT_TRUE(robot.WaitForCount("clean_robot_station/S/checkStationRe", 1));
//   std::string reply = robot.Payloads("clean_robot_station/S/checkStationRe")[0];
//
// The broker refuses anonymous clients and knows exactly one user (a password
// file made with mosquitto_passwd). Stop() and Start() again keep the port, so
// a client configured with Address() finds the broker again after a restart.
// The destructor stops the broker and removes its folder.
//
// EnableTls() before the first Start() adds a TLS listener beside the plain
// one, with certificates made by openssl in the broker's folder:
//   ASSERT_TRUE(broker.EnableTls(/*require_client_certificate=*/true));
//   ASSERT_TRUE(broker.Start());
//   config_reader.mqtt_server_address = broker.TlsAddress("ssl", "localhost");
//   config_reader.mqtt_ca_file = broker.tls().ca;

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <mqtt/async_client.h>

#include "support/temp_dir.h"

namespace station_test {

// Polls `condition` every 10 ms until it holds or `bound` has passed; returns its last value.
bool PollUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound = std::chrono::seconds(10));

// PEM files for a TLS listener. The server certificate names localhost and
// 127.0.0.1; the client certificate is signed by the same CA; other_ca signed
// neither.
struct TlsFiles {
  std::string ca;
  std::string server_cert;
  std::string server_key;
  std::string client_cert;
  std::string client_key;
  std::string other_ca;
};

class MosquittoBroker {
 public:
  MosquittoBroker(std::string user, std::string password);
  ~MosquittoBroker();
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  // Starts mosquitto (on the port picked at the first start) and waits until
  // the port accepts connections. False when it did not come up within `bound`.
  bool Start(std::chrono::milliseconds bound = std::chrono::seconds(10));
  // Terminates the broker and waits for it; the port is kept for the next Start.
  void Stop();
  bool Running() const { return pid_ > 0; }

  // Makes the certificates and adds a TLS listener on a port of its own; with
  // `require_client_certificate` a client must present one signed by the CA.
  // Before the first Start(); false when openssl failed.
  bool EnableTls(bool require_client_certificate);
  const TlsFiles& tls() const { return tls_; }
  // "<scheme>://<host>:<TLS port>"
  std::string TlsAddress(const std::string& scheme, const std::string& host) const;

  uint16_t port() const { return port_; }
  std::string Address() const;       // "tcp://127.0.0.1:<port>"
  std::string Log() const;           // what the broker wrote so far
  const std::string& folder() const { return dir_.path(); }

 private:
  bool WriteFiles();

  std::string user_;
  std::string password_;
  TempDir dir_;
  uint16_t port_ = 0;
  uint16_t tls_port_ = 0;
  bool require_client_certificate_ = false;
  TlsFiles tls_;
  int pid_ = -1;
  bool files_written_ = false;
};

// A message as the test client received it.
struct ReceivedMessage {
  std::string topic;
  std::string payload;
  bool retained = false;
};

// An MQTT 5 client (Paho asynchronous client) with automatic reconnect that
// resubscribes its filters after every reconnect and records every message it
// receives. All methods are thread-safe.
class TestMqttClient : public mqtt::callback {
 public:
  TestMqttClient(const std::string& address, const std::string& client_id, const std::string& user,
                 const std::string& password);
  ~TestMqttClient() override;
  TestMqttClient(const TestMqttClient&) = delete;
  TestMqttClient& operator=(const TestMqttClient&) = delete;

  bool Connect(std::chrono::milliseconds bound = std::chrono::seconds(10));
  bool Connected() const;
  // Subscribes (QoS 1) and waits for the broker's acknowledgement.
  bool Subscribe(const std::string& topic_filter, std::chrono::milliseconds bound = std::chrono::seconds(10));
  // Publishes at QoS 1 and waits until the broker has taken the message.
  bool Publish(const std::string& topic, const std::string& payload, bool retained = false,
               std::chrono::milliseconds bound = std::chrono::seconds(10));

  std::vector<ReceivedMessage> Messages() const;
  std::vector<std::string> Payloads(const std::string& topic) const;
  size_t Count(const std::string& topic) const;
  // Waits until at least `count` messages arrived on `topic`.
  bool WaitForCount(const std::string& topic, size_t count,
                    std::chrono::milliseconds bound = std::chrono::seconds(10)) const;
  // Publishes `payload` on `request_topic` and waits for the next message on
  // `reply_topic`; its payload, or the empty string on time-out.
  std::string Request(const std::string& request_topic, const std::string& reply_topic, const std::string& payload,
                      std::chrono::milliseconds bound = std::chrono::seconds(10));
  void Clear();

  // mqtt::callback
  void connected(const std::string& cause) override;
  void message_arrived(mqtt::const_message_ptr msg) override;

 private:
  std::unique_ptr<mqtt::async_client> client_;
  std::string user_;
  std::string password_;
  mutable std::mutex mutex_;
  std::vector<std::string> filters_;
  std::vector<ReceivedMessage> messages_;
};

}  // namespace station_test
