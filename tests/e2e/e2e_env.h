#pragma once

// The whole service on loopback for end-to-end tests: a real mosquitto, the
// simulated board (station_board_sim, driven through its control port) and the
// real station executable with a test configuration in a temporary folder. The
// robot and the cloud are played by one TestMqttClient subscribed to every
// station topic.
//
//   EndToEnd e2e;
//   E2eOptions options;
//   options.board_args = {"--fill-rate", "1000"};
//   options.config = {{"disinfectant_table_dissolution_time", "1"}};
//   ASSERT_TRUE(e2e.Start(options));
//   ASSERT_TRUE(e2e.WaitServing());
//   e2e.Board("dock");
//   std::string reply = e2e.Ask("checkStation", R"({"checkType":0})");
//   std::vector<std::string> sent = e2e.BoardCommands();   // {"DRAINAGE_SWITCH 1", ...}
//
// Every process is stopped when the EndToEnd goes; the simulator also ends with
// the test process.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bottom/sim_process.h"
#include "support/fake_board.h"
#include "support/mosquitto_broker.h"
#include "support/temp_dir.h"

namespace station_test {

constexpr const char* kE2eUser = "quorvane";
constexpr const char* kE2ePassword = "73019468";
constexpr const char* kE2eStation = "E1";

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A child process with its output in a file; killed and reaped when it goes.
class Process {
 public:
  Process(const std::vector<std::string>& args, const std::string& log_path, const std::vector<std::string>& env)
      : log_path_(log_path) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<std::string> env_text = env;
    for (char** e = environ; *e != nullptr; ++e) {
      env_text.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& e : env_text) {
      envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
      pid_ = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Process() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  std::string Output() const { return ReadWholeFile(log_path_); }
  bool OutputHas(const std::string& text) const { return Output().find(text) != std::string::npos; }
  // The exit status once the process ended within `bound`, else -1.
  int WaitExit(std::chrono::milliseconds bound) {
    int status = 0;
    const bool done = PollUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, bound);
    if (!done) {
      return -1;
    }
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  std::string log_path_;
  pid_t pid_ = -1;
  bool exited_ = false;
};

struct E2eOptions {
  bool with_led_json = true;
  // Start the broker before the station (false: only its port is reserved).
  bool broker_up = true;
  // Extra simulator options, e.g. {"--level", "500"}.
  std::vector<std::string> board_args = {"--level", "500"};
  // Configuration members added to (or replacing) the test defaults; values are JSON text.
  std::map<std::string, std::string> config;
};

// The robot's reply to a supply request that the station accepted and started.
constexpr const char* kAccepted = R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":0,"errMsg":""}})";
// ... and to a repeated request for a task that already runs.
constexpr const char* kRenewed =
    R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":0,"errMsg":"already exist task, upload task info success"}})";

class EndToEnd {
 public:
  EndToEnd() : broker_(kE2eUser, kE2ePassword) {}
  EndToEnd(const EndToEnd&) = delete;
  EndToEnd& operator=(const EndToEnd&) = delete;

  bool Start(const E2eOptions& options = E2eOptions()) {
    if (!broker_.Start()) {
      return false;
    }
    if (!options.broker_up) {
      broker_.Stop();  // the port stays reserved for the later Start
    } else if (!ConnectRobot()) {
      return false;
    }
    report_port_ = PickFreeLoopbackPort();
    std::vector<std::string> board = {"--report-port", std::to_string(report_port_), "--report-rate", "20"};
    board.insert(board.end(), options.board_args.begin(), options.board_args.end());
    if (!board_.Start(board)) {
      return false;
    }
    std::map<std::string, std::string> config = {
        {"embedded_ip", "\"127.0.0.1\""},
        {"embedded_action_port", std::to_string(board_.command_port())},
        {"soc_ip", "\"127.0.0.1\""},
        {"soc_data_server_port", std::to_string(report_port_)},
        {"mqtt_server_address", "\"" + broker_.Address() + "\""},
        {"mqtt_user_name", std::string("\"") + kE2eUser + "\""},
        {"mqtt_pwd", std::string("\"") + kE2ePassword + "\""},
        {"mqtt_keep_alive_interval", "5"},
        {"station_id", std::string("\"") + kE2eStation + "\""},
        {"upload_station_info_to_cloud_interval", "1"},
        {"bottom_action_timeout", "2"},
        {"running_schedule_space", "50"},
        {"default_schedule_space", "100"},
    };
    for (const auto& [key, value] : options.config) {
      config[key] = value;
    }
    std::string text = "{";
    for (const auto& [key, value] : config) {
      text += (text.size() > 1 ? "," : "") + ("\"" + key + "\":" + value);
    }
    dir_.Write("config.json", text + "}");
    if (options.with_led_json) {
      dir_.Write("led.json", ReadWholeFile(std::string(STATION_SOURCE_DIR) + "/config/led.json"));
    }
    station_ = std::make_unique<Process>(
        std::vector<std::string>{std::string(STATION_BINARY_DIR) + "/quorvane_station_center"},
        dir_.path() + "/station.log",
        std::vector<std::string>{"STATION_CENTER_CONFIG_DIR=" + dir_.path(), "SPDLOG_STDOUT=true",
                                 "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=info"});
    return station_->started();
  }

