#pragma once
// The whole service on loopback: a real mosquitto, the simulated board (station_board_sim, driven
// through its control port), the real service executable with a configuration in a temporary
// folder, and a robot client subscribed to every station topic. The rig keeps a ledger of the
// robot's requests, reads what the board holds switched on, tallies the board's reports against
// those the service decoded, scans the service's output for sanitizer reports, and serves a
// systemd notify socket.
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/mosquitto_broker.h"

namespace station_test {

constexpr const char* kStation = "E1";
// The reply to a supply the station started, and to one repeated while its task runs.
constexpr const char* kAccepted = R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":0,"errMsg":""}})";
constexpr const char* kRenewed = R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":0,)"
                                 R"("errMsg":"already exist task, upload task info success"}})";
enum RobotSupply { kCharging = 2, kWatering, kSewagePump, kHeatingWire, kHeatingFan, kCollectDust, kCleanPump, kUvLamp };
enum RobotAction { kStandard = 2, kStop = 4 };
enum RobotCheck { kInPose = 0, kWaterReady, kWaterFinish };

// The simulated board as a process, with its one-line control commands.
class BoardSim {
 public:
  ~BoardSim();
  bool Start(std::vector<std::string> args, const std::string& program = STATION_BINARY_DIR "/station_board_sim");
  std::string Command(const std::string& line);  // its one-line answer, "" on time-out
  Process& process() { return *process_; }
  int command_port() const { return command_port_; }
  int control_port() const { return control_port_; }

 private:
  TempDir dir_;
  std::unique_ptr<Process> process_;
  int control_fd_ = -1, command_port_ = 0, control_port_ = 0;
  std::string held_;
};

struct RigOptions {
  std::vector<std::string> board_args = {"--level", "500"};  // after the ports and a report rate of 20
  std::map<std::string, std::string> config;                // members over the rig's, values as JSON
  bool broker_up = true;                                     // false: only its port is reserved
  bool led_json = true, start_service = true;
  bool tls = false, tls_client_certificate = false;  // the service on the broker's TLS listener
  std::vector<std::string> env;                      // added to the service's environment
};

struct ReportTally {
  long long sent = 0, decoded = 0, lost = 0, lost_runs = 0, corrupt = 0;
  std::string Text() const;
};

class ServiceRig {
 public:
  ServiceRig() : broker_("quorvane", "73019468") {}
  bool Start(const RigOptions& options = RigOptions());
  bool StartService();
  bool ConnectRobot();
  // Until the service answers, then until late answers to the probes came in.
  bool WaitServing(std::chrono::milliseconds bound = std::chrono::seconds(30));
  // Until the station is normal, not resetting: a stop for no task is answered errCode 0.
  bool WaitNormal(std::chrono::milliseconds bound = std::chrono::seconds(30));
  void OpenLedger();  // counts requests from here on; forgets earlier messages
  std::string Ask(const std::string& name, const std::string& payload,
                  std::chrono::milliseconds bound = std::chrono::seconds(10));
  std::string Supply(int supply_type, int action, int duration = 0);
  bool CheckReady(int check_type);
  bool PollCheckReady(int check_type, std::chrono::milliseconds bound = std::chrono::seconds(60));
  long long Mismatched();  // replies minus requests of the ledger, topic by topic, once late replies are in
  std::string Board(const std::string& command) { return board_.Command(command); }
  long long BoardNumber(const std::string& command, const std::string& key);
  std::vector<std::string> BoardCommands();  // "TAP_WATER_SWITCH 1", in order, LEDs left out
  int Actuator(const std::string& type) { return static_cast<int>(BoardNumber("state", "ENUM_SUPPLY_" + type)); }
  bool PollActuator(const std::string& type, int value, std::chrono::milliseconds bound = std::chrono::seconds(15)) {
    return PollUntil([&] { return Actuator(type) == value; }, bound);
  }
  std::vector<std::string> ActuatorsOn();  // "NAME value" for each actuator the board holds on
  // Pauses the reports until the service took in what was sent, counts, resumes (needs CountingConfig()).
  ReportTally TallyReports();
  std::vector<std::string> SanitizerReports() const;
  static std::string Topic(const std::string& name) { return std::string("clean_robot_station/") + kStation + "/" + name; }
  Process& service() { return *service_; }
  TestMqttClient& robot() { return *robot_; }
  MosquittoBroker& broker() { return broker_; }
  const std::string& folder() const { return dir_.path(); }
  uint16_t report_port() const { return report_port_; }

 private:
  TempDir dir_;
  MosquittoBroker broker_;
  BoardSim board_;
  std::unique_ptr<TestMqttClient> robot_;
  std::unique_ptr<Process> service_;
  RigOptions options_;
  std::map<std::string, long long> sent_;
  uint16_t report_port_ = 0;
};

std::map<std::string, std::string> CountingConfig();  // the service logs every decoded report
std::string Joined(const std::vector<std::string>& items);
long long Occurrences(const std::string& text, const std::string& part);

// The datagram socket systemd serves a Type=notify unit on.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path);
  ~NotifySocket();
  std::string Env() const { return "NOTIFY_SOCKET=" + path_; }
  bool WaitFor(const std::string& text, std::chrono::milliseconds bound = std::chrono::seconds(20));
  const std::string& received() const { return received_; }

 private:
  std::string path_, received_;
  int fd_ = -1;
};

}  // namespace station_test
