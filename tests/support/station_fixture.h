#pragma once

// A station center in the test process on a RecordingBoard (reports straight to
// its DataUploadCallback, commands read off the board, its own worker threads
// run the tasks), or a task alone on a TaskRig, one work cycle a Cycle(). The
// station clock is frozen at kClockStart and moves only with AdvanceClock.
// One harness per test process (Init rewrites the process-wide configuration
// that detached threads still read); center and board are never destroyed.
// Commands read "act <supply type>:<action>" or "led <cmd>".

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <stdlib.h>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bottom/board_link.h"
#include "clock.h"
#include "config.h"
#include "fake_board.h"  // the board over loopback, for the board-link suites
#include "process.h"
#include "station_center.h"
#include "task_factory.h"
#include "task/task.h"

// Table rows leave their trailing columns at the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace station_test {

using Commands = std::vector<std::string>;
template <typename T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
using Rep = station::SensorsDataRep;
using Edit = std::function<void(station_center::StationTaskData&)>;
using Request = station_center::StationSrvReq;
using Config = std::map<std::string, std::string>;  // configuration key -> raw JSON value text
constexpr int64_t kClockStart = 1700000000;

// Polls for threads to meet, never for a station time limit (move the clock for those).
inline bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds bound = std::chrono::seconds(5)) {
  return PollUntil(predicate, bound, std::chrono::milliseconds(2));
}

inline Request SupplyRequest(station_center::TaskType type, int32_t action, int32_t duration = 0) {
  Request request;
  request.task_type = type;
  auto* cmd = request.supply_material_req.mutable_cmd();
  cmd->set_action(static_cast<quorvane_base_station_mqtt::EnumActionModel>(action)), cmd->set_duration(duration);
  return request;
}
inline Request PrepareRequest(station_center::TaskType type, int32_t action, int32_t tablets, int32_t volume) {
  Request request = SupplyRequest(type, action);
  auto* cmd = request.prepare_disinfectant_req.mutable_cmd();
  cmd->mutable_action_cmd()->set_action(static_cast<quorvane_base_station_mqtt::EnumActionModel>(action));
  cmd->set_disinfection_tablets_num(tablets), cmd->set_water_volume(volume);
  return request;
}
inline Request ServiceRequest(int32_t service_type) {
  Request request;
  request.service_type = service_type;
  return request;
}
// Any task type started (2) or stopped (4): a preparation of 1 tablet and volume 1; the reset takes no action model.
inline Request Want(station_center::TaskType type, int32_t action, int32_t duration = 0) {
  if (type <= station_center::TASK_TYPE_PERFUME_PREPARE) return PrepareRequest(type, action, 1, 1);
  return SupplyRequest(type, type == station_center::TASK_TYPE_RESET_STATION ? 0 : action, duration);
}

