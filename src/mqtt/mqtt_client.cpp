#include "mqtt/mqtt_client.h"

#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include <mqtt/connect_options.h>
#include <mqtt/create_options.h>
#include <mqtt/exception.h>
#include <mqtt/message.h>
#include <mqtt/ssl_options.h>
#include <mqtt/subscribe_options.h>
#include <mqtt/will_options.h>

#include "config.h"
#include "error_codes.h"
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
// The library's automatic reconnect: the first retry a second after the loss,
// each further one after twice the pause before, at most 30 s apart. A broker
// that restarts is heard again within about a second; one that stays away is
// not hammered.
constexpr int kReconnectMinSeconds = 1;
constexpr int kReconnectMaxSeconds = 30;
// After a loss the broker's port is tried this often, for this long.
constexpr auto kBrokerProbePause = std::chrono::milliseconds(250);
constexpr auto kBrokerWatchTime = std::chrono::seconds(60);

// Host and port of a server URI as the library takes it: an optional scheme,
// a host name, dotted address or bracketed IPv6 address, an optional port
// (the scheme's default otherwise) and, for websockets, a path.
bool SplitServerUri(const std::string& uri, std::string* host, std::string* port) {
  std::string rest = uri;
  std::string scheme = "tcp";
  const std::string::size_type marker = rest.find("://");
  if (marker != std::string::npos) {
    scheme = rest.substr(0, marker);
    rest = rest.substr(marker + 3);
  }
  rest = rest.substr(0, rest.find('/'));
  std::string::size_type port_at = std::string::npos;
  if (!rest.empty() && rest[0] == '[') {
    const std::string::size_type close = rest.find(']');
    if (close == std::string::npos) {
      return false;
    }
    *host = rest.substr(1, close - 1);
    if (close + 1 < rest.size() && rest[close + 1] == ':') {
      port_at = close + 2;
    }
  } else {
    const std::string::size_type colon = rest.rfind(':');
    *host = rest.substr(0, colon);
    if (colon != std::string::npos) {
      port_at = colon + 1;
    }
  }
  if (port_at != std::string::npos) {
    *port = rest.substr(port_at);
  } else if (scheme == "ssl" || scheme == "mqtts") {
    *port = "8883";
  } else if (scheme == "ws") {
    *port = "80";
  } else if (scheme == "wss") {
    *port = "443";
  } else {
    *port = "1883";
  }
  return !host->empty() && !port->empty();
}

bool SameEndpoint(const sockaddr_storage& peer, const sockaddr* broker) {
  if (peer.ss_family != broker->sa_family) {
    return false;
  }
  if (peer.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&peer);
    const auto* b = reinterpret_cast<const sockaddr_in*>(broker);
    return a->sin_port == b->sin_port && a->sin_addr.s_addr == b->sin_addr.s_addr;
  }
  if (peer.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&peer);
    const auto* b = reinterpret_cast<const sockaddr_in6*>(broker);
    return a->sin6_port == b->sin6_port && std::memcmp(&a->sin6_addr, &b->sin6_addr, sizeof(a->sin6_addr)) == 0;
  }
  return false;
}

// The broker's addresses; null when the URI does not parse or resolve. Free
// with freeaddrinfo.
addrinfo* ResolveBroker(const std::string& server_uri) {
  std::string host;
  std::string port;
  if (!SplitServerUri(server_uri, &host, &port)) {
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
    return nullptr;
  }
  return found;
}

