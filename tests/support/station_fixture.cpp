#include "station_fixture.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "clock.h"
#include "config.h"

namespace station_test {
namespace {

// Objects that detached threads of the service may still use; reclaimed by
// process exit, never by a destructor (see the header).
std::mutex keep_alive_mutex;
std::vector<std::shared_ptr<void>>* keep_alive = new std::vector<std::shared_ptr<void>>();

void KeepAlive(std::shared_ptr<void> object) {
  std::lock_guard<std::mutex> lock(keep_alive_mutex);
  keep_alive->push_back(std::move(object));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
}

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

station_center::StationSrvReq SupplyRequest(station_center::TaskType type, int32_t action, int32_t duration) {
  station_center::StationSrvReq request;
  request.service_type = station_center::SRV_RECEIVE_TASK;
  request.task_type = type;
  auto* cmd = request.supply_material_req.mutable_cmd();
  cmd->set_action(static_cast<quorvane_base_station_mqtt::EnumActionModel>(action));
  cmd->set_duration(duration);
  return request;
}

station_center::StationSrvReq ServiceRequest(int32_t service_type) {
  station_center::StationSrvReq request;
  request.service_type = service_type;
  return request;
}

std::string Describe(const station::SupplyMaterialReq& req) {
  if (req.has_change_led_()) {
    return "led " + std::to_string(static_cast<int>(req.change_led_().led_cmd_()));
  }
  return "act " + std::to_string(static_cast<int>(req.cmd_().supply_type_())) + ":" +
         std::to_string(req.cmd_().action_());
}

station::SensorsDataRep Report() { return station::SensorsDataRep(); }

station::SensorsDataRep EmptyTankReport() {
  station::SensorsDataRep report;
  report.set_cleantankfootlevel(1);
  return report;
}

station::SensorsDataRep RobotDocked(station::SensorsDataRep report) {
  report.set_robotdockdetleft(1);
  report.set_robotdockdetright(1);
  report.set_electrodeplatedet(1);
  return report;
}

StationHarness::StationHarness(StationOptions options)
    : options_(std::move(options)), board_(std::make_shared<FakeBoard>()) {
  KeepAlive(board_);
  char dir_template[] = "/tmp/station_test_XXXXXX";
  const char* dir = ::mkdtemp(dir_template);
  config_dir_ = dir != nullptr ? dir : "";
  report_port_ = PickFreeLoopbackPort();
  if (options_.freeze_clock) {
    station_center::FreezeClock(kClockStart);
  }
  WriteConfig();
  ::setenv("STATION_CENTER_CONFIG_DIR", config_dir_.c_str(), 1);
  center_ = std::make_shared<station_center::StationCenter>();
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

void StationHarness::WriteConfig() {
  std::map<std::string, std::string> members = {
      {"embedded_ip", "\"127.0.0.1\""},
      {"embedded_action_port", std::to_string(board_->command_port())},
      {"soc_ip", "\"127.0.0.1\""},
      {"soc_data_server_port", std::to_string(report_port_)},
      {"running_schedule_space", std::to_string(options_.running_schedule_space_ms)},
      {"bottom_action_timeout", std::to_string(options_.bottom_action_timeout_s)},
      {"drain_water_max_time", std::to_string(options_.drain_water_max_time_s)},
      {"auto_reset_time_space", std::to_string(options_.auto_reset_time_space_s)},
      // Tests move the clock far without pushing reports; the stale-report
      // check is switched on by the tests that are about it.
      {"sensor_report_timeout", "0"},
  };
  for (const auto& extra : options_.extra_config) {
    members[extra.first] = extra.second;
  }
  std::string json = "{";
  bool first = true;
  for (const auto& member : members) {
    json += (first ? "\n  \"" : ",\n  \"") + member.first + "\": " + member.second;
    first = false;
  }
  json += "\n}\n";
  WriteFile(config_dir_ + "/config.json", json);

  std::string led = options_.led_json;
  if (led.empty()) {
    led = ReadFile(std::string(STATION_SOURCE_DIR) + "/config/led.json");
  }
  WriteFile(config_dir_ + "/led.json", led);
}

void StationHarness::Seed(const station::SensorsDataRep& report) { center_->DataUploadCallback(report); }

bool StationHarness::Init() {
  if (!center_->Init()) {
    return false;
  }
  return board_->ConnectReports(report_port_);
}

bool StationHarness::StartNormal() {
  Seed(EmptyTankReport());
  if (!Init()) {
    return false;
  }
  const bool normal = WaitFor([this] {
    return center_->Status() == station_center::STATION_NORMAL && center_->TaskCount() == 0;
  });
  MarkCommands();
  return normal;
}

bool StationHarness::PushReport(station::SensorsDataRep report) {
  const uint32_t seq = next_seq_++;
  report.set_seq(seq);
  if (!board_->SendReport(report)) {
    return false;
  }
  return WaitFor([this, seq] { return center_->SensorDataSnapshot().seq() == seq; });
}

void StationHarness::Deliver(station::SensorsDataRep report) {
  report.set_seq(next_seq_++);
  center_->DataUploadCallback(report);
}

bool StationHarness::WaitForStatus(station_center::StationCenterStatus status, std::chrono::milliseconds bound) {
  return WaitFor([this, status] { return center_->Status() == status; }, bound);
}

bool StationHarness::WaitCycles(uint64_t count, std::chrono::milliseconds bound) const {
  const uint64_t until = center_->WorkCycles() + count;
  return WaitFor([this, until] { return center_->WorkCycles() >= until || center_->TaskCount() == 0; }, bound);
}

bool StationHarness::WaitIdle(std::chrono::milliseconds bound) {
  return WaitFor([this] { return center_->TaskCount() == 0 && center_->ResetThreadsRunning() == 0; }, bound);
}

std::vector<std::string> StationHarness::Commands() const {
  std::vector<std::string> out;
  for (const auto& req : board_->Requests()) {
    out.push_back(Describe(req));
  }
  return out;
}

void StationHarness::MarkCommands() { mark_ = board_->Requests().size(); }

std::vector<std::string> StationHarness::CommandsSinceMark() const {
  std::vector<std::string> all = Commands();
  if (mark_ >= all.size()) {
    return {};
  }
  return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(mark_), all.end());
}

bool StationHarness::WaitForCommands(size_t count, std::chrono::milliseconds bound) const {
  if (!board_->WaitForRequests(mark_ + count, bound)) {
    return false;
  }
  SyncWithService();
  return true;
}

void StationHarness::SyncWithService() const {
  // Work cycles, admissions, LED refreshes and the sewage check each hold the
  // service mutex for their whole board exchange; taking it once waits them out.
  center_->TaskCount();
}

}  // namespace station_test
