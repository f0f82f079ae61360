#include "station_fixture.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>

namespace station_test {

using namespace station_center;

Request SupplyRequest(TaskType type, int32_t action, int32_t duration) {
  Request request;
  request.task_type = type;
  auto* cmd = request.supply_material_req.mutable_cmd();
  cmd->set_action(static_cast<quorvane_base_station_mqtt::EnumActionModel>(action)), cmd->set_duration(duration);
  return request;
}
Request PrepareRequest(TaskType type, int32_t action, int32_t tablets, int32_t volume) {
  Request request = SupplyRequest(type, action);
  auto* cmd = request.prepare_disinfectant_req.mutable_cmd();
  cmd->mutable_action_cmd()->set_action(static_cast<quorvane_base_station_mqtt::EnumActionModel>(action));
  cmd->set_disinfection_tablets_num(tablets), cmd->set_water_volume(volume);
  return request;
}
std::set<int> LeftOn(const Commands& commands) {
  std::set<int> on;
  for (const std::string& c : commands) {
    if (c.rfind("act ", 0) != 0) continue;
    const size_t colon = c.find(':');
    const int type = std::stoi(c.substr(4, colon - 4));
    if (std::stoi(c.substr(colon + 1)) != 0) on.insert(type);
    else on.erase(type);
  }
  return on;
}

namespace {

// Makes `dir` the configuration folder: config.json of `config`, the shipped led.json.
void UseConfig(const TempDir& dir, const Config& config) {
  std::string json;
  for (const auto& member : config) json += (json.empty() ? "{\"" : ",\"") + member.first + "\": " + member.second;
  dir.Write("config.json", json + "}\n");
  dir.Write("led.json", ReadWholeFile(std::string(STATION_SOURCE_DIR) + "/config/led.json"));
  ::setenv("STATION_CENTER_CONFIG_DIR", dir.path().c_str(), 1);
}

// Plays each step on `rig` until one fails fatally.
template <typename Rig>
void Play(const std::vector<steps::Do>& script, std::function<void(Rig&)> steps::Do::*part, Rig& rig) {
  for (size_t i = 0; i < script.size() && !::testing::Test::HasFatalFailure(); ++i) {
    SCOPED_TRACE("script step " + std::to_string(i));
    if (script[i].*part) (script[i].*part)(rig);
    else ADD_FAILURE() << "a task driven by hand opens its script, and only then";
  }
}

}  // namespace

StationHarness::StationHarness(Config config) {
  static auto* keep_alive = new std::vector<std::shared_ptr<void>>();  // reclaimed by process exit
  keep_alive->push_back(board_), keep_alive->push_back(center_);
  FreezeClock(kClockStart);
  config.insert({{"running_schedule_space", "2"}, {"bottom_action_timeout", "1"}, {"auto_reset_time_space", "300"},
                 {"sensor_report_timeout", "0"}});
  UseConfig(config_dir_, config);
}
bool StationHarness::StartNormal() {
  center_->DataUploadCallback(EmptyTankReport());  // what the start-up reset's first cycle sees
  const bool normal = Init() &&
                      WaitFor([this] { return center_->Status() == STATION_NORMAL && center_->TaskCount() == 0; });
  MarkCommands();
  return normal;
}

TaskRig::TaskRig(const Config& config) {
  config_reader = StationConfig();  // the compiled-in defaults, whatever ran before in this process
  if (config.empty()) return;
  const TempDir dir;
  UseConfig(dir, config);
  EXPECT_TRUE(ReadConfig(config_reader));
}

void RunStationCase(const StationCase& c) {
  if (!c.script.empty() && c.script.front().task) {  // no station, no socket, no thread
    TaskRig rig(c.config);
    Play(c.script, &steps::Do::task, rig);
    EXPECT_EQ(rig.board->Sent(rig.end_mark), c.sent);
    EXPECT_EQ(LeftOn(rig.board->Sent(0, true)), std::set<int>{});
    return;
  }
  StationHarness station(c.config);
  ASSERT_TRUE(std::any_of(c.script.begin(), c.script.end(), [](const steps::Do& d) { return d.init; }) ||
              station.StartNormal());
  Play(c.script, &steps::Do::station, station);
  if (::testing::Test::HasFatalFailure()) return;
  EXPECT_TRUE(station.WaitIdle());
  Commands sent = station.CommandsSinceMark();
  if (c.any_order) {
    std::sort(sent.begin(), sent.end());
    sent.erase(std::unique(sent.begin(), sent.end()), sent.end());
  }
  EXPECT_EQ(sent, c.sent);
  EXPECT_EQ(station.center()->Status(), c.status);
  const Commands all = station.board().Sent(0, true);
  for (auto end = all.begin(); end != all.end(); ++end) {
    const std::set<int> on = LeftOn(Commands(all.begin(), end + 1));
    EXPECT_TRUE(on.count(station::ENUM_SUPPLY_HEATING_WIRE) == 0 || on.count(station::ENUM_SUPPLY_HEATING_FAN) != 0)
        << "the wire heats without its fan: " << testing::PrintToString(Commands(all.begin(), end + 1));
  }
  EXPECT_EQ(LeftOn(all), std::set<int>{});
}

}  // namespace station_test
