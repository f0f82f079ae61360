#include "station_fixture.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <thread>

#include "clock.h"

namespace station_test {
namespace {

using namespace station_center;

// What detached threads of the service may still use; reclaimed by process exit.
void KeepAlive(std::shared_ptr<void> object) {
  static std::mutex mutex;
  static auto* kept = new std::vector<std::shared_ptr<void>>();
  std::lock_guard<std::mutex> lock(mutex);
  kept->push_back(std::move(object));
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::trunc) << text; }

}  // namespace

bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return predicate();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

StationSrvReq SupplyRequest(TaskType type, int32_t action, int32_t duration) {
  StationSrvReq request;
  request.task_type = type;
  request.supply_material_req = SupplyCommand(action, duration);
  return request;
}

StationSrvReq PrepareRequest(TaskType type, int32_t action, int32_t tablets, int32_t volume) {
  StationSrvReq request = SupplyRequest(type, action);
  request.prepare_disinfectant_req = PrepareCommand(tablets, volume, action);
  return request;
}

StationSrvReq ServiceRequest(int32_t service_type) {
  StationSrvReq request;
  request.service_type = service_type;
  return request;
}

quorvane_base_station_mqtt::SupplyMaterialReq SupplyCommand(int32_t action, int32_t duration) {
  quorvane_base_station_mqtt::SupplyMaterialReq request;
  request.mutable_cmd()->set_action(static_cast<quorvane_base_station_mqtt::EnumActionModel>(action));
  request.mutable_cmd()->set_duration(duration);
  return request;
}

quorvane_base_station_mqtt::PrepareDisinfectantReq PrepareCommand(int32_t tablets, int32_t volume, int32_t action) {
  quorvane_base_station_mqtt::PrepareDisinfectantReq request;
  request.mutable_cmd()->mutable_action_cmd()->set_action(
      static_cast<quorvane_base_station_mqtt::EnumActionModel>(action));
  request.mutable_cmd()->set_disinfection_tablets_num(tablets);
  request.mutable_cmd()->set_water_volume(volume);
  return request;
}

std::string Describe(const station::SupplyMaterialReq& req) {
  if (req.has_change_led_()) {
    return "led " + std::to_string(static_cast<int>(req.change_led_().led_cmd_()));
  }
  return Act(req.cmd_().supply_type_(), req.cmd_().action_());
}

std::string Act(station::EnumSupplyType type, int action) {
  return "act " + std::to_string(static_cast<int>(type)) + ":" + std::to_string(action);
}

std::set<int> LeftOn(const Commands& commands, const std::set<size_t>& refused) {
  std::map<int, bool> on;
  for (size_t i = 0; i < commands.size(); ++i) {
    const std::string& command = commands[i];
    if (refused.count(i) != 0 || command.rfind("act ", 0) != 0) {
      continue;
    }
    const size_t colon = command.find(':');
    on[std::stoi(command.substr(4, colon - 4))] = std::stoi(command.substr(colon + 1)) != 0;
  }
  std::set<int> out;
  for (const auto& entry : on) {
    if (entry.second) {
      out.insert(entry.first);
    }
  }
  return out;
}

station::SensorsDataRep Report() { return station::SensorsDataRep(); }
station::SensorsDataRep EmptyTankReport() { return Tank(1, 0, 0); }

station::SensorsDataRep RobotDocked(station::SensorsDataRep report) {
  report.set_robotdockdetleft(1);
  report.set_robotdockdetright(1);
  report.set_electrodeplatedet(1);
  return report;
}

station::SensorsDataRep Tank(uint32_t foot, uint32_t up, uint32_t flow) {
  station::SensorsDataRep report;
  report.set_cleantankfootlevel(foot);
  report.set_cleantankuplevel(up);
  report.set_flowmeter(flow);
  return report;
}

station::SensorsDataRep DustReady(int32_t pressure) {
  station::SensorsDataRep report = RobotDocked(Tank(1, 0, 0));
  report.set_dustbagdet(1);
  report.set_dustboxcapdet(1);
  report.set_negativepressure(pressure);
  return report;
}

