#include "support/mosquitto_broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "support/fake_board.h"

namespace station_test {
namespace {

bool PortAccepts(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return ok;
}

bool RunToEnd(const std::vector<std::string>& args, const std::string& log) {
  return Process(args, log).WaitExit(std::chrono::seconds(30)) == 0;
}

}  // namespace

bool MosquittoBroker::EnableTls(bool require_client_certificate) {
  const std::string& dir = dir_.path();
  // EC keys: made in milliseconds, unlike RSA ones.
  auto make = [&](const std::string& name, const std::string& extension) {
    std::vector<std::string> args = {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                     "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=" + name,
                                     "-keyout", dir + "/" + name + ".key", "-out", dir + "/" + name + ".pem"};
    if (!extension.empty()) {
      args.insert(args.end(), {"-CA", dir + "/ca.pem", "-CAkey", dir + "/ca.key", "-addext", extension});
    }
    return RunToEnd(args, dir + "/openssl.log");
  };
  tls_ = TlsFiles{dir + "/ca.pem", dir + "/client.pem", dir + "/client.key", dir + "/other_ca.pem"};
  tls_port_ = PickFreeLoopbackPort();
  require_client_certificate_ = require_client_certificate;
  return make("ca", "") && make("other_ca", "") && make("localhost", "subjectAltName=DNS:localhost,IP:127.0.0.1") &&
         make("client", "extendedKeyUsage=clientAuth") && tls_port_ != 0;
}

bool MosquittoBroker::Start(std::chrono::milliseconds bound) {
  const std::string& dir = dir_.path();
  if (port_ == 0) {
    port_ = PickFreeLoopbackPort();
    // Started as root, mosquitto would drop to its own user and could not read the private folder.
    std::string conf = "user root\npersistence false\nallow_anonymous false\npassword_file " + dir +
                       "/passwd\nlog_dest stderr\nlog_type error\nlog_type warning\nlog_type notice\n"
                       "log_type information\nlistener " + std::to_string(port_) + " 127.0.0.1\n";
    if (tls_port_ != 0) {
      conf += "listener " + std::to_string(tls_port_) + " 127.0.0.1\ncafile " + tls_.ca + "\ncertfile " + dir +
              "/localhost.pem\nkeyfile " + dir + "/localhost.key\nrequire_certificate " +
              (require_client_certificate_ ? "true\n" : "false\n");
    }
    dir_.Write("mosquitto.conf", conf);
    if (port_ == 0 || !RunToEnd({"/usr/bin/mosquitto_passwd", "-b", "-c", dir + "/passwd", user_, password_},
                                dir + "/passwd.log")) {
      return false;
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + bound;
  // The port of a broker just stopped can take a moment to be free again: start until it holds.
  while (!process_ && std::chrono::steady_clock::now() < deadline) {
    process_ = std::make_unique<Process>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c", dir + "/mosquitto.conf"},
                                         dir + "/mosquitto.log");
    auto ended = [&] { return process_->WaitExit(std::chrono::milliseconds(0)) >= 0; };
    PollUntil([&] { return ended() || (PortAccepts(port_) && (tls_port_ == 0 || PortAccepts(tls_port_))); }, bound);
    if (ended()) {
      process_.reset();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  return process_ != nullptr;
}

TestMqttClient::TestMqttClient(const std::string& address, const std::string& client_id, const std::string& user,
                               const std::string& password)
    : client_(std::make_unique<mqtt::async_client>(address, client_id, mqtt::create_options(MQTTVERSION_5), nullptr)),
      user_(user),
      password_(password) {
  client_->set_callback(*this);
}

TestMqttClient::~TestMqttClient() {
  try {
    client_->disable_callbacks();
    client_->disconnect()->wait_for(std::chrono::seconds(5));
  } catch (...) {
    // The broker may be gone already.
  }
}

bool TestMqttClient::Connect() {
  try {
    mqtt::connect_options options;
    options.set_mqtt_version(MQTTVERSION_5);
    options.set_automatic_reconnect(1, 2);
    options.set_user_name(user_);
    options.set_password(password_);
    return client_->connect(options)->wait_for(std::chrono::seconds(10)) && client_->is_connected();
  } catch (const std::exception&) {
    return false;
  }
}

bool TestMqttClient::Subscribe(const std::string& topic_filter) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    filters_.push_back(topic_filter);
  }
  try {
    return client_->subscribe(topic_filter, 1)->wait_for(std::chrono::seconds(10));
  } catch (const std::exception&) {
    return false;
  }
}

bool TestMqttClient::Publish(const std::string& topic, const std::string& payload, bool retained) {
  try {
    return client_->publish(mqtt::make_message(topic, payload, 1, retained))->wait_for(std::chrono::seconds(10));
  } catch (const std::exception&) {
    return false;
  }
}

std::vector<ReceivedMessage> TestMqttClient::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<std::string> TestMqttClient::Payloads(const std::string& topic) const {
  std::vector<std::string> payloads;
  for (const ReceivedMessage& message : Messages()) {
    if (message.topic == topic) {
      payloads.push_back(message.payload);
    }
  }
  return payloads;
}

std::string TestMqttClient::Request(const std::string& request_topic, const std::string& reply_topic,
                                    const std::string& payload, std::chrono::milliseconds bound) {
  const size_t before = Count(reply_topic);
  return Publish(request_topic, payload) && WaitForCount(reply_topic, before + 1, bound) ? Payloads(reply_topic)[before]
                                                                                         : std::string();
}

void TestMqttClient::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.clear();
}

void TestMqttClient::connected(const std::string& /*cause*/) {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& filter : filters_) {
      client_->subscribe(filter, 1);  // never waited for here: the callback thread would block itself
    }
  } catch (...) {
    // A failed resubscription shows in the test as a missing message.
  }
}

void TestMqttClient::message_arrived(mqtt::const_message_ptr msg) {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(ReceivedMessage{msg->get_topic(), msg->to_string(), msg->is_retained()});
  } catch (...) {
    // Nothing may escape a library callback.
  }
}

}  // namespace station_test
