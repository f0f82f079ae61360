#pragma once
// The whole service on loopback: a real mosquitto that knows one user (with a TLS listener on
// request), the simulated board (station_board_sim, driven through its control port), the real
// service with a configuration in a temporary folder, and a robot on every station topic. The rig
// keeps a ledger of the robot's requests, reads what the board holds switched on, tallies the
// board's reports against those the service decoded, scans the service's output for sanitizer
// reports, and serves a systemd notify socket.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

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
std::vector<std::string> Matches(const std::string& text, const char* pattern);

// A stream socket to `port` on 127.0.0.1, from the loopback address `from` if given; -1 when refused.
int ConnectLoopback(uint16_t port, const char* from = nullptr);

// mosquitto on loopback for kUser only. Stop() and Start() again keep the ports. EnableTls() before
// the first Start() adds a TLS listener; its folder holds ca.pem, client.pem, client.key and
// other_ca.pem (which signed nothing of it); the server certificate names localhost and 127.0.0.1.
class MosquittoBroker {
 public:
  bool EnableTls(bool require_client_certificate);
  bool Start(std::chrono::milliseconds bound = std::chrono::seconds(10));  // until its ports accept
  void Stop() { process_.reset(); }
  uint16_t port() const { return port_; }
  std::string Address() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
  bool tls() const { return tls_port_ != 0; }
  std::string TlsAddress() const { return "ssl://localhost:" + std::to_string(tls_port_); }
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
  std::vector<std::string> Payloads(const std::string& topic) const;  // in the order they came
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
  bool Start(std::vector<std::string> args, const std::string& program = STATION_BINARY_DIR "/station_board_sim");
  std::string Command(const std::string& line);  // its one-line answer, "" on time-out
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

struct RigOptions {
  RigOptions(std::vector<std::string> args = {"--level", "500"}, std::vector<std::string> setup = {},
             std::map<std::string, std::string> members = {}, std::vector<std::string> vars = {})
      : board_args(std::move(args)), board_setup(std::move(setup)), config(std::move(members)), env(std::move(vars)) {}
  std::vector<std::string> board_args;   // after the ports and a report rate of 20
  std::vector<std::string> board_setup;  // control commands before the service starts
  // Members over the rig's, values as JSON; "$TLS" in a value is the broker's folder.
  std::map<std::string, std::string> config;
  std::vector<std::string> env;  // added to the service's environment
};

struct ReportTally {
  long long sent = 0, decoded = 0, lost = 0, lost_runs = 0, corrupt = 0;
  std::string Text() const {
    return "reports sent " + std::to_string(sent) + " decoded " + std::to_string(decoded) + " lost " +
           std::to_string(lost) + " in " + std::to_string(lost_runs) + " runs, corrupt " + std::to_string(corrupt);
  }
};

// A test that failed shows the service's output once its rig goes.
class ServiceRig {
 public:
  ~ServiceRig();
  // The broker, the robot on it, the board and the service's files; false also when a board_setup
  // command is refused. The service goes to the broker's TLS listener where it has one.
  bool Prepare(const RigOptions& options = RigOptions());
  bool StartService() {
    std::vector<std::string> env = {"STATION_CENTER_CONFIG_DIR=" + dir_.path(), "SPDLOG_STDOUT=true",
                                    "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=info"};
    env.insert(env.end(), options_.env.begin(), options_.env.end());
    service_ = std::make_unique<Process>(std::vector<std::string>{STATION_BINARY_DIR "/quorvane_station_center"},
                                         dir_.path() + "/service.log", env);
    return service_->pid() > 0;
  }
  bool Start(const RigOptions& options = RigOptions()) { return Prepare(options) && StartService(); }
  // Until the service answers, then until late answers to the probes came in.
  bool WaitServing(std::chrono::milliseconds bound = std::chrono::seconds(30));
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
  long long Mismatched();  // replies minus requests of the ledger, topic by topic, once late replies are in
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
  // Pauses the reports until the service took in what was sent, counts, resumes (needs the service
  // to log every decoded report: "debug" and "sensor_data_print_space" 1).
  ReportTally TallyReports();
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
  RigOptions options_;
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
