#pragma once
// The whole service on loopback: a real mosquitto that knows one user (with a TLS listener on
// request), the simulated board (station_board_sim, driven through its control port), the real
// service with a configuration in a temporary folder, and a robot on every station topic. The rig
// keeps a ledger of the robot's requests, reads what the board holds switched on, scans the
// service's output for sanitizer reports, and serves a systemd notify socket.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fake_board.h"
#include "support/process.h"

namespace station_test {

constexpr const char *kStation = "E1", *kUser = "quorvane", *kPassword = "73019468";
// The reply to a supply the station started, and to one repeated while its task runs.
constexpr const char* kAccepted = R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":0,"errMsg":""}})";
constexpr const char* kRenewed = R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":0,)"
                                 R"("errMsg":"already exist task, upload task info success"}})";
// Disinfectant water of one tablet in one volume.
constexpr const char* kPrepare = R"({"cmd":{"actionCmd":{"action":2},"disinfectionTabletsNum":1,"waterVolume":1}})";
enum RobotSupply { kCharging = 2, kWatering, kSewagePump, kHeatingWire, kHeatingFan, kCollectDust, kCleanPump, kUvLamp };
enum RobotAction { kStandard = 2, kStop = 4 };
enum RobotCheck { kInPose = 0, kWaterReady, kWaterFinish };

inline std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += item + "; ";
  return text;
}
inline long long Occurrences(const std::string& text, const std::string& part) {
  long long count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}
// Each match of `pattern` in `text`, as its groups joined by a space.
inline std::vector<std::string> Matches(const std::string& text, const char* pattern) {
  const std::regex regex(pattern);
  std::vector<std::string> found;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), regex); it != std::sregex_iterator(); ++it) {
    found.push_back(it->size() > 2 ? (*it)[1].str() + " " + (*it)[2].str() : (*it)[1].str());
  }
  return found;
}

// `value` once it stayed the same over `quiet`: the late messages it counts have come in.
template <class Value>
auto Settled(Value value, std::chrono::milliseconds quiet = std::chrono::milliseconds(300)) {
  auto last = value();
  PollUntil([&] {
    std::this_thread::sleep_for(quiet);
    const auto now = value();
    return std::exchange(last, now) == now;
  });
  return last;
}

