#include "task/task.h"

#include "bottom/embedded_communicator.h"
#include "clock.h"
#include "error_codes.h"
#include "logger.h"
#include "station_center.h"

namespace station_center {

Task::Task(const std::shared_ptr<StationCenter>& station_center, TaskType task_type, int64_t max_seconds)
    : communicator_(station_center ? station_center->Communicator() : nullptr),
      max_seconds_(max_seconds),
      station_center_(station_center),
      task_type_(task_type),
      task_id_(NowSeconds()) {}

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

bool Task::ExecuteStep(const station::SensorsDataRep& report) {
  if (!DoTaskInside(report)) {
    SetTaskStatus(TASK_STATUS_ERROR);
  }
  return true;
}

bool Task::HandleTaskCommand(TaskCommand command, const StationSrvReq& request) {
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
      return UploadTaskInfo(request);
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
  if (!communicator_) {
    return false;
  }
  if (action != 0 && station_center_ && station_center_->Stopping()) {
    // The station is stopping: whatever a work cycle still wants, nothing goes on again.
    QLOG_ERROR("ErrorCode: {}, task id {}, task type {}, station stopping, supply type {} not switched on",
               kSafeStopFailed, task_id_, static_cast<int>(task_type_), static_cast<int>(supply_type));
    return false;
  }
  station::ActionCommand cmd;
  cmd.set_action_(action);
  cmd.set_supply_type_(supply_type);
  const bool confirmed = communicator_->DoAction(cmd);
  if (station_center_) {
    station_center_->NoteActuatorCommand(supply_type, action, confirmed);
  }
  return confirmed;
}

void Task::OweSwitchOff(station::EnumSupplyType supply_type) {
  if (station_center_) {
    station_center_->NoteActuatorCommand(supply_type, 0, false);
  }
}

std::shared_mutex& Task::TaskDataLock() { return station_center_->TaskDataLock(); }

StationTaskData& Task::TaskData() { return station_center_->TaskData(); }

SupplyMaterialTask::SupplyMaterialTask(const std::shared_ptr<StationCenter>& station_center, TaskType task_type,
                                       const quorvane_base_station_mqtt::SupplyMaterialReq& request)
    : Task(station_center, task_type, static_cast<int64_t>(request.cmd().duration())),
      action_model_(request.cmd().action()) {}

bool SupplyMaterialTask::UploadTaskInfo(const StationSrvReq& request) {
  // An absent command reads as duration 0, which removes the limit.
  max_seconds_ = static_cast<int64_t>(request.supply_material_req.cmd().duration());
  start_time_ = NowSeconds();
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

bool StepMachine::RunStep(const station::SensorsDataRep& report) {
  auto it = steps_.find(step_);
  if (it == steps_.end()) {
    QLOG_ERROR("ErrorCode: {}, task id {}, task type {}, no step {}", kTaskError, owner_.TaskId(),
               static_cast<int>(owner_.GetTaskType()), step_);
    return false;
  }
  return it->second(report);
}

}  // namespace station_center