  // Connects the robot client (after a broker that was down has come up).
  bool ConnectRobot() {
    robot_ = std::make_unique<TestMqttClient>(broker_.Address(), "e2e_robot", kE2eUser, kE2ePassword);
    return robot_->Connect() && robot_->Subscribe("clean_robot_station/#");
  }

  // Waits until the service answers the robot (its subscriptions are in place),
  // then until late answers to the probes have come in.
  bool WaitServing(std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    const bool serving = PollUntil([&] { return !Ask("checkStation", "{}", std::chrono::milliseconds(300)).empty(); },
                                   bound);
    PollUntil([&] {
      const size_t before = robot_->Count(Topic("checkStationRe"));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return robot_->Count(Topic("checkStationRe")) == before;
    });
    return serving;
  }

  // Waits until the station is in its normal state (not resetting): a stop for
  // a task that does not run is then answered "no task" instead of "in reset".
  bool WaitNormal(std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    return PollUntil(
        [&] {
          const std::string reply = Ask("supplyMaterialRequest", R"({"cmd":{"action":4,"supplyType":9}})");
          return reply.find("\"errCode\":0") != std::string::npos;
        },
        bound);
  }

  std::string Ask(const std::string& name, const std::string& payload,
                  std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    return robot_->Request(Topic(name), Topic(name + "Re"), payload, bound);
  }

  // A supply request for the robot's supply type with the action model (2 standard, 4 stop).
  std::string Supply(int supply_type, int action, int duration = 0) {
    return Ask("supplyMaterialRequest", "{\"cmd\":{\"action\":" + std::to_string(action) + ",\"supplyType\":" +
                                            std::to_string(supply_type) + ",\"duration\":" +
                                            std::to_string(duration) + "}}");
  }

  // The check reply's readiness: true when robotCheck is ENUM_READY.
  bool CheckReady(int check_type) {
    const std::string reply = Ask("checkStation", "{\"checkType\":" + std::to_string(check_type) + "}");
    return reply.find("\"robotCheck\":1") != std::string::npos;
  }
  bool PollCheckReady(int check_type, std::chrono::milliseconds bound = std::chrono::seconds(60)) {
    return PollUntil(
        [&] {
          if (CheckReady(check_type)) {
            return true;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          return false;
        },
        bound);
  }

  // One control command to the simulator and its one-line answer.
  std::string Board(const std::string& command) { return board_.Command(command); }

  // The actuator commands the board received, in order, as "TYPE ACTION" with
  // the type's name without its ENUM_SUPPLY_ prefix ("TAP_WATER_SWITCH 1").
  // LED commands are left out.
  std::vector<std::string> BoardCommands() {
    const std::string log = Board("log");
    const std::string type_key = "\"type\":\"ENUM_SUPPLY_";
    const std::string action_key = "\",\"action\":";
    std::vector<std::string> commands;
    for (size_t at = log.find(type_key); at != std::string::npos; at = log.find(type_key, at + 1)) {
      const size_t name = at + type_key.size();
      const size_t name_end = log.find(action_key, name);
      if (name_end == std::string::npos) {
        break;
      }
      const size_t value = name_end + action_key.size();
      const size_t value_end = log.find_first_not_of("-0123456789", value);
      commands.push_back(log.substr(name, name_end - name) + " " + log.substr(value, value_end - value));
    }
    return commands;
  }

  // The board's last value for an actuator (name without ENUM_SUPPLY_), or -1 when never commanded.
  int Actuator(const std::string& type) {
    const std::string state = Board("state");
    const std::string key = "\"ENUM_SUPPLY_" + type + "\":";
    const size_t at = state.find(key);
    if (at == std::string::npos) {
      return -1;
    }
    return std::atoi(state.c_str() + at + key.size());
  }
  bool PollActuator(const std::string& type, int expected, std::chrono::milliseconds bound = std::chrono::seconds(15)) {
    return PollUntil([&] { return Actuator(type) == expected; }, bound);
  }

  static std::string Topic(const std::string& name) {
    return std::string("clean_robot_station/") + kE2eStation + "/" + name;
  }

  Process& station() { return *station_; }
  TestMqttClient& robot() { return *robot_; }
  MosquittoBroker& broker() { return broker_; }

 private:
  TempDir dir_;
  MosquittoBroker broker_;
  std::unique_ptr<TestMqttClient> robot_;
  SimProcess board_;
  std::unique_ptr<Process> station_;
  uint16_t report_port_ = 0;
};

// Whether `sequence` holds the commands of `expected` in that order (others may come between).
inline bool HasInOrder(const std::vector<std::string>& sequence, const std::vector<std::string>& expected) {
  size_t next = 0;
  for (const std::string& command : sequence) {
    if (next < expected.size() && command == expected[next]) {
      ++next;
    }
  }
  return next == expected.size();
}

inline std::string Joined(const std::vector<std::string>& commands) {
  std::string text;
  for (const std::string& command : commands) {
    text += command + "; ";
  }
  return text;
}

}  // namespace station_test
