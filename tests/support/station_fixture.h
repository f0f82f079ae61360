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
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bottom/board_link.h"
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
constexpr int64_t kClockStart = 1700000000;

// Polls for threads to meet, never for a station time limit (move the clock for those).
inline bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds bound = std::chrono::seconds(5)) {
  return PollUntil(predicate, bound, std::chrono::milliseconds(2));
}

Request SupplyRequest(station_center::TaskType type, int32_t action, int32_t duration = 0);
Request PrepareRequest(station_center::TaskType type, int32_t action, int32_t tablets, int32_t volume);
Request ServiceRequest(int32_t service_type);
// Any task type started (2) or stopped (4): a preparation of 1 tablet and volume 1; the reset takes no action model.
Request Want(station_center::TaskType type, int32_t action, int32_t duration = 0);

std::string Act(station::EnumSupplyType type, int action);
// The actuators the board holds on after the confirmed `commands`.
std::set<int> LeftOn(const Commands& commands);

// Reports: With(report, &Rep::set_x, x, ...). Report(): tank not empty, robot away.
inline Rep With(Rep r) { return r; }
template <typename T, typename V, typename... More>
Rep With(Rep r, void (Rep::*set)(T), V value, More... more) {
  (r.*set)(static_cast<T>(value));
  return With(r, more...);
}
inline Rep Report() { return Rep(); }
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

