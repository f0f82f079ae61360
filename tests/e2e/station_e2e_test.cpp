// The whole service end to end: the real station executable, the simulated
// board and a real broker, with the robot and the cloud played by test clients.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_board.h"
#include "support/mosquitto_broker.h"
#include "support/temp_dir.h"

extern char** environ;

namespace station_test {
namespace {

constexpr const char* kUser = "quorvane";
constexpr const char* kPassword = "73019468";
constexpr const char* kStation = "E1";

std::string ReadFile(const std::string& path) {
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
  bool started() const { return pid_ > 0; }
  std::string Output() const { return ReadFile(log_path_); }
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

// Broker, simulated board and station service on loopback, with a robot client.
class EndToEnd {
 public:
  EndToEnd() : broker_(kUser, kPassword) {}

  bool Start(bool with_led_json = true, const std::string& board_options = "--level 500") {
    if (!broker_.Start()) {
      return false;
    }
    robot_ = std::make_unique<TestMqttClient>(broker_.Address(), "e2e_robot", kUser, kPassword);
    if (!robot_->Connect() || !robot_->Subscribe("clean_robot_station/#")) {
      return false;
    }
    command_port_ = PickFreeLoopbackPort();
    report_port_ = PickFreeLoopbackPort();
    control_port_ = PickFreeLoopbackPort();
    std::vector<std::string> board = {std::string(STATION_BINARY_DIR) + "/station_board_sim",
                                      "--command-port", std::to_string(command_port_),
                                      "--report-port", std::to_string(report_port_),
                                      "--control-port", std::to_string(control_port_),
                                      "--report-rate", "20"};
    std::istringstream extra(board_options);
    for (std::string word; extra >> word;) {
      board.push_back(word);
    }
    board_ = std::make_unique<Process>(board, dir_.path() + "/board.log", std::vector<std::string>{});
    if (!board_->started() || !PollUntil([&] { return board_->Output().find("command port") != std::string::npos; })) {
      return false;
    }
    std::ostringstream config;
    config << "{\"embedded_ip\":\"127.0.0.1\",\"embedded_action_port\":" << command_port_
           << ",\"soc_ip\":\"127.0.0.1\",\"soc_data_server_port\":" << report_port_
           << ",\"mqtt_server_address\":\"" << broker_.Address() << "\",\"mqtt_keep_alive_interval\":5"
           << ",\"station_id\":\"" << kStation << "\",\"upload_station_info_to_cloud_interval\":1"
           << ",\"bottom_action_timeout\":2,\"running_schedule_space\":50,\"default_schedule_space\":100}";
    dir_.Write("config.json", config.str());
    if (with_led_json) {
      dir_.Write("led.json", ReadFile(std::string(STATION_SOURCE_DIR) + "/config/led.json"));
    }
    station_ = std::make_unique<Process>(
        std::vector<std::string>{std::string(STATION_BINARY_DIR) + "/quorvane_station_center"},
        dir_.path() + "/station.log",
        std::vector<std::string>{"STATION_CENTER_CONFIG_DIR=" + dir_.path(), "SPDLOG_STDOUT=true",
                                 "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=info"});
    return station_->started();
  }

  // Waits until the service answers the robot (its subscriptions are in place).
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

  std::string Ask(const std::string& name, const std::string& payload,
                  std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    return robot_->Request(Topic(name), Topic(name + "Re"), payload, bound);
  }

  static std::string Topic(const std::string& name) { return std::string("clean_robot_station/") + kStation + "/" + name; }

  Process& station() { return *station_; }
  TestMqttClient& robot() { return *robot_; }
  MosquittoBroker& broker() { return broker_; }

 private:
  TempDir dir_;
  MosquittoBroker broker_;
  std::unique_ptr<TestMqttClient> robot_;
  std::unique_ptr<Process> board_;
  std::unique_ptr<Process> station_;
  uint16_t command_port_ = 0;
  uint16_t report_port_ = 0;
  uint16_t control_port_ = 0;
};

TEST(EndToEnd, MissingLedFileEndsStartUpWithStatus255) {
  EndToEnd e2e;
  ASSERT_TRUE(e2e.Start(/*with_led_json=*/false));
  EXPECT_EQ(e2e.station().WaitExit(std::chrono::seconds(30)), 255) << e2e.station().Output();
  EXPECT_EQ(e2e.station().Output().find("try connect to broker"), std::string::npos);
}

TEST(EndToEnd, StartUpResetThenIdleStatusDocuments) {
  EndToEnd e2e;
  ASSERT_TRUE(e2e.Start());
  const std::string topic = "clean_robot_station/reportActively";
  auto has = [&](const std::string& part) {
    for (const std::string& doc : e2e.robot().Payloads(topic)) {
      if (doc.find(part) != std::string::npos) {
        return true;
      }
    }
    return false;
  };
  ASSERT_TRUE(PollUntil([&] { return has("\"occupy_state\":0"); }, std::chrono::seconds(60))) << e2e.station().Output();
  const std::vector<std::string> docs = e2e.robot().Payloads(topic);
  // The tank starts half full, so the start-up reset drains it while the first reports go out.
  EXPECT_NE(docs.front().find("\"occupy_state\":1"), std::string::npos) << docs.front();
  const std::string& doc = docs.back();
  EXPECT_EQ(doc.rfind(R"({"req_header":{"msg_id":{"uuid":"1"},"device_id":{"uuid":"3932205875647256825375026"}},)"
                      R"("state_info":{"ready_state":{"ntp_state":1,"sensor_state":1,"driver_state":1,"self_test_state":1},)"
                      R"("online_time":)",
                      0),
            0u)
      << doc;
  EXPECT_NE(doc.find(R"(,"consumables_state":{"disinfectant_tables":1,"tap_water":1,"dust_bag":1},)"
                     R"("abnormal_info":{"emergency_stop":0,"abnormal_sensor_num":1,)"
                     R"("abnormal_sensor_list":[{"name":"","data":"","msg":""}]}})"),
            std::string::npos)
      << doc;
}

TEST(EndToEnd, RobotChecksAndBadRequestsThroughTheService) {
  EndToEnd e2e;
  ASSERT_TRUE(e2e.Start());
  ASSERT_TRUE(e2e.WaitServing()) << e2e.station().Output();
  EXPECT_EQ(e2e.Ask("checkStation", R"({"reqHeader":{"msgId":{"uuid":"1"},"robotId":{"uuid":"r"}},"checkType":0})"),
            R"({"rspHeader":{"msgId":{"uuid":"1"},"robotId":{"uuid":"r"},"errCode":0,"errMsg":""},"robotCheck":0,"checkType":0})");
  EXPECT_EQ(e2e.Ask("checkStation", R"({"checkType":9})"),
            R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":1,"errMsg":"Unknown check type"},"robotCheck":0,"checkType":0})");
  EXPECT_EQ(e2e.Ask("supplyMaterialRequest", R"({"cmd":{"supplyType":1,"action":2}})"),
            R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},"errCode":1,"errMsg":"Unknown supply type"}})");
  EXPECT_EQ(e2e.Ask("dockState", R"({"robotDesire":1,"extra":true})"),
            R"({"rspHeader":{"errCode":3,"errMsg":"req data convert to message failed"},"robotState":0,"robotDesire":0})");
  EXPECT_EQ(e2e.Ask("preWaterRequest", "{{"),
            R"({"rspHeader":{"errCode":3,"errMsg":"req data convert to message failed"}})");
}

TEST(EndToEnd, ServiceWaitsForTheBrokerAndAnswersOnceItIsUp) {
  EndToEnd e2e;
  ASSERT_TRUE(e2e.Start());
  ASSERT_TRUE(e2e.WaitServing()) << e2e.station().Output();
  e2e.broker().Stop();
  ASSERT_TRUE(e2e.broker().Start());
  ASSERT_TRUE(PollUntil([&] { return e2e.robot().Connected(); }, std::chrono::seconds(20)));
  EXPECT_TRUE(e2e.WaitServing(std::chrono::seconds(60))) << e2e.station().Output();
  // The status report resumes as well.
  e2e.robot().Clear();
  EXPECT_TRUE(e2e.robot().WaitForCount("clean_robot_station/reportActively", 1, std::chrono::seconds(20)));
}

}  // namespace
}  // namespace station_test
