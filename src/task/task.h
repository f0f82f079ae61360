#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bottom/board_link.h"
#include "station/cmd.pb.h"
#include "station/station_report.pb.h"
#include "station_types.h"
#include "switch_offs.h"

namespace station_center {

class Task;

enum TaskStatus : int32_t {
  TASK_STATUS_WAITING = 0,  // constructed, no work cycle run yet
  TASK_STATUS_RUNNING = 1,  // set by the first work cycle
  TASK_STATUS_OVER = 2,     // finished successfully
  TASK_STATUS_ERROR = 3,    // failed; the station center runs DoReset
  TASK_STATUS_CANCELED = 4,
};

enum TaskCommand : int32_t {
  TASK_COMMAND_CANCEL = 0,       // the robot's stop; a task may refuse it (CancelRefused)
  TASK_COMMAND_UPLOAD_INFO = 1,
  TASK_COMMAND_STOP = 2,         // the station ends the task itself (reset, lost reports): never refused
};

using TaskMap = std::unordered_map<TaskType, std::shared_ptr<Task>>;

// Where a step that waits on the station stands after a work cycle.
enum class StepOutcome { kBusy, kDone, kFailed };

// What a task may reach of the station: the board, the station task data with
// its lock, whether the safe stop has begun, and the ledger of owed
// switch-offs; `now` is when the task is made (its id). The station center
// outlives every task it makes, so the references stay valid.
struct TaskContext {
  std::shared_ptr<BoardLink> board;
  std::shared_mutex& data_lock;
  StationTaskData& data;
  const std::atomic<bool>& stopping;
  SwitchOffLedger& owed;
  int64_t now;
};

// One entry of a task's switch-off list and what a refusal of it logs.
struct SwitchOff {
  station::EnumSupplyType type;
  int code;
  const char* text;
  bool names_task = false;  // the refusal line names the task id and type before the text
};

// A station task: a small state machine that the station center admits after
// PreCheckUnlock and then drives, one ExecuteStep per work cycle, from a worker
// thread of its own. Work cycles and commands run with the station center's
// service lock held, so a task never sees two of them at once.
//
// Every work cycle follows one skeleton (DoTaskInside): the first cycle sets the
// start time, runs Start (switching the actuator on), sets the task running and
// runs Begin; a task already ended only logs so; a task past its time limit
// runs OnTimeLimit (an error by default); otherwise Work. A task states the
// actuators it may leave on in SwitchOffs(); by default its error path
// (DoReset) and its stop (DoCancelUnlock) send all of them.
class Task {
 public:
  Task(const TaskContext& context, TaskType task_type, int64_t max_seconds);
  virtual ~Task() = default;

  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // The refusal text, or the empty text to admit: the first running type of the
  // conflict list (in list order), else the task's own CheckCondition.
  std::string PreCheckUnlock(const TaskMap& tasks, const station::SensorsDataRep& report);

  // One work cycle at `now` (Unix seconds). A failed cycle puts the task in
  // TASK_STATUS_ERROR. Always true.
  bool ExecuteStep(const station::SensorsDataRep& report, int64_t now);

  // Cancel or stop (DoCancelUnlock or DoStopUnlock, then canceled, or error when
  // a switch-off failed) or take a repeated request at `now` (UploadTaskInfo). A
  // cancel the task refuses (CancelRefused) returns false and leaves the task
  // running as it was. Serialised by task_mutex_.
  bool HandleTaskCommand(TaskCommand command, const StationSrvReq& request, int64_t now);

  void SetTaskStatus(const TaskStatus& status);

  int64_t TaskId() const { return task_id_; }
  TaskType GetTaskType() const { return task_type_; }
  TaskStatus GetTaskStatus() const { return task_status_.load(); }

  // Hooks of the station center: DoReset after a failure switches off what the
  // task drives; the After* hooks publish or withdraw what the task produced.
  virtual bool DoReset() { return SwitchAllOff(); }
  virtual void AfterOver() {}
  virtual void AfterError() {}
  virtual void AfterCancel() {}

 protected:
  // The shared tank steps send and log through the task that owns them.
  friend class TankDrain;
  friend class TankFill;

  virtual bool DoTaskInside(const station::SensorsDataRep& report, int64_t now);
  // The first cycle's work before the task counts as running; false fails it.
  virtual bool Start(const station::SensorsDataRep& /*report*/, int64_t /*now*/) { return true; }
  // The first cycle's work once the task runs; false fails it.
  virtual bool Begin(const station::SensorsDataRep& /*report*/, int64_t /*now*/) { return true; }
  // The time limit has passed: by default an error.
  virtual bool OnTimeLimit(int64_t now);
  // Every running cycle's work within the time limit; false fails the task.
  virtual bool Work(const station::SensorsDataRep& /*report*/, int64_t /*now*/) { return true; }

