#include "task/task.h"

#include "error_codes.h"
#include "logger.h"

namespace station_center {

Task::Task(const TaskContext& context, TaskType task_type, int64_t max_seconds)
    : context_(context), max_seconds_(max_seconds), task_type_(task_type), task_id_(context.now) {}

std::string Task::PreCheckUnlock(const TaskMap& tasks, const station::SensorsDataRep& report) {
  for (TaskType conflict : conflict_task_types_) {
    if (tasks.count(conflict) != 0) {
      QLOG_INFO("tasktype {} have conflict tasktype {} running", static_cast<int>(task_type_),
                static_cast<int>(conflict));
      return "pre check failed, have conflict task " + std::to_string(static_cast<int>(conflict)) + " is running";
    }
  }
  return CheckCondition(report);
}

bool Task::ExecuteStep(const station::SensorsDataRep& report, int64_t now) {
  if (!DoTaskInside(report, now)) {
    SetTaskStatus(TASK_STATUS_ERROR);
  }
  return true;
}

bool Task::DoTaskInside(const station::SensorsDataRep& report, int64_t now) {
  if (GetTaskStatus() == TASK_STATUS_WAITING) {
    start_time_ = now;
    if (!Start(report, now)) {
      return false;
    }
    SetTaskStatus(TASK_STATUS_RUNNING);
    if (!Begin(report, now)) {
      return false;
    }
  }
  if (GetTaskStatus() != TASK_STATUS_WAITING && GetTaskStatus() != TASK_STATUS_RUNNING) {
    QLOG_INFO("task id {}, task type {}, already over or error{}", task_id_, static_cast<int>(task_type_),
              over_text_);
    return true;
  }
  if (TimeLimitExceeded(now)) {
    return OnTimeLimit(now);
  }
  return Work(report, now);
}

bool Task::OnTimeLimit(int64_t /*now*/) {
  QLOG_ERROR("ErrorCode: {}, task id {}, task type {}, exec timeout", kTaskTimeout, task_id_,
             static_cast<int>(task_type_));
  return false;
}

bool Task::HandleTaskCommand(TaskCommand command, const StationSrvReq& request, int64_t now) {
  std::lock_guard<std::mutex> lock(task_mutex_);
  switch (command) {
    case TASK_COMMAND_CANCEL:
    case TASK_COMMAND_STOP:
      if (command == TASK_COMMAND_CANCEL && CancelRefused()) {
        return false;
      }
      if (!(command == TASK_COMMAND_CANCEL ? DoCancelUnlock() : DoStopUnlock())) {
        SetTaskStatus(TASK_STATUS_ERROR);
        return false;
      }
      SetTaskStatus(TASK_STATUS_CANCELED);
      return true;
    case TASK_COMMAND_UPLOAD_INFO:
      return UploadTaskInfo(request, now);
  }
  return false;
}

void Task::SetTaskStatus(const TaskStatus& status) {
  const TaskStatus old = task_status_.load();
  if (old == status) {
    return;
  }
  QLOG_INFO("Task Id : {}, TaskType : {}, change status {} to {}", task_id_, static_cast<int>(task_type_),
            static_cast<int>(old), static_cast<int>(status));
  task_status_.store(status);
}

bool Task::Actuate(station::EnumSupplyType supply_type, int32_t action) {
  if (!context_.board) {
    return false;
  }
  if (action != 0 && context_.stopping.load()) {
    // The station is stopping: whatever a work cycle still wants, nothing goes on again.
    QLOG_ERROR("ErrorCode: {}, task id {}, task type {}, station stopping, supply type {} not switched on",
               kSafeStopFailed, task_id_, static_cast<int>(task_type_), static_cast<int>(supply_type));
    return false;
  }
  station::ActionCommand cmd;
  cmd.set_action_(action);
  cmd.set_supply_type_(supply_type);
  const bool confirmed = context_.board->DoAction(cmd);
  context_.owed.Note(supply_type, action, confirmed);
  return confirmed;
}

bool Task::SwitchOn(station::EnumSupplyType supply_type, int32_t action, int code, const char* text) {
  if (Actuate(supply_type, action)) {
    return true;
  }
  QLOG_ERROR("ErrorCode: {}, {}", code, text);
  return false;
}

bool Task::SwitchOffOne(const SwitchOff& off) {
  if (Actuate(off.type, 0)) {
    return true;
  }
  if (off.names_task) {
    QLOG_ERROR("ErrorCode: {}, task id {}, task type {}, {}", off.code, task_id_, static_cast<int>(task_type_),
               off.text);
  } else {
    QLOG_ERROR("ErrorCode: {}, {}", off.code, off.text);
  }
  return false;
}

bool Task::SwitchAllOff() {
  bool all_off = true;
  bool wire_may_heat = false;
  for (const SwitchOff& off : SwitchOffs()) {
    if (off.type == station::ENUM_SUPPLY_HEATING_FAN && wire_may_heat) {
      OweSwitchOff(off.type);  // the fan keeps blowing on a wire the board kept on
      all_off = false;
      continue;
    }
    const bool confirmed = SwitchOffOne(off);
    wire_may_heat = wire_may_heat || (off.type == station::ENUM_SUPPLY_HEATING_WIRE && !confirmed);
    all_off = confirmed && all_off;
  }
  return all_off;
}

void Task::OweSwitchOff(station::EnumSupplyType supply_type) { context_.owed.Note(supply_type, 0, false); }

SupplyMaterialTask::SupplyMaterialTask(const TaskContext& context, TaskType task_type,
                                       const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : Task(context, task_type, static_cast<int64_t>(request.cmd().duration())),
      action_model_(request.cmd().action()) {}

bool SupplyMaterialTask::UploadTaskInfo(const StationSrvReq& request, int64_t now) {
  // An absent command reads as duration 0, which removes the limit.
  max_seconds_ = static_cast<int64_t>(request.supply_material_req.cmd().duration());
  start_time_ = now;
  return true;
}

void StepMachine::SwitchStep(const int& step) {
  if (step_ == step) {
    return;
  }
  QLOG_INFO("task id {}, task type {}, switch step {} to {}", owner_.TaskId(), static_cast<int>(owner_.GetTaskType()),
            step_, step);
  step_ = step;
}

bool StepMachine::Follow(StepOutcome outcome, int next) {
  if (outcome == StepOutcome::kFailed) {
    owner_.SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  if (outcome == StepOutcome::kDone) {
    SwitchStep(next);
  }
  return true;
}

bool StepMachine::RunStep(const station::SensorsDataRep& report, int64_t now) {
  auto it = steps_.find(step_);
  if (it == steps_.end()) {
    QLOG_ERROR("ErrorCode: {}, task id {}, task type {}, no step {}", kTaskError, owner_.TaskId(),
               static_cast<int>(owner_.GetTaskType()), step_);
    return false;
  }
  return it->second(report, now);
}

}  // namespace station_center
