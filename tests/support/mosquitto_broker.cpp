#include "support/mosquitto_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "support/fake_board.h"

extern char** environ;

namespace station_test {
namespace {

bool PortAccepts(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return ok;
}

// Runs `argv` with its output appended to `log_path`; the child's pid, or -1.
int Spawn(const std::vector<std::string>& args, const std::string& log_path) {
  std::vector<char*> argv;
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? static_cast<int>(pid) : -1;
}

// Waits up to `bound` for `pid` to end; its raw wait status, or -1 when it did not.
int WaitChild(int pid, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  int status = 0;
  while (true) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      return status;
    }
    if (done < 0 || std::chrono::steady_clock::now() > deadline) {
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

bool PollUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (true) {
    if (condition()) {
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      return condition();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

MosquittoBroker::MosquittoBroker(std::string user, std::string password)
    : user_(std::move(user)), password_(std::move(password)) {}

MosquittoBroker::~MosquittoBroker() { Stop(); }

std::string MosquittoBroker::Address() const { return "tcp://127.0.0.1:" + std::to_string(port_); }

std::string MosquittoBroker::Log() const {
  std::ifstream in(dir_.path() + "/mosquitto.log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string MosquittoBroker::TlsAddress(const std::string& scheme, const std::string& host) const {
  return scheme + "://" + host + ":" + std::to_string(tls_port_);
}

bool MosquittoBroker::EnableTls(bool require_client_certificate) {
  if (dir_.path().empty()) {
    return false;
  }
  const std::string& dir = dir_.path();
  const std::string log = dir + "/openssl.log";
  // EC keys: made in milliseconds, unlike RSA ones.
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/openssl");
    const int pid = Spawn(args, log);
    const int status = pid < 0 ? -1 : WaitChild(pid, std::chrono::seconds(30));
    return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  auto make_ca = [&](const std::string& name) {
    return run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                "-subj", "/CN=" + name, "-keyout", dir + "/" + name + ".key", "-out", dir + "/" + name + ".pem"});
  };
  auto make_signed = [&](const std::string& name, const std::string& subject, const std::string& extension) {
    return run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                "-subj", "/CN=" + subject, "-addext", extension, "-CA", dir + "/ca.pem", "-CAkey", dir + "/ca.key",
                "-keyout", dir + "/" + name + ".key", "-out", dir + "/" + name + ".pem"});
  };
  if (!make_ca("ca") || !make_ca("other_ca") ||
      !make_signed("server", "localhost", "subjectAltName=DNS:localhost,IP:127.0.0.1") ||
      !make_signed("client", "station", "extendedKeyUsage=clientAuth")) {
    return false;
  }
  tls_ = TlsFiles{dir + "/ca.pem",     dir + "/server.pem", dir + "/server.key",
                  dir + "/client.pem", dir + "/client.key", dir + "/other_ca.pem"};
  tls_port_ = PickFreeLoopbackPort();
  require_client_certificate_ = require_client_certificate;
  return tls_port_ != 0;
}

bool MosquittoBroker::WriteFiles() {
  if (dir_.path().empty()) {
    return false;
  }
  port_ = PickFreeLoopbackPort();
  if (port_ == 0) {
    return false;
  }
  const std::string password_file = dir_.path() + "/passwd";
  const int pid = Spawn({"/usr/bin/mosquitto_passwd", "-b", "-c", password_file, user_, password_},
                        dir_.path() + "/mosquitto_passwd.log");
  if (pid < 0) {
    return false;
  }
  const int status = WaitChild(pid, std::chrono::seconds(10));
  if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return false;
  }
  // Started as root, mosquitto would drop to its own user and then could not
  // read the private temporary folder.
  std::ostringstream conf;
  conf << "user root\n"
       << "persistence false\n"
       << "allow_anonymous false\n"
       << "password_file " << password_file << "\n"
       << "log_dest stderr\n"
       << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n"
       << "listener " << port_ << " 127.0.0.1\n"
       << "protocol mqtt\n";
  if (tls_port_ != 0) {
    conf << "listener " << tls_port_ << " 127.0.0.1\n"
         << "protocol mqtt\n"
         << "cafile " << tls_.ca << "\n"
         << "certfile " << tls_.server_cert << "\n"
         << "keyfile " << tls_.server_key << "\n"
         << "require_certificate " << (require_client_certificate_ ? "true" : "false") << "\n";
  }
  dir_.Write("mosquitto.conf", conf.str());
  files_written_ = true;
  return true;
}

bool MosquittoBroker::Start(std::chrono::milliseconds bound) {
  if (pid_ > 0) {
    return true;
  }
  if (!files_written_ && !WriteFiles()) {
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + bound;
  // The port of a broker just stopped can take a moment to be free again.
  while (true) {
    pid_ = Spawn({"/usr/sbin/mosquitto", "-c", dir_.path() + "/mosquitto.conf"}, dir_.path() + "/mosquitto.log");
    if (pid_ < 0) {
      return false;
    }
    while (std::chrono::steady_clock::now() < deadline) {
      if (PortAccepts(port_) && (tls_port_ == 0 || PortAccepts(tls_port_))) {
        return true;
      }
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;  // it ended: try again while time remains
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pid_ > 0 || std::chrono::steady_clock::now() >= deadline) {
      Stop();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void MosquittoBroker::Stop() {
  if (pid_ <= 0) {
    return;
  }
  ::kill(pid_, SIGTERM);
  if (WaitChild(pid_, std::chrono::seconds(10)) < 0) {
    ::kill(pid_, SIGKILL);
    WaitChild(pid_, std::chrono::seconds(10));
  }
  pid_ = -1;
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
    if (client_->is_connected()) {
      client_->disconnect()->wait_for(std::chrono::seconds(5));
    }
  } catch (...) {
    // The broker may already be gone.
  }
}

bool TestMqttClient::Connect(std::chrono::milliseconds bound) {
  try {
    mqtt::connect_options options;
    options.set_mqtt_version(MQTTVERSION_5);
    options.set_clean_start(true);
    options.set_automatic_reconnect(1, 2);
    options.set_keep_alive_interval(20);
    options.set_user_name(user_);
    options.set_password(password_);
    return client_->connect(options)->wait_for(bound) && client_->is_connected();
  } catch (const std::exception&) {
    return false;
  }
}

bool TestMqttClient::Connected() const { return client_->is_connected(); }

bool TestMqttClient::Subscribe(const std::string& topic_filter, std::chrono::milliseconds bound) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    filters_.push_back(topic_filter);
  }
  try {
    return client_->subscribe(topic_filter, 1)->wait_for(bound);
  } catch (const std::exception&) {
    return false;
  }
}

bool TestMqttClient::Publish(const std::string& topic, const std::string& payload, bool retained,
                             std::chrono::milliseconds bound) {
  try {
    return client_->publish(mqtt::make_message(topic, payload, 1, retained))->wait_for(bound);
  } catch (const std::exception&) {
    return false;
  }
}

std::vector<ReceivedMessage> TestMqttClient::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<std::string> TestMqttClient::Payloads(const std::string& topic) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> payloads;
  for (const ReceivedMessage& message : messages_) {
    if (message.topic == topic) {
      payloads.push_back(message.payload);
    }
  }
  return payloads;
}

size_t TestMqttClient::Count(const std::string& topic) const { return Payloads(topic).size(); }

bool TestMqttClient::WaitForCount(const std::string& topic, size_t count, std::chrono::milliseconds bound) const {
  return PollUntil([&] { return Count(topic) >= count; }, bound);
}

std::string TestMqttClient::Request(const std::string& request_topic, const std::string& reply_topic,
                                    const std::string& payload, std::chrono::milliseconds bound) {
  const size_t before = Count(reply_topic);
  if (!Publish(request_topic, payload, false, bound) || !WaitForCount(reply_topic, before + 1, bound)) {
    return std::string();
  }
  return Payloads(reply_topic)[before];
}

void TestMqttClient::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.clear();
}

void TestMqttClient::connected(const std::string& /*cause*/) {
  try {
    std::vector<std::string> filters;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      filters = filters_;
    }
    // Never wait on a token here: the callback thread would block itself.
    for (const std::string& filter : filters) {
      client_->subscribe(filter, 1);
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
