#pragma once
// A real mosquitto on loopback that knows one user (no anonymous clients), and an MQTT 5 client
// that plays the robot or the cloud against it. Stop() and Start() again keep the port. With
// EnableTls() before the first Start() it adds a TLS listener with certificates openssl makes.
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <mqtt/async_client.h>

#include "support/process.h"

namespace station_test {

// The server certificate names localhost and 127.0.0.1; other_ca signed nothing of it.
struct TlsFiles {
  std::string ca, client_cert, client_key, other_ca;
};

class MosquittoBroker {
 public:
  MosquittoBroker(std::string user, std::string password) : user_(std::move(user)), password_(std::move(password)) {}
  bool Start(std::chrono::milliseconds bound = std::chrono::seconds(10));  // until its ports accept
  void Stop() { process_.reset(); }
  bool EnableTls(bool require_client_certificate);
  const TlsFiles& tls() const { return tls_; }
  std::string TlsAddress(const std::string& scheme, const std::string& host) const {
    return scheme + "://" + host + ":" + std::to_string(tls_port_);
  }
  uint16_t port() const { return port_; }
  std::string Address() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
  std::string Log() const { return ReadWholeFile(dir_.path() + "/mosquitto.log"); }

 private:
  std::string user_, password_;
  TempDir dir_;
  uint16_t port_ = 0, tls_port_ = 0;
  bool require_client_certificate_ = false;
  TlsFiles tls_;
  std::unique_ptr<Process> process_;
};

struct ReceivedMessage {
  std::string topic, payload;
  bool retained = false;
};

// Reconnects by itself, subscribes its filters again on every connection, records every message.
class TestMqttClient : public mqtt::callback {
 public:
  TestMqttClient(const std::string& address, const std::string& client_id, const std::string& user,
                 const std::string& password);
  ~TestMqttClient() override;
  bool Connect();
  bool Connected() const { return client_->is_connected(); }
  bool Subscribe(const std::string& topic_filter);                                            // QoS 1, acknowledged
  bool Publish(const std::string& topic, const std::string& payload, bool retained = false);  // QoS 1, taken
  std::vector<ReceivedMessage> Messages() const;
  std::vector<std::string> Payloads(const std::string& topic) const;
  size_t Count(const std::string& topic) const { return Payloads(topic).size(); }
  bool WaitForCount(const std::string& topic, size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    return PollUntil([&] { return Count(topic) >= count; }, bound);
  }
  // Publishes on `request_topic`; the next message on `reply_topic`, or "" on time-out.
  std::string Request(const std::string& request_topic, const std::string& reply_topic, const std::string& payload,
                      std::chrono::milliseconds bound = std::chrono::seconds(10));
  void Clear();
  void connected(const std::string& cause) override;
  void message_arrived(mqtt::const_message_ptr msg) override;

 private:
  std::unique_ptr<mqtt::async_client> client_;
  std::string user_, password_;
  mutable std::mutex mutex_;
  std::vector<std::string> filters_;
  std::vector<ReceivedMessage> messages_;
};

}  // namespace station_test
