#include "station_center.h"

#include <chrono>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>

#include "bottom/embedded_communicator.h"
#include "clock.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"
#include "station/cmd.pb.h"
#include "task_factory.h"

namespace station_center {

std::shared_ptr<StationCenter> global_station_center;

namespace {

StationSrvRsp Response(int32_t result, std::string err_msg = std::string()) {
  StationSrvRsp rsp;
  rsp.result = result;
  rsp.err_msg = std::move(err_msg);
  return rsp;
}

StationSrvReq ResetRequest() {
  StationSrvReq request;
  request.task_type = TASK_TYPE_RESET_STATION;
  return request;
}

std::string CancelText(const std::shared_ptr<Task>& task) {
  return "cancel task id : " + std::to_string(task->TaskId()) +
         ",task type : " + std::to_string(static_cast<int32_t>(task->GetTaskType()));
}

}  // namespace

StationCenter::StationCenter() {
  using std::placeholders::_1;
  service_handlers_[SRV_RECEIVE_TASK] = std::bind(&StationCenter::ReceiveTask, this, _1);
  service_handlers_[SRV_CHECK_ROBOT_IN_POSE] = std::bind(&StationCenter::CheckRobotInPose, this, _1);
  service_handlers_[SRV_CHECK_WATER_READY] = std::bind(&StationCenter::CheckWaterReady, this, _1);
  service_handlers_[SRV_CHECK_WATER_FINISH] = std::bind(&StationCenter::CheckWaterFinish, this, _1);
  service_handlers_[SRV_QUERY_TASK_RUNNING] = std::bind(&StationCenter::QueryTaskRunning, this, _1);
  service_handlers_[SRV_ROBOT_LEAVE_STATION] = std::bind(&StationCenter::RobotLeaveStation, this, _1);
  service_handlers_[SRV_CONNECTION_LOST] = std::bind(&StationCenter::HandleConnectionLost, this, _1);
}

bool StationCenter::Init(std::shared_ptr<BoardLink> board) {
  if (!ReadConfig(config_reader)) {
    return false;
  }
  // Reports are due from the moment the board link comes up.
  last_report_time_.store(NowSeconds());
  if (board) {
    board_ = std::move(board);
  } else {
    embedded_communicator_ = std::make_shared<EmbeddedCommunicator>();
    // The station center lives for the whole process, so the report server may keep `this`.
    if (!embedded_communicator_->Init([this](const station::SensorsDataRep& report) { DataUploadCallback(report); })) {
      return false;
    }
    board_ = embedded_communicator_;
  }
  if (!led_manager_.ReadConfig()) {
    return false;
  }
  StationSrvRsp rsp = ReceiveTask(ResetRequest());
  QLOG_INFO("reset task result : {}, err_msg : {}", rsp.result, rsp.err_msg);
  return true;
}

StationSrvRsp StationCenter::HandleService(const StationSrvReq& request) {
  auto it = service_handlers_.find(request.service_type);
  if (it != service_handlers_.end()) {
    return it->second(request);
  }
  QLOG_ERROR("ErrorCode: {}, station service receive unsupport cmd : {}", kUnsupportedService, request.service_type);
  return Response(SRV_RESULT_UNSUPPORTED);
}

// ---------------------------------------------------------------------------
// Admission and the life of a task

StationSrvRsp StationCenter::ReceiveTask(const StationSrvReq& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_lock<std::shared_mutex> sensor_lock(sensor_lock_);
  return ReceiveTaskUnlock(request);
}

StationSrvRsp StationCenter::ReceiveTaskUnlock(const StationSrvReq& request, bool log_refusal) {
  const TaskType type = request.task_type;
  int32_t action = static_cast<int32_t>(request.supply_material_req.cmd().action());
  switch (status_) {
    case STATION_ERROR:
      if (type != TASK_TYPE_RESET_STATION) {
        return Response(SRV_RESULT_STATION_ERROR, "station in error status");
      }
      break;
    case STATION_RESET:
      if (type != TASK_TYPE_RESET_STATION) {
        return Response(SRV_RESULT_STATION_IN_RESET, "station in reset");
      }
      break;
    default:
      if (type == TASK_TYPE_INVALID) {
        QLOG_ERROR("ErrorCode: {}, receive unvalid task type", kInvalidTaskType);
        return Response(SRV_RESULT_INVALID_TASK_TYPE, "task type is invalid");
      }
      if (type == TASK_TYPE_DISINFECTANT_PREPARE) {
        action = static_cast<int32_t>(request.prepare_disinfectant_req.cmd().action_cmd().action());
      }
      break;
  }

  auto running = tasks_.find(type);
  if (running != tasks_.end()) {
    std::shared_ptr<Task>& task = running->second;
    switch (action) {
      case quorvane_base_station_mqtt::ENUM_ACTION_SOFT:
      case quorvane_base_station_mqtt::ENUM_ACTION_STANDARD:
      case quorvane_base_station_mqtt::ENUM_ACTION_STRONG:
        if (task->HandleTaskCommand(TASK_COMMAND_UPLOAD_INFO, request, NowSeconds())) {
          return Response(SRV_RESULT_TASK_UPDATED, "already exist task, upload task info success");
        }
        return Response(SRV_RESULT_FAILED, "already exist task, upload task info failed");
      case quorvane_base_station_mqtt::ENUM_ACTION_STOP:
        // The task stays in the map; its worker ends it at the next cycle.
        if (task->HandleTaskCommand(TASK_COMMAND_CANCEL, request, NowSeconds())) {
          return Response(SRV_RESULT_OK, CancelText(task));
        }
        return Response(SRV_RESULT_FAILED, CancelText(task) + ", failed");
      case quorvane_base_station_mqtt::ENUM_ACTION_ILLEGAL:
        return Response(SRV_RESULT_FAILED, "action model illegal");
      default:
        return Response(SRV_RESULT_FAILED, "already exist task, upload task info failed");
    }
  }

  if (action == quorvane_base_station_mqtt::ENUM_ACTION_STOP) {
    return Response(SRV_RESULT_NO_TASK_TO_CANCEL, "cancel task failed, because no task (task type : " +
                                                      std::to_string(static_cast<int32_t>(type)) + ") running");
  }
  if (action == quorvane_base_station_mqtt::ENUM_ACTION_ILLEGAL && type != TASK_TYPE_DISINFECTANT_PREPARE &&
      type != TASK_TYPE_RESET_STATION) {
    return Response(SRV_RESULT_FAILED, "action model illegal");
  }

  std::shared_ptr<StationCenter> self = weak_from_this().lock();
  std::shared_ptr<Task> task = self ? CreateTask(request, NowSeconds()) : nullptr;
  if (!task) {
    return Response(SRV_RESULT_FAILED, "create new task failed, may be not memory");
  }
  std::string refusal = task->PreCheckUnlock(tasks_, sensor_data_);
  if (!refusal.empty()) {
    if (log_refusal) {
      QLOG_ERROR("ErrorCode: {}, The conditions are not met or there are mutually exclusive tasks, making it "
                 "impossible to run new tasks",
                 kTaskNotStarted);
    }
    return Response(SRV_RESULT_FAILED, refusal);
  }
  AddNewTaskUnlock(task);
  try {
    std::thread([self, task]() mutable { self->RunTask(task); }).detach();
  } catch (const std::exception& e) {
    // Without a worker the task would block its type for good.
    QLOG_ERROR("ErrorCode: {}, start task thread failed: {}", kTaskNotStarted, e.what());
    tasks_.erase(type);
    return Response(SRV_RESULT_FAILED, "create new task failed, may be not memory");
  }
  return Response(SRV_RESULT_OK);
}

std::shared_ptr<Task> StationCenter::CreateTask(const StationSrvReq& request, int64_t now) {
  return MakeTask(TaskContext{board_, task_data_lock_, task_data_, stopping_, owed_, now}, request);
}

void StationCenter::AddNewTaskUnlock(std::shared_ptr<Task>& task) {
  // The reset task is admitted by callers that may hold task_data_lock_ shared,
  // so only the other tasks take it here.
  if (tasks_.empty() && task->GetTaskType() != TASK_TYPE_RESET_STATION) {
    std::unique_lock<std::shared_mutex> data_lock(task_data_lock_);
    const int64_t now = NowSeconds();
    task_data_.working = true;
    task_data_.work_start_time = now;
    QLOG_INFO("Start work, time : {}", now);
  }
  tasks_[task->GetTaskType()] = task;
}

void StationCenter::RemoveTaskUnlock(std::shared_ptr<Task>& task) {
  const TaskType type = task->GetTaskType();
  tasks_.erase(type);
  if (!tasks_.empty() || RobotInStation(sensor_data_)) {
    return;
  }
  if (type == TASK_TYPE_RESET_STATION || type == TASK_TYPE_DISINFECTANT_PREPARE) {
    return;
  }
  SetStationCenterStatus(STATION_RESET);
  StationSrvRsp rsp = ReceiveTaskUnlock(ResetRequest());
  QLOG_INFO("RemoveTaskUnlock, reset task result : {}, err_msg : {}", rsp.result, rsp.err_msg);
}

void StationCenter::RunTask(std::shared_ptr<Task>& task) {
  QLOG_INFO("Run task, task id {}, task_type {}", task->TaskId(), static_cast<int>(task->GetTaskType()));
  while (true) {
    int32_t pause_ms = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::shared_lock<std::shared_mutex> sensor_lock(sensor_lock_);
      if (status_ != STATION_NORMAL && task->GetTaskType() != TASK_TYPE_RESET_STATION) {
        HandleTaskCancel(task);
        return;
      }
      switch (task->GetTaskStatus()) {
        case TASK_STATUS_OVER:
          QLOG_INFO("task id {}, task_type {}, over", task->TaskId(), static_cast<int>(task->GetTaskType()));
          HandleTaskOver(task);
          return;
        case TASK_STATUS_ERROR:
          QLOG_ERROR("ErrorCode: {}, task id {}, task_type {}, error occurred", kTaskError, task->TaskId(),
                     static_cast<int>(task->GetTaskType()));
          HandleTaskError(task);
          return;
        case TASK_STATUS_WAITING:
        case TASK_STATUS_RUNNING: {
          int64_t age_s = 0;
          if (task->GetTaskType() != TASK_TYPE_RESET_STATION && ReportsStale(age_s)) {
            HandleStaleTask(task, age_s);
            return;
          }
          if (task->ExecuteStep(sensor_data_, NowSeconds())) {
            pause_ms = config_reader.running_schedule_space;
          }
          break;
        }
        default:
          QLOG_INFO("task id {}, task_type {}, cancel", task->TaskId(), static_cast<int>(task->GetTaskType()));
          HandleTaskCancel(task);
          return;
      }
    }
    work_cycles_.fetch_add(1);
    if (pause_ms >= 1) {
      // sleep_for resumes after a signal for the remaining time.
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    }
  }
}