// Whether the broker's port accepts a TCP connection within `wait`; the probe
// connection is closed at once.
bool BrokerAccepts(const std::string& server_uri, std::chrono::milliseconds wait) {
  addrinfo* found = ResolveBroker(server_uri);
  bool accepts = false;
  for (const addrinfo* a = found; a != nullptr && !accepts; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
      continue;
    }
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      accepts = true;
    } else if (errno == EINPROGRESS) {
      pollfd pfd{fd, POLLOUT, 0};
      int error = 0;
      socklen_t len = sizeof(error);
      accepts = ::poll(&pfd, 1, static_cast<int>(wait.count())) == 1 &&
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
    }
    ::close(fd);
  }
  if (found != nullptr) {
    ::freeaddrinfo(found);
  }
  return accepts;
}

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
  QLOG_ERROR("ErrorCode: {}, TLS to {}: cannot read {} {}: {}", station_center::kMqttConnectFailed,
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
               station_center::kMqttConnectFailed, c.mqtt_server_address);
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
  QLOG_ERROR("ErrorCode: {}, TLS to {} failed: {}", station_center::kMqttConnectFailed, c.mqtt_server_address,
             reason.empty() ? "the handshake itself goes through; the broker ended the connection" : reason);
}

}  // namespace

int SetNoDelayTowardsBroker(const std::string& server_uri) {
  addrinfo* found = ResolveBroker(server_uri);
  if (found == nullptr) {
    QLOG_INFO("broker address {} not resolved, TCP_NODELAY not set", server_uri);
    return 0;
  }
  std::vector<int> descriptors;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') {
        descriptors.push_back(std::atoi(entry->d_name));
      }
    }
    ::closedir(dir);
  }
  int set = 0;
  for (int fd : descriptors) {
    int type = 0;
    int protocol = 0;
    socklen_t len = sizeof(type);
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) {
      continue;
    }
    len = sizeof(protocol);
    if (::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) != 0 || protocol != IPPROTO_TCP) {
      continue;
    }
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof(peer);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) {
      continue;
    }
    bool broker = false;
    for (const addrinfo* a = found; a != nullptr && !broker; a = a->ai_next) {
      broker = SameEndpoint(peer, a->ai_addr);
    }
    const int on = 1;
    if (broker && ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) == 0) {
      QLOG_DEBUG("TCP_NODELAY set on socket {} to the broker {}", fd, server_uri);
      ++set;
    }
  }
  ::freeaddrinfo(found);
  if (set == 0) {
    QLOG_INFO("no socket to the broker {} found, TCP_NODELAY not set", server_uri);
  }
  return set;
}

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
    QLOG_ERROR("ErrorCode: {}, create mqtt client for {} failed: {}", station_center::kMqttConnectFailed,
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
      QLOG_ERROR("ErrorCode: {}, register mqtt callback failed: {}", station_center::kMqttConnectFailed, e.what());
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
      QLOG_ERROR("ErrorCode: {}, Connect broker failed", station_center::kMqttConnectFailed);
      return false;
    }
    QLOG_INFO("connect to broker success");
  }
  // The connected callback subscribes as well; subscribing twice to the same
  // topic only replaces the subscription at the broker.
  SubscribeTopics();
  return true;
}

bool MqttClient::ConnectOptions(mqtt::connect_options& options) const {
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
  return true;
}