inline std::string Act(station::EnumSupplyType type, int action) {
  return "act " + std::to_string(static_cast<int>(type)) + ":" + std::to_string(action);
}
// The actuators the board holds on after the confirmed `commands`.
inline std::set<int> LeftOn(const Commands& commands) {
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

// Reports: With(report, &Rep::set_x, x, ...); Rep(): tank not empty, robot away.
inline Rep With(Rep r) { return r; }
template <typename T, typename V, typename... More>
Rep With(Rep r, void (Rep::*set)(T), V value, More... more) {
  (r.*set)(static_cast<T>(value));
  return With(r, more...);
}
// Clean tank: foot level (1 = run empty), up level (1 = full), flow meter.
inline Rep Tank(uint32_t foot, uint32_t up, uint32_t flow) {
  return With(Rep(), &Rep::set_cleantankfootlevel, foot, &Rep::set_cleantankuplevel, up, &Rep::set_flowmeter, flow);
}
inline Rep EmptyTankReport() { return Tank(1, 0, 0); }
inline Rep RobotDocked(Rep r) {
  return With(r, &Rep::set_robotdockdetleft, 1, &Rep::set_robotdockdetright, 1, &Rep::set_electrodeplatedet, 1);
}
// The single-actuator tasks' world: robot docked, tank empty (HandSwitch: robot away).
inline Rep DustReady(int32_t pressure = 0) {
  return With(RobotDocked(EmptyTankReport()), &Rep::set_dustbagdet, 1, &Rep::set_dustboxcapdet, 1,
              &Rep::set_negativepressure, pressure);
}
inline Rep SewageNotDrained() {  // the sensor intake leaves a running sewage pump alone
  return With(RobotDocked(EmptyTankReport()), &Rep::set_sewagedet, 1, &Rep::set_sewagefull, 5000);
}
inline Rep Wire(float degrees) { return With(RobotDocked(EmptyTankReport()), &Rep::set_heatingwiretemp, degrees); }
inline Rep HandSwitch(uint32_t value) { return With(EmptyTankReport(), &Rep::set_handchargedet, value); }
inline Rep Plates(uint32_t temp1, uint32_t temp2, uint32_t hand = 0) {
  return With(RobotDocked(HandSwitch(hand)), &Rep::set_electrodeplatetemp1, temp1, &Rep::set_electrodeplatetemp2,
              temp2);
}

inline Edit Spray(bool pump, bool ready, int32_t volume, bool stopped) {
  return [=](station_center::StationTaskData& d) {
    d.sewage_pump_left_on = pump, d.water_ready = ready, d.supply_water_volume = volume, d.spray_interrupted = stopped;
  };
}
inline Edit Heat(bool dry, bool wire) {
  return [=](station_center::StationTaskData& d) { d.dry_running = dry, d.heat_wire_running = wire; };
}
inline Edit Prepared(bool water, bool perfume, bool clean, int32_t volume) {
  return [=](station_center::StationTaskData& d) {
    d.water_ready = water, d.perfume_liquid_ready = perfume, d.clean_liquid_ready = clean;
    d.supply_water_volume = volume, d.station_added_water = 0;
  };
}

// A task's ordinary course at the station: asked for against the first row's
// report, then each row's report delivered and the clock moved by its step;
// `commands` board commands in all. A task that switches one actuator on (the
// water supply, the single-actuator tasks) names it and is asked for 30 s.
struct TaskScenario {
  const char* name;
  station_center::TaskType type;
  std::vector<std::pair<Rep, int64_t>> rows;
  size_t commands;
  Edit data;  // task data it needs
  station::EnumSupplyType actuator = station::EnumSupplyType(0);
  std::vector<int> on = {};                                                       // the action for models 1, 2, 3
  std::function<bool(const station_center::StationTaskData&)> started = nullptr;  // the mark a running task sets
  station_center::TaskStatus at_limit = station_center::TASK_STATUS_ERROR;        // one second past its limit
  Config config = {};
  int32_t check = -1, answer = -1;  // a check service and its answer after the course
};
inline void PrintTo(const TaskScenario& s, std::ostream* os) { *os << s.name; }
std::vector<TaskScenario> TaskScenarios();  // each task's; the water supply and single-actuator tasks first

// Makes `dir` the configuration folder: config.json of `config`, the shipped led.json.
inline void UseConfig(const TempDir& dir, const Config& config) {
  std::string json = "{";
  for (const auto& member : config) json += (json.size() > 1 ? ",\"" : "\"") + member.first + "\": " + member.second;
  dir.Write("config.json", json + "}\n");
  dir.Write("led.json", ReadWholeFile(std::string(STATION_SOURCE_DIR) + "/config/led.json"));
  ::setenv("STATION_CENTER_CONFIG_DIR", dir.path().c_str(), 1);
}

// A board in the test process: records every command and confirms it unless
// told to refuse; a silent one confirms nothing, each timed command waiting out its time-out.
class RecordingBoard : public station_center::BoardLink {
 public:
  bool DoAction(const station::ActionCommand& cmd) override { return Take(Act(cmd.supply_type_(), cmd.action_())); }
  bool DoAction(const station::ActionCommand& cmd, int timeout_s) override {
    if (silent_) std::this_thread::sleep_for(std::chrono::seconds(timeout_s));
    return DoAction(cmd);
  }
  bool ChangeLed(const station::EnumLedCmd& cmd) override { return Take("led " + std::to_string(cmd)); }
  void Refuse(size_t count = 1, size_t after = 0) {  // `count` commands once `after` more are confirmed; no more
    std::lock_guard<std::mutex> lock(m_);
    refuse_ = count, pass_ = after;
  }
  std::atomic<bool> silent_{false};
  Commands Sent(size_t from = 0, bool confirmed_only = false) const {
    std::lock_guard<std::mutex> lock(m_);
    Commands out;
    for (size_t i = from; i < sent_.size(); ++i) {
      if (sent_[i].second || !confirmed_only) out.push_back(sent_[i].first);
    }
    return out;
  }

 private:
  bool Take(const std::string& command) {
    std::lock_guard<std::mutex> lock(m_);
    const bool confirm = (pass_ > 0 || refuse_ == 0) && !silent_;
    pass_ > 0 ? --pass_ : refuse_ > 0 ? --refuse_ : 0;
    sent_.emplace_back(command, confirm);
    return confirm;
  }
  mutable std::mutex m_;
  std::vector<std::pair<std::string, bool>> sent_;  // each command, and whether it was confirmed
  size_t refuse_ = 0, pass_ = 0;
};

// A station whose configuration is the test one with `config` over it; stale reports go unchecked unless it says.
struct StationHarness {
  explicit StationHarness(Config config = {}) {
    static auto* keep_alive = new std::vector<std::shared_ptr<void>>();  // reclaimed by process exit
    keep_alive->push_back(board), keep_alive->push_back(center);
    station_center::FreezeClock(kClockStart);
    config.insert({{"running_schedule_space", "2"}, {"bottom_action_timeout", "1"}, {"auto_reset_time_space", "300"},
                   {"sensor_report_timeout", "0"}});
    UseConfig(config_dir, config);
  }
  ~StationHarness() { keep_running || WaitIdle(); }
  bool StartNormal() {  // empty tank, Init, start-up reset over, STATION_NORMAL, commands marked
    center->DataUploadCallback(EmptyTankReport());  // what the start-up reset's first cycle sees
    const bool normal = center->Init(board) && WaitFor([this] {
      return center->Status() == station_center::STATION_NORMAL && center->TaskCount() == 0;
    });
    MarkCommands();
    return normal;
  }
  void Deliver(Rep report) {  // as the report server does: straight to the sensor intake
    report.set_seq(next_seq++);
    center->DataUploadCallback(report);
  }
  station_center::StationSrvRsp Ask(const Request& r) { return center->HandleService(r); }
  bool WaitIdle() const {  // no task, no ResetWhenIdle thread
    return WaitFor([this] { return center->TaskCount() == 0 && center->ResetThreadsRunning() == 0; },
                   std::chrono::seconds(10));
  }
  // `count` commands after the mark, then the step that sent them has ended.
  bool WaitForCommands(size_t count) const {
    const bool arrived = WaitFor([&] { return board->Sent().size() >= mark + count; });
    SyncWithService();
    return arrived;
  }
  // Returns once no work cycle, admission, LED refresh or sewage check runs.
  void SyncWithService() const { center->TaskCount(); }
  bool WaitCycles(uint64_t count) const {  // more work cycles ended, or no task left
    const uint64_t until = center->WorkCycles() + count;
    return WaitFor([this, until] { return center->WorkCycles() >= until || center->TaskCount() == 0; });
  }
  void MarkCommands() { mark = board->Sent().size(); }
  Commands CommandsSinceMark() const { return board->Sent(mark); }

  std::shared_ptr<RecordingBoard> board = std::make_shared<RecordingBoard>();
  std::shared_ptr<station_center::StationCenter> center = std::make_shared<station_center::StationCenter>();
  TempDir config_dir;
  uint32_t next_seq = 1000;
  size_t mark = 0;
  bool keep_running = false;  // set: the station is left running when the harness goes
};

// What a task reaches of the station, held by the test; the defaults with `config` over them configure it.
struct TaskRig {
  explicit TaskRig(const Config& config = {}) {
    station_center::config_reader = station_center::StationConfig();  // the defaults, whatever ran before
    const TempDir dir;
    UseConfig(dir, config);
    EXPECT_TRUE(station_center::ReadConfig(station_center::config_reader));
  }
  // A task as the center makes it for `request` at `now`, not admitted.
  std::shared_ptr<station_center::Task> MakeTask(const Request& r) {
    return station_center::MakeTask({board, data_lock, data, stopping, owed, now}, r);
  }
  Commands Cycle(station_center::Task& t, const Rep& report) {  // one work cycle at `now`; what it sent
    const size_t from = board->Sent().size();
    return t.ExecuteStep(report, now), board->Sent(from);
  }

  std::shared_ptr<RecordingBoard> board = std::make_shared<RecordingBoard>();
  std::shared_mutex data_lock;
  station_center::StationTaskData data;
  std::atomic<bool> stopping{false};
  station_center::SwitchOffLedger owed;
  int64_t now = kClockStart;
  std::shared_ptr<station_center::Task> task;  // the one a script drives by hand
  size_t end_mark = 0;                         // the first command of its end path
};

// A script's steps (short names, so a namespace of their own): each acts on a station or on a task driven by hand.
namespace steps {
struct Do {
  std::function<void(StationHarness&)> station;
  std::function<void(TaskRig&)> task;
  bool init = false;  // the script starts the station itself
};
inline Do Call(std::function<void(StationHarness&)> step) { return {std::move(step)}; }
inline Do OnTask(std::function<void(TaskRig&)> step) { return {nullptr, std::move(step)}; }
inline Do Init() { return {[](StationHarness& s) { ASSERT_TRUE(s.center->Init(s.board)); }, nullptr, true}; }
inline Do Push(const Rep& report) { return Call([=](StationHarness& s) { s.Deliver(report); }); }
// The answer's result (-1: any) and error text (nullptr: any).
inline Do Ask(const Request& r, int32_t result = -1, const char* text = nullptr) {
  return Call([=](StationHarness& s) {
    const station_center::StationSrvRsp rsp = s.Ask(r);
    EXPECT_TRUE(result < 0 || rsp.result == result) << rsp.result << " " << rsp.err_msg;
    EXPECT_TRUE(text == nullptr || rsp.err_msg == text) << rsp.err_msg;
  });
}
inline Do Clock(int64_t seconds) { return Call([=](StationHarness&) { station_center::AdvanceClock(seconds); }); }
inline Do Sent(size_t commands) { return Call([=](StationHarness& s) { ASSERT_TRUE(s.WaitForCommands(commands)); }); }
inline Do Status(station_center::StationCenterStatus status) {
  return Call([=](StationHarness& s) { ASSERT_TRUE(WaitFor([&] { return s.center->Status() == status; })); });
}
inline Do Tasks(size_t left) {  // none: waits for it; else the count after a few work cycles
  return Call([=](StationHarness& s) {
    EXPECT_TRUE(left == 0 ? WaitFor([&] { return s.center->TaskCount() == 0; }) : s.WaitCycles(5));
    EXPECT_EQ(s.center->TaskCount(), left);
  });
}
inline Do Idle() { return Call([](StationHarness& s) { ASSERT_TRUE(s.WaitIdle()); }); }
inline Do Refuse(size_t count = 1) { return Call([=](StationHarness& s) { s.board->Refuse(count); }); }
inline Do Owed(size_t left) {  // one retry of the owed switch-offs, `left` still owed after it
  return Call([=](StationHarness& s) { EXPECT_EQ(s.center->RetrySwitchOffs(), left); });
}

// A task driven by hand on the task rig (`data` applied first); each cycle that
// Sees `report` comes `advance_s` later, has its first command refused if
// `refuse`, and sends exactly `sent`. End: the task is at `status`, and the path
// the station takes then (error: DoReset, AfterError; over: AfterOver; running:
// the robot's stop; then the owed switch-offs) sends what the case expects.
inline Do ByHand(const Request& request, Edit data = nullptr) {
  return OnTask([=](TaskRig& rig) {
    if (data) data(rig.data);
    ASSERT_NE(rig.task = rig.MakeTask(request), nullptr);
  });
}
inline Do Sees(const Rep& report, Commands sent = {}, int64_t advance_s = 0, bool refuse = false) {
  return OnTask([=](TaskRig& rig) {
    rig.now += advance_s;
    if (refuse) rig.board->Refuse();
    EXPECT_EQ(rig.Cycle(*rig.task, report), sent);
  });
}
inline Do End(station_center::TaskStatus status) {
  return OnTask([=](TaskRig& rig) {
    EXPECT_EQ(rig.task->GetTaskStatus(), status);
    rig.end_mark = rig.board->Sent().size();
    if (status == station_center::TASK_STATUS_ERROR) rig.task->DoReset(), rig.task->AfterError();
    else if (status == station_center::TASK_STATUS_OVER) rig.task->AfterOver();
    else rig.task->HandleTaskCommand(station_center::TASK_COMMAND_CANCEL, Request(), rig.now);
    // As the main loop does: the owed switch-offs go out again, a minute apart, a few times.
    for (int i = 0; i < 4 && rig.owed.Retry(*rig.board, rig.now) != 0; ++i) rig.now += 60;
    EXPECT_EQ(rig.owed.Retry(*rig.board, rig.now), 0u);
  });
}
}  // namespace steps

// Plays `script` on a station (started normally unless it has Init), or on a
// task rig when it starts ByHand; checks the commands since the start or the
// mark (sorted and distinct if `any_order`), the status, that the wire never
// heated with its fan off, and that nothing is left on at the end.
struct StationCase {
  const char* name;
  std::vector<steps::Do> script;
  Commands sent;
  Config config = {};
  station_center::StationCenterStatus status = station_center::STATION_NORMAL;
  bool any_order = false;
};
void RunStationCase(const StationCase& c);
inline void PrintTo(const StationCase& c, std::ostream* os) { *os << c.name; }
template <typename Row>
std::string RowName(const ::testing::TestParamInfo<Row>& p) { return p.param.name; }  // a test named after its row

}  // namespace station_test