// mosquitto on loopback for kUser only. Stop() and Start() again keep the ports. EnableTls() before
// the first Start() adds a TLS listener; its folder holds ca.pem, client.pem, client.key and
// other_ca.pem (which signed nothing of it); the server certificate names localhost and 127.0.0.1.
class MosquittoBroker {
 public:
  bool EnableTls(bool require_client_certificate) {
    const std::string& dir = dir_.path();
    // EC keys: made in milliseconds, unlike RSA ones.
    auto make = [&](const std::string& name, const std::string& extension) {
      std::vector<std::string> args = {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                       "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=" + name,
                                       "-keyout", dir + "/" + name + ".key", "-out", dir + "/" + name + ".pem"};
      if (!extension.empty()) {
        args.insert(args.end(), {"-CA", dir + "/ca.pem", "-CAkey", dir + "/ca.key", "-addext", extension});
      }
      return Process::Run(args, dir + "/openssl.log");
    };
    tls_port_ = PickFreeLoopbackPort();
    require_client_certificate_ = require_client_certificate;
    return make("ca", "") && make("other_ca", "") && make("localhost", "subjectAltName=DNS:localhost,IP:127.0.0.1") &&
           make("client", "extendedKeyUsage=clientAuth") && tls_port_ != 0;
  }
  bool Start(std::chrono::milliseconds bound = std::chrono::seconds(10)) {  // until its ports accept
    const std::string& dir = dir_.path();
    if (port_ == 0) {
      port_ = PickFreeLoopbackPort();
      // Started as root, mosquitto would drop to its own user and could not read the private folder.
      std::string conf = "user root\npersistence false\nallow_anonymous false\npassword_file " + dir + "/passwd\n" +
                         "log_dest stderr\nlog_type error\nlog_type warning\nlog_type notice\nlog_type information\n" +
                         "listener " + std::to_string(port_) + " 127.0.0.1\n";
      if (tls()) {
        conf += "listener " + std::to_string(tls_port_) + " 127.0.0.1\ncafile " + dir + "/ca.pem\ncertfile " + dir +
                "/localhost.pem\nkeyfile " + dir + "/localhost.key\nrequire_certificate " +
                (require_client_certificate_ ? "true\n" : "false\n");
      }
      dir_.Write("mosquitto.conf", conf);
      if (port_ == 0 || !Process::Run({"/usr/bin/mosquitto_passwd", "-b", "-c", dir + "/passwd", kUser, kPassword},
                                      dir + "/passwd.log")) {
        return false;
      }
    }
    auto ended = [&] { return process_->WaitExit(std::chrono::milliseconds(0)) >= 0; };
    auto accepts = [](uint16_t port) {
      const int fd = ConnectLoopback(port);
      return fd >= 0 && ::close(fd) == 0;
    };
    auto up = [&] { return accepts(port_) && (!tls() || accepts(tls_port_)); };
    // The port of a broker just stopped can take a moment to be free again: start until it holds.
    return PollUntil([&] {
      const std::vector<std::string> args = {"/usr/sbin/mosquitto", "-c", dir + "/mosquitto.conf"};
      process_ = std::make_unique<Process>(args, dir + "/mosquitto.log");
      return PollUntil([&] { return ended() || up(); }, bound) && !ended();
    }, bound, std::chrono::milliseconds(100));
  }
  void Stop() { process_.reset(); }
  uint16_t port() const { return port_; }
  bool tls() const { return tls_port_ != 0; }
  // The TLS listener where there is one.
  std::string Address() const {
    return tls() ? "ssl://localhost:" + std::to_string(tls_port_) : "tcp://127.0.0.1:" + std::to_string(port_);
  }
  const std::string& folder() const { return dir_.path(); }
  std::string Log() const { return ReadWholeFile(dir_.path() + "/mosquitto.log"); }

 private:
  TempDir dir_;
  uint16_t port_ = 0, tls_port_ = 0;
  bool require_client_certificate_ = false;
  std::unique_ptr<Process> process_;
};

// The robot on the broker as kUser: mosquitto_sub records every message on its filter and subscribes
// again on every connection; each publish is one mosquitto_pub at QoS 1, returning once it was taken.
class TestMqttClient {
 public:
  TestMqttClient(uint16_t port, const std::string& client_id) : port_(std::to_string(port)), id_(client_id) {}
  bool Connect(const std::string& topic_filter) {  // subscribed at QoS 1
    // Line-buffered: its debug lines, the SUBACK among them, are not flushed otherwise.
    subscriber_ = std::make_unique<Process>(std::vector<std::string>{"/usr/bin/stdbuf", "-oL", "/usr/bin/mosquitto_sub",
        "-V", "mqttv5", "-p", port_, "-u", kUser, "-P", kPassword, "-i", id_, "-q", "1", "-d", "-v", "-t", topic_filter},
        dir_.path() + "/sub.log");
    return PollUntil([&] { return subscriber_->OutputHas("received SUBACK"); }) && subscriber_->WaitExit({}) < 0;
  }
  bool Publish(const std::string& topic, const std::string& payload, bool retained = false) {
    std::vector<std::string> args = {"/usr/bin/mosquitto_pub", "-V", "mqttv5", "-p", port_, "-u", kUser, "-P",
                                     kPassword, "-q", "1", "-t", topic, payload.empty() ? "-n" : "-m"};
    if (!payload.empty()) args.push_back(payload);
    if (retained) args.push_back("-r");
    return Process::Run(args, dir_.path() + "/pub.log", std::chrono::seconds(10));
  }
  // In the order they came; whole lines "topic payload" only: the last one may still be being written.
  std::vector<std::string> Payloads(const std::string& topic) const {
    std::vector<std::string> payloads;
    const std::string text = subscriber_->Output(), start = topic + " ";
    for (size_t at = seen_, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      if (text.compare(at, start.size(), start) == 0) payloads.push_back(text.substr(at + start.size(), end - at - start.size()));
    }
    return payloads;
  }
  size_t Count(const std::string& topic) const { return Payloads(topic).size(); }
  bool WaitForCount(const std::string& topic, size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    return PollUntil([&] { return Count(topic) >= count; }, bound);
  }
  void Clear() { seen_ = subscriber_->Output().size(); }  // forgets what came so far