bool MqttClient::ConnectToBroker() {
  try {
    mqtt::connect_options options;
    if (!ConnectOptions(options)) {
      return false;
    }
    mqtt::token_ptr token = client_->connect(options);
    const long wait_ms = static_cast<long>(station_center::config_reader.mqtt_keep_alive_interval) * 1000L;
    if (!token->wait_for(std::chrono::milliseconds(wait_ms))) {
      // The attempt may still complete; the next Init then finds the client connected.
      return false;
    }
    return client_->is_connected();
  } catch (const mqtt::exception& e) {
    QLOG_ERROR("ErrorCode: {}, connect to {} failed: {}", station_center::kMqttConnectFailed,
               station_center::config_reader.mqtt_server_address, e.what());
    if (e.get_return_code() == MQTTASYNC_FAILURE) {
      ExplainTlsFailure();
    }
    return false;
  } catch (const std::exception& e) {
    QLOG_ERROR("ErrorCode: {}, connect to {} failed: {}", station_center::kMqttConnectFailed,
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
      QLOG_ERROR("ErrorCode: {}, empty request topic for {}, not subscribed", station_center::kMqttSubscribeFailed,
                 exchange.request_format);
      continue;
    }
    try {
      client_->subscribe(topic, kSubscribeQos, request_options);
      QLOG_INFO("SubscribeTopics: {}", topic);
    } catch (const std::exception& e) {
      QLOG_ERROR("ErrorCode: {}, subscribe {} failed: {}", station_center::kMqttSubscribeFailed, topic, e.what());
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
    QLOG_ERROR("ErrorCode: {}, subscribe {} failed: {}", station_center::kMqttSubscribeFailed, cloud_topic, e.what());
  }
}

void MqttClient::OnConnected() {
  // The library (1.3) offers no option for TCP_NODELAY and no access to its
  // socket, so the socket is found by its peer. Without it a reply sent right
  // after the library's acknowledgement of the request waits for the broker's
  // delayed ACK, some 40 ms.
  (void)SetNoDelayTowardsBroker(station_center::config_reader.mqtt_server_address);
  {
    std::lock_guard<std::mutex> lock(watchMutex_);
    connectionLost_ = false;
  }
  watchChanged_.notify_all();
  SubscribeTopics();
}

void MqttClient::OnConnectionLost() {
  std::lock_guard<std::mutex> lock(watchMutex_);
  connectionLost_ = true;
  if (!watcherStarted_) {
    try {
      // Detached: the instance lives until process exit.
      std::thread([this] { WatchBroker(); }).detach();
      watcherStarted_ = true;
    } catch (const std::system_error& e) {
      QLOG_ERROR("ErrorCode: {}, broker watch not started: {}", station_center::kMqttConnectFailed, e.what());
    }
  }
  watchChanged_.notify_all();
}

void MqttClient::WatchBroker() {
  const std::string& uri = station_center::config_reader.mqtt_server_address;
  for (;;) {
    std::unique_lock<std::mutex> lock(watchMutex_);
    watchChanged_.wait(lock, [this] { return connectionLost_; });
    // The library's own retries may land while the broker is still down and
    // then wait seconds; a connect started the moment the port accepts again
    // does not. One per loss, so a broker that accepts but refuses the
    // station is left to the library's growing pauses.
    const auto until = std::chrono::steady_clock::now() + kBrokerWatchTime;
    bool back = false;
    while (connectionLost_ && !back && std::chrono::steady_clock::now() < until) {
      lock.unlock();
      back = BrokerAccepts(uri, kBrokerProbePause);
      lock.lock();
      if (!back) {
        watchChanged_.wait_for(lock, kBrokerProbePause, [this] { return !connectionLost_; });
      }
    }
    if (back && connectionLost_) {
      lock.unlock();
      QLOG_INFO("broker accepts again, connect now");
      try {
        mqtt::connect_options options;
        if (ConnectOptions(options)) {
          (void)client_->connect(options);
        }
      } catch (const std::exception& e) {
        // The library may be connecting on its own already; its retries go on.
        QLOG_INFO("early connect not started: {}", e.what());
      }
      lock.lock();
    }
    watchChanged_.wait(lock, [this] { return !connectionLost_; });
  }
}

void MqttClient::AnnounceOnline() {
  if (!client_ || availabilityTopic_.empty() || goingOffline_.load()) {
    return;
  }
  try {
    client_->publish(mqtt::make_message(availabilityTopic_, std::string(kOnline), kAvailabilityQos, true));
    QLOG_INFO("availability : {} on {}", kOnline, availabilityTopic_);
  } catch (const std::exception& e) {
    QLOG_ERROR("ErrorCode: {}, publish {} on {} failed: {}", station_center::kMqttPublishFailed, kOnline,
               availabilityTopic_, e.what());
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
    QLOG_ERROR("ErrorCode: {}, going offline on {} failed: {}", station_center::kMqttPublishFailed, availabilityTopic_,
               e.what());
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
    QLOG_ERROR("ErrorCode: {}, no mqtt client, {} not published", station_center::kMqttPublishFailed, topic);
    return;
  }
  mqtt::message_ptr message = mqtt::make_message(topic, payload, qos, false);
  client_->publish(message);
}

}  // namespace mqtt_client
