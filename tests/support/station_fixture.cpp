#include "station_fixture.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>

#include "clock.h"

namespace station_test {

using namespace station_center;
using steps::Do;

Request SupplyRequest(TaskType type, int32_t action, int32_t duration) {
  Request request;
  request.task_type = type;
  request.supply_material_req.mutable_cmd()->set_action(static_cast<quorvane_base_station_mqtt::EnumActionModel>(action));
  request.supply_material_req.mutable_cmd()->set_duration(duration);
  return request;
}
Request PrepareRequest(TaskType type, int32_t action, int32_t tablets, int32_t volume) {
  Request request = SupplyRequest(type, action);
  auto* cmd = request.prepare_disinfectant_req.mutable_cmd();
  cmd->mutable_action_cmd()->set_action(static_cast<quorvane_base_station_mqtt::EnumActionModel>(action));
  cmd->set_disinfection_tablets_num(tablets), cmd->set_water_volume(volume);
  return request;
}
Request ServiceRequest(int32_t service_type) {
  Request request;
  request.service_type = service_type;
  return request;
}
Request Want(TaskType type, int32_t action, int32_t duration) {
  if (type <= TASK_TYPE_PERFUME_PREPARE) return PrepareRequest(type, action, 1, 1);
  return SupplyRequest(type, type == TASK_TYPE_RESET_STATION ? 0 : action, duration);
}
std::string Act(station::EnumSupplyType type, int action) {
  return "act " + std::to_string(static_cast<int>(type)) + ":" + std::to_string(action);
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

// Makes `dir` the configuration folder: config.json of `members` (key -> raw JSON text), led.json.
void UseConfig(const TempDir& dir, const std::map<std::string, std::string>& members) {
  std::string json;
  for (const auto& member : members) json += (json.empty() ? "{\"" : ",\"") + member.first + "\": " + member.second;
  dir.Write("config.json", json + "}\n");
  dir.Write("led.json", ReadWholeFile(std::string(STATION_SOURCE_DIR) + "/config/led.json"));
  ::setenv("STATION_CENTER_CONFIG_DIR", dir.path().c_str(), 1);
}

// A script opened ByHand, on a task rig: no station, no socket, no thread.
void RunTaskCase(const StationCase& c) {
  TaskRig rig(c.options);
  std::shared_ptr<Task> task;
  auto mark = rig.board->Sent().size();
  for (size_t i = 0; i < c.script.size(); ++i) {
    const Do& d = c.script[i];
    SCOPED_TRACE("script step " + std::to_string(i));
    if (d.op == Do::kHand) {
      if (d.edit) d.edit(rig.data);
      task = rig.MakeTask(d.request);
      ASSERT_NE(task, nullptr);
    } else if (d.op == Do::kCycle) {
      rig.now += d.n;
      if (d.result > 0) rig.board->Refuse(static_cast<size_t>(d.result));
      EXPECT_EQ(rig.Cycle(*task, d.report), d.sent);
    } else if (d.op == Do::kEnd) {
      EXPECT_EQ(task->GetTaskStatus(), d.result);
      mark = rig.board->Sent().size();
      if (d.result == TASK_STATUS_ERROR) task->DoReset(), task->AfterError();
      else if (d.result == TASK_STATUS_OVER) task->AfterOver();
      else task->HandleTaskCommand(TASK_COMMAND_CANCEL, Request(), rig.now);
      EXPECT_TRUE(rig.RetryOwed());
    } else {
      FAIL() << "a task rig has no station";
    }
  }
  EXPECT_EQ(rig.board->Sent(mark), c.sent);
  EXPECT_EQ(LeftOn(rig.board->Sent(0, true)), std::set<int>{});
}

}  // namespace

bool RecordingBoard::Take(const std::string& command) {
  std::lock_guard<std::mutex> lock(m_);
  const bool confirm = (pass_ > 0 || refuse_ == 0) && !silent_;
  pass_ > 0 ? --pass_ : refuse_ > 0 ? --refuse_ : 0;
  sent_.emplace_back(command, confirm);
  return confirm;
}
Commands RecordingBoard::Sent(size_t from, bool confirmed_only) const {
  std::lock_guard<std::mutex> lock(m_);
  Commands out;
  for (size_t i = from; i < sent_.size(); ++i) {
    if (sent_[i].second || !confirmed_only) out.push_back(sent_[i].first);
  }
  return out;
}

StationHarness::StationHarness(StationOptions options) {
  static auto* keep_alive = new std::vector<std::shared_ptr<void>>();  // reclaimed by process exit
  keep_alive->push_back(board_), keep_alive->push_back(center_);
  FreezeClock(kClockStart);
  options.extra_config.insert({{"running_schedule_space", "2"}, {"bottom_action_timeout", "1"},
                               {"auto_reset_time_space", "300"},
                               {"sensor_report_timeout", std::to_string(options.sensor_report_timeout_s)}});
  UseConfig(config_dir_, options.extra_config);
}
bool StationHarness::StartNormal() {
  center_->DataUploadCallback(EmptyTankReport());  // what the start-up reset's first cycle sees
  const bool normal = Init() &&
                      WaitFor([this] { return center_->Status() == STATION_NORMAL && center_->TaskCount() == 0; });
  MarkCommands();
  return normal;
}
void StationHarness::Deliver(Rep report) {
  report.set_seq(next_seq_++);
  center_->DataUploadCallback(report);
}
bool StationHarness::WaitIdle() const {
  return WaitFor([this] { return center_->TaskCount() == 0 && center_->ResetThreadsRunning() == 0; },
                 std::chrono::seconds(10));
}
bool StationHarness::WaitForCommands(size_t count) const {
  const bool arrived = WaitFor([&] { return board_->Sent().size() >= mark_ + count; });
  SyncWithService();
  return arrived;
}
bool StationHarness::WaitCycles(uint64_t count) const {
  const uint64_t until = center_->WorkCycles() + count;
  return WaitFor([this, until] { return center_->WorkCycles() >= until || center_->TaskCount() == 0; });
}
bool StationHarness::RetryOwed() {
  for (int i = 0; i < 4 && center_->RetrySwitchOffs() != 0; ++i) AdvanceClock(60);
  return center_->RetrySwitchOffs() == 0;
}

TaskRig::TaskRig(const StationOptions& options) {
  config_reader = StationConfig();  // the compiled-in defaults, whatever ran before in this process
  if (options.extra_config.empty()) return;
  const TempDir dir;
  UseConfig(dir, options.extra_config);
  EXPECT_TRUE(ReadConfig(config_reader));
}

void RunStationCase(const StationCase& c) {
  if (!c.script.empty() && c.script.front().op == Do::kHand) return RunTaskCase(c);
  StationHarness station(c.options);
  const bool init = std::any_of(c.script.begin(), c.script.end(), [](const Do& d) { return d.op == Do::kInit; });
  ASSERT_TRUE(init || station.StartNormal());
  for (size_t i = 0; i < c.script.size(); ++i) {
    const Do& d = c.script[i];
    const auto& center = station.center();
    SCOPED_TRACE("script step " + std::to_string(i));
    switch (d.op) {
      case Do::kInit: ASSERT_TRUE(station.Init()); break;
      case Do::kPush: station.Deliver(d.report); break;
      case Do::kAsk: {
        const StationSrvRsp rsp = station.Ask(d.request);
        EXPECT_TRUE(d.result < 0 || rsp.result == d.result) << rsp.result << " " << rsp.err_msg;
        EXPECT_EQ(d.text == nullptr ? rsp.err_msg : std::string(d.text), rsp.err_msg);
        break;
      }
      case Do::kClock: AdvanceClock(d.n); break;
      case Do::kSent: ASSERT_TRUE(station.WaitForCommands(static_cast<size_t>(d.n))); break;
      case Do::kStatus: ASSERT_TRUE(WaitFor([&] { return center->Status() == d.result; })); break;
      case Do::kTasks:
        EXPECT_TRUE(d.n == 0 ? WaitFor([&] { return center->TaskCount() == 0; }) : station.WaitCycles(5));
        EXPECT_EQ(center->TaskCount(), static_cast<size_t>(d.n));
        break;
      case Do::kIdle: ASSERT_TRUE(station.WaitIdle()); break;
      case Do::kRefuse: station.board().Refuse(static_cast<size_t>(d.n)); break;
      case Do::kAutoReset: center->AutoReset(); break;
      case Do::kLed: center->ReflushLed(); break;
      case Do::kRetry: EXPECT_EQ(center->RetrySwitchOffs(), static_cast<size_t>(d.n)); break;
      case Do::kStaleCheck: center->CheckStaleReports(); break;
      case Do::kMark: station.MarkCommands(); break;
      case Do::kEdit: center->EditTaskData(d.edit); break;
      default: FAIL() << "a task driven by hand opens its script";
    }
  }
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