 private:
  std::string port_, id_;
  TempDir dir_;
  std::unique_ptr<Process> subscriber_;
  size_t seen_ = 0;
};

// The simulated board as a process, with its one-line control commands.
class BoardSim {
 public:
  ~BoardSim() { ::close(control_fd_); }
  bool Start(std::vector<std::string> args, const std::string& program = STATION_BINARY_DIR "/station_board_sim") {
    args.insert(args.begin(), {program, "--command-port", "0", "--control-port", "0", "--exit-with-parent"});
    process_ = std::make_unique<Process>(args, dir_.path() + "/board.log");
    std::vector<std::string> ports;  // it announces them on standard output
    if (!PollUntil([&] { return (ports = Matches(process_->Output(), R"(command port (\d+)\ncontrol port (\d+)\n)")).size() == 1; })) {
      return false;
    }
    int control_port = 0;
    std::sscanf(ports[0].c_str(), "%d %d", &command_port_, &control_port);
    const timeval timeout{5, 0};  // a command not answered within 5 s is answered ""
    control_fd_ = ConnectLoopback(static_cast<uint16_t>(control_port));
    return ::setsockopt(control_fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) == 0;
  }
  std::string Command(const std::string& line) {  // its one-line answer, "" on time-out
    const std::string out = line + "\n";
    if (::send(control_fd_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) return "";
    char buffer[65536];
    for (ssize_t n; held_.find('\n') == std::string::npos; held_.append(buffer, static_cast<size_t>(n))) {
      if ((n = ::recv(control_fd_, buffer, sizeof(buffer), 0)) <= 0) return "";
    }
    const std::string reply = held_.substr(0, held_.find('\n'));
    held_.erase(0, reply.size() + 1);
    return reply;
  }
  long long Number(const std::string& command, const std::string& key) {  // "reports_sent" of "stats", or -1
    const std::string reply = Command(command);
    const size_t at = reply.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::atoll(reply.c_str() + at + key.size() + 3);
  }
  Process& process() { return *process_; }
  int command_port() const { return command_port_; }

 private:
  TempDir dir_;
  std::unique_ptr<Process> process_;
  int control_fd_ = -1, command_port_ = 0;
  std::string held_;
};

// A test that failed shows the service's output once its rig goes.
class ServiceRig {
 public:
  ~ServiceRig() {
    if (service_ != nullptr && testing::Test::HasFailure()) std::cout << "service output:\n" << service_->Output();
  }
  // The broker, the robot on it, the board (`board_args` after the ports and a report rate of 20, then
  // the control commands `board_setup`) and the service's files with `members` over the rig's
  // configuration (values as JSON; "$TLS" in a value is the broker's folder); false also when a
  // board_setup command is refused. The service goes to the broker's TLS listener where it has one.
  bool Prepare(const std::vector<std::string>& board_args = {"--level", "500"},
               const std::vector<std::string>& board_setup = {},
               const std::map<std::string, std::string>& members = {}) {
    if (!broker_.Start()) return false;
    robot_ = std::make_unique<TestMqttClient>(broker_.port(), "robot");
    const uint16_t report_port = PickFreeLoopbackPort();
    std::vector<std::string> board = {"--report-port", std::to_string(report_port), "--report-rate", "20"};
    board.insert(board.end(), board_args.begin(), board_args.end());
    if (!robot_->Connect("clean_robot_station/#") || !board_.Start(board)) return false;
    for (const std::string& command : board_setup) {
      if (Board(command) != "ok") return false;
    }
    auto quoted = [](const std::string& text) { return "\"" + text + "\""; };
    std::map<std::string, std::string> config = {
        {"embedded_ip", quoted("127.0.0.1")}, {"embedded_action_port", std::to_string(board_.command_port())},
        {"soc_ip", quoted("127.0.0.1")}, {"soc_data_server_port", std::to_string(report_port)},
        {"mqtt_server_address", quoted(broker_.Address())}, {"mqtt_user_name", quoted(kUser)},
        {"mqtt_pwd", quoted(kPassword)}, {"mqtt_keep_alive_interval", "5"}, {"station_id", quoted(kStation)},
        {"upload_station_info_to_cloud_interval", "1"}, {"bottom_action_timeout", "2"},
        {"running_schedule_space", "20"}, {"default_schedule_space", "100"},
        {"disinfectant_table_dissolution_time", "1"}, {"disinfectant_tablet_release_time", "1"}};
    if (broker_.tls()) config["mqtt_ca_file"] = quoted("$TLS/ca.pem");
    for (const auto& [key, value] : members) config[key] = value;
    std::string text;
    for (const auto& [key, value] : config) {
      text += (text.empty() ? "{" : ",") + quoted(key) + ":" + std::regex_replace(value, std::regex("\\$TLS"), broker_.folder());
    }
    dir_.Write("config.json", text + "}");
    dir_.Write("led.json", ReadWholeFile(STATION_SOURCE_DIR "/config/led.json"));
    return true;
  }
  bool StartService(const std::vector<std::string>& more_env = {}) {  // `more_env` added to its environment
    std::vector<std::string> env = {"STATION_CENTER_CONFIG_DIR=" + dir_.path(), "SPDLOG_STDOUT=true",
                                    "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=info"};
    env.insert(env.end(), more_env.begin(), more_env.end());
    service_ = std::make_unique<Process>(std::vector<std::string>{STATION_BINARY_DIR "/quorvane_station_center"},
                                         dir_.path() + "/service.log", env);
    return service_->pid() > 0;
  }
  bool Start(const std::vector<std::string>& board_args, const std::vector<std::string>& board_setup = {},
             const std::map<std::string, std::string>& members = {}) {
    return Prepare(board_args, board_setup, members) && StartService();
  }
  // Until the service answers, then until late answers to the probes came in.
  bool WaitServing(std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    const bool serving = PollUntil([&] { return !Ask("checkStation", "{}", std::chrono::milliseconds(300)).empty(); }, bound);
    Settled([&] { return robot_->Count(Topic("checkStationRe")); });
    return serving;
  }
  // Until the station is normal, not resetting: a stop for no task is answered errCode 0.
  bool WaitNormal(std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    const auto stopped = [&] { return Supply(kUvLamp, kStop).find("\"errCode\":0") != std::string::npos; };
    return WaitServing(bound) && PollUntil(stopped, bound, std::chrono::milliseconds(100));
  }
  void OpenLedger() {  // counts requests from here on; forgets earlier messages
    sent_.clear();
    robot_->Clear();
  }
  // Publishes on the request topic `name`; the next reply on its "Re" topic, or "" on time-out.
  std::string Ask(const std::string& name, const std::string& payload,
                  std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    ++sent_[name];
    const std::string reply = Topic(name + "Re");
    const size_t before = robot_->Count(reply);
    const bool got = robot_->Publish(Topic(name), payload) && robot_->WaitForCount(reply, before + 1, bound);
    return got ? robot_->Payloads(reply)[before] : "";
  }
  std::string Supply(int supply_type, int action, int duration = 0) {
    return Ask("supplyMaterialRequest", "{\"cmd\":{\"action\":" + std::to_string(action) + ",\"supplyType\":" +
                                            std::to_string(supply_type) + ",\"duration\":" + std::to_string(duration) + "}}");
  }
  bool CheckReady(int check_type) {
    return Ask("checkStation", "{\"checkType\":" + std::to_string(check_type) + "}").find("\"robotCheck\":1") !=
           std::string::npos;
  }
  bool PollCheckReady(int check_type, std::chrono::milliseconds bound = std::chrono::seconds(60)) {
    return PollUntil([&] { return CheckReady(check_type); }, bound, std::chrono::milliseconds(200));
  }
  long long Mismatched() {  // replies minus requests of the ledger, topic by topic, once late replies are in
    const auto replies = Settled([&] {
      std::map<std::string, long long> count;
      for (const auto& entry : sent_) count[entry.first] = static_cast<long long>(robot_->Count(Topic(entry.first + "Re")));
      return count;
    });
    long long mismatched = 0;
    for (const auto& [name, count] : replies) mismatched += std::abs(count - sent_[name]);
    return mismatched;
  }
  std::string Board(const std::string& command) { return board_.Command(command); }
  long long BoardNumber(const std::string& command, const std::string& key) { return board_.Number(command, key); }
  bool AwaitReports(long long count) {  // until the board sent `count` more reports
    const long long sent = BoardNumber("stats", "reports_sent");
    return PollUntil([&] { return BoardNumber("stats", "reports_sent") >= sent + count; });
  }
  std::vector<std::string> BoardCommands() {  // "TAP_WATER_SWITCH 1", in order, LEDs left out
    return Matches(Board("log"), R"re("type":"ENUM_SUPPLY_([A-Z0-9_]+)","action":(-?\d+))re");
  }
  int Actuator(const std::string& type) { return static_cast<int>(BoardNumber("state", "ENUM_SUPPLY_" + type)); }
  bool PollActuator(const std::string& type, int value, std::chrono::milliseconds bound = std::chrono::seconds(15)) {
    return PollUntil([&] { return Actuator(type) == value; }, bound);
  }
  std::vector<std::string> ActuatorsOn() {  // "NAME value" for each actuator the board holds on
    return Matches(Board("state"), R"re("ENUM_SUPPLY_([A-Z0-9_]+)":(-?[1-9]\d*))re");
  }
  // The service ends through _Exit, so a sanitizer report never reaches its exit status: its output tells.
  std::vector<std::string> SanitizerReports() const {
    return Matches(service_->Output(),
                   R"(((WARNING: ThreadSanitizer|ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:).*))");
  }
  static std::string Topic(const std::string& name) { return std::string("clean_robot_station/") + kStation + "/" + name; }
  Process& service() { return *service_; }
  TestMqttClient& robot() { return *robot_; }
  MosquittoBroker& broker() { return broker_; }
  const std::string& folder() const { return dir_.path(); }

 private:
  TempDir dir_;
  MosquittoBroker broker_;
  BoardSim board_;
  std::unique_ptr<TestMqttClient> robot_;
  std::unique_ptr<Process> service_;
  std::map<std::string, long long> sent_;
};

// The datagram socket systemd serves a Type=notify unit on.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path), fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  }
  ~NotifySocket() { ::close(fd_); }
  std::string Env() const { return "NOTIFY_SOCKET=" + path_; }
  bool WaitFor(const std::string& text, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    return PollUntil([&] {
      char buffer[512];
      for (ssize_t n; (n = ::recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0;) {
        received_.append(buffer, static_cast<size_t>(n)).append("\n");
      }
      return received_.find(text) != std::string::npos;
    }, bound);
  }
  const std::string& received() const { return received_; }

 private:
  std::string path_, received_;
  int fd_ = -1;
};

}  // namespace station_test