// Sewage still there: the sensor intake leaves a running sewage pump alone.
station::SensorsDataRep SewageNotDrained() {
  station::SensorsDataRep report = RobotDocked(Tank(1, 0, 0));
  report.set_sewagedet(1);
  report.set_sewagefull(5000);
  return report;
}

station::SensorsDataRep Wire(float degrees) {
  station::SensorsDataRep report = RobotDocked(Tank(1, 0, 0));
  report.set_heatingwiretemp(degrees);
  return report;
}

station::SensorsDataRep Plates(uint32_t temp1, uint32_t temp2, uint32_t hand) {
  station::SensorsDataRep report = RobotDocked(Tank(1, 0, 0));
  report.set_electrodeplatetemp1(temp1);
  report.set_electrodeplatetemp2(temp2);
  report.set_handchargedet(hand);
  return report;
}

station::SensorsDataRep HandSwitch(uint32_t value) {
  station::SensorsDataRep report = Tank(1, 0, 0);
  report.set_handchargedet(value);
  return report;
}

StationHarness::StationHarness(StationOptions options)
    : options_(std::move(options)), board_(std::make_shared<FakeBoard>()) {
  KeepAlive(board_);
  char dir_template[] = "/tmp/station_test_XXXXXX";
  const char* dir = ::mkdtemp(dir_template);
  config_dir_ = dir != nullptr ? dir : "";
  report_port_ = PickFreeLoopbackPort();
  FreezeClock(kClockStart);
  std::map<std::string, std::string> members = {
      {"embedded_ip", "\"127.0.0.1\""},
      {"embedded_action_port", std::to_string(board_->command_port())},
      {"soc_ip", "\"127.0.0.1\""},
      {"soc_data_server_port", std::to_string(report_port_)},
      {"running_schedule_space", "2"},
      {"bottom_action_timeout", std::to_string(options_.bottom_action_timeout_s)},
      {"drain_water_max_time", std::to_string(options_.drain_water_max_time_s)},
      {"auto_reset_time_space", "300"},
      {"sensor_report_timeout", std::to_string(options_.sensor_report_timeout_s)},
  };
  for (const auto& extra : options_.extra_config) {
    members[extra.first] = extra.second;
  }
  std::string json = "{";
  for (const auto& member : members) {
    json += (json.size() == 1 ? "\n  \"" : ",\n  \"") + member.first + "\": " + member.second;
  }
  WriteFile(config_dir_ + "/config.json", json + "\n}\n");
  std::ifstream led(std::string(STATION_SOURCE_DIR) + "/config/led.json");
  std::stringstream text;
  text << led.rdbuf();
  WriteFile(config_dir_ + "/led.json", text.str());
  ::setenv("STATION_CENTER_CONFIG_DIR", config_dir_.c_str(), 1);
  center_ = std::make_shared<StationCenter>();
  KeepAlive(center_);
}

StationHarness::~StationHarness() {
  if (!keep_running_) {
    WaitIdle();
  }
  std::remove((config_dir_ + "/config.json").c_str());
  std::remove((config_dir_ + "/led.json").c_str());
  ::rmdir(config_dir_.c_str());
}

bool StationHarness::Init() { return center_->Init() && board_->ConnectReports(report_port_); }

bool StationHarness::StartNormal() {
  Seed(EmptyTankReport());
  const bool normal =
      Init() && WaitFor([this] { return center_->Status() == STATION_NORMAL && center_->TaskCount() == 0; });
  MarkCommands();
  return normal;
}

bool StationHarness::PushReport(station::SensorsDataRep report) {
  const uint32_t seq = next_seq_++;
  report.set_seq(seq);
  return board_->SendReport(report) && WaitFor([this, seq] { return center_->SensorDataSnapshot().seq() == seq; });
}

void StationHarness::Deliver(station::SensorsDataRep report) {
  report.set_seq(next_seq_++);
  center_->DataUploadCallback(report);
}

void StationHarness::Edit(const std::function<void(StationTaskData&)>& edit) {
  std::unique_lock<std::shared_mutex> lock(center_->TaskDataLock());
  edit(center_->TaskData());
}

bool StationHarness::WaitForStatus(StationCenterStatus status) {
  return WaitFor([this, status] { return center_->Status() == status; });
}