  virtual bool DoCancelUnlock() { return SwitchAllOff(); }
  // True when the robot may not stop the task now; the task then goes on unchanged.
  virtual bool CancelRefused() { return false; }
  // What the station's own stop switches off; by default what a cancel does.
  virtual bool DoStopUnlock() { return DoCancelUnlock(); }
  virtual std::string CheckCondition(const station::SensorsDataRep& /*report*/) { return ""; }
  virtual bool UploadTaskInfo(const StationSrvReq& /*request*/, int64_t /*now*/) { return true; }
  // The actuators the task may have left on, in the order they go off.
  virtual std::vector<SwitchOff> SwitchOffs() const { return {}; }

  // Sends one actuator command to the board; true only when the board confirmed
  // it. A switch-off the board does not confirm is owed: the station center
  // sends it again until the board confirms it.
  bool Actuate(station::EnumSupplyType supply_type, int32_t action);
  // Switches one actuator on, logging a refusal as `code` with `text`.
  bool SwitchOn(station::EnumSupplyType supply_type, int32_t action, int code, const char* text);
  // Switches one actuator off as `off` says, logging a refusal.
  bool SwitchOffOne(const SwitchOff& off);
  // Sends every switch-off of SwitchOffs(), each whatever the earlier ones
  // answered, but never the heating fan's after the board refused the heating
  // wire's: that one is owed until the wire is confirmed off. True when the
  // board confirmed them all.
  bool SwitchAllOff();
  // A switch-off held back for now, owed all the same.
  void OweSwitchOff(station::EnumSupplyType supply_type);

  // True when the task has a limit and `now` is more than max_seconds_ past start_time_.
  bool TimeLimitExceeded(int64_t now) const { return max_seconds_ > 0 && now - start_time_ > max_seconds_; }

  // The station's shared state between tasks: `read` runs under a shared lock,
  // `write` under an exclusive one.
  template <typename F>
  auto ReadData(F read) {
    std::shared_lock<std::shared_mutex> lock(context_.data_lock);
    return read(static_cast<const StationTaskData&>(context_.data));
  }
  template <typename F>
  auto WriteData(F write) {
    std::unique_lock<std::shared_mutex> lock(context_.data_lock);
    return write(context_.data);
  }

  TaskContext context_;
  int64_t max_seconds_;
  int64_t start_time_ = -1;
  std::mutex task_mutex_;
  std::atomic<TaskStatus> task_status_{TASK_STATUS_WAITING};
  TaskType task_type_;
  std::vector<TaskType> conflict_task_types_;
  int64_t task_id_;
  // The end of the already-over line: the water tasks end it after "error".
  const char* over_text_ = " or cancel";
};

// A service the robot asks for with a supply-material request. Its time limit
// is the request's duration; a repeated request renews the limit from now.
class SupplyMaterialTask : public Task {
 public:
  SupplyMaterialTask(const TaskContext& context, TaskType task_type,
                     const quorvane_base_station_mqtt::SupplyMaterialReq& request);

 protected:
  bool UploadTaskInfo(const StationSrvReq& request, int64_t now) override;

  int32_t action_model_;  // 1 soft, 2 standard, 3 strong
};

// The step table of a multi-step task: step numbers start at 1; step_ is 0
// before the first switch. Filled once, in the owning task's constructor.
class StepMachine {
 public:
  using StepFunction = std::function<bool(const station::SensorsDataRep&, int64_t)>;

  explicit StepMachine(Task& owner) : owner_(owner) {}

  // Binds each step number to a member function of `task`.
  template <typename T>
  void AddSteps(T* task, std::initializer_list<std::pair<int, bool (T::*)(const station::SensorsDataRep&, int64_t)>> steps) {
    for (const auto& step : steps) {
      steps_[step.first] = [task, f = step.second](const station::SensorsDataRep& report, int64_t now) {
        return (task->*f)(report, now);
      };
    }
  }

  // Logs and stores a change of step; switching to the current step does nothing.
  void SwitchStep(const int& step);

  // Switches to `next` once `outcome` is done; a failed outcome fails the task
  // and returns false.
  bool Follow(StepOutcome outcome, int next);

  // Runs the function of the current step at `now`; false when no such step exists.
  bool RunStep(const station::SensorsDataRep& report, int64_t now);

 private:
  Task& owner_;
  int step_ = 0;
  std::unordered_map<int, StepFunction> steps_;
};

}  // namespace station_center