void StationCenter::HandleTaskOver(std::shared_ptr<Task>& task) {
  if (task->GetTaskType() == TASK_TYPE_RESET_STATION) {
    QLOG_INFO("reset station task success");
    SetStationCenterStatus(STATION_NORMAL);
  }
  task->AfterOver();
  RemoveTaskUnlock(task);
}

void StationCenter::HandleTaskError(std::shared_ptr<Task>& task) {
  if (task->GetTaskType() == TASK_TYPE_RESET_STATION) {
    QLOG_ERROR("ErrorCode: {}, reset station task failed, station center change status to error", kResetFailed);
    SetStationCenterStatus(STATION_ERROR);
  } else {
    QLOG_INFO("task id {}, task type {}, error, try do reset", task->TaskId(), static_cast<int>(task->GetTaskType()));
  }
  // Whatever failed, what the task switched on goes off (for the reset task: a
  // drain that timed out or would not close must not stay open).
  task->DoReset();
  task->AfterError();
  RemoveTaskUnlock(task);
}

void StationCenter::HandleTaskCancel(std::shared_ptr<Task>& task) {
  // A robot's stop request has canceled the task once already; this second
  // cancel switches its actuators off again. Any other task is ended by the
  // station itself (a reset, a lost connection, stale reports): a stop that no
  // task may refuse.
  const TaskCommand command =
      task->GetTaskStatus() == TASK_STATUS_CANCELED ? TASK_COMMAND_CANCEL : TASK_COMMAND_STOP;
  task->HandleTaskCommand(command, StationSrvReq(), NowSeconds());
  task->AfterCancel();
  RemoveTaskUnlock(task);
}