bool StationHarness::WaitIdle(std::chrono::milliseconds bound) {
  return WaitFor([this] { return center_->TaskCount() == 0 && center_->ResetThreadsRunning() == 0; }, bound);
}

bool StationHarness::WaitForCommands(size_t count) const {
  if (!board_->WaitForRequests(mark_ + count)) {
    return false;
  }
  SyncWithService();
  return true;
}

bool StationHarness::WaitCycles(uint64_t count) const {
  const uint64_t until = center_->WorkCycles() + count;
  return WaitFor([this, until] { return center_->WorkCycles() >= until || center_->TaskCount() == 0; });
}

Commands StationHarness::AllCommands() const {
  Commands out;
  for (const auto& req : board_->Requests()) {
    out.push_back(Describe(req));
  }
  return out;
}

void StationHarness::MarkCommands() { mark_ = board_->Requests().size(); }

Commands StationHarness::CommandsSinceMark() const {
  const Commands all = AllCommands();
  return mark_ >= all.size() ? Commands{} : Commands(all.begin() + static_cast<std::ptrdiff_t>(mark_), all.end());
}

Commands StationHarness::Cycle(Task& task, const station::SensorsDataRep& report) {
  MarkCommands();
  task.ExecuteStep(report);
  return CommandsSinceMark();
}

void RunSteps(StationHarness& station, Task& task, const std::vector<Step>& steps) {
  for (size_t i = 0; i < steps.size(); ++i) {
    AdvanceClock(steps[i].advance_s);
    if (steps[i].refuse) {
      station.board().ScriptNext(FakeBoard::Answer::kError);
    }
    EXPECT_EQ(station.Cycle(task, steps[i].report), steps[i].sent) << "step " << i;
  }
}

Outcome RunScenario(const Scenario& s, Sweep sweep, size_t at) {
  StationOptions options;
  options.extra_config = s.config;
  options.sensor_report_timeout_s = 400;  // longer than any clock step of a course
  StationHarness station(options);
  EXPECT_TRUE(station.StartNormal());
  if (s.prepare) {
    s.prepare(station);
  }
  if (sweep == Sweep::kRefuse) {
    for (size_t i = 0; i < at; ++i) {
      station.board().ScriptNext(FakeBoard::Answer::kSuccess);
    }
    // Two in a row: the refused command, then the first switch-off of the path it takes.
    station.board().ScriptNext(FakeBoard::Answer::kError);
    station.board().ScriptNext(FakeBoard::Answer::kError);
  }
  station.MarkCommands();
  station.Deliver(s.start);
  if (!station.center()->HasTask(s.type)) {  // the hand switch asks for its task itself
    const StationSrvRsp rsp = station.Ask(s.request(2));
    EXPECT_EQ(rsp.result, SRV_RESULT_OK) << rsp.err_msg;
  }
  for (size_t row = 0; row < s.rows.size() && station.center()->HasTask(s.type); ++row) {
    if (row == at && sweep == Sweep::kStop) {
      station.Ask(s.request(4));
      break;
    }
    if (row == at && sweep == Sweep::kReportsStop) {
      station.SyncWithService();
      AdvanceClock(401);
      break;
    }
    EXPECT_TRUE(station.WaitCycles(2));
    station.Deliver(s.rows[row].first);
    AdvanceClock(s.rows[row].second);
    EXPECT_TRUE(station.WaitCycles(2));
  }
  Outcome run;
  run.ended = station.WaitIdle();
  if (sweep == Sweep::kNone && s.check >= 0) {
    EXPECT_EQ(station.Ask(ServiceRequest(s.check)).result, s.answer) << "answer after the course";
  }
  // What the main loop does once a second: the switch-offs the board refused go out again.
  for (int i = 0; i < 4 && station.center()->RetrySwitchOffs() != 0; ++i) {
    AdvanceClock(60);  // past the pause after a refused retry
  }
  EXPECT_EQ(station.center()->RetrySwitchOffs(), 0u);
  run.commands = station.CommandsSinceMark();
  if (!run.ended) {
    station.KeepRunning();
  }
  return run;
}

}  // namespace station_test