// Task data a task needs: the spray, the heat wire, the water supply.
inline Edit Spray(bool pump, bool ready, int32_t volume, bool interrupted) {
  return [=](station_center::StationTaskData& d) {
    d.sewage_pump_left_on = pump, d.water_ready = ready, d.supply_water_volume = volume, d.spray_interrupted = interrupted;
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

struct StationOptions {
  int sensor_report_timeout_s = 0;                  // 0: stale readings unchecked
  std::map<std::string, std::string> extra_config;  // key -> raw JSON value text
};

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
  Commands Sent(size_t from = 0, bool confirmed_only = false) const;

 private:
  bool Take(const std::string& command);
  mutable std::mutex m_;
  std::vector<std::pair<std::string, bool>> sent_;  // each command, and whether it was confirmed
  size_t refuse_ = 0, pass_ = 0;
};

class StationHarness {
 public:
  explicit StationHarness(StationOptions options = StationOptions());
  ~StationHarness() { keep_running_ || WaitIdle(); }
  RecordingBoard& board() { return *board_; }
  const std::shared_ptr<station_center::StationCenter>& center() const { return center_; }
  bool Init() { return center_->Init(board_); }
  bool StartNormal();  // empty tank, Init, start-up reset over, STATION_NORMAL, commands marked
  void Deliver(Rep report);  // as the report server does: straight to the sensor intake
  station_center::StationSrvRsp Ask(const Request& r) { return center_->HandleService(r); }
  bool WaitIdle() const;  // no task, no ResetWhenIdle thread
  // `count` commands after the mark, then the step that sent them has ended.
  bool WaitForCommands(size_t count) const;
  // Returns once no work cycle, admission, LED refresh or sewage check runs.
  void SyncWithService() const { center_->TaskCount(); }
  bool WaitCycles(uint64_t count) const;  // more work cycles ended, or no task left
  // What the main loop does once a second: the switch-offs the board refused go
  // out again, a minute apart, a few times; true once none is owed.
  bool RetryOwed();
  void MarkCommands() { mark_ = board_->Sent().size(); }
  Commands CommandsSinceMark() const { return board_->Sent(mark_); }
  void KeepRunning() { keep_running_ = true; }

 private:
  std::shared_ptr<RecordingBoard> board_ = std::make_shared<RecordingBoard>();
  std::shared_ptr<station_center::StationCenter> center_ = std::make_shared<station_center::StationCenter>();
  TempDir config_dir_;
  uint32_t next_seq_ = 1000;
  size_t mark_ = 0;
  bool keep_running_ = false;
};

// What a task reaches of the station, held by the test; the defaults with `options` over them configure it.
struct TaskRig {
  explicit TaskRig(const StationOptions& options = StationOptions());
  ~TaskRig() { station_center::config_reader = saved; }
  // A task as the center makes it for `request` at `now`, not admitted.
  std::shared_ptr<station_center::Task> MakeTask(const Request& r) {
    return station_center::MakeTask({board, data_lock, data, stopping, owed, now}, r);
  }
  Commands Cycle(station_center::Task& task, const Rep& report) {  // one work cycle at `now`; what it sent
    const size_t from = board->Sent().size();
    return task.ExecuteStep(report, now), board->Sent(from);
  }
  bool RetryOwed() {  // the owed switch-offs go out again, a minute apart, a few times; true once none is owed
    for (int i = 0; i < 4 && owed.Retry(*board, now) != 0; ++i) now += 60;
    return owed.Retry(*board, now) == 0;
  }

  station_center::StationConfig saved = station_center::config_reader;
  std::shared_ptr<RecordingBoard> board = std::make_shared<RecordingBoard>();
  std::shared_mutex data_lock;
  station_center::StationTaskData data;
  std::atomic<bool> stopping{false};
  station_center::SwitchOffLedger owed;
  int64_t now = kClockStart;
};

// A script's steps, in a namespace of their own as their names are short.
namespace steps {
struct Do {
  enum Op { kInit, kPush, kAsk, kClock, kSent, kStatus, kTasks, kIdle, kRefuse, kAutoReset, kLed, kRetry, kStaleCheck,
            kMark, kEdit, kHand, kCycle, kEnd } op;
  Rep report;
  Request request;
  // kClock, kCycle: seconds first; kSent commands since the mark; kTasks tasks left; kRefuse count; kRetry still owed
  int64_t n = 0;
  int32_t result = -1;         // kAsk: the answer (-1: any); kStatus, kEnd: the status; kCycle: 1 refuses
  const char* text = nullptr;  // kAsk: the error text (nullptr: any)
  Edit edit;                   // kEdit, kHand
  Commands sent = {};          // kCycle
};
inline Do Init() { return {Do::kInit}; }
inline Do Push(const Rep& report) { return {Do::kPush, report}; }
inline Do Ask(const Request& r, int32_t result = -1, const char* text = nullptr) { return {Do::kAsk, {}, r, 0, result, text}; }
inline Do Op(Do::Op op, int64_t n = 0, int32_t result = -1) { return {op, Rep(), {}, n, result}; }
inline Do Clock(int64_t seconds) { return Op(Do::kClock, seconds); }
inline Do Sent(int64_t commands) { return Op(Do::kSent, commands); }
inline Do Status(station_center::StationCenterStatus status) { return Op(Do::kStatus, 0, status); }
inline Do Tasks(int64_t left) { return Op(Do::kTasks, left); }  // none: waits; else after a few cycles
inline Do Idle() { return Op(Do::kIdle); }
inline Do Refuse(int64_t count = 1) { return Op(Do::kRefuse, count); }
inline Do SetData(Edit edit) { return {Do::kEdit, {}, {}, 0, -1, nullptr, edit}; }
// A task driven by hand on the task rig (`data` applied first); each cycle that
// Sees `report` comes `advance_s` later, has its first command refused if
// `refuse`, and sends exactly `sent`. End: the task is at `status`, and the path
// the station takes then (error: DoReset, AfterError; over: AfterOver; running:
// the robot's stop; then the owed switch-offs) sends what the case expects.
inline Do ByHand(const Request& request, Edit data = nullptr) { return {Do::kHand, {}, request, 0, -1, nullptr, data}; }
inline Do Sees(const Rep& report, Commands sent = {}, int64_t advance_s = 0, bool refuse = false) {
  return {Do::kCycle, report, {}, advance_s, refuse ? 1 : 0, nullptr, nullptr, sent};
}
inline Do End(station_center::TaskStatus status) { return Op(Do::kEnd, 0, status); }
}  // namespace steps

// Plays `script` on a station (started normally unless it has Init), or on a
// task rig when it starts ByHand; checks the commands since the start or the
// mark (sorted and distinct if `any_order`), the status, that the wire never
// heated with its fan off, and that nothing is left on at the end.
struct StationCase {
  const char* name;
  std::vector<steps::Do> script;
  Commands sent;
  station_center::StationCenterStatus status = station_center::STATION_NORMAL;
  StationOptions options = {};
  bool any_order = false;
};
void RunStationCase(const StationCase& c);
inline void PrintTo(const StationCase& c, std::ostream* os) { *os << c.name; }
struct RowName {  // names a parameterised test after its row
  template <typename P>
  std::string operator()(const ::testing::TestParamInfo<P>& p) const { return p.param.name; }
};

}  // namespace station_test