// ---------------------------------------------------------------------------
// Query services

StationSrvRsp StationCenter::CheckRobotInPose(const StationSrvReq& /*request*/) {
  std::shared_lock<std::shared_mutex> sensor_lock(sensor_lock_);
  std::unique_lock<std::shared_mutex> data_lock(task_data_lock_);
  if (RobotInStation(sensor_data_)) {
    task_data_.robot_in_pose = 1;
    return Response(SRV_RESULT_ROBOT_IN_POSE);
  }
  task_data_.robot_in_pose = 2;
  return Response(SRV_RESULT_ROBOT_NOT_IN_POSE);
}

StationSrvRsp StationCenter::CheckWaterFinish(const StationSrvReq& /*request*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_lock<std::shared_mutex> data_lock(task_data_lock_);
  if (task_data_.water_finished) {
    return Response(SRV_RESULT_WATER_FINISHED);
  }
  if (tasks_.count(TASK_TYPE_ADD_WATER) != 0) {
    return Response(SRV_RESULT_WATER_ADDING);
  }
  return Response(SRV_RESULT_NO_RELATED_TASK);
}

StationSrvRsp StationCenter::CheckWaterReady(const StationSrvReq& /*request*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_lock<std::shared_mutex> data_lock(task_data_lock_);
  if (task_data_.water_ready) {
    return Response(SRV_RESULT_WATER_READY);
  }
  if (tasks_.count(TASK_TYPE_DISINFECTANT_PREPARE) != 0) {
    return Response(SRV_RESULT_WATER_PREPARING);
  }
  return Response(SRV_RESULT_NO_RELATED_TASK);
}

StationSrvRsp StationCenter::QueryTaskRunning(const StationSrvReq& /*request*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  return QueryTaskRunningUnlock();
}

StationSrvRsp StationCenter::QueryTaskRunningUnlock() {
  return Response(tasks_.empty() ? SRV_RESULT_STATION_IDLE : SRV_RESULT_STATION_BUSY);
}

// ---------------------------------------------------------------------------
// Status, resets and LEDs

void StationCenter::SetStationCenterStatus(const StationCenterStatus& status) {
  if (status_ == status) {
    return;
  }
  QLOG_INFO("set station center status {} to {}", static_cast<int>(status_), static_cast<int>(status));
  status_ = status;
  if (status == STATION_ERROR) {
    error_since_s_ = NowSeconds();
  }
}

void StationCenter::AutoReset() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_lock<std::shared_mutex> sensor_lock(sensor_lock_);
  std::shared_lock<std::shared_mutex> data_lock(task_data_lock_);
  if (status_ == STATION_ERROR) {
    RecoverFromErrorUnlock();
    return;
  }
  if (!tasks_.empty() || RobotInStation(sensor_data_) || status_ == STATION_RESET || !task_data_.working ||
      task_data_.work_start_time == -1) {
    return;
  }
  const int64_t now = NowSeconds();
  if (now - task_data_.work_start_time > static_cast<int64_t>(config_reader.auto_reset_time_space)) {
    SetStationCenterStatus(STATION_RESET);
    StationSrvRsp rsp = ReceiveTaskUnlock(ResetRequest());
    QLOG_INFO("AutoReset, reset task result : {}, err_msg : {}", rsp.result, rsp.err_msg);
  }
}

void StationCenter::RecoverFromErrorUnlock() {
  // Every way into error has already ended the work period, so the idle rule
  // above would never fire: a station in error tries a new reset every
  // auto_reset_time_space seconds instead, robot docked or not, since it serves
  // nobody until a reset succeeds.
  if (!tasks_.empty()) {
    return;
  }
  const int64_t now = NowSeconds();
  if (now - error_since_s_ <= static_cast<int64_t>(config_reader.auto_reset_time_space)) {
    return;
  }
  SetStationCenterStatus(STATION_RESET);
  StationSrvRsp rsp = ReceiveTaskUnlock(ResetRequest());
  QLOG_INFO("AutoReset, reset task result : {}, err_msg : {}", rsp.result, rsp.err_msg);
  if (rsp.result != SRV_RESULT_OK) {
    SetStationCenterStatus(STATION_ERROR);  // and try again after another period
  }
}

StationSrvRsp StationCenter::RobotLeaveStation(const StationSrvReq& /*request*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  QLOG_INFO("StationCenter::RobotLeaveStation");
  if (!tasks_.empty()) {
    QLOG_INFO("Robot can not leave station");
    return Response(SRV_RESULT_STATION_BUSY);
  }
  if (status_ == STATION_RESET) {
    QLOG_INFO("station already in reset");
    return Response(SRV_RESULT_STATION_IN_RESET);
  }
  SetStationCenterStatus(STATION_RESET);
  StartResetWhenIdle();
  return Response(SRV_RESULT_OK);
}

StationSrvRsp StationCenter::HandleConnectionLost(const StationSrvReq& /*request*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  SetStationCenterStatus(STATION_RESET);
  StartResetWhenIdle();
  return Response(SRV_RESULT_OK);
}

void StationCenter::StartResetWhenIdle() {
  std::shared_ptr<StationCenter> self = weak_from_this().lock();
  reset_threads_running_.fetch_add(1);
  try {
    if (self) {
      std::thread([self]() { self->ResetWhenIdle(); }).detach();
    } else {
      std::thread([this]() { ResetWhenIdle(); }).detach();
    }
  } catch (const std::exception& e) {
    reset_threads_running_.fetch_sub(1);
    QLOG_ERROR("ErrorCode: {}, start reset thread failed: {}", kResetFailed, e.what());
  }
}

void StationCenter::ResetWhenIdle() {
  std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
  while (true) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    lock.lock();
    if (tasks_.empty()) {
      break;
    }
    lock.unlock();
  }
  {
    std::shared_lock<std::shared_mutex> sensor_lock(sensor_lock_);
    std::unique_lock<std::shared_mutex> data_lock(task_data_lock_);
    task_data_.ResetForStation();
    StationSrvRsp rsp = ReceiveTaskUnlock(ResetRequest());
    SetStationCenterStatus(rsp.result == SRV_RESULT_OK ? STATION_RESET : STATION_ERROR);
  }
  lock.unlock();
  reset_threads_running_.fetch_sub(1);
}

void StationCenter::ReflushLed() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_lock<std::shared_mutex> sensor_lock(sensor_lock_);
  std::unique_lock<std::shared_mutex> data_lock(task_data_lock_);
  const int32_t led_cmd = led_manager_.GetLedCmd(task_data_, sensor_data_, tasks_, status_ == STATION_ERROR);
  if (led_cmd == last_led_cmd_) {
    return;
  }
  if (board_ && board_->ChangeLed(static_cast<station::EnumLedCmd>(led_cmd))) {
    last_led_cmd_ = led_cmd;
  } else {
    QLOG_ERROR("Errorcode: {}, reflush led failed", kLedRefreshFailed);
  }
}

// ---------------------------------------------------------------------------
// Read-only views for tests and diagnostics

StationCenterStatus StationCenter::Status() {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

size_t StationCenter::TaskCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_.size();
}

bool StationCenter::HasTask(TaskType type) {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_.count(type) != 0;
}

void StationCenter::EditTaskData(const std::function<void(StationTaskData&)>& edit) {
  std::unique_lock<std::shared_mutex> data_lock(task_data_lock_);
  edit(task_data_);
}

int StationCenter::ResetThreadsRunning() const { return reset_threads_running_.load(); }

}  // namespace station_center
